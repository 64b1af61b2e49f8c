#pragma once

#include <cstdint>
#include <vector>

struct SignalArray;
struct SpectrumParameters;

// Weight of the k window at k: a Gaussian that is 0.1 at k_min and k_max (FT_window_type < 0), or a flat
// top with cos^2 sills of width FT_window_type.
double k_window_value(const SpectrumParameters& parameters, double k);

// What every transform of one spectrum's grids repeats: the k window, cos and sin of 2 k R on every pair
// of grid points, and the normalisers that depend on nothing else. A residual in R or q space transforms
// every moved state, so the spectrum keeps these once instead of calling cos and sin n^2 times per
// transform. Every value is the one the direct sums compute, so the transforms do not change. The
// forward and the back transform each build the half they read, the first time they need it.
struct FourierTables {
    // The keys the tables were built from; a transform on other values rebuilds them.
    bool built = false;
    std::int32_t n = 0;
    double k_min = 0.0;
    double k_max = 0.0;
    double dk = 0.0;
    double dR = 0.0;
    double sill = 0.0;  // FT_window_type

    std::vector<double> window;  // w(k_i)
    double factor = 1.0;         // of the forward transform
    bool gaussian = false;       // the back-transform's normalisation
    std::vector<double> back_divisor;  // per k point: sqrt(pi a) max(w, 0.1) when gaussian, max(w, 0.1) when not

    // The forward transform's half, rows over k: cos and sin of 2 k_i R_j at i * n + j, and per R point
    // the sums over k of w cos^2 and w sin^2.
    bool forward_built = false;
    std::vector<double> cos_by_k;
    std::vector<double> sin_by_k;
    std::vector<double> cos_squares;
    std::vector<double> sin_squares;
    // The back-transform's half, rows over R: the same cos and sin at j * n + i.
    bool back_built = false;
    std::vector<double> cos_by_r;
    std::vector<double> sin_by_r;
};

// Sets the tables to the signal's grid and window of n points, emptying both halves unless they were
// built for the same values. Reading built tables is safe from several threads; building them is not.
void prepare_fourier_tables(FourierTables& tables, const SpectrumParameters& parameters, int n);

// Fourier transform of k-space chi onto the R grid (re, im and mod). Writing it is the caller's business
// (write_signal_file with signal_file_ft).
void fourier_transform(const SignalArray& input, SignalArray& output);
// The same with the spectrum's own tables, prepared first when needed.
void fourier_transform(const SignalArray& input, FourierTables& tables, SignalArray& output);
// Back-transform of an R-space signal, weighted by the R window, onto the k grid (re only); written, when
// wanted, as a k-space line (signal_file_k_line).
void back_fourier_transform(const SignalArray& input, const SignalArray& r_window, SignalArray& output);
void back_fourier_transform(const SignalArray& input, const SignalArray& r_window, FourierTables& tables,
                            SignalArray& output);
