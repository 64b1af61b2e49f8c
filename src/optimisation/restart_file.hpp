#pragma once

struct Calculation;

// Writes the restart file of the current iteration ("File_for_restart" followed by the iteration):
// the parameter block, the run counters, every state's residuals, atoms and model chi; then
// "restartClusters.dat", the xyz files and the partial spectra of the best state.
void write_restart_file(Calculation& calc);
// Reads the states of a restart file given as the run's parameter file (its parameter block has been
// read already).
void load_restart_file(Calculation& calc);
