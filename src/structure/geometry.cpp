#include "structure/geometry.hpp"

#include "control/calculation.hpp"
#include "control/number_text.hpp"
#include "control/process_end.hpp"
#include "structure/atom_io.hpp"
#include "structure/elements.hpp"
#include "structure/periodic_images.hpp"
#include "structure/structure.hpp"
#include "structure/supercell.hpp"

#include <algorithm>
#include <fstream>
#include <iostream>
#include <limits>
#include <vector>

namespace {

const std::string note_indent(14, ' ');

// Opens a geometry file and reads its head: the atom count and the three words of the comment line
// that the program writes into its own xyz files.
std::int32_t open_geometry_file(std::ifstream& in, const std::string& file_name) {
    in.open(file_name);
    if (!in) refuse_unopenable_structure_file(file_name);
    std::cout << note_indent << "Initial geometry is found and will be used." << '\n';
    std::int32_t count = 0;
    if (!(in >> count)) count = 0;
    std::string word;
    for (int i = 0; i < 3; ++i) in >> word;
    return count;
}

[[noreturn]] void wrong_atom_count(const std::string& file_name) {
    std::cout << "ERROR: WRONG NUMBER OF ATOMS IN " << file_name << '\n';
    end_process(4);
}

// A file that ends before its count is reached would leave atoms at stale or unset positions. The atoms
// are collected as they are read, so a count far beyond the file's lines costs no memory.
std::vector<Atom> read_geometry_atoms(std::ifstream& in, std::int32_t count, const std::string& file_name) {
    std::vector<Atom> atoms;
    atoms.reserve(static_cast<std::size_t>(std::min(count, std::int32_t{1} << 16)));
    for (std::int32_t i = 0; i < count; ++i) {
        Atom read;
        read_atom_unscaled(read, in, "gulp");
        if (!in) wrong_atom_count(file_name);
        for (const double value : {read.x, read.y, read.z}) {
            if (!is_usable_number(value)) refuse_file_value(file_name, value);
        }
        atoms.push_back(std::move(read));
    }
    return atoms;
}

void mark_central_absorber(Structure& structure, const Calculation& calc) {
    const std::string& edge = calc.spectrum_parameters[0].strings[SpectrumStringKey::Edge];
    const int absorber_z = atomic_number_of_label(edge);
    if (absorber_z == 0) {
        std::cout << "ERROR: UNIDENTIFIED ATOM LABEL!" << '\n';
        end_process(5);
    }
    Atom centre{"", 0.0, 0.0, 0.0};
    int absorbers = 0;
    for (const Atom& atom : structure.supercell_atoms) {
        if (atomic_number_of_label(atom.label) != absorber_z) continue;
        centre = atom_add(centre, atom);
        ++absorbers;
    }
    if (absorbers == 0) {
        std::cout << "ERROR: no absorbing atoms!" << '\n';
        end_process(1);
    }
    centre = atom_scale(centre, 1.0 / absorbers);
    // There is a nearest absorbing atom however far the atoms lie from their centre.
    double best = std::numeric_limits<double>::infinity();
    Atom* nearest = nullptr;
    for (Atom& atom : structure.supercell_atoms) {
        if (atomic_number_of_label(atom.label) != absorber_z) continue;
        const double d = atom_distance(atom, centre);
        if (d < best) {
            best = d;
            nearest = &atom;
        }
    }
    nearest->label = edge;
    std::cout << note_indent << "Absorbing atom:" << '\n';
    write_atom(*nearest, nearest->label, std::cout, "gulp");
}

}  // namespace

void load_initial_geometry(Structure& structure, const std::string& file_name) {
    std::ifstream in;
    const std::int32_t count = open_geometry_file(in, file_name);
    if (count != structure.atom_count) wrong_atom_count(file_name);
    const std::vector<Atom> atoms = read_geometry_atoms(in, count, file_name);
    std::copy(atoms.begin(), atoms.end(), structure.supercell_atoms.begin());
}

void load_cluster_geometry(Structure& structure, const std::string& file_name, bool set_centre) {
    std::ifstream in;
    const std::int32_t count = open_geometry_file(in, file_name);
    if (count < 1) wrong_atom_count(file_name);
    structure.atom_count = count;
    std::cout << note_indent << "Number of atoms = " << count << '\n';

    structure.supercell_atoms = read_geometry_atoms(in, count, file_name);
    structure.working_atoms = structure.supercell_atoms;
    structure.working_source.resize(static_cast<std::size_t>(count));
    for (std::int32_t i = 0; i < count; ++i) structure.working_source[static_cast<std::size_t>(i)] = i;
    structure.working_count = count;
    atom_set_xyz(structure.basis, 1.0, 1.0, 1.0);
    structure.unit_cell_atoms.clear();
    structure.unit_cell_count = 0;
    structure.cell_translations.clear();

    if (set_centre) mark_central_absorber(structure, *structure.owner);

    structure.species_count = 0;
    structure.species_labels.clear();
    structure.species_z.clear();
    structure.species_counts.clear();
    structure.species_by_element = true;
    for (const Atom& atom : structure.supercell_atoms) {
        const int z = atomic_number_of_label(atom.label);
        const auto known = std::find(structure.species_z.begin(), structure.species_z.end(), z);
        if (known != structure.species_z.end()) {
            ++structure.species_counts[static_cast<std::size_t>(known - structure.species_z.begin())];
        } else {
            add_species(structure, atom.label, z);
        }
    }
    reduce_species_counts(structure);
}

void build_geometry(Calculation& calc, const std::string& extra_argument) {
    double margin = -1.0;
    for (int s = 0; s < calc.parameters.ints[IntKey::Number_of_spectra]; ++s) {
        margin = std::max(margin, calc.spectrum_parameters[s].doubles[SpectrumDoubleKey::R_max]);
    }
    const int structures = calc.parameters.ints[IntKey::Number_of_structures];
    for (int i = 0; i < structures; ++i) {
        Structure& structure = calc.structures[i];
        set_structure_basis(structure, calc, calc.structure_parameters[i]);
        structure.margin = margin;
        parse_supercell_spec(structure);
        structure.structure_number = i;
    }
    calc.centre_atom_index = -1;

    // With -spectrum the extra argument names a spectrum, not a geometry.
    const bool geometry_given = calc.flags.has_extra_argument && !calc.flags.spectrum;
    if (!geometry_given) {
        for (int i = 0; i < structures; ++i) load_structure(calc.structures[i]);
    } else {
        // Only structure 0 is built from the command-line file; further structures would stay empty.
        if (structures != 1) {
            std::cout << "ERROR: A GEOMETRY GIVEN ON THE COMMAND LINE NEEDS Number_of_structures = 1!" << '\n';
            end_process(1);
        }
        Structure& structure = calc.structures[0];
        if (structure.parameters->bools[StructureBoolKey::pbc]) {
            load_structure(structure);
            if (!calc.flags.md) load_initial_geometry(structure, extra_argument);
        } else {
            load_cluster_geometry(structure, extra_argument, calc.flags.setcenter);
        }
    }
    for (int i = 0; i < structures; ++i) build_periodic_images(calc.structures[i], false);
}
