#include "spectra/signal_files.hpp"

#include "control/calculation.hpp"
#include "control/console_log.hpp"
#include "control/number_text.hpp"
#include "control/output_file.hpp"
#include "spectra/experimental_spectrum.hpp"
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

std::string window_file_name(const char* prefix, int spectrum) { return prefix + int_to_string(spectrum); }

void warn_window(const std::string& file_name, const char* problem) {
    std::cout << "WARNING: window file " << file_name << " " << problem << '\n';
}

// A weight of a window multiplies every value of a transform; one beyond the usable range overflows it.
void require_usable(double value, const std::string& file_name) {
    if (!is_usable_number(value)) refuse_file_value(file_name, value);
}

// Reads the points of a window file; a missing file keeps the window, a short one is reported.
void read_window(SignalArray& window, const std::string& file_name, int mode) {
    if (!std::ifstream(file_name)) {
        warn_window(file_name, "not found; the window keeps weight 1");
        return;
    }
    read_signal_file(window, file_name, mode);
}

void zero_outside_r_range(SignalArray& window, const SpectrumParameters& p, int rows, int row_length) {
    const double r_min = p.doubles[SpectrumDoubleKey::R_min];
    const double r_max = p.doubles[SpectrumDoubleKey::R_max];
    for (int i = 0; i < rows; ++i) {
        const double r = r_grid_value(p, i);
        if (!(r > r_max || r < r_min)) continue;
        for (int k = 0; k < row_length; ++k) {
            const auto point = static_cast<std::size_t>(i * row_length + k);
            window.re[point] = 0.0;
            window.im[point] = 0.0;
            window.mod[point] = 0.0;
        }
    }
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

void prepare_experimental_data(Calculation& calc) {
    const int spectra = calc.parameters.ints[IntKey::Number_of_spectra];
    for (int s = 0; s < spectra; ++s) {
        SpectrumContext& context = calc.spectra[s];
        const SpectrumParameters& p = *context.parameters;
        for (SignalArray* window : {&context.window_k, &context.window_r, &context.window_r_first_shell,
                                    &context.window_q, &context.window_w, &context.window_w_first_shell}) {
            set_signal_ones(*window);
        }
        const std::string k_file = window_file_name("window_K_", s);
        const std::string q_file = window_file_name("window_Q_", s);
        const std::string r_file = window_file_name("window_R_", s);
        const std::string w_file = window_file_name("window_W_", s);
        if (calc.flags.skipwin) {
            read_window(context.window_k, k_file, signal_file_chi);
            // The Q window is written as (k, weight) lines, so it is read back in that layout.
            read_window(context.window_q, q_file, signal_file_k_line);
            read_window(context.window_r, r_file, signal_file_ft);
            read_window(context.window_w, w_file, signal_file_wt);
        } else {
            write_signal_file(context.window_k, k_file, signal_file_chi);
            write_signal_file(context.window_q, q_file, signal_file_k_line);
            zero_outside_r_range(context.window_r, p, p.nk, 1);
            write_signal_file(context.window_r, r_file, signal_file_ft);
            zero_outside_r_range(context.window_w, p, p.nk, p.nk);
            write_signal_file(context.window_w, w_file, signal_file_wt);
        }
        load_experimental_spectrum(context);
    }
    if (calc.parameters.bools[BoolKey::use_experimental_phases_amps]) {
        ExperimentalAmplitudePhase& experimental = calc.experimental_amplitude_phase;
        experimental.in_use = true;
        const SpectrumParameters& p = calc.spectrum_parameters[0];
        read_experimental_amplitude_phase(p.strings[SpectrumStringKey::File_with_amplitude],
                                          experimental.amplitude.data());
        read_experimental_amplitude_phase(p.strings[SpectrumStringKey::File_with_phase], experimental.phase.data());
    }
}
