#include "spectra/signal_files.hpp"

#include "control/calculation.hpp"
#include "control/console_log.hpp"
#include "control/number_text.hpp"
#include "control/output_file.hpp"
#include "control/threads.hpp"
#include "spectra/signal.hpp"
#include "spectra/spectrum_context.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

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

// One line of numbers as the files hold them: "%.6e", one space between, a newline at the end.
template <class... Values>
void append_line(std::string& text, Values... values) {
    const char* separator = "";
    ((text += separator, append_scientific(text, values, 6), separator = " "), ...);
    text += '\n';
}

// The file's text, in pieces to be written one after the other.
std::vector<std::string> signal_text(const SignalArray& signal, int mode) {
    const SpectrumParameters& p = *signal.parameters;
    const int nk = p.nk;
    if (mode == signal_file_wt) {
        // A map is nk * nk lines: its rows are put into text on the threads, a piece each.
        const int threads = std::clamp(p.thread_count, 1, std::max(nk, 1));
        std::vector<std::string> parts(static_cast<std::size_t>(threads));
        fork_join(threads, [&](std::int32_t part) {
            std::string& own = parts[static_cast<std::size_t>(part)];
            const int first = static_cast<int>(static_cast<long>(nk) * part / threads);
            const int end = static_cast<int>(static_cast<long>(nk) * (part + 1) / threads);
            own.reserve(static_cast<std::size_t>(end - first) * static_cast<std::size_t>(nk) * 70);
            for (int r = first; r < end; ++r) {
                for (int k = 0; k < nk; ++k) {
                    const auto i = static_cast<std::size_t>(r * nk + k);
                    append_line(own, k_grid_value(p, k), r_grid_value(p, r), signal.re[i], signal.im[i], signal.mod[i]);
                }
            }
        });
        return parts;
    }
    std::vector<std::string> pieces(1);
    std::string& text = pieces[0];
    for (int i = 0; i < signal.n; ++i) {
        const auto ii = static_cast<std::size_t>(i);
        if (mode == signal_file_ft) {
            append_line(text, r_grid_value(p, i), signal.re[ii], signal.im[ii], signal.mod[ii]);
        } else if (mode == signal_file_k_line) {
            append_line(text, k_grid_value(p, i), signal.re[ii]);
        } else {
            const double k = k_grid_value(p, i);
            const double value = signal.re[ii] * std::pow(k, io_weight_exponent(p));
            if (chi_column_first(p)) append_line(text, value, k);
            else append_line(text, k, value);
        }
    }
    return pieces;
}

}  // namespace

void write_signal_file(const SignalArray& signal, const std::string& file_name, int mode) {
    write_whole_file(file_name, signal_text(signal, mode), OutputKind::optional);
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
