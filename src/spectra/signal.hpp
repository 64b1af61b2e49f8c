#pragma once

#include <cstdint>
#include <vector>

struct SpectrumParameters;

// Kinds of signal: a line of nk points on the k or R grid, or a map of nk*nk points over (R, k) with k
// running fastest.
constexpr int signal_line = 1;
constexpr int signal_map = 2;

// Points of the fixed model grid k = 0.05 i, i = 0..400.
constexpr int fixed_grid_points = 401;
constexpr double fixed_grid_step = 0.05;

// A sampled signal; a window is a signal whose re holds one weight per point.
struct SignalArray {
    std::int32_t n = 0;
    std::vector<double> re;
    std::vector<double> im;
    std::vector<double> mod;
    const SpectrumParameters* parameters = nullptr;  // gives the grids
};

// Binds the signal to the spectrum and sizes it (nk or nk*nk points, zeroed).
void alloc_signal(SignalArray& signal, const SpectrumParameters& parameters, int kind);
// Copies the source's points into the destination, which keeps its own size and must be at least as large.
void copy_signal(const SignalArray& source, SignalArray& destination);
void free_signal(SignalArray& signal);
void set_signal_ones(SignalArray& signal);

double k_grid_value(const SpectrumParameters& parameters, std::int32_t i);
double r_grid_value(const SpectrumParameters& parameters, std::int32_t i);
