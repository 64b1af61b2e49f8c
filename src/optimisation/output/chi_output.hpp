#pragma once

#include <string>

struct SpectrumContext;
struct SpectrumParameters;
struct StateSpectrum;

// Writes a model chi held on the states' fixed grid (entry m at k = 0.05 (m - 1)) as 400 lines for
// k = 0.05 .. 20.0, in the column order and k weighting of the spectrum's input files, whole or not at all
// (write_whole_file: a warning names the reason, a full disk ends the run).
void write_chi_file(const SpectrumContext& context, const double* chi_grid, std::string file_name);

// The Fourier, back-Fourier and wavelet transforms of a state's spectrum, made into the block and written
// to the spectrum's File_for_FT, File_for_BFT and File_for_WT.
void write_spectrum_transforms(const SpectrumContext& context, const SpectrumParameters& parameters, StateSpectrum& block);

// Median of n >= 1 values; sorts them in place.
double median_of_array(double* values, int n);
// Robust variance estimate (1.4826 MAD)^2 of n >= 1 values; overwrites them with their absolute
// deviations from the median.
double mad_variance(double* values, int n);
double mean_of_array(const double* values, int n);
