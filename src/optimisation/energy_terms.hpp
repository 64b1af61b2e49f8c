#pragma once

#include <array>
#include <cstdint>

struct Calculation;
struct State;
struct Structure;

// Kinds of energy term. Box and hard sphere are constraints: they mark a state violated and add nothing.
// Any other type value is skipped by every evaluation.
constexpr std::int32_t energy_type_box = 0, energy_type_hardsphere = 1, energy_type_lennard = 2,
                       energy_type_manybody = 3, energy_type_maxlike = 4, energy_type_invert = 5,
                       energy_type_msd = 6;
constexpr int max_energy_terms = 256;

struct EnergyTerm {
    std::int32_t type = energy_type_box;
    std::int32_t z1 = 0;  // atomic number of the first element; for maxlike the absorber-edge number
    std::int32_t z2 = 0;  // atomic number of the second element; for maxlike the path number
    std::array<double, 10> p{};
};

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
