#pragma once

#include <complex>
#include <string>

struct SignalArray;
struct WorkRange;

// In-place radix-2 transforms of n complex values, X_m = sum_j x_j exp(-+2 pi i j m / n). Both refuse,
// returning false and leaving the data untouched, when data is null or n is not a positive power of two.
bool fft_forward(std::complex<double>* data, int n);
// With normalise set, every value is then scaled by 1/n, so that it undoes fft_forward.
bool fft_inverse(std::complex<double>* data, int n, bool normalise);

// Transform size for a k grid of nk points: the smallest power of two that is at least nk and at least 512.
int wavelet_fft_size(int nk);

// Fills the map output (a map signal of the same spectrum) with the wavelet transform of the line input,
// one row per R of the R grid, on the spectrum's thread_count worker threads; then writes the map to
// file_name when write is set.
void wavelet_transform(const SignalArray& input, const std::string& file_name, bool write, SignalArray& output);

// Computes the map rows [range.first, range.end). Reads the SpectrumParameters behind range.data and the
// chi(k) line range.input; writes only its own rows of output_re, output_im and output_mod.
void wavelet_transform_worker(WorkRange& range);
