#pragma once

#include <string>

struct SpectrumContext;

// Writes a model chi held on the states' fixed grid (entry m at k = 0.05 (m - 1)) as 400 lines for
// k = 0.05 .. 20.0, in the column order and k weighting of the spectrum's input files, whole or not at all
// (write_whole_file: a warning names the reason, a full disk ends the run).
void write_chi_file(const SpectrumContext& context, const double* chi_grid, std::string file_name);

// Median of n >= 1 values; sorts them in place.
double median_of_array(double* values, int n);
// Robust variance estimate (1.4826 MAD)^2 of n >= 1 values; overwrites them with their absolute
// deviations from the median.
double mad_variance(double* values, int n);
double mean_of_array(const double* values, int n);
