#include "theory/feff_outputs.hpp"

#include "control/number_text.hpp"
#include "control/process_end.hpp"
#include "theory/feff_run.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
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
    throw FeffOutputError{1, "ERROR: FEFF OUTPUT " + path + " IS MALFORMED: LINE " + std::to_string(line) + " " + reason + "!"};
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// The words of the line, as views into it.
void split_words(std::string_view line, std::vector<std::string_view>& words) {
    words.clear();
    std::size_t at = 0;
    for (;;) {
        while (at < line.size() && is_blank(line[at])) ++at;
        if (at == line.size()) return;
        const std::size_t start = at;
        while (at < line.size() && !is_blank(line[at])) ++at;
        words.push_back(line.substr(start, at - start));
    }
}

// The next line of the text from `position` on, without its end; false at the end of the text.
bool next_line(std::string_view text, std::size_t& position, std::string_view& line) {
    if (position >= text.size()) return false;
    const std::size_t end = std::min(text.find('\n', position), text.size());
    line = text.substr(position, end - position);
    position = end + 1;
    return true;
}

// The cause of a table cut short, when it is known: a full disk or a folder that cannot be written.
std::string cut_cause(const std::string& path) {
    const std::string cause = describe_unwritable_folder(path);
    return cause.empty() ? cause : " (" + cause + ")";
}

int grid_offset(const std::vector<FeffRow>& rows) {
    return !rows.empty() && std::abs(rows[0][0] - 0.05) < k_tolerance ? 1 : 0;
}

std::vector<FeffRow> load_feff_table(const std::string& path, int fields) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        const int error = errno;
        throw FeffOutputError{1, "ERROR: FEFF OUTPUT " + path + " NOT FOUND! (" + describe_missing_output(path, error) + ")"};
    }
    // Read whole: the path runs read many thousands of these files.
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t position = 0;
    std::string_view line;
    std::vector<std::string_view> words;
    std::size_t line_number = 0;
    bool found = false;
    while (!found && next_line(text, position, line)) {
        ++line_number;
        split_words(line, words);
        for (const std::string_view word : words) found = found || word[0] == '@';
    }
    if (!found) throw FeffOutputError{1, "ERROR: FEFF OUTPUT " + path + " HOLDS NO DATA!" + cut_cause(path)};
    // Every line after the column line is one row. Reading words regardless of lines would let a row
    // that lost a value shift every later column into the wrong place; and FEFF prints a value it could
    // not compute as a word such as NaN, where ending the table would pass a shortened signal for a
    // whole one.
    std::vector<FeffRow> rows;
    std::size_t short_row_line = 0;
    std::size_t short_row_count = 0;
    while (next_line(text, position, line)) {
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
            if (!value || !is_usable_number(*value))
                throw FeffOutputError{4, "ERROR: VALUE " + std::string(words[i]) + " IN FILE " + path + " CANNOT BE USED!"};
            if (std::abs(*value) > largest_feff_value) {
                std::ostringstream message;
                message << "ERROR: VALUE " << words[i] << " IN FILE " << path << " CANNOT BE USED! (line " << line_number
                        << ": no FEFF signal or phase exceeds " << largest_feff_value << " in size)";
                throw FeffOutputError{4, message.str()};
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

template <class Load>
std::vector<FeffRow> reported(const Load& load) {
    try {
        return load();
    } catch (const FeffOutputError& error) {
        std::cout << error.message << '\n';
        end_process(error.code);
    }
}

}  // namespace

std::vector<FeffRow> read_feff_table(const std::string& path, int fields) {
    return reported([&] { return load_feff_table(path, fields); });
}

std::vector<FeffRow> load_feff_grid_table(const std::string& path, int fields, int size) {
    std::vector<FeffRow> rows = load_feff_table(path, fields);
    // FEFF's k column runs 0, 0.05, ..., 20 (or from 0.05 without its first point): a table on another
    // grid would put every value at another k. Rows past the grid are dropped unread.
    const int offset = grid_offset(rows);
    for (std::size_t r = 0; r < rows.size() && static_cast<int>(r) + offset < size; ++r) {
        const double expected = 0.05 * static_cast<double>(static_cast<int>(r) + offset);
        if (std::abs(rows[r][0] - expected) > k_tolerance) {
            std::ostringstream message;
            message << "ERROR: FEFF OUTPUT " << path << " IS NOT ON FEFF'S k GRID: ROW " << r + 1 << " HAS k = " << rows[r][0]
                    << " WHERE " << expected << " WAS EXPECTED (k = 0, 0.05, ..., 20)!";
            throw FeffOutputError{1, message.str()};
        }
    }
    const int covered = static_cast<int>(std::min<std::size_t>(rows.size(), static_cast<std::size_t>(size))) + offset;
    if (covered < size) {
        std::ostringstream message;
        message << "ERROR: FEFF OUTPUT " << path << " IS INCOMPLETE: IT ENDS AFTER " << rows.size() << " ROWS, BEFORE k = "
                << 0.05 * (size - 1) << "!" << cut_cause(path);
        throw FeffOutputError{1, message.str()};
    }
    return rows;
}

std::vector<FeffRow> read_feff_grid_table(const std::string& path, int fields, int size) {
    return reported([&] { return load_feff_grid_table(path, fields, size); });
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
