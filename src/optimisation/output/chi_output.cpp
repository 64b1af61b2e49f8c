#include "optimisation/output/chi_output.hpp"

#include "control/output_file.hpp"
#include "control/record_parameters.hpp"
#include "spectra/fourier.hpp"
#include "spectra/signal_files.hpp"
#include "spectra/spectrum_context.hpp"
#include "spectra/state_spectrum.hpp"
#include "spectra/wavelet.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <numeric>
#include <span>

namespace {

constexpr int chi_file_lines = 400;
constexpr double chi_grid_step = 0.05;
constexpr double mad_to_sigma = 1.4826;  // MAD of a normal distribution times this is its sigma

std::span<double> as_span(double* values, int n) { return {values, static_cast<std::size_t>(n)}; }

}  // namespace

void write_chi_file(const SpectrumContext& context, const double* chi_grid, std::string file_name) {
    const SpectrumParameters& p = *context.parameters;
    const double exponent = p.doubles[SpectrumDoubleKey::k_power_in_IO] - p.doubles[SpectrumDoubleKey::k_power];
    const bool chi_first = p.ints[SpectrumIntKey::Column_for_chi] < p.ints[SpectrumIntKey::Column_for_k];
    write_whole_file(file_name, [&](std::ostream& out) {
        out << std::scientific << std::setprecision(6);
        for (int i = 1; i <= chi_file_lines; ++i) {
            const double k = chi_grid_step * i;
            const double chi = chi_grid[i + 1] * std::pow(k, exponent);
            if (chi_first) out << chi << ' ' << k << '\n';
            else out << k << ' ' << chi << '\n';
        }
    }, OutputKind::optional);
}

void write_spectrum_transforms(const SpectrumContext& context, const SpectrumParameters& parameters, StateSpectrum& block) {
    fourier_transform(block.chi, block.ft);
    write_signal_file(block.ft, parameters.strings[SpectrumStringKey::File_for_FT], signal_file_ft);
    back_fourier_transform(block.ft, context.window_r, block.bft);
    write_signal_file(block.bft, parameters.strings[SpectrumStringKey::File_for_BFT], signal_file_k_line);
    wavelet_transform(block.chi, block.wt);
    write_signal_file(block.wt, parameters.strings[SpectrumStringKey::File_for_WT], signal_file_wt);
}

double median_of_array(double* values, int n) {
    const std::span<double> v = as_span(values, n);
    std::sort(v.begin(), v.end());
    const auto half = static_cast<std::size_t>(n / 2);
    if (n % 2 == 1) return v[half];
    return (v[half - 1] + v[half]) / 2.0;
}

double mad_variance(double* values, int n) {
    const double median = median_of_array(values, n);
    for (double& x : as_span(values, n)) x = std::fabs(x - median);
    const double mad = median_of_array(values, n);
    return mad * mad * mad_to_sigma * mad_to_sigma;
}

double mean_of_array(const double* values, int n) {
    return std::accumulate(values, values + n, 0.0) / n;
}
