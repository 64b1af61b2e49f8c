#include "theory/feff_outputs.hpp"

#include "control/process_end.hpp"

#include <cmath>
#include <fstream>
#include <iostream>
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
    std::vector<FeffRow> rows;
    for (;;) {
        FeffRow row{};
        int read = 0;
        while (read < fields && in >> row[static_cast<std::size_t>(read)]) ++read;
        if (read < fields) break;
        rows.push_back(row);
    }
    return rows;
}

void place_on_fixed_grid(const std::vector<FeffRow>& rows, int column, double* target, int size) {
    int offset = 0;
    if (!rows.empty() && std::abs(rows[0][0] - 0.05) < 0.001) {
        target[0] = 0.0;
        offset = 1;
    }
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const auto element = static_cast<int>(r) + offset;
        if (element >= size) break;
        target[element] = rows[r][static_cast<std::size_t>(column)];
    }
}
