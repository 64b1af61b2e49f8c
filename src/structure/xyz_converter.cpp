#include "structure/xyz_converter.hpp"

#include "control/number_text.hpp"
#include "control/process_end.hpp"
#include "control/record_parameters.hpp"
#include "structure/atom_io.hpp"
#include "structure/structure.hpp"
#include "structure/temp_p1.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <locale>
#include <sstream>
#include <string_view>
#include <vector>

namespace {

[[noreturn]] void fail(const std::string& message) {
    std::cout << message << '\n';
    end_process(4);
}

bool next_line(std::istream& in, std::string& line) {
    if (!std::getline(in, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

std::vector<std::string> split_words(const std::string& line) {
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string word; fields >> word;) words.push_back(word);
    return words;
}

template <class T>
bool parse_whole(std::string_view text, T& value) {
    const std::optional<T> number = parse_whole_number<T>(text);
    if (number) value = *number;
    return number.has_value();
}

// Atoms are read line by line (label x y z, anything after ignored), so extended xyz columns are harmless.
std::vector<Atom> read_xyz_atoms(std::istream& in, const std::string& file_name) {
    const std::string wrong_count = "ERROR: WRONG NUMBER OF ATOMS IN " + file_name;
    std::string line;
    long long count = 0;
    if (!next_line(in, line)) fail(wrong_count);
    const auto count_words = split_words(line);
    if (count_words.empty() || !parse_whole(count_words[0], count) || count < 1) fail(wrong_count);
    next_line(in, line);  // comment

    std::vector<Atom> atoms;
    while (static_cast<long long>(atoms.size()) < count) {
        if (!next_line(in, line)) fail(wrong_count);
        const auto words = split_words(line);
        Atom atom;
        if (words.size() < 4 || !parse_whole(words[1], atom.x) || !parse_whole(words[2], atom.y) ||
            !parse_whole(words[3], atom.z)) {
            fail(wrong_count);
        }
        for (const double value : {atom.x, atom.y, atom.z}) {
            if (!is_usable_number(value)) refuse_file_value(file_name, value);
        }
        atom.label = words[0];
        atoms.push_back(atom);
    }
    return atoms;
}

// Largest pair difference along one axis; -1 without pairs. The largest |p - q| over all pairs is the
// spread between the extreme values, rounding included, so no pair loop is needed.
double axis_spread(const std::vector<Atom>& atoms, double Atom::*axis) {
    if (atoms.size() < 2) return -1.0;
    const auto [low, high] = std::minmax_element(atoms.begin(), atoms.end(),
                                                 [axis](const Atom& p, const Atom& q) { return p.*axis < q.*axis; });
    return (*high).*axis - (*low).*axis;
}

}  // namespace

void convert_xyz_to_p1(const Structure& structure) {
    const std::string& file_name = structure.parameters->strings[StructureStringKey::File_with_structure];
    std::ifstream in(file_name);
    if (!in) refuse_unopenable_structure_file(file_name);
    const std::vector<Atom> atoms = read_xyz_atoms(in, file_name);
    in.close();

    const double dx = axis_spread(atoms, &Atom::x);
    const double dy = axis_spread(atoms, &Atom::y);
    const double dz = axis_spread(atoms, &Atom::z);
    const double side = 2.0 * std::sqrt(dx * dx + dy * dy + dz * dz) + structure.margin + 1.0;

    std::vector<Atom> fractional;
    fractional.reserve(atoms.size());
    for (const Atom& atom : atoms) fractional.push_back({atom.label, atom.x / side, atom.y / side, atom.z / side});
    write_temp_p1_file(file_name, {Atom{"", side, 0.0, 0.0}, Atom{"", 0.0, side, 0.0}, Atom{"", 0.0, 0.0, side}},
                       fractional);
}
