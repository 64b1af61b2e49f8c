#pragma once

#include "structure/atom.hpp"

#include <array>
#include <string>
#include <vector>

// Name of the P1 file that the CIF and xyz conversions write and the structure loader then reads.
inline constexpr const char* temp_p1_file_name = "temp_P1.p1";

// Writes the P1 file in fractional ("Direct") coordinates: title, scale 1.0, the three cell vectors,
// the species in order of first appearance with their counts, then the atoms; fixed notation with 9
// decimals. Ends the run with code 4 when the file cannot be written.
void write_temp_p1_file(const std::string& title, const std::array<Atom, 3>& cell,
                        const std::vector<Atom>& fractional_atoms);
