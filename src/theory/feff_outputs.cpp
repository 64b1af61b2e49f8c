#include "theory/feff_outputs.hpp"

#include "control/number_text.hpp"
#include "control/process_end.hpp"
#include "theory/feff_run.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fstream>
#include <iostream>
#include <optional>
#include <string_view>

namespace {

// FEFF's tables hold signals and phases of atomic structures: |chi| stays below about 10^2 even for
// atoms far closer than any bond, a phase below 2 k R, about 10^3 radians for any path length FEFF is
// given. A value a thousand times beyond is no result but a broken write (an exponent that lost or
// gained digits), which would otherwise swamp every residual.
constexpr double largest_feff_value = 1e6;

// FEFF prints k with four decimals on its grid of step 0.05, so a row off by more than this is on
// another grid (or its columns shifted).
constexpr double k_tolerance = 0.001;

[[noreturn]] void refuse_table(const std::string& path, std::size_t line, const std::string& reason) {
    std::cout << "ERROR: FEFF OUTPUT " << path << " IS MALFORMED: LINE " << line << " " << reason << "!" << '\n';
    end_process(1);
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// The words of the line, as views into it.
void split_words(const std::string& line, std::vector<std::string_view>& words) {
    words.clear();
    std::size_t at = 0;
    for (;;) {
        while (at < line.size() && is_blank(line[at])) ++at;
        if (at == line.size()) return;
        const std::size_t start = at;
        while (at < line.size() && !is_blank(line[at])) ++at;
        words.emplace_back(line.data() + start, at - start);
    }
}

// The cause of a table cut short, when it is known: a full disk or a folder that cannot be written.
std::string cut_cause(const std::string& path) {
    const std::string cause = describe_unwritable_folder(path);
    return cause.empty() ? cause : " (" + cause + ")";
}

int grid_offset(const std::vector<FeffRow>& rows) {
    return !rows.empty() && std::abs(rows[0][0] - 0.05) < k_tolerance ? 1 : 0;
}

}  // namespace

std::vector<FeffRow> read_feff_table(const std::string& path, int fields) {
    std::ifstream in(path);
    if (!in) {
        const int error = errno;
        std::cout << "ERROR: FEFF OUTPUT " << path << " NOT FOUND! (" << describe_missing_output(path, error) << ")" << '\n';
        end_process(1);
    }
    std::string line;
    std::vector<std::string_view> words;
    std::size_t line_number = 0;
    bool found = false;
    while (!found && std::getline(in, line)) {
        ++line_number;
        split_words(line, words);
        for (const std::string_view word : words) found = found || word[0] == '@';
    }
    if (!found) {
        std::cout << "ERROR: FEFF OUTPUT " << path << " HOLDS NO DATA!" << cut_cause(path) << '\n';
        end_process(1);
    }
    // Every line after the column line is one row. Reading words regardless of lines would let a row
    // that lost a value shift every later column into the wrong place; and FEFF prints a value it could
    // not compute as a word such as NaN, where ending the table would pass a shortened signal for a
    // whole one.
    std::vector<FeffRow> rows;
    std::size_t short_row_line = 0;
    std::size_t short_row_count = 0;
    while (std::getline(in, line)) {
        ++line_number;
        split_words(line, words);
        if (words.empty()) continue;
        if (short_row_line != 0) {
            refuse_table(path, short_row_line,
                         "HOLDS " + std::to_string(short_row_count) + " VALUES WHERE " + std::to_string(fields) + " WERE EXPECTED");
        }
        FeffRow row{};
        for (std::size_t i = 0; i < words.size() && i < static_cast<std::size_t>(fields); ++i) {
            const std::optional<double> value = parse_whole_number<double>(words[i]);
            if (!value || !is_usable_number(*value)) {
                std::cout << "ERROR: VALUE " << words[i] << " IN FILE " << path << " CANNOT BE USED!" << '\n';
                end_process(4);
            }
            if (std::abs(*value) > largest_feff_value) {
                std::cout << "ERROR: VALUE " << words[i] << " IN FILE " << path << " CANNOT BE USED! (line " << line_number
                          << ": no FEFF signal or phase exceeds " << largest_feff_value << " in size)" << '\n';
                end_process(4);
            }
            row[i] = *value;
        }
        if (words.size() > static_cast<std::size_t>(fields)) {
            refuse_table(path, line_number,
                         "HOLDS " + std::to_string(words.size()) + " VALUES WHERE " + std::to_string(fields) + " WERE EXPECTED");
        }
        // A short last row is where a cut-off file ends: it is dropped, and the grid check tells whether
        // the table still covers the grid. A short row with more rows after it is refused above.
        if (words.size() < static_cast<std::size_t>(fields)) {
            short_row_line = line_number;
            short_row_count = words.size();
            continue;
        }
        rows.push_back(row);
    }
    return rows;
}

std::vector<FeffRow> read_feff_grid_table(const std::string& path, int fields, int size) {
    std::vector<FeffRow> rows = read_feff_table(path, fields);
    // FEFF's k column runs 0, 0.05, ..., 20 (or from 0.05 without its first point): a table on another
    // grid would put every value at another k. Rows past the grid are dropped unread.
    const int offset = grid_offset(rows);
    for (std::size_t r = 0; r < rows.size() && static_cast<int>(r) + offset < size; ++r) {
        const double expected = 0.05 * static_cast<double>(static_cast<int>(r) + offset);
        if (std::abs(rows[r][0] - expected) > k_tolerance) {
            std::cout << "ERROR: FEFF OUTPUT " << path << " IS NOT ON FEFF'S k GRID: ROW " << r + 1 << " HAS k = " << rows[r][0]
                      << " WHERE " << expected << " WAS EXPECTED (k = 0, 0.05, ..., 20)!" << '\n';
            end_process(1);
        }
    }
    const int covered = static_cast<int>(std::min<std::size_t>(rows.size(), static_cast<std::size_t>(size))) + offset;
    if (covered < size) {
        std::cout << "ERROR: FEFF OUTPUT " << path << " IS INCOMPLETE: IT ENDS AFTER " << rows.size() << " ROWS, BEFORE k = "
                  << 0.05 * (size - 1) << "!" << cut_cause(path) << '\n';
        end_process(1);
    }
    return rows;
}

void place_on_fixed_grid(const std::vector<FeffRow>& rows, int column, double* target, int size) {
    const int offset = grid_offset(rows);
    if (offset == 1) target[0] = 0.0;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const auto element = static_cast<int>(r) + offset;
        if (element >= size) break;
        target[element] = rows[r][static_cast<std::size_t>(column)];
    }
}
