#pragma once

#include <string>

struct AbsorberEdge;
struct SpectrumContext;

// Creates the spectrum's three partial-spectrum files anew (File_for_partial_EXAFS, File_for_partial_FT,
// File_for_partial_WT), then appends the block of every edge that contributes to the spectrum, in the
// order of its edge list. A file that cannot be created gives one warning and is left out.
void write_partial_spectra_files(SpectrumContext& context, int best_state);

// Appends the edge's block to each of the three files: a header of path labels, legs, degeneracies and
// lengths, then one column per path of the best state's path chi (k-weighted for the spectrum files),
// of the modulus of its Fourier transform and of the modulus of its wavelet transform. An empty name
// leaves that file out; a file that cannot be opened gives a warning.
void write_partial_spectra_tables(AbsorberEdge& edge, int best_state, const std::string& exafs_file_name,
                                  const std::string& ft_file_name, const std::string& wt_file_name);
