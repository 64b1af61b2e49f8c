#pragma once

#include <vector>

struct AbsorberEdge;
struct Calculation;

// The robust mean-square displacement of a species from the |u| of its atoms: the median m of the values
// (which are sorted in place) turned into m * 1.26798 * m. Needs at least one value.
double msd_of_displacements(std::vector<double>& displacement_norms);

// The <u^2> block: for every structure, one line per species of the best current state's displacements.
void print_msd_per_element(const Calculation& calc);

// The table of one edge: for every path, per atom, the mean leg length and scattering angle over the
// path's members, with their robust variances. Members are read at the geometry last applied to the
// edge's path tree, so the caller applies the state it wants reported first. Leaves the console in
// fixed notation with 6 decimals.
void print_averaged_path_geometry(const AbsorberEdge& edge);

// The report of the -structure mode: the <u^2> block, then the path table of every edge in use at the
// best current state.
void report_structure_mode(Calculation& calc);

// The same report at the end of a refinement (after "Reporting structure..." and the xyz files): each
// edge's path arrays are released once its table is printed, since nothing reads them afterwards.
void report_final_structure(Calculation& calc);
