#pragma once

#include <string>

struct SignalArray;
struct SpectrumParameters;

// Weight of the k window at k: a Gaussian that is 0.1 at k_min and k_max (FT_window_type < 0), or a flat
// top with cos^2 sills of width FT_window_type.
double k_window_value(const SpectrumParameters& parameters, double k);

// Fourier transform of k-space chi onto the R grid (re, im and mod), written as an FT file when asked.
void fourier_transform(const SignalArray& input, const std::string& file_name, bool write, SignalArray& output);
// Back-transform of an R-space signal, weighted by the R window, onto the k grid (re only).
void back_fourier_transform(const SignalArray& input, const SignalArray& r_window, const std::string& file_name,
                            bool write, SignalArray& output);
