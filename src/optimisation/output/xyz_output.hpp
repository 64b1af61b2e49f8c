#pragma once

#include <string>

struct Calculation;

// For every structure: the reference configuration and that of the best current state, each with and
// without periodic images (the latter under the "_no_PBC.xyz" name), then the partial RDFs of the best
// state. The working list is rebuilt with all images for the snapshot and left with the selected ones.
void write_state_xyz_files(Calculation& calc);
// Appends history frames to every structure's File_for_actual_geometry and chi lines to every spectrum's
// File_for_EXAFS_history: the best state with Actual_geometry_format 1, every state with 2 or more,
// nothing with 0 or less.
void append_states_xyz(Calculation& calc);
// The two halves of append_states_xyz: the geometry frames, and the chi lines.
void append_states_geometry(Calculation& calc);
void append_states_chi_history(Calculation& calc);
// The name with its last four characters (the extension) replaced by "_no_PBC.xyz"; shorter names are
// kept whole.
std::string no_pbc_file_name(const std::string& file_name);
