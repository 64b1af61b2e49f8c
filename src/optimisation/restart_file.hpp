#pragma once

#include <string>

struct Calculation;

// "File_for_restart" followed by the iteration, the name of the restart file written now.
std::string restart_file_name(const Calculation& calc);

// Writes the restart file of the current iteration: the complete parameter block, the run counters,
// every state's residuals, atoms and model chi, then every state's structure weights and, once the
// one-dimensional model is set up (or a loaded file brought them), its path lengths. The text goes to a
// temporary file in the same folder that replaces the file only once it is whole, so that a failed write
// leaves no truncated restart file under a valid name; it gives a warning and the run goes on. Then
// "restartClusters.dat", the xyz files and the partial spectra of the best state.
void write_restart_file(Calculation& calc);
// The restart file and nothing else: for a mode that reads a finished run and must leave its files alone.
void write_restart_file_alone(const Calculation& calc);

// Reads the states of a restart file given as the run's parameter file (its parameter block has been
// read already). Everything after the block is checked against the block (states, spectra, structures,
// atoms and their labels, k points, numbers); a file that does not match it ends the run with code 4.
// Files without the weights or the path lengths still load: the states keep their starting weights, the
// one-dimensional model its starting lengths. With -restart the loaded population is reported and one
// row is appended to the residual history; the model spectrum files are left to the full evaluation that
// follows, as the file does not carry the model chi they are written from.
void load_restart_file(Calculation& calc);
