#include "optimisation/forcefield/gulp_input.hpp"

#include "control/calculation.hpp"
#include "control/console_log.hpp"
#include "control/number_text.hpp"
#include "control/process_end.hpp"
#include "structure/atom.hpp"
#include "structure/structure.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <iostream>
#include <sstream>

namespace {

constexpr double no_pair_distance = 1000000.0;

[[noreturn]] void fail(const std::string& message, int code) {
    std::cout << message << '\n';
    end_process(code);
}

[[noreturn]] void fail_special_symbols() { fail("ERROR: Check GULP template! Cannot interpret special symbols", 5); }

bool is_white(int c) { return c != std::char_traits<char>::eof() && std::isspace(static_cast<unsigned char>(c)); }

// Returns whether the skipped run held a line feed.
bool skip_white_space(std::istream& in) {
    bool line_feed = false;
    while (is_white(in.peek())) line_feed = in.get() == '\n' || line_feed;
    return line_feed;
}

std::string read_word(std::istream& in) {
    std::string word;
    in >> word;
    return word;
}

void write_guessed_force_field(const Calculation& calc, std::ostream& out, double x) {
    const Structure& structure = calc.structures[0];
    const std::vector<std::string>& labels = structure.species_labels;
    out << "species" << '\n';
    for (const std::string& label : labels) out << label << " 0" << '\n';
    out << "lennard epsilon 12 6" << '\n';
    std::size_t line = 0;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        for (std::size_t j = i; j < labels.size(); ++j, ++line) {
            const double d = shortest_pair_distance(structure, labels[i], labels[j]);
            if (calc.flags.guessFF) {
                const double epsilon = calc.parameters.lj_epsilons[line % LJ_epsilons_length];
                out << labels[i] << ' ' << labels[j] << ' ' << epsilon << ' ' << d << " 12" << '\n';
            } else {
                out << labels[i] << ' ' << labels[j] << " & " << x << " & " << d << " 12" << '\n';
            }
        }
    }
}

// Every line is copied whole, however long; the text after the last line feed becomes a line of its
// own, so a file ending with a line feed leaves an empty last line.
void copy_force_field(std::ostream& out) {
    std::ifstream in(force_field_name, std::ios::binary);
    if (!in) fail("ERROR: FILE WITH FORCE FIELD CANNOT BE OPENED!" + open_failure_note(force_field_name), 4);
    std::ostringstream whole;
    whole << in.rdbuf();
    const std::string text = whole.str();
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find('\n', start);
        out << text.substr(start, end == std::string::npos ? std::string::npos : end - start) << '\n';
        if (end == std::string::npos) break;
        start = end + 1;
    }
}

void write_run_block(const Calculation& calc, std::ostream& out) {
    const std::int32_t stop_after = calc.parameters.ints[IntKey::Stop_after];
    if (!calc.flags.gulpmd) {
        out << "mctrial " << stop_after << '\n';
        out << "mcsample " << calc.parameters.ints[IntKey::time1] << '\n';
        return;
    }
    out << "shrink  20" << '\n'
        << "accuracy\t10" << '\n'
        << "rspeed\t100" << '\n'
        << "integrator\tleapfrog\tverlet" << '\n'
        << "ensemble\tnvt\t0.25" << '\n'
        << "equil\t4\tps" << '\n'
        << "tscale\t0.02\tps" << '\n'
        << "produ\t" << stop_after * 0.045 / 100.0 << " ps" << '\n'
        << "timestep\t0.0005\tps" << '\n'
        << "sample\t0.0045\tps" << '\n'
        << "write\t0.045\tps" << '\n'
        << "output movie xyz gulp.xyz" << '\n';
}

double determinant(const std::array<Atom, 3>& columns) {
    return atom_dot(columns[0], atom_cross(columns[1], columns[2]));
}

// GULP is told "fractional", so a unit cell read in Cartesian form is converted (Cramer's rule on the
// scaled cell vectors). A degenerate cell is written as held.
Atom fractional_position(const Structure& structure, const Atom& atom) {
    if (structure.unit_cell_fractional) return atom;
    const double lengths[3] = {structure.basis.x, structure.basis.y, structure.basis.z};
    std::array<Atom, 3> cell;
    for (int i = 0; i < 3; ++i) cell[i] = atom_scale(structure.cell_vectors[i], lengths[i]);
    const double volume = determinant(cell);
    if (volume == 0.0) return atom;
    double f[3];
    for (int i = 0; i < 3; ++i) {
        std::array<Atom, 3> replaced = cell;
        replaced[i] = atom;
        f[i] = determinant(replaced) / volume;
    }
    return {atom.label, f[0], f[1], f[2]};
}

void write_gulp_input(const Structure& structure, std::span<const double> multipliers, const char* run_line) {
    std::ofstream out(gulp_input_name, std::ios::trunc);
    if (!out) fail("ERROR: FILE GULP INPUT CANNOT BE OPENED!", 4);
    const double scale = structure.parameters->doubles[StructureDoubleKey::Scale_coordinates_by];
    const auto& v = structure.cell_vectors;
    out << run_line << '\n' << "cell" << '\n';
    out << structure.basis.x / scale << ' ' << structure.basis.y / scale << ' ' << structure.basis.z / scale << ' '
        << angle_between_vectors(v[1], v[2]) << ' ' << angle_between_vectors(v[0], v[2]) << ' '
        << angle_between_vectors(v[0], v[1]) << '\n';
    out << "fractional" << '\n';
    for (std::int32_t i = 0; i < structure.unit_cell_count; ++i) {
        const Atom a = fractional_position(structure, structure.unit_cell_atoms[static_cast<std::size_t>(i)]);
        out << a.label << " core " << a.x << ' ' << a.y << ' ' << a.z << '\n';
    }

    std::ifstream in(gulp_template_name, std::ios::binary);
    if (!in) fail("ERROR: FILE GULP TEMPLATE CANNOT BE OPENED!" + open_failure_note(gulp_template_name), 4);
    transcribe_gulp_template(in, out, multipliers);
}

}  // namespace

double shortest_pair_distance(const Structure& structure, const std::string& label_i, const std::string& label_j) {
    double shortest = no_pair_distance;
    for (std::int32_t a = 0; a < structure.atom_count; ++a) {
        const Atom& first = structure.supercell_atoms[static_cast<std::size_t>(a)];
        if (first.label != label_i) continue;
        for (std::int32_t b = 0; b < structure.working_count; ++b) {
            const Atom& second = structure.working_atoms[static_cast<std::size_t>(b)];
            if (b == a || second.label != label_j) continue;
            shortest = std::min(shortest, atom_distance(first, second));
        }
    }
    return shortest;
}

void write_gulp_template(Calculation& calc, double x) {
    const Structure& structure = calc.structures[0];
    std::ofstream out(gulp_template_name, std::ios::trunc);
    if (!out) fail("ERROR: FILE GULP TEMPLATE CANNOT BE OPENED!", 4);
    if (!calc.flags.useFF || calc.flags.guessFF)
        write_guessed_force_field(calc, out, x);
    else
        copy_force_field(out);
    const auto& size = structure.supercell_size;
    out << "supercell " << size[0] << ' ' << size[1] << ' ' << size[2] << '\n';
    out << "temperature " << calc.parameters.doubles[DoubleKey::MC_temperature] << '\n';
    write_run_block(calc, out);
}

void write_gulp_input_mc(const Structure& structure, std::span<const double> multipliers) {
    write_gulp_input(structure, multipliers, "montecarlo\tconv\tcartesian\tfull");
}

void write_gulp_input_md(const Structure& structure, std::span<const double> multipliers) {
    write_gulp_input(structure, multipliers, "md\tconv\tcartesian\tfull");
}

void transcribe_gulp_template(std::istream& in, std::ostream& out, std::span<const double> multipliers) {
    constexpr auto end_of_file = std::char_traits<char>::eof();
    std::size_t j = 0;
    double previous = 0.0;  // the value written for the last "&" parameter
    while (in.peek() != end_of_file) {
        if (in.peek() == '\n') {
            skip_white_space(in);
            out << '\n';
            continue;
        }
        // A line feed after trailing blanks (or a CR of a CRLF line end) still ends the line; otherwise
        // the next template line would be glued onto this one.
        if (skip_white_space(in)) out << '\n';
        if (in.peek() == end_of_file) break;
        if (in.peek() == '&') {
            read_word(in);
            skip_white_space(in);
            if (in.peek() == '%') {
                if (j == 0) fail_special_symbols();
                read_word(in);
                const auto tie = parse_whole_number<double>(read_word(in));
                if (!tie || !is_usable_number(*tie)) fail_special_symbols();
                out << *tie * previous;
            } else {
                // A value beyond the usable range would reach GULP as "inf" once multiplied.
                const auto value = parse_whole_number<double>(read_word(in));
                if (!value || !is_usable_number(*value) || j >= multipliers.size()) fail_special_symbols();
                previous = *value * multipliers[j++];
                out << previous;
            }
        } else {
            out << read_word(in);
        }
        out << ' ';
    }
}

std::vector<double> read_gulp_template_defaults(std::istream& in) {
    std::vector<double> defaults;
    for (;;) {
        skip_white_space(in);
        if (in.peek() == std::char_traits<char>::eof()) return defaults;
        if (in.peek() != '&') {
            read_word(in);
            continue;
        }
        read_word(in);
        skip_white_space(in);
        const bool tie = in.peek() == '%';
        if (tie && defaults.empty()) fail_special_symbols();
        if (tie) read_word(in);
        const auto value = parse_whole_number<double>(read_word(in));
        if (!value) fail_special_symbols();
        if (!tie) defaults.push_back(*value);
    }
}
