#pragma once

#include <string>

struct Calculation;

// "File_for_restart" followed by the iteration, the name of the restart file written now.
std::string restart_file_name(const Calculation& calc);

// Writes the restart file of the current iteration: the complete parameter block, the run counters,
// every state's residuals, atoms and model chi, then every state's structure weights and, once the
// one-dimensional model is set up (or a loaded file brought them), its path lengths, and last the run
// state (what the loop adapts, the displacements to the last bit and the generator's position). The text
// goes to a temporary file in the same folder that replaces the file only once it is whole, so that a
// failed write leaves no truncated restart file under a valid name; a restart file that cannot be
// written ends the run (code 4). Then "restartClusters.dat", the xyz files and the partial spectra of the
// best state.
void write_restart_file(Calculation& calc);
// The restart file and nothing else: for a mode that reads a finished run and must leave its files alone.
void write_restart_file_alone(const Calculation& calc);

// Reads the states of a restart file given as the run's parameter file (its parameter block has been
// read already). Everything after the block is checked against the block (states, spectra, structures,
// atoms and their labels, k points, numbers); a file that does not match it ends the run with code 4.
// Files without the weights, the path lengths or the run state still load: the states keep their
// starting weights, the one-dimensional model its starting lengths, the loop its starting values. With
// -restart the histories are cut back to the file's iteration. Reports nothing: what to say about the
// loaded population is the caller's choice.
void load_restart_file(Calculation& calc);
// Gives the main loop what a loaded restart file kept of it (the adapted values and the generator's
// position); nothing when no file was loaded or it kept none.
void take_up_resumed_loop(Calculation& calc);
