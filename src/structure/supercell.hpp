#pragma once

#include "structure/atom.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct Structure;

// Largest supercell the later stages hold. Every atom is copied 27 times with its periodic images and
// once per state in three populations, and with every atom absorbing the path search of 32,000 atoms
// already takes 11 GB and minutes; a supercell beyond this is refused before anything is built.
constexpr std::int32_t max_supercell_atoms = 50000;

// Reads Supercell: "NxMxK", or a single number (or a size with a zero factor) taken as a target atom count.
void parse_supercell_spec(Structure& structure);
// Reads Doping "A>B" into the source and target labels; without '>' both are the whole text.
void parse_doping_spec(Structure& structure);

// Integer prefix of a text: leading blanks skipped, an optional sign, digits up to the first other character.
std::int64_t leading_integer(const std::string& text);

// Size of the supercell for the unit cell read: the size as given, or the most compact cell reaching the
// target atom count (the shortest side grows; a wins ties, then b).
std::array<std::int32_t, 3> choose_supercell_size(const Structure& structure);

// Repeats the Cartesian unit-cell atoms over the supercell and prints its size and atom count.
void build_supercell(Structure& structure, const std::vector<Atom>& cartesian_unit_cell);
// Relabels a random fraction Doping_level of the source atoms, drawing from the run's generator.
void apply_doping(Structure& structure);
