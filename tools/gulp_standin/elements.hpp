#pragma once

#include <string>

namespace gulp_standin {

// Atomic number of the longest element symbol a label starts with (so "Co1" is cobalt, not carbon);
// 0 when none does. Symbols are matched case-sensitively.
int atomic_number_of_label(const std::string& label);
const char* element_symbol(int atomic_number);
// Standard atomic weight in amu (mass number of the longest-lived isotope for elements without one).
double atomic_mass(int atomic_number);

}  // namespace gulp_standin
