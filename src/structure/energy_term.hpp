#pragma once

#include <array>
#include <cstdint>

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
