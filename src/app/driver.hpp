#pragma once

#include <string>

struct AbsorberEdge;
struct Calculation;

// Runs the stages of one calculation, from the parameter defaults to the final files. Side modes and
// fatal checks end the run from inside (through end_process); a refinement returns after its last stage.
void run_calculation(Calculation& calc, std::string parameter_file_name, std::string extra_argument);

// Stages 1 to 9: parameters, experimental data, geometry, FEFF potentials and the final path list of
// every edge. What follows refines the model on this ground.
void prepare_calculation_through_paths(Calculation& calc, const std::string& parameter_file_name,
                                       const std::string& extra_argument);

// Writes the console line naming the edge's structure and absorption edge.
void print_structure_heading(const AbsorberEdge& edge);

// Replaces the four MT_seed values by the re-seeded ones written with -reseed.
void reseed_parameters(Calculation& calc);

// Writes the parameter set to a file; ends the run with code 4 when the file cannot be written.
void write_parameter_copy(const Calculation& calc, const std::string& file_name);

// Looks for the FEFF program named by FEFF_path (unless only feff.inp is wanted) and copies it into the
// run folder as "feff_win.exe", keeping its permissions; the outcome of the copy is not checked.
void install_feff_program(const Calculation& calc);
