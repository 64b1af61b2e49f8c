#pragma once

#include <span>
#include <string>
#include <vector>

struct Calculation;
struct SignalArray;
struct SpectrumContext;

// A table with sentinels: x[0] = -1e6 and x[n+1] = 1e6 bracket the n data rows, whose values they repeat.
struct SentinelTable {
    std::vector<double> x;
    std::vector<double> y;
};

// Energy shift of the k axis for dE0 in eV: s(x)^2 = x^2 - energy_shift_term(dE0), about x^2 + 0.2624 dE0.
double energy_shift_term(double dE0);

// Reads an experimental chi(k) table, reweights it to k_power, shifts it by dE0 and interpolates it onto
// the target's k grid divided by S02; writes the interpolated spectrum.
void read_experimental_exafs(SignalArray& target, const std::string& file_name, double dE0, double S02);
// Reads the experiment of a spectrum and computes its transforms and reference norms.
void load_experimental_spectrum(SpectrumContext& context);

void interpolate_to_grid(SignalArray& target, std::span<const double> x, std::span<const double> y);
void interpolate_with_e0_shift(SignalArray& target, const std::vector<double>& x, const std::vector<double>& y,
                               double dE0, double divisor);
// Linear interpolation onto the fixed grid k = 0.05 i, i = 0..400.
void interpolate_to_fixed_grid(const std::vector<double>& x, const std::vector<double>& y, double* output);
// Reads a two-column (k, value) table onto the fixed grid.
void read_experimental_amplitude_phase(const std::string& file_name, double* output);

// Stage 3: builds (or reads) the windows of every spectrum and loads every experimental spectrum.
void prepare_experimental_data(Calculation& calc);
