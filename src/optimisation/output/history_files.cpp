#include "optimisation/output/history_files.hpp"

#include "control/calculation.hpp"
#include "control/number_text.hpp"
#include "control/output_file.hpp"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string_view>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::size_t at(std::int64_t i) { return static_cast<std::size_t>(i); }

// The whole lines of the text (each with its end of line), as views; a last line without one is left out.
std::vector<std::string_view> whole_lines(const std::string& text) {
    std::vector<std::string_view> lines;
    std::size_t begin = 0;
    for (std::size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', begin)) {
        lines.emplace_back(text.data() + begin, end + 1 - begin);
        begin = end + 1;
    }
    return lines;
}

// The first word of a line as a whole number, if it is one.
std::optional<std::int64_t> leading_number(std::string_view line) {
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos) return std::nullopt;
    line.remove_prefix(first);
    return parse_whole_number<std::int64_t>(line.substr(0, line.find_first_of(" \t\r\n")));
}

void cut_file(const std::string& file_name, std::size_t (*kept)(const std::string&, std::int32_t), std::int32_t iteration) {
    std::error_code error;
    if (!fs::is_regular_file(file_name, error)) return;
    std::ifstream in(file_name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    const std::string whole = std::move(text).str();
    const std::size_t length = kept(whole, iteration);
    if (length == whole.size()) return;
    fs::resize_file(file_name, length, error);
    if (error) report_unwritten_file(file_name, error.value(), OutputKind::required);
}

}  // namespace

std::size_t kept_residual_history(const std::string& text, std::int32_t iteration) {
    std::size_t length = 0;
    for (const std::string_view line : whole_lines(text)) {
        // The header, written once at the start of the run, is the only line that begins with no number.
        if (length == 0 && line.rfind("[#]", 0) == 0) {
            length += line.size();
            continue;
        }
        const std::optional<std::int64_t> row = leading_number(line);
        if (!row || *row > iteration) break;
        length += line.size();
    }
    return length;
}

std::size_t kept_xyz_history(const std::string& text, std::int32_t iteration) {
    const std::vector<std::string_view> lines = whole_lines(text);
    std::size_t length = 0;
    std::size_t i = 0;
    while (i + 1 < lines.size()) {
        const std::optional<std::int64_t> atoms = leading_number(lines[i]);
        const std::optional<std::int64_t> frame = leading_number(lines[i + 1]);
        if (!atoms || *atoms < 0 || !frame || *frame > iteration) break;
        if (lines.size() - i - 2 < at(*atoms)) break;
        std::size_t frame_length = 0;
        for (std::size_t k = i; k < i + 2 + at(*atoms); ++k) frame_length += lines[k].size();
        length += frame_length;
        i += 2 + at(*atoms);
    }
    return length;
}

std::size_t kept_chi_history(const std::string& text, std::int32_t iteration) {
    std::size_t length = 0;
    for (const std::string_view line : whole_lines(text)) {
        const std::optional<std::int64_t> row = leading_number(line);
        if (!row || *row > iteration) break;
        length += line.size();
    }
    return length;
}

void cut_histories_to_iteration(const Calculation& calc, std::int32_t iteration) {
    cut_file(calc.parameters.strings[StringKey::File_for_residuals], kept_residual_history, iteration);
    for (int j = 0; j < calc.parameters.ints[IntKey::Number_of_structures]; ++j) {
        cut_file(calc.structure_parameters[at(j)].strings[StructureStringKey::File_for_actual_geometry],
                 kept_xyz_history, iteration);
    }
    for (int s = 0; s < calc.parameters.ints[IntKey::Number_of_spectra]; ++s) {
        cut_file(calc.spectrum_parameters[at(s)].strings[SpectrumStringKey::File_for_EXAFS_history],
                 kept_chi_history, iteration);
    }
}
