#pragma once

struct Structure;

// Puts the atoms of the xyz file named by File_with_structure into a cubic box wide enough that no
// periodic image comes within the structure's margin, and writes it as the P1 file "temp_P1.p1" in
// fractional coordinates. An unopenable file or a wrong atom count ends the run (code 4).
void convert_xyz_to_p1(const Structure& structure);
