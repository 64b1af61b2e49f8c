#pragma once

#include <cstdint>
#include <string>

constexpr int element_count = 118;

// Atomic number of the element symbol a label begins with (longest symbol first), 0 when none does.
int atomic_number_of_label(const std::string& label);
// The bare symbol of the label's element; the label must begin with a known symbol.
std::string element_symbol_of_label(const std::string& label);
// Symbol of atomic number 1..118.
const char* element_symbol(int atomic_number);
std::int32_t gcd(std::int32_t a, std::int32_t b);
