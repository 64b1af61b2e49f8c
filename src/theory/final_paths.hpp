#pragma once

struct AbsorberEdge;

// Stage 9: writes the paths whose importance exceeds FEFF_criteria to "feff_N/paths_fin.dat", numbered
// from 1 in table order, at most 1200 of them. Ends the run when there is none.
void write_final_paths_file(AbsorberEdge& edge);

// How the blocks of "paths_fin.dat" name their paths: by the block index, a position among the paths
// above FEFF_criteria, which needs the importances of stage 8; or, where they were not computed while
// FEFF_criteria asks for them, by the representative geometry the block holds.
enum class ListedPaths { by_position, by_geometry };

// Reads "feff_N/paths_fin.dat" back (it may have been edited by hand since) and keeps only the paths it
// lists, in the list's order, each with scale 1.
void load_final_paths(AbsorberEdge& edge, ListedPaths listed_by);
