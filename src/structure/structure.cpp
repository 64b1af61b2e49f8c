#include "structure/structure.hpp"

#include "control/calculation.hpp"
#include "control/console_log.hpp"
#include "control/number_text.hpp"
#include "control/process_end.hpp"
#include "structure/atom_io.hpp"
#include "structure/cif_reader.hpp"
#include "structure/elements.hpp"
#include "structure/periodic_images.hpp"
#include "structure/supercell.hpp"
#include "structure/temp_p1.hpp"
#include "structure/xyz_converter.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iostream>
#include <sstream>

namespace {

const std::string summary_indent(25, ' ');

bool next_line(std::istream& in, std::string& line) {
    if (!std::getline(in, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

void require_usable(const Atom& atom, const std::string& file_name) {
    for (const double value : {atom.x, atom.y, atom.z}) {
        if (!is_usable_number(value)) refuse_file_value(file_name, value);
    }
}

// Scaling, and the cell lengths of fractional coordinates, can carry usable values of the file out of
// the usable range.
void require_usable_scaled(const Atom& atom, const std::string& file_name) {
    for (const double value : {atom.x, atom.y, atom.z}) {
        if (is_usable_number(value)) continue;
        std::cout << "ERROR: SCALED VALUE " << value << " FROM FILE " << file_name << " CANNOT BE USED!" << '\n';
        end_process(4);
    }
}

struct P1Contents {
    std::array<Atom, 3> cell_vectors;
    bool direct = false;
    std::vector<Atom> atoms;  // as written: fractional or Cartesian, unscaled
};

// Title and scale lines are ignored; the cell vectors are nine numbers in order; the element-name and
// count lines are ignored; the mode word and then one "x y z label" atom per line until a line that
// does not start with three numbers and a label.
P1Contents read_p1_file(const std::string& file_name) {
    std::ifstream in(file_name);
    if (!in) refuse_unopenable_structure_file(file_name);
    P1Contents contents;
    std::string line;
    next_line(in, line);
    next_line(in, line);
    for (Atom& v : contents.cell_vectors) {
        read_atom_unscaled(v, in, "nolabel");
        if (in) require_usable(v, file_name);
    }
    next_line(in, line);  // rest of the third vector's line
    next_line(in, line);
    next_line(in, line);
    std::string mode;
    in >> mode;
    contents.direct = mode == "Direct";
    next_line(in, line);
    while (in && next_line(in, line)) {
        std::istringstream fields(line);
        Atom atom;
        if (!(fields >> atom.x >> atom.y >> atom.z >> atom.label)) break;
        require_usable(atom, file_name);
        contents.atoms.push_back(atom);
    }
    return contents;
}

// Atoms closer than this hold one site: a line written twice, or a symmetry copy on its original.
constexpr double shared_site_distance = 0.01;

// Such atoms are kept (the file may mean them), but every path between them has no length, so the
// file is named. Fractional positions are wrapped into the cell first: 0 and 1 are one site.
void warn_shared_sites(const P1Contents& contents, const std::vector<Atom>& cartesian, const Structure& structure,
                       const std::string& file_name) {
    std::vector<Atom> sites = cartesian;
    if (contents.direct) {
        const double lengths[3] = {structure.basis.x, structure.basis.y, structure.basis.z};
        for (std::size_t i = 0; i < sites.size(); ++i) {
            const Atom& atom = contents.atoms[i];
            double weights[3] = {atom.x, atom.y, atom.z};
            for (int d = 0; d < 3; ++d) {
                const double slack = lengths[d] > 0 ? shared_site_distance / lengths[d] : 0.0;
                weights[d] = (weights[d] - std::floor(weights[d] + slack)) * lengths[d];
            }
            sites[i] = atom_linear_combination(structure.cell_vectors, weights);
        }
    }
    std::vector<std::size_t> order(sites.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&sites](std::size_t a, std::size_t b) { return sites[a].x < sites[b].x; });
    std::size_t pairs = 0;
    std::pair<std::size_t, std::size_t> first{0, 0};
    for (std::size_t a = 0; a < order.size(); ++a) {
        for (std::size_t b = a + 1; b < order.size() && sites[order[b]].x - sites[order[a]].x < shared_site_distance;
             ++b) {
            if (atom_distance(sites[order[a]], sites[order[b]]) >= shared_site_distance) continue;
            const std::pair<std::size_t, std::size_t> pair = std::minmax(order[a], order[b]);
            if (pairs++ == 0 || pair < first) first = pair;
        }
    }
    if (pairs == 0) return;
    std::cout << "WARNING: ATOMS " << first.first + 1 << " (" << contents.atoms[first.first].label << ") AND "
              << first.second + 1 << " (" << contents.atoms[first.second].label << ") OF STRUCTURE FILE " << file_name
              << " SHARE ONE SITE";
    if (pairs > 1) std::cout << ", AND " << pairs - 1 << " MORE PAIRS";
    std::cout << ": paths between them have no length" << '\n';
}

}  // namespace

void set_structure_basis(Structure& structure, Calculation& calc, StructureParameters& parameters) {
    structure.owner = &calc;
    structure.parameters = &parameters;
    structure.old_basis = structure.basis;
    const double scale = parameters.doubles[StructureDoubleKey::Scale_coordinates_by];
    atom_set(structure.basis, "basis", scale, scale, scale);
    structure.weight = parameters.doubles[StructureDoubleKey::Weight];
}

void load_structure(Structure& structure) {
    const StructureParameters& parameters = *structure.parameters;
    std::string file_name = parameters.strings[StructureStringKey::File_with_structure];
    const auto dot = file_name.find('.');
    const std::string extension = dot == std::string::npos ? file_name : file_name.substr(dot + 1);
    if (extension == "cif") {
        convert_cif_to_p1(structure);
        file_name = temp_p1_file_name;
    } else if (extension == "xyz") {
        convert_xyz_to_p1(structure);
        file_name = temp_p1_file_name;
    }

    P1Contents contents = read_p1_file(file_name);
    if (contents.atoms.empty()) {
        std::cout << "ERROR: NO ATOMS FOUND IN STRUCTURE FILE " << file_name << "!" << '\n';
        end_process(4);
    }
    const double scale = parameters.doubles[StructureDoubleKey::Scale_coordinates_by];
    const double lengths[3] = {atom_norm(contents.cell_vectors[0]) * scale, atom_norm(contents.cell_vectors[1]) * scale,
                               atom_norm(contents.cell_vectors[2]) * scale};
    atom_set_xyz(structure.basis, lengths[0], lengths[1], lengths[2]);
    require_usable_scaled(structure.basis, file_name);
    for (int i = 0; i < 3; ++i) {
        Atom& v = structure.cell_vectors[i];
        atom_set_xyz(v, contents.cell_vectors[i].x, contents.cell_vectors[i].y, contents.cell_vectors[i].z);
        v = atom_unit_vector(v);
    }
    structure.species_count = 0;
    structure.species_by_element = false;
    structure.species_labels.clear();
    structure.species_z.clear();
    structure.species_counts.clear();

    const bool to_element = parameters.bools[StructureBoolKey::labels_to_element_name];
    structure.unit_cell_count = static_cast<std::int32_t>(contents.atoms.size());
    structure.unit_cell_fractional = contents.direct;
    structure.unit_cell_atoms.clear();
    std::vector<Atom> cartesian;
    for (Atom atom : contents.atoms) {
        if (to_element) {
            if (atomic_number_of_label(atom.label) == 0) {
                std::cout << "ERROR: UNIDENTIFIED ATOM LABEL!" << '\n';
                end_process(5);
            }
            atom.label = element_symbol_of_label(atom.label);
        }
        if (contents.direct) {
            const double weights[3] = {atom.x * lengths[0], atom.y * lengths[1], atom.z * lengths[2]};
            Atom position = atom_linear_combination(structure.cell_vectors, weights);
            position.label = atom.label;
            require_usable_scaled(position, file_name);
            structure.unit_cell_atoms.push_back(atom);
            cartesian.push_back(position);
        } else {
            const Atom scaled{atom.label, atom.x * scale, atom.y * scale, atom.z * scale};
            require_usable_scaled(scaled, file_name);
            structure.unit_cell_atoms.push_back(scaled);
            cartesian.push_back(scaled);
        }
    }

    print_separator_line();
    std::cout << summary_indent << "STRUCTURE # " << structure.structure_number << '\n';
    std::cout << summary_indent << structure.unit_cell_count << " atoms in the unit cell" << '\n';

    warn_shared_sites(contents, cartesian, structure, file_name);
    build_supercell(structure, cartesian);
    parse_doping_spec(structure);
    apply_doping(structure);

    for (const Atom& atom : structure.supercell_atoms) add_species(structure, atom.label, atomic_number_of_label(atom.label));
    reduce_species_counts(structure);
}

void add_species(Structure& structure, const std::string& label, std::int32_t atomic_number) {
    for (std::size_t s = 0; s < structure.species_labels.size(); ++s) {
        if (structure.species_labels[s] == label) {
            ++structure.species_counts[s];
            return;
        }
    }
    structure.species_labels.push_back(label);
    structure.species_z.push_back(atomic_number);
    structure.species_counts.push_back(1);
    structure.species_count = static_cast<std::int32_t>(structure.species_labels.size());
}

void reduce_species_counts(Structure& structure) {
    auto& counts = structure.species_counts;
    if (counts.empty()) return;
    if (counts.size() == 1) {
        counts[0] = 1;
        return;
    }
    std::int32_t g = gcd(counts[0], counts[1]);
    for (std::size_t i = 2; i < counts.size() && g != 1; ++i) g = gcd(g, counts[i]);
    for (std::int32_t& count : counts) count /= g;
}

int find_species_of_label(const Structure& structure, const std::string& label) {
    for (std::size_t s = 0; s < structure.species_labels.size(); ++s) {
        if (structure.species_labels[s] == label) return static_cast<int>(s);
    }
    // Species built by element carry the label of their first atom; other labels of the element still
    // belong to them.
    const int z = atomic_number_of_label(label);
    if (!structure.species_by_element || z == 0) return -1;
    for (std::size_t s = 0; s < structure.species_z.size(); ++s) {
        if (structure.species_z[s] == z) return static_cast<int>(s);
    }
    return -1;
}

int potential_index_of_label(const Structure& structure, const std::string& label) {
    const auto& labels = structure.species_labels;
    auto species = static_cast<std::size_t>(std::find(labels.begin(), labels.end(), label) - labels.begin());
    if (species == labels.size()) {
        const int z = atomic_number_of_label(label);
        if (z > 0) {
            const auto& numbers = structure.species_z;
            species = static_cast<std::size_t>(std::find(numbers.begin(), numbers.end(), z) - numbers.begin());
        }
    }
    // FEFF needs an element for every potential; a species of atomic number 0 would reach it as "z 0".
    if (species >= labels.size() || structure.species_z[species] == 0) {
        std::cout << "ERROR: UNIDENTIFIED ATOM LABEL!" << '\n';
        end_process(5);
    }
    return static_cast<int>(species) + 1;
}

void free_structure_arrays(Structure& structure) {
    structure.supercell_atoms = {};
    structure.working_atoms = {};
    structure.working_source = {};
    structure.unit_cell_atoms = {};
    structure.cell_translations = {};
}

namespace {

// An old length that was never set (0 in a fresh run) or that did not change leaves the axis as it is.
double rescale_factor(double new_length, double old_length) {
    if (!(old_length > 0) || old_length == new_length) return 1.0;
    return new_length / old_length;
}

}  // namespace

void rescale_structure(Structure& structure, const Atom& new_lengths, const Atom& old_lengths) {
    const double fx = rescale_factor(new_lengths.x, old_lengths.x);
    const double fy = rescale_factor(new_lengths.y, old_lengths.y);
    const double fz = rescale_factor(new_lengths.z, old_lengths.z);
    structure.supercell_lengths[0] *= fx;
    structure.supercell_lengths[1] *= fy;
    structure.supercell_lengths[2] *= fz;
    for (Atom& atom : structure.supercell_atoms) {
        atom.x *= fx;
        atom.y *= fy;
        atom.z *= fz;
    }
    build_periodic_images(structure, true);
}

void refuse_unopenable_structure_file(const std::string& file_name) {
    std::cout << "ERROR: FILE WITH STRUCTURE CANNOT BE OPENED!" << open_failure_note(file_name) << '\n';
    end_process(4);
}
