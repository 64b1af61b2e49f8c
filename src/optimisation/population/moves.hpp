#pragma once

#include "optimisation/population/energy_terms.hpp"

#include <cstdint>
#include <vector>

struct Atom;
struct Calculation;
struct State;

// The displacement of supercell atom i of structure j := its stored displacement + d (label kept).
void add_atom_displacement(State& state, const Atom& d, int j, int i);
// The displacement of (j, i) := (stored displacement + b) / 2, b being its displacement in the backup.
void move_atom_halfway_back(State& state, const Atom& b, int j, int i);

// Moves current state i: one random atom of each structure (every atom with move_all) by up to the
// step along each axis, pulled halfway back towards the backup while a constraint is broken (at most
// 100 times), and with adjust_weights new structure weights. Returns the atoms it moved.
MovedAtoms propose_move(Calculation& calc, int i);

// True when backup state i is worse than its nearest other backup state (least summed distance between
// the displacements of the two). With one state, or none nearer than 1e6, it is not.
bool find_nearest_state(Calculation& calc, int i);

// One sweep: every current state gets a move, is evaluated, and keeps it or goes back by the annealed
// Metropolis rule; the running means of the changes are kept and the best state found. The moved states
// are evaluated at the same time on the worker threads; the draws, decisions and means follow the state
// order, so the result does not depend on the thread count.
void run_metropolis_sweep(Calculation& calc);

// Step adaptation from the acceptance of the last time1 iterations (with adjust_step), then both
// acceptance counters start again from 0.
void adapt_step(Calculation& calc);
// Acceptance rate of the last period: (good + accepted bad moves) / (time1 * Number_of_states).
double acceptance_rate(const Calculation& calc);
