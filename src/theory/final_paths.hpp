#pragma once

struct AbsorberEdge;

// Stage 9: writes the paths whose importance exceeds FEFF_criteria to "feff_N/paths_fin.dat", numbered
// from 1 in table order, at most 1200 of them. Ends the run when there is none.
void write_final_paths_file(AbsorberEdge& edge);

// Reads "feff_N/paths_fin.dat" back (it may have been edited by hand since) and keeps only the paths it
// lists, each with scale 1. A block index names a position among the paths above FEFF_criteria.
void load_final_paths(AbsorberEdge& edge);
