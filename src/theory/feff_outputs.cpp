#include "theory/feff_outputs.hpp"

#include "control/number_text.hpp"
#include "control/process_end.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

std::vector<FeffRow> read_feff_table(const std::string& path, int fields) {
    std::ifstream in(path);
    if (!in) {
        std::cout << "ERROR: FEFF OUTPUT " << path << " NOT FOUND!" << '\n';
        end_process(1);
    }
    std::string word;
    bool found = false;
    while (!found && in >> word) found = word[0] == '@';
    if (!found) {
        std::cout << "ERROR: FEFF OUTPUT " << path << " HOLDS NO DATA!" << '\n';
        end_process(1);
    }
    // Every word after the column line is data. FEFF prints a value it could not compute as a word such
    // as NaN; ending the table there would pass a shortened signal for a whole one.
    std::vector<FeffRow> rows;
    FeffRow row{};
    int read = 0;
    while (in >> word) {
        const std::optional<double> value = parse_whole_number<double>(word);
        if (!value || !is_usable_number(*value)) {
            std::cout << "ERROR: VALUE " << word << " IN FILE " << path << " CANNOT BE USED!" << '\n';
            end_process(4);
        }
        row[static_cast<std::size_t>(read++)] = *value;
        if (read == fields) {
            rows.push_back(row);
            read = 0;
        }
    }
    return rows;
}

namespace {

int grid_offset(const std::vector<FeffRow>& rows) { return !rows.empty() && std::abs(rows[0][0] - 0.05) < 0.001 ? 1 : 0; }

}  // namespace

std::vector<FeffRow> read_feff_grid_table(const std::string& path, int fields, int size) {
    std::vector<FeffRow> rows = read_feff_table(path, fields);
    const int covered = static_cast<int>(std::min<std::size_t>(rows.size(), static_cast<std::size_t>(size))) + grid_offset(rows);
    if (covered < size) {
        std::cout << "ERROR: FEFF OUTPUT " << path << " IS INCOMPLETE: IT ENDS AFTER " << rows.size() << " ROWS, BEFORE k = "
                  << 0.05 * (size - 1) << "!" << '\n';
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
