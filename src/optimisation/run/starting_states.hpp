#pragma once

#include <string>
#include <vector>

#include <iosfwd>

struct Calculation;
struct State;

// Gives every supercell atom of every structure of the state a random displacement: three draws per
// atom, each coordinate (2U - 1) D / sqrt(2), with D the structure's Initial_displacement.
void randomise_state(Calculation& calc, State& state);

// Creates empty the files a refinement appends to: the residual history, every structure's geometry
// history, every spectrum's EXAFS history and partial RDF file.
void truncate_output_files(Calculation& calc);
// Restart files (File_for_restart and a number, by number) and the clustering check's outputs that the
// folder holds, which a new run may not replace.
std::vector<std::string> earlier_run_files(const Calculation& calc);
// A new run warns of them before it starts, naming them; they are the user's, so they are kept.
void warn_of_earlier_run_files(const Calculation& calc);

// Stage 10: the starting population. Every state gets random displacements (with a scan for the best
// amplitude first when Initial_displacement is not given), is drawn again while it breaks a constraint
// (one warning counts the states redrawn; exit 8 after 100 redraws of one state), and the population is
// evaluated in full; then the first history frame, the residual history's header and first row, and the
// first restart file. The iteration then starts at 1.
void prepare_initial_states(Calculation& calc, std::ostream& progress);
