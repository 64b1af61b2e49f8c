#include "spectra/fourier.hpp"

#include "control/record_parameters.hpp"
#include "spectra/signal.hpp"
#include "spectra/signal_files.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace {

// Exponent of the Gaussian window; 0 for an empty k range, where the window is flat.
double gaussian_exponent(const SpectrumParameters& p) {
    const double width = p.doubles[SpectrumDoubleKey::k_max] - p.doubles[SpectrumDoubleKey::k_min];
    if (!(width > 0)) return 0.0;
    return -std::log(0.1) * 4 / (width * width);
}

std::vector<double> k_window_weights(const SpectrumParameters& p, int n) {
    std::vector<double> weights(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) weights[static_cast<std::size_t>(i)] = k_window_value(p, k_grid_value(p, i));
    return weights;
}

}  // namespace

double k_window_value(const SpectrumParameters& p, double k) {
    const double k_min = p.doubles[SpectrumDoubleKey::k_min];
    const double k_max = p.doubles[SpectrumDoubleKey::k_max];
    const double sill = p.doubles[SpectrumDoubleKey::FT_window_type];
    if (sill < 0) {
        const double k_mid = (k_min + k_max) / 2;
        return std::exp(-gaussian_exponent(p) * (k - k_mid) * (k - k_mid));
    }
    if (k_min + sill < k && k < k_max - sill) return 1.0;
    // Without sills the window is a plain box over [k_min, k_max].
    if (sill == 0) return (k >= k_min && k <= k_max) ? 1.0 : 0.0;
    const double d = k <= k_min + sill ? k - k_min : k_max - k;
    const double c = std::cos((d / sill - 1) * std::numbers::pi / 2);
    return c * c;
}

void fourier_transform(const SignalArray& input, const std::string& file_name, bool write, SignalArray& output) {
    const SpectrumParameters& p = *input.parameters;
    const int n = input.n;
    const std::vector<double> w = k_window_weights(p, n);
    const double sill = p.doubles[SpectrumDoubleKey::FT_window_type];
    const double factor = sill < 0 ? 1.0
                                   : (p.doubles[SpectrumDoubleKey::k_max] - p.doubles[SpectrumDoubleKey::k_min] - sill) /
                                         (2 * std::sqrt(std::numbers::pi));
    for (int j = 0; j < n; ++j) {
        const double r = r_grid_value(p, j);
        double sc = 0.0, ss = 0.0, a = 0.0, b = 0.0;
        for (int i = 0; i < n; ++i) {
            const auto ii = static_cast<std::size_t>(i);
            const double x = 2 * k_grid_value(p, i) * r;
            const double c = std::cos(x);
            const double s = std::sin(x);
            sc += input.re[ii] * w[ii] * c;
            ss += input.re[ii] * w[ii] * s;
            a += w[ii] * c * c;
            b += w[ii] * s * s;
        }
        const auto jj = static_cast<std::size_t>(j);
        // A component whose normaliser vanishes carries no information; it is 0 rather than no number.
        output.re[jj] = a != 0 ? factor * sc / a : 0.0;
        output.im[jj] = b != 0 ? factor * ss / b : 0.0;
        output.mod[jj] = std::sqrt(output.re[jj] * output.re[jj] + output.im[jj] * output.im[jj]);
    }
    if (write) write_signal_file(output, file_name, signal_file_ft);
}

void back_fourier_transform(const SignalArray& input, const SignalArray& r_window, const std::string& file_name,
                            bool write, SignalArray& output) {
    const SpectrumParameters& p = *input.parameters;
    const int n = input.n;
    const double a = gaussian_exponent(p);
    const bool gaussian = p.doubles[SpectrumDoubleKey::FT_window_type] < 0 && a > 0;
    for (int i = 0; i < n; ++i) {
        const double k = k_grid_value(p, i);
        double q = 0.0;
        for (int j = 0; j < n; ++j) {
            const auto jj = static_cast<std::size_t>(j);
            const double x = 2 * k * r_grid_value(p, j);
            q += r_window.re[jj] * (input.re[jj] * std::cos(x) + input.im[jj] * std::sin(x));
        }
        const double m = std::max(k_window_value(p, k), 0.1);
        output.re[static_cast<std::size_t>(i)] = gaussian ? p.dR * q / (std::sqrt(std::numbers::pi * a) * m) : q * p.dR / m;
    }
    if (write) write_signal_file(output, file_name, signal_file_k_line);
}
