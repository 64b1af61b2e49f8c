#pragma once

#include "control/calculation.hpp"

#include <iosfwd>

// The one-dimensional model ("-oneD"): atoms stay where they are and the lengths of the member chains of
// the paths are the variables (theory/path_lengths.hpp). Each path's chi is scaled by its coordination
// number (`Coord_number`, kept in the path's scale) and counts its first `degeneracy` chains; the
// absorbing atoms of an edge are spread over its paths as their degeneracies. The lengths live in the
// path tables, which all states share.

// Defaults, "oneD.dat", the report of the parameters, the degeneracy spread, the start lengths (those a
// loaded restart file kept, else every path's R) and a first evaluation of every state. Ends the run with
// code 1 when a path has fewer member chains than the degeneracy it is given, and with code 4 when the
// kept lengths do not fit the paths.
void setup_oned_mode(Calculation& calc);
// Reads Coord_number and Initial_distance of every path of every edge, in that order, from the stream;
// when the values run out (or one is no number) it warns once and the rest keep their defaults.
void read_oned_parameters(Calculation& calc, std::istream& in);
// Gives every path of every edge the degeneracy A / P (integer division; A absorbing atoms, P paths),
// the last path of an edge the remainder as well, so that an edge's degeneracies add up to A.
void spread_degeneracy(Calculation& calc);

// Moves the member lengths of the first edge's paths for state i: every counted member with
// "move_all", otherwise one drawn member per path, each by up to the step either way. A member taken
// beyond Maximal_displacement of structure 0 from its path's R marks the state violated and ends the
// moves of that path. Sets and returns the state's `violated`.
bool propose_oned_move(Calculation& calc, int i);
// The counted members' lengths of every path of every edge in use, which a restart file keeps: the
// model's own once it is set up, before that those a loaded restart file brought (none without one).
EdgePathLengths oned_path_lengths(const Calculation& calc);
// save_class_lengths / restore_class_lengths on every path of every edge in use.
void save_path_lengths(Calculation& calc);
void restore_path_lengths(Calculation& calc);

// One sweep over all states: each state moves the shared lengths, is evaluated and keeps the move or
// puts every length back to where the sweep found it, by the annealed Metropolis rule of the mode.
void run_oned_metropolis_sweep(Calculation& calc);
