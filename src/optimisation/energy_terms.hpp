#pragma once

#include <array>
#include <cstdint>

struct Calculation;
struct State;
struct Structure;

// Kinds of energy term. Box and hard sphere are constraints: they mark a state violated and add nothing.
constexpr std::int32_t energy_box = 0, energy_hardsphere = 1, energy_lennard = 2, energy_manybody = 3,
                       energy_maxlike = 4, energy_invert = 5, energy_msd = 6;
constexpr int max_energy_terms = 256;

struct EnergyTerm {
    std::int32_t type = energy_box;
    std::int32_t z1 = 0;  // atomic number of the first element; for maxlike the absorber-edge number
    std::int32_t z2 = 0;  // atomic number of the second element; for maxlike the path number
    std::array<double, 10> p{};
};
