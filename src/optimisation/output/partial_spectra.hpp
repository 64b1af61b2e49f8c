#pragma once

#include <string>

struct AbsorberEdge;
struct SpectrumContext;

// Rewrites the spectrum's three partial-spectrum files (File_for_partial_EXAFS, File_for_partial_FT,
// File_for_partial_WT) with the block of every edge that contributes to the spectrum, in the order of its
// edge list. A block is a header of path labels, legs, degeneracies and lengths, then one column per path
// of the best state's path chi (k-weighted for the spectrum files), of the modulus of its Fourier
// transform and of the modulus of its wavelet transform. An empty name leaves that file out; a file that
// cannot be written gives a warning.
void write_partial_spectra_files(SpectrumContext& context, int best_state);
