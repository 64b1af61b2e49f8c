#pragma once

#include "structure/atom.hpp"

#include <string>

struct Structure;

// Reads the CIF named by File_with_structure, expands its sites with every symmetry operation and
// writes the unit cell as the P1 file "temp_P1.p1" in fractional coordinates. Missing or degenerate
// cells, missing atom or operation lists and unreadable operations or coordinates end the run (code 4).
void convert_cif_to_p1(const Structure& structure);

// Item 0, 1 or 2 (new x, y, z) of an operation text such as 'x, -y+1/2, z': whitespace is dropped and
// one pair of surrounding quotes, when present. An operation that is not three items ends the run.
std::string symmetry_operation_item(const std::string& operation, int item);

// Value of one item at the site (x, y, z), with products and quotients taken before sums and
// differences, wrapped into [0, 1). An unreadable term ends the run.
double evaluate_symmetry_expression(const std::string& item, double x, double y, double z);

// The image of a site under an operation; keeps the site's label.
Atom apply_symmetry_operation(const Atom& site, const std::string& operation);
