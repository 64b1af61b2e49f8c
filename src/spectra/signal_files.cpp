#include "spectra/signal_files.hpp"

#include "control/calculation.hpp"
#include "control/console_log.hpp"
#include "control/number_text.hpp"
#include "control/output_file.hpp"
#include "spectra/signal.hpp"
#include "spectra/spectrum_context.hpp"

#include <cmath>
#include <fstream>
#include <iomanip>
#include <iostream>

namespace {

// Exponent that turns the run's k weighting back into that of the input files.
double io_weight_exponent(const SpectrumParameters& p) {
    return p.doubles[SpectrumDoubleKey::k_power_in_IO] - p.doubles[SpectrumDoubleKey::k_power];
}

bool chi_column_first(const SpectrumParameters& p) {
    return p.ints[SpectrumIntKey::Column_for_chi] < p.ints[SpectrumIntKey::Column_for_k];
}

void warn_window(const std::string& file_name, const char* problem) {
    std::cout << "WARNING: window file " << file_name << " " << problem << '\n';
}

// A weight of a window multiplies every value of a transform; one beyond the usable range overflows it.
void require_usable(double value, const std::string& file_name) {
    if (!is_usable_number(value)) refuse_file_value(file_name, value);
}

void write_signal_text(const SignalArray& signal, std::ostream& out, int mode) {
    out << std::scientific << std::setprecision(6);
    const SpectrumParameters& p = *signal.parameters;
    const int nk = p.nk;
    if (mode == signal_file_wt) {
        for (int r = 0; r < nk; ++r) {
            for (int k = 0; k < nk; ++k) {
                const auto i = static_cast<std::size_t>(r * nk + k);
                out << k_grid_value(p, k) << ' ' << r_grid_value(p, r) << ' ' << signal.re[i] << ' ' << signal.im[i]
                    << ' ' << signal.mod[i] << '\n';
            }
        }
        return;
    }
    for (int i = 0; i < signal.n; ++i) {
        const auto ii = static_cast<std::size_t>(i);
        if (mode == signal_file_ft) {
            out << r_grid_value(p, i) << ' ' << signal.re[ii] << ' ' << signal.im[ii] << ' ' << signal.mod[ii] << '\n';
        } else if (mode == signal_file_k_line) {
            out << k_grid_value(p, i) << ' ' << signal.re[ii] << '\n';
        } else {
            const double k = k_grid_value(p, i);
            const double value = signal.re[ii] * std::pow(k, io_weight_exponent(p));
            if (chi_column_first(p)) out << value << ' ' << k << '\n';
            else out << k << ' ' << value << '\n';
        }
    }
}

}  // namespace

void write_signal_file(const SignalArray& signal, const std::string& file_name, int mode) {
    write_whole_file(file_name, [&](std::ostream& out) { write_signal_text(signal, out, mode); }, OutputKind::optional);
}

void read_signal_file(SignalArray& signal, const std::string& file_name, int mode) {
    std::ifstream in(file_name);
    if (!in) return;
    const SpectrumParameters& p = *signal.parameters;
    double first = 0.0, second = 0.0, re = 0.0, im = 0.0, mod = 0.0;
    for (int i = 0; i < signal.n; ++i) {
        const auto ii = static_cast<std::size_t>(i);
        if (mode == signal_file_ft || mode == signal_file_wt) {
            if (mode == signal_file_wt) in >> first;
            if (!(in >> second >> re >> im >> mod)) {
                warn_window(file_name, "is shorter than its window; the remaining points keep their weights");
                return;
            }
            for (const double value : {re, im, mod}) require_usable(value, file_name);
            signal.re[ii] = re;
            signal.im[ii] = im;
            signal.mod[ii] = mod;
            continue;
        }
        if (!(in >> first >> second)) {
            warn_window(file_name, "is shorter than its window; the remaining points keep their weights");
            return;
        }
        for (const double value : {first, second}) require_usable(value, file_name);
        if (mode == signal_file_k_line) {
            signal.re[ii] = second;
        } else {
            // A chi-layout file holds the weight in the chi column, with the input's k weighting.
            const double value = chi_column_first(p) ? first : second;
            signal.re[ii] = value * std::pow(k_grid_value(p, i), -io_weight_exponent(p));
        }
    }
}
