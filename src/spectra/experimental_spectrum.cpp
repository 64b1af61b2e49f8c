#include "spectra/experimental_spectrum.hpp"

#include "control/calculation.hpp"
#include "control/console_log.hpp"
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
#include <functional>
#include <iostream>
#include <sstream>

namespace {

constexpr double lower_sentinel = -1e6;
constexpr double upper_sentinel = 1e6;
constexpr double same_point = 1e-6;

// The data lines of a table file: neither empty nor starting with '#', with the number of the line in
// the file. They are also copied to "tempfile", as users look there for what was read; the rows
// themselves are parsed from memory.
struct TableLines {
    std::vector<std::string> lines;
    std::vector<std::size_t> line_numbers;
};

TableLines read_data_lines(std::ifstream& in) {
    TableLines table;
    std::string line;
    for (std::size_t number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // Editors on other systems may open a file with a byte-order mark; it is not part of the data.
        if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
        if (line.empty() || line[0] == '#') continue;
        table.lines.push_back(line);
        table.line_numbers.push_back(number);
    }
    std::ofstream temp("tempfile", std::ios::trunc);
    for (std::size_t i = 0; i < table.lines.size(); ++i) temp << (i > 0 ? "\n" : "") << table.lines[i];
    return table;
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

bool is_binary_byte(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && c != '\t' && c != '\v' && c != '\f') || byte == 0x7f;
}

// Ends the run for a table of which not one row could be read, saying what stands where the numbers
// should be: a table without any data line, a compressed or binary file, commas between the numbers,
// or the first line that is no row of numbers.
[[noreturn]] void refuse_unreadable_table(const std::string& file_name, const TableLines& table, int numbers_per_row,
                                          const char* no_data_message) {
    if (table.lines.empty()) {
        std::cout << no_data_message << '\n';
        end_process(4);
    }
    const std::string& line = table.lines.front();
    const std::size_t number = table.line_numbers.front();
    if (line.rfind("\x1f\x8b", 0) == 0) {
        std::cout << "ERROR: " << file_name << " is gzip-compressed, not a text table: decompress it, or export "
                  << "the data as a text file of columns" << '\n';
    } else if (std::any_of(line.begin(), line.end(), is_binary_byte)) {
        std::cout << "ERROR: " << file_name << " holds binary content (line " << number
                  << "), not a text table of numbers" << '\n';
    } else {
        constexpr std::size_t shown = 60;
        const std::string quoted = "'" + (line.size() > shown ? line.substr(0, shown) + "..." : line) + "'";
        const std::size_t first = line.find_first_not_of(" \t");
        std::cout << "ERROR: line " << number << " of " << file_name << ", " << quoted << ", is not a row of "
                  << numbers_per_row << " numbers";
        if (line.find(',') != std::string::npos) {
            std::cout << ": the numbers are separated by commas; separate them by blanks or tabs";
        } else if (first != std::string::npos && line[first] == '#') {
            std::cout << ": a comment line must begin with '#' as its very first character";
        }
        std::cout << '\n';
    }
    end_process(4);
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

// k of a chi(k) spectrum stays well below this (the grid itself ends at 19.95); a larger abscissa is an
// energy in eV or some other quantity.
constexpr double largest_k = 30.0;

struct ChiRows {
    std::vector<double> k;
    std::vector<double> chi;
};

// Numbers in messages keep the default notation, whatever notation the console was left in.
std::string number_text(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

bool rises(const std::vector<double>& values) {
    return std::adjacent_find(values.begin(), values.end(), std::greater_equal<>()) == values.end();
}

// The k column of a chi(k) table rises from row to row and stays within the wave numbers of EXAFS;
// anything else is another quantity (mu(E) over energies, or chi read as k) that would be fitted as
// nonsense.
void check_k_column(const std::string& file_name, const SpectrumParameters& p, const ChiRows& rows,
                    const TableLines& table) {
    const int column_k = p.ints[SpectrumIntKey::Column_for_k];
    const int column_chi = p.ints[SpectrumIntKey::Column_for_chi];
    const auto too_large = std::find_if(rows.k.begin(), rows.k.end(), [](double k) { return k > largest_k; });
    if (too_large != rows.k.end()) {
        const auto row = static_cast<std::size_t>(too_large - rows.k.begin());
        std::cout << "ERROR: " << file_name << " is not a chi(k) spectrum: its k column (column " << column_k
                  << ", Column_for_k) holds " << number_text(*too_large) << " on line " << table.line_numbers[row]
                  << ", where k stays below " << number_text(largest_k)
                  << " 1/A; is it mu(E) over energies in eV? talq needs chi(k)" << '\n';
        end_process(4);
    }
    const auto fall = std::adjacent_find(rows.k.begin(), rows.k.end(), std::greater_equal<>());
    if (fall == rows.k.end()) return;
    const auto row = static_cast<std::size_t>(fall - rows.k.begin());
    std::cout << "ERROR: the k column of " << file_name << " does not increase: with Column_for_k " << column_k
              << " and Column_for_chi " << column_chi << ", line " << table.line_numbers[row + 1] << " has k = "
              << number_text(rows.k[row + 1]) << " after k = " << number_text(rows.k[row]) << " on line "
              << table.line_numbers[row];
    if (column_k != column_chi && rises(rows.chi)) {
        std::cout << "; column " << column_chi << " increases: if it holds k, set Column_for_k " << column_chi
                  << " and Column_for_chi " << column_k;
    }
    std::cout << '\n';
    end_process(4);
}

// Grid points beyond the data take the data's first or last value: a small gap is reported, and data
// that cover less than half of the compared range are refused.
void check_k_coverage(const std::string& file_name, const SpectrumParameters& p, const ChiRows& rows, double dE0) {
    const double g = energy_shift_term(dE0);
    const double first = shifted(std::max(rows.k.front(), 0.0), g);
    const double last = shifted(std::max(rows.k.back(), 0.0), g);
    const double k_min = p.doubles[SpectrumDoubleKey::k_min];
    const double k_max = p.doubles[SpectrumDoubleKey::k_max];
    const double range = k_max - k_min;
    const std::string shift = dE0 != 0.0 ? " (after the dE0 shift of " + number_text(dE0) + " eV)" : "";
    if (range > 0 && std::min(last, k_max) - std::max(first, k_min) < 0.5 * range) {
        std::cout << "ERROR: the data of " << file_name << " cover k = " << number_text(first) << " to "
                  << number_text(last) << shift << ", less than half of the compared range from k_min "
                  << number_text(k_min) << " to k_max " << number_text(k_max)
                  << ": choose k_min and k_max inside the data" << '\n';
        end_process(1);
    }
    // A gap narrower than a grid step holds one grid point at most; a small shift by dE0 (as -autoES
    // applies) opens one at data that end right at k_max.
    const double tolerance = p.doubles[SpectrumDoubleKey::dk];
    if (last < k_max - tolerance) {
        std::cout << "WARNING: the data of " << file_name << " end at k = " << number_text(last) << shift
                  << ", below k_max " << number_text(k_max) << ": their last value is held up to k_max" << '\n';
    }
    if (first > k_min + tolerance) {
        std::cout << "WARNING: the data of " << file_name << " begin at k = " << number_text(first) << shift
                  << ", above k_min " << number_text(k_min) << ": their first value is held down to k_min" << '\n';
    }
}

std::string window_file_name(const char* prefix, int spectrum) { return prefix + int_to_string(spectrum); }


// Reads the points of a window file; a missing file keeps the window, a short one is reported.
void read_window(SignalArray& window, const std::string& file_name, int mode) {
    if (!std::ifstream(file_name)) {
        std::cout << "WARNING: window file " << file_name << " not found; the window keeps weight 1" << '\n';
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

}  // namespace

double energy_shift_term(double dE0) { return ((dE0 * -1.6381356911311729e38) * 1.602e-19) / 1e20; }

void read_experimental_exafs(SignalArray& target, const std::string& file_name, double dE0, double S02) {
    const SpectrumParameters& p = *target.parameters;
    std::ifstream in(file_name);
    if (!in) {
        std::cout << "ERROR: FILE WITH EXPERIMENTAL EXAFS CANNOT BE OPENED!" << open_failure_note(file_name) << '\n';
        end_process(4);
    }
    const int column_k = p.ints[SpectrumIntKey::Column_for_k];
    const int column_chi = p.ints[SpectrumIntKey::Column_for_chi];
    if (column_k < 1 || column_chi < 1) {
        std::cout << "ERROR: WRONG COLUMN NUMBER FOR k OR chi!" << '\n';
        end_process(1);
    }
    const int numbers_per_row = std::max({p.ints[SpectrumIntKey::Columns_in_input], column_k, column_chi});
    const TableLines lines = read_data_lines(in);

    ChiRows rows;
    std::vector<double> numbers;
    for (const std::string& line : lines.lines) {
        if (!read_row(line, numbers_per_row, numbers)) break;
        const double k = numbers[static_cast<std::size_t>(column_k - 1)];
        const double chi = numbers[static_cast<std::size_t>(column_chi - 1)];
        for (const double value : {k, chi}) {
            if (!is_usable_number(value)) refuse_file_value(file_name, value);
        }
        rows.k.push_back(k);
        rows.chi.push_back(chi);
    }
    if (rows.k.empty()) {
        refuse_unreadable_table(file_name, lines, numbers_per_row, "ERROR: NO DATA IN FILE WITH EXPERIMENTAL EXAFS!");
    }
    warn_dropped_rows(rows.k.size(), lines.lines.size(), file_name);
    check_k_column(file_name, p, rows, lines);

    const double k_power = p.doubles[SpectrumDoubleKey::k_power];
    const double k_power_in_io = p.doubles[SpectrumDoubleKey::k_power_in_IO];
    SentinelTable table;
    for (std::size_t r = 0; r < rows.k.size(); ++r) {
        const double k = rows.k[r];
        const double chi = rows.chi[r];
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
    check_k_coverage(file_name, p, rows, dE0);
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
        std::cout << "ERROR: FILE WITH EXPERIMENTAL AMPLITUDE CANNOT BE OPENED!" << open_failure_note(file_name) << '\n';
        end_process(4);
    }
    const TableLines lines = read_data_lines(in);
    SentinelTable table;
    std::vector<double> numbers;
    for (const std::string& line : lines.lines) {
        if (!read_row(line, 2, numbers)) break;
        for (const double value : numbers) {
            if (!is_usable_number(value)) refuse_file_value(file_name, value);
        }
        table.x.push_back(numbers[0]);
        table.y.push_back(numbers[1]);
    }
    if (table.x.empty()) {
        refuse_unreadable_table(file_name, lines, 2, "ERROR: NO DATA IN FILE WITH EXPERIMENTAL AMPLITUDE!");
    }
    warn_dropped_rows(table.x.size(), lines.lines.size(), file_name);
    add_sentinels(table);
    interpolate_to_fixed_grid(table.x, table.y, output);
}

void load_experimental_spectrum(SpectrumContext& context) {
    const SpectrumParameters& p = *context.parameters;
    read_experimental_exafs(context.exp_chi, p.strings[SpectrumStringKey::File_with_experimental_EXAFS_signal],
                            p.doubles[SpectrumDoubleKey::dE0], p.doubles[SpectrumDoubleKey::S02]);
    fourier_transform(context.exp_chi, context.fourier_tables, context.exp_ft);
    write_signal_file(context.exp_ft, p.strings[SpectrumStringKey::File_for_FT_of_exp_signal], signal_file_ft);
    back_fourier_transform(context.exp_ft, context.window_r, context.fourier_tables, context.exp_bft);
    write_signal_file(context.exp_bft, p.strings[SpectrumStringKey::File_for_BFT_of_exp_signal], signal_file_k_line);
    wavelet_transform(context.exp_chi, context.wavelet_tables, context.exp_wt);
    write_signal_file(context.exp_wt, p.strings[SpectrumStringKey::File_for_WT_of_exp_signal], signal_file_wt);

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

// Stage 3 in one place: windows written (or read back with -skipwin), then every experiment read,
// transformed and written, then the experimental amplitude and phase.
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
