#pragma once

#include "structure/energy_term.hpp"

#include <cstdint>
#include <vector>

struct Calculation;
struct State;
struct Structure;

// Fills the structure's term table from its Potential_type: "box" (one box per element type, of half
// width Maximal_displacement), "hardsphere" (one minimal distance Maximal_displacement per pair of
// element types), "file" (the definitions file named by File_with_potential); anything else leaves
// the table empty. Ends the run on an unreadable file (4) or an unknown keyword or too many terms (1).
void read_energy_definitions(Structure& structure);

// Value of term t of structure j in the state. The constraints return 0 and may set state.violated.
double energy_box(Calculation& calc, State& state, int t, int j);
double energy_hardsphere(Calculation& calc, State& state, int t, int j);
double energy_lennard(Calculation& calc, State& state, int t, int j);
double energy_manybody(Calculation& calc, State& state, int t, int j);
double energy_maxlike(Calculation& calc, State& state, int t, int j);
double energy_invert(Calculation& calc, State& state, int t, int j);
double energy_msd(Calculation& calc, State& state, int t, int j);

// Resets energy and violated, then adds every term of every structure once; returns the energy.
double state_energy(Calculation& calc, State& state);
// Resets energy and violated and runs only the constraints; energy stays 0. True when none is violated.
bool check_constraints(Calculation& calc, State& state);

// The supercell atoms a move displaced, per structure.
using MovedAtoms = std::vector<std::vector<std::int32_t>>;
// The constraint check of a state that was within its constraints before the given atoms moved: only
// the pairs and atoms the moved atoms take part in can have changed, so only they are looked at. Sets
// `violated` (and `energy` 0) as check_constraints would; true when none is violated.
bool check_constraints_after_move(Calculation& calc, State& state, const MovedAtoms& moved);
