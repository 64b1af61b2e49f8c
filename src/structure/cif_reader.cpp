#include "structure/cif_reader.hpp"

#include "control/number_text.hpp"
#include "control/process_end.hpp"
#include "control/record_parameters.hpp"
#include "structure/atom_io.hpp"
#include "structure/structure.hpp"
#include "structure/temp_p1.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <locale>
#include <numbers>
#include <optional>
#include <string_view>
#include <vector>

namespace {

// Images closer than this are one atom. Far below any bond length, yet far above the rounding left by
// coordinates written with four decimals (0.3333 for 1/3).
constexpr double duplicate_distance = 0.01;  // angstrom
constexpr std::size_t max_title_length = 255;

[[noreturn]] void fail(const std::string& message) {
    std::cout << message << '\n';
    end_process(4);
}

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

bool starts_with_tag(const std::string& word) { return !word.empty() && word.front() == '_'; }

// A whole word as a finite number, independent of the locale.
bool parse_number(std::string_view text, double& value) {
    const std::optional<double> number = parse_whole_number<double>(text);
    if (number) value = *number;
    return number.has_value();
}

// A CIF number may carry its standard uncertainty in brackets: 5.4307(2).
bool parse_cif_number(std::string_view word, double& value) {
    const auto open = word.find('(');
    if (open != std::string_view::npos) {
        const std::string_view digits = word.substr(open + 1);
        if (digits.size() < 2 || digits.back() != ')') return false;
        if (!std::all_of(digits.begin(), digits.end() - 1, [](char c) { return c >= '0' && c <= '9'; })) {
            return false;
        }
        word = word.substr(0, open);
    }
    return parse_number(word, value);
}

struct CifWord {
    std::string text;
    std::size_t line = 0;
    std::size_t end = 0;  // offset just past the word in its line
};

struct CifLoop {
    std::vector<std::string> tags;
    std::vector<std::vector<std::string>> rows;  // each row: its first word and the rest of its line

    std::optional<std::size_t> column_of(const std::string& tag) const {
        const auto it = std::find(tags.begin(), tags.end(), tag);
        if (it == tags.end()) return std::nullopt;
        return static_cast<std::size_t>(it - tags.begin());
    }
};

struct CifContents {
    std::vector<std::string> lines;  // without comments and text fields
    std::vector<CifWord> words;
    std::vector<CifLoop> loops;

    const CifLoop* loop_with(const std::string& tag) const {
        for (const CifLoop& loop : loops) {
            if (loop.column_of(tag)) return &loop;
        }
        return nullptr;
    }

    std::optional<std::size_t> word_index(const std::string& text) const {
        for (std::size_t i = 0; i < words.size(); ++i) {
            if (words[i].text == text) return i;
        }
        return std::nullopt;
    }
};

// Text fields (between lines starting with ';') are free prose that may hold anything looking like a
// tag or "loop_", so their lines are blanked; '#' at the start of a word opens a comment.
std::vector<std::string> read_cif_lines(std::istream& in) {
    std::vector<std::string> lines;
    std::string line;
    bool in_text_field = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line.front() == ';') {
            if (in_text_field) {
                line.erase(0, 1);
            } else {
                line.clear();
            }
            in_text_field = !in_text_field;
        } else if (in_text_field) {
            line.clear();
        }
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '#' && (i == 0 || is_space(line[i - 1]))) {
                line.resize(i);
                break;
            }
        }
        lines.push_back(line);
    }
    return lines;
}

// A loop's rows are line based: a row is its first word and the rest of that line. The loop ends at a
// line that starts with another tag, "loop_" or a data block header, so single items may follow it.
CifContents parse_cif(std::istream& in) {
    CifContents cif;
    cif.lines = read_cif_lines(in);
    for (std::size_t l = 0; l < cif.lines.size(); ++l) {
        const std::string& line = cif.lines[l];
        std::size_t pos = 0;
        for (;;) {
            while (pos < line.size() && is_space(line[pos])) ++pos;
            if (pos == line.size()) break;
            const std::size_t start = pos;
            while (pos < line.size() && !is_space(line[pos])) ++pos;
            cif.words.push_back({line.substr(start, pos - start), l, pos});
        }
    }

    enum class State { outside, header, rows } state = State::outside;
    for (std::size_t i = 0; i < cif.words.size(); ++i) {
        const std::string& word = cif.words[i].text;
        const bool line_start = i == 0 || cif.words[i - 1].line != cif.words[i].line;
        if (state == State::rows) {
            if (!line_start) {
                cif.loops.back().rows.back().push_back(word);
                continue;
            }
            if (word == "loop_" || starts_with_tag(word) || word.starts_with("data_")) {
                state = State::outside;
            } else {
                cif.loops.back().rows.push_back({word});
                continue;
            }
        }
        if (word == "loop_") {
            cif.loops.emplace_back();
            state = State::header;
        } else if (state == State::header) {
            if (starts_with_tag(word)) {
                cif.loops.back().tags.push_back(word);
            } else if (word.starts_with("data_")) {
                state = State::outside;
            } else {
                cif.loops.back().rows.push_back({word});
                state = State::rows;
            }
        }
    }
    return cif;
}

// Cell vectors a, b, c (angstrom) from lengths and angles in degrees, a along x and b in the xy plane.
std::array<Atom, 3> cif_cell_vectors(double a, double b, double c, double alpha, double beta, double gamma) {
    const double to_radians = std::numbers::pi / 180.0;
    alpha *= to_radians;
    beta *= to_radians;
    gamma *= to_radians;
    const double t = (std::cos(alpha) - std::cos(beta) * std::cos(gamma)) / std::sin(gamma);
    std::array<Atom, 3> cell;
    atom_set_xyz(cell[0], a, 0.0, 0.0);
    atom_set_xyz(cell[1], b * std::cos(gamma), b * std::sin(gamma), 0.0);
    atom_set_xyz(cell[2], c * std::cos(beta), c * t, c * std::sqrt(1.0 - std::cos(beta) * std::cos(beta) - t * t));
    return cell;
}

double read_cell_value(const CifContents& cif, const std::string& tag, const std::string& file_name) {
    const auto index = cif.word_index(tag);
    if (!index || *index + 1 >= cif.words.size()) {
        fail("ERROR: CANNOT FIND THE CELL PARAMETER " + tag + " WITHIN CIF FILE!");
    }
    double value = 0.0;
    if (!parse_cif_number(cif.words[*index + 1].text, value)) {
        fail("ERROR: CANNOT READ THE CELL PARAMETER " + tag + " WITHIN CIF FILE!");
    }
    if (!is_usable_number(value)) refuse_file_value(file_name, value);
    return value;
}

std::array<Atom, 3> read_cell(const CifContents& cif, const std::string& file_name) {
    double lengths[3];
    const char* length_tags[] = {"_cell_length_a", "_cell_length_b", "_cell_length_c"};
    for (int i = 0; i < 3; ++i) {
        lengths[i] = read_cell_value(cif, length_tags[i], file_name);
        if (lengths[i] <= 0.0) {
            fail(std::string("ERROR: CELL LENGTH ") + length_tags[i] + " IN CIF FILE IS NOT POSITIVE!");
        }
    }
    const double alpha = read_cell_value(cif, "_cell_angle_alpha", file_name);
    const double beta = read_cell_value(cif, "_cell_angle_beta", file_name);
    const double gamma = read_cell_value(cif, "_cell_angle_gamma", file_name);
    const std::array<Atom, 3> cell = cif_cell_vectors(lengths[0], lengths[1], lengths[2], alpha, beta, gamma);
    // b sin(gamma) and the height of c carry the volume; the height is NaN when the angles cannot meet.
    if (!(cell[1].y > 1e-6 * lengths[1]) || !(cell[2].z > 1e-6 * lengths[2])) {
        fail("ERROR: THE CELL ANGLES IN CIF FILE GIVE A CELL WITHOUT VOLUME!");
    }
    return cell;
}

// Rest of the line of _chemical_formula_sum, as written (leading blank and quotes included).
std::string read_title(const CifContents& cif) {
    const auto index = cif.word_index("_chemical_formula_sum");
    if (!index) return "";
    const CifWord& tag = cif.words[*index];
    return cif.lines[tag.line].substr(tag.end, max_title_length);
}

std::vector<Atom> read_sites(const CifContents& cif, const std::string& file_name) {
    const std::string missing = "ERROR: CANNOT FIND THE LIST OF ATOMS WITHIN CIF FILE!";
    const CifLoop* loop = cif.loop_with("_atom_site_fract_x");
    if (!loop || loop->rows.empty()) fail(missing);
    auto label = loop->column_of("_atom_site_label");
    if (!label) label = loop->column_of("_atom_site_type_symbol");
    const auto x = loop->column_of("_atom_site_fract_x");
    const auto y = loop->column_of("_atom_site_fract_y");
    const auto z = loop->column_of("_atom_site_fract_z");
    if (!label || !y || !z) fail(missing);

    std::vector<Atom> sites;
    for (const auto& row : loop->rows) {
        if (row.size() < loop->tags.size()) fail("ERROR: INCOMPLETE LINE IN THE LIST OF ATOMS WITHIN CIF FILE!");
        Atom site;
        site.label = row[*label];
        if (!parse_cif_number(row[*x], site.x) || !parse_cif_number(row[*y], site.y) ||
            !parse_cif_number(row[*z], site.z)) {
            fail("ERROR: CANNOT READ THE COORDINATES OF ATOM " + site.label + " WITHIN CIF FILE!");
        }
        for (const double value : {site.x, site.y, site.z}) {
            if (!is_usable_number(value)) refuse_file_value(file_name, value);
        }
        sites.push_back(site);
    }
    return sites;
}

// The operation normally is the last column; when its unquoted text holds blanks the row has more
// words than tags, and the surplus words all belong to it.
std::vector<std::string> read_operations(const CifContents& cif) {
    const std::string missing = "ERROR: CANNOT FIND THE LIST OF SYMMETRY OPERATIONS WITHIN CIF FILE!";
    std::string tag = "_space_group_symop_operation_xyz";
    const CifLoop* loop = cif.loop_with(tag);
    if (!loop) {
        tag = "_symmetry_equiv_pos_as_xyz";
        loop = cif.loop_with(tag);
    }
    if (!loop || loop->rows.empty()) fail(missing);
    const std::size_t column = *loop->column_of(tag);

    std::vector<std::string> operations;
    for (const auto& row : loop->rows) {
        if (row.size() < loop->tags.size()) {
            fail("ERROR: INCOMPLETE LINE IN THE LIST OF SYMMETRY OPERATIONS WITHIN CIF FILE!");
        }
        const std::size_t last = column + (row.size() - loop->tags.size());
        std::string operation = row[column];
        for (std::size_t i = column + 1; i <= last; ++i) operation += ' ' + row[i];
        operations.push_back(operation);
    }
    return operations;
}

std::string without_whitespace(const std::string& text) {
    std::string result;
    for (char c : text) {
        if (!is_space(c)) result += c;
    }
    return result;
}

std::array<std::string, 3> operation_items(const std::string& operation) {
    std::string text = without_whitespace(operation);
    if (text.size() >= 2 && (text.front() == '\'' || text.front() == '"') && text.back() == text.front()) {
        text = text.substr(1, text.size() - 2);
    }
    std::vector<std::string> items;
    std::size_t start = 0;
    for (;;) {
        const auto comma = text.find(',', start);
        items.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (items.size() != 3) fail("ERROR: WRONG SYMMETRY OPERATION " + operation + " IN CIF FILE!");
    return {items[0], items[1], items[2]};
}

double term_value(const std::string& term, double x, double y, double z, bool& readable) {
    if (term == "x" || term == "X") return x;
    if (term == "y" || term == "Y") return y;
    if (term == "z" || term == "Z") return z;
    double value = 0.0;
    readable = parse_number(term, value);
    return value;
}

}  // namespace

std::string symmetry_operation_item(const std::string& operation, int item) {
    if (item < 0 || item > 2) fail("ERROR: WRONG SYMMETRY OPERATION " + operation + " IN CIF FILE!");
    return operation_items(operation)[static_cast<std::size_t>(item)];
}

double evaluate_symmetry_expression(const std::string& item, double x, double y, double z) {
    const std::string error = "ERROR: WRONG SYMMETRY OPERATION ITEM " + item + " IN CIF FILE!";
    const bool signed_start = !item.empty() && (item.front() == '+' || item.front() == '-');
    const std::string text = signed_start ? '0' + item : item;

    std::vector<double> values;
    std::vector<char> operators;
    std::size_t start = 0;
    for (;;) {
        const auto pos = text.find_first_of("+-*/", start);
        const std::string term = text.substr(start, pos == std::string::npos ? std::string::npos : pos - start);
        bool readable = true;
        values.push_back(term_value(term, x, y, z, readable));
        if (!readable) fail(error);
        if (pos == std::string::npos) break;
        operators.push_back(text[pos]);
        start = pos + 1;
    }

    std::vector<double> summands{values[0]};
    std::vector<char> signs;
    for (std::size_t i = 0; i < operators.size(); ++i) {
        const double right = values[i + 1];
        switch (operators[i]) {
            case '*':
                summands.back() *= right;
                break;
            case '/':
                summands.back() /= right;
                break;
            default:
                signs.push_back(operators[i]);
                summands.push_back(right);
        }
    }
    double value = summands[0];
    for (std::size_t i = 0; i < signs.size(); ++i) value += signs[i] == '+' ? summands[i + 1] : -summands[i + 1];
    if (!std::isfinite(value)) fail(error);

    value -= std::floor(value);
    // A tiny negative value lands on 1.0 after rounding; it belongs at 0.
    return value >= 1.0 ? 0.0 : value;
}

Atom apply_symmetry_operation(const Atom& site, const std::string& operation) {
    const auto items = operation_items(operation);
    Atom image;
    image.label = site.label;
    image.x = evaluate_symmetry_expression(items[0], site.x, site.y, site.z);
    image.y = evaluate_symmetry_expression(items[1], site.x, site.y, site.z);
    image.z = evaluate_symmetry_expression(items[2], site.x, site.y, site.z);
    return image;
}

namespace {

// Every image of the sites, site by site and operation by operation, leaving out an image that lies
// within the duplicate distance of one already kept.
std::vector<Atom> generate_symmetry_images(const std::vector<Atom>& sites, const std::vector<std::string>& operations,
                                           const std::array<Atom, 3>& cell) {
    // Rounding each fractional difference to the nearest integer finds the nearest periodic copy
    // whenever that copy is closer than half an interplanar spacing, which any real cell gives for
    // distances of the duplicate scale.
    const auto separation = [&cell](const Atom& p, const Atom& q) {
        const double dx = p.x - q.x - std::round(p.x - q.x);
        const double dy = p.y - q.y - std::round(p.y - q.y);
        const double dz = p.z - q.z - std::round(p.z - q.z);
        return std::hypot(dx * cell[0].x + dy * cell[1].x + dz * cell[2].x,
                          dx * cell[0].y + dy * cell[1].y + dz * cell[2].y,
                          dx * cell[0].z + dy * cell[1].z + dz * cell[2].z);
    };
    std::vector<Atom> images;
    for (const Atom& site : sites) {
        for (const std::string& operation : operations) {
            Atom candidate = apply_symmetry_operation(site, operation);
            const bool duplicate = std::any_of(images.begin(), images.end(), [&](const Atom& kept) {
                return separation(candidate, kept) < duplicate_distance;
            });
            if (!duplicate) images.push_back(std::move(candidate));
        }
    }
    return images;
}

}  // namespace

void convert_cif_to_p1(const Structure& structure) {
    const std::string& file_name = structure.parameters->strings[StructureStringKey::File_with_structure];
    std::ifstream in(file_name);
    if (!in) refuse_unopenable_structure_file(file_name);
    const CifContents cif = parse_cif(in);
    in.close();

    const std::string title = read_title(cif);
    const std::array<Atom, 3> cell = read_cell(cif, file_name);
    const std::vector<Atom> sites = read_sites(cif, file_name);
    const std::vector<std::string> operations = read_operations(cif);
    const std::vector<Atom> atoms = generate_symmetry_images(sites, operations, cell);

    write_temp_p1_file(title, cell, atoms);
}
