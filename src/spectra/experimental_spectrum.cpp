#include "spectra/experimental_spectrum.hpp"

#include "control/calculation.hpp"
#include "control/number_text.hpp"
#include "control/process_end.hpp"
#include "spectra/fourier.hpp"
#include "spectra/residuals.hpp"
#include "spectra/signal.hpp"
#include "spectra/signal_files.hpp"
#include "spectra/wavelet.hpp"
#include "spectra/spectrum_context.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <fstream>
#include <iostream>
#include <sstream>

namespace {

constexpr double lower_sentinel = -1e6;
constexpr double upper_sentinel = 1e6;
constexpr double same_point = 1e-6;

// The data lines of a table file: neither empty nor starting with '#'. They are also copied to
// "tempfile", as users look there for what was read; the rows themselves are parsed from memory.
std::vector<std::string> read_data_lines(std::ifstream& in) {
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        lines.push_back(line);
    }
    std::ofstream temp("tempfile", std::ios::trunc);
    for (std::size_t i = 0; i < lines.size(); ++i) temp << (i > 0 ? "\n" : "") << lines[i];
    return lines;
}

// The first `count` numbers of a line, or nothing when the line has fewer readable numbers.
bool read_row(const std::string& line, int count, std::vector<double>& numbers) {
    std::istringstream fields(line);
    numbers.resize(static_cast<std::size_t>(count));
    for (double& number : numbers) {
        if (!(fields >> number)) return false;
    }
    return true;
}

void warn_dropped_rows(std::size_t read, std::size_t lines, const std::string& file_name) {
    if (read == lines) return;
    std::cout << "WARNING: only " << read << " of " << lines << " data rows of " << file_name
              << " could be read; reading stopped at the first incomplete row" << '\n';
}

void add_sentinels(SentinelTable& table) {
    table.x.insert(table.x.begin(), lower_sentinel);
    table.y.insert(table.y.begin(), table.y.front());
    table.x.push_back(upper_sentinel);
    table.y.push_back(table.y.back());
}

double shifted(double x, double g) { return std::sqrt(std::max(x * x - g, 0.0)); }

// Linear interpolation of (x, y) onto n grid points, with the abscissae mapped by `position` for the
// search (`search_position`) and for the interpolation. The search carries on from the previous
// point's lower neighbour, never reads before the first entry and stops at the last one.
template <class Grid, class Position, class SearchPosition>
void interpolate(std::span<const double> x, std::span<const double> y, int n, Grid grid, double divisor,
                 Position position, SearchPosition search_position, double* output) {
    const std::size_t last = x.size() - 1;
    std::size_t j = 0;
    for (int i = 0; i < n; ++i) {
        const double kg = grid(i);
        while (j < last && kg > search_position(x[j])) ++j;
        if (kg > search_position(x[j])) {  // beyond the last entry
            output[i] = y[last] / divisor;
            continue;
        }
        if (j == 0) {  // at or below the first entry
            output[i] = y[0] / divisor;
            continue;
        }
        const std::size_t lo = j - 1;
        const double a = position(x[lo]);
        const double d = kg - a;
        const double b = position(x[j]);
        if (std::abs(d) < same_point || b == a) output[i] = y[lo] / divisor;
        else output[i] = ((y[j] - y[lo]) * d / (b - a) + y[lo]) / divisor;
        j = lo;
    }
}

double fixed_grid(int i) { return fixed_grid_step * i; }

double norm_of(const SignalArray& signal, const SignalArray& window, bool complex, std::int32_t norm_code) {
    return norm_code == norm_L1 ? weighted_abs_norm(signal, window, complex)
                                : weighted_squared_norm(signal, window, complex);
}

}  // namespace

double energy_shift_term(double dE0) { return ((dE0 * -1.6381356911311729e38) * 1.602e-19) / 1e20; }

void read_experimental_exafs(SignalArray& target, const std::string& file_name, double dE0, double S02) {
    const SpectrumParameters& p = *target.parameters;
    std::ifstream in(file_name);
    if (!in) {
        std::cout << "ERROR: FILE WITH EXPERIMENTAL EXAFS CANNOT BE OPENED!" << '\n';
        end_process(4);
    }
    const int column_k = p.ints[SpectrumIntKey::Column_for_k];
    const int column_chi = p.ints[SpectrumIntKey::Column_for_chi];
    if (column_k < 1 || column_chi < 1) {
        std::cout << "ERROR: WRONG COLUMN NUMBER FOR k OR chi!" << '\n';
        end_process(1);
    }
    const int numbers_per_row = std::max({p.ints[SpectrumIntKey::Columns_in_input], column_k, column_chi});
    const std::vector<std::string> lines = read_data_lines(in);

    const double k_power = p.doubles[SpectrumDoubleKey::k_power];
    const double k_power_in_io = p.doubles[SpectrumDoubleKey::k_power_in_IO];
    SentinelTable table;
    std::vector<double> numbers;
    for (const std::string& line : lines) {
        if (!read_row(line, numbers_per_row, numbers)) break;
        const double k = numbers[static_cast<std::size_t>(column_k - 1)];
        const double chi = numbers[static_cast<std::size_t>(column_chi - 1)];
        for (const double value : {k, chi}) {
            if (!is_usable_number(value)) refuse_file_value(file_name, value);
        }
        table.x.push_back(k);
        if (k > 0) table.y.push_back(chi * std::pow(k, k_power - k_power_in_io));
        else table.y.push_back(k_power != k_power_in_io ? 0.0 : chi);
        // What is interpolated; the transforms and norms square and sum it.
        const double weighted = table.y.back() / S02;
        if (!is_usable_number(weighted)) {
            std::cout << "ERROR: VALUE " << chi << " AT k = " << k << " IN FILE " << file_name
                      << " CANNOT BE USED: WEIGHTED BY k AND DIVIDED BY S02 IT IS " << weighted << "!" << '\n';
            end_process(4);
        }
    }
    if (table.x.empty()) {
        std::cout << "ERROR: NO DATA IN FILE WITH EXPERIMENTAL EXAFS!" << '\n';
        end_process(4);
    }
    warn_dropped_rows(table.x.size(), lines.size(), file_name);
    add_sentinels(table);
    interpolate_with_e0_shift(target, table.x, table.y, dE0, S02);
    write_signal_file(target, p.strings[SpectrumStringKey::File_for_i_pol_exp_signal], signal_file_chi);
}

void interpolate_with_e0_shift(SignalArray& target, const std::vector<double>& x, const std::vector<double>& y,
                               double dE0, double divisor) {
    const double g = energy_shift_term(dE0);
    const SpectrumParameters& p = *target.parameters;
    interpolate(
        x, y, target.n, [&p](int i) { return k_grid_value(p, i); }, divisor, [g](double v) { return shifted(v, g); },
        [g](double v) { return shifted(std::max(v, 0.0), g); }, target.re.data());
}

void interpolate_to_grid(SignalArray& target, std::span<const double> x, std::span<const double> y) {
    const auto plain = [](double v) { return v; };
    const SpectrumParameters& p = *target.parameters;
    interpolate(x, y, target.n, [&p](int i) { return k_grid_value(p, i); }, 1.0, plain, plain, target.re.data());
}

void interpolate_to_fixed_grid(const std::vector<double>& x, const std::vector<double>& y, double* output) {
    const auto plain = [](double v) { return v; };
    if (x.empty() || x[0] > 0.0) {
        std::fill(output, output + fixed_grid_points, 0.0);
        return;
    }
    interpolate(x, y, fixed_grid_points, fixed_grid, 1.0, plain, plain, output);
}

void read_experimental_amplitude_phase(const std::string& file_name, double* output) {
    std::ifstream in(file_name);
    if (!in) {
        std::cout << "ERROR: FILE WITH EXPERIMENTAL AMPLITUDE CANNOT BE OPENED!" << '\n';
        end_process(4);
    }
    const std::vector<std::string> lines = read_data_lines(in);
    SentinelTable table;
    std::vector<double> numbers;
    for (const std::string& line : lines) {
        if (!read_row(line, 2, numbers)) break;
        for (const double value : numbers) {
            if (!is_usable_number(value)) refuse_file_value(file_name, value);
        }
        table.x.push_back(numbers[0]);
        table.y.push_back(numbers[1]);
    }
    if (table.x.empty()) {
        std::cout << "ERROR: NO DATA IN FILE WITH EXPERIMENTAL AMPLITUDE!" << '\n';
        end_process(4);
    }
    warn_dropped_rows(table.x.size(), lines.size(), file_name);
    add_sentinels(table);
    interpolate_to_fixed_grid(table.x, table.y, output);
}

void load_experimental_spectrum(SpectrumContext& context) {
    const SpectrumParameters& p = *context.parameters;
    read_experimental_exafs(context.exp_chi, p.strings[SpectrumStringKey::File_with_experimental_EXAFS_signal],
                            p.doubles[SpectrumDoubleKey::dE0], p.doubles[SpectrumDoubleKey::S02]);
    fourier_transform(context.exp_chi, context.fourier_tables, p.strings[SpectrumStringKey::File_for_FT_of_exp_signal],
                      true, context.exp_ft);
    back_fourier_transform(context.exp_ft, context.window_r, context.fourier_tables,
                           p.strings[SpectrumStringKey::File_for_BFT_of_exp_signal], true, context.exp_bft);
    wavelet_transform(context.exp_chi, context.wavelet_tables, p.strings[SpectrumStringKey::File_for_WT_of_exp_signal],
                      true, context.exp_wt);

    context.norm_k = norm_of(context.exp_chi, context.window_k, false, p.norm_code);
    context.norm_q = norm_of(context.exp_bft, context.window_q, false, p.norm_code);
    context.norm_r = norm_of(context.exp_ft, context.window_r, true, p.norm_code);
    context.norm_w = norm_of(context.exp_wt, context.window_w, true, p.norm_code);

    const double fit_space_norm[] = {context.norm_k, context.norm_q, context.norm_r, context.norm_w};
    if (!(fit_space_norm[p.space_code] > 0)) {
        std::cout << "WARNING: the experimental spectrum " << context.index
                  << " has no weight in the fit space (reference norm " << fit_space_norm[p.space_code]
                  << "); its residuals are not normalised" << '\n';
    }
}
