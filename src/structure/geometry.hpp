#pragma once

#include <string>

struct Calculation;
struct Structure;

// Builds every structure of the run. A geometry file given on the command line replaces the positions
// of structure 0 (periodic model) or is the whole cluster (non-periodic model).
void build_geometry(Calculation& calc, const std::string& extra_argument);
// Overwrites the labels and positions of the supercell atoms from an xyz-like file of the same size.
void load_initial_geometry(Structure& structure, const std::string& file_name);
// Builds a non-periodic structure from an xyz-like file; with set_centre only the absorbing atom nearest
// to the centre of all absorbing atoms keeps the absorber label.
void load_cluster_geometry(Structure& structure, const std::string& file_name, bool set_centre);
