#pragma once

#include "structure/energy_term.hpp"
#include "structure/atom.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct Calculation;
struct StructureParameters;

// One of the six faces of a supercell.
struct CellFace {
    Atom edge1;      // first unit cell vector spanning the face
    Atom edge2;      // second one
    Atom direction;  // unit vector along the third axis, pointing into the supercell
    double length = 0.0;  // supercell length along that axis
    Atom point;      // a point of the face plane: the origin or the far corner
};

// One built structure model: unit cell, supercell, the working list with periodic images, cell geometry
// and species. Atom index order of the supercell is the atom numbering used everywhere else.
struct Structure {
    std::vector<Atom> unit_cell_atoms;  // fractional when the P1 file is "Direct", else scaled Cartesian
    bool unit_cell_fractional = false;  // which of the two unit_cell_atoms holds
    std::int32_t unit_cell_count = 0;
    std::vector<Atom> supercell_atoms;  // Cartesian, after doping
    std::vector<Atom> working_atoms;    // supercell atoms followed by periodic images
    std::vector<std::int32_t> working_source;  // supercell atom each working entry copies
    std::vector<std::int32_t> working_z;       // atomic number of each working entry's label
    std::vector<Atom> cell_translations;       // lattice translation of each supercell atom's cell
    std::int32_t atom_count = 0;
    std::int32_t working_count = 0;
    std::array<Atom, 3> cell_vectors;  // unit vectors along a, b, c
    std::array<CellFace, 6> faces;
    std::array<double, 3> supercell_lengths{};
    Atom basis;  // label "basis"; x, y, z are the unit-cell lengths in angstrom
    std::int32_t species_count = 0;
    std::vector<std::string> species_labels;
    std::vector<std::int32_t> species_z;
    std::vector<std::int32_t> species_counts;  // reduced by their greatest common divisor
    bool species_by_element = false;           // cluster geometries group species by element, not label
    Atom old_basis;
    Calculation* owner = nullptr;
    StructureParameters* parameters = nullptr;
    double weight = 1.0;
    std::vector<EnergyTerm> energy_terms;  // in the order they were defined
    std::array<std::int32_t, 3> supercell_size{};
    std::string doping_source;
    std::string doping_target;
    std::int32_t structure_number = 0;
    double margin = 0.0;  // largest R_max over the spectra
};

// Binds the structure to its calculation and parameters and resets the cell lengths to the coordinate scale.
void set_structure_basis(Structure& structure, Calculation& calc, StructureParameters& parameters);
// Builds the structure from its File_with_structure (P1, or CIF and xyz through "temp_P1.p1"), with
// supercell, doping and species table. The working list is built later, once every structure is loaded.
void load_structure(Structure& structure);
void free_structure_arrays(Structure& structure);
// Stretches the supercell to new cell lengths and rebuilds the working list with selected images.
void rescale_structure(Structure& structure, const Atom& new_lengths, const Atom& old_lengths);

// Appends the label to the species table or counts it, then reduces the counts to a formula.
void add_species(Structure& structure, const std::string& label, std::int32_t atomic_number);
void reduce_species_counts(Structure& structure);
// Index of the species a label belongs to: the exact label, else, when the species were built by
// element, the species of the same atomic number; -1 when there is none.
int find_species_of_label(const Structure& structure, const std::string& label);
// FEFF potential index of a label: one more than the position of its species. A label that is no species
// label (an atom relabelled in a cluster or an initial geometry) takes the first species of its element.
// A label of no element, or of an element without a species, ends the run (exit code 5).
int potential_index_of_label(const Structure& structure, const std::string& label);

// Ends the run (exit code 4) for a structure or geometry file that cannot be opened, naming the file and
// the system's reason; called right after the failed open, while errno still holds that reason.
[[noreturn]] void refuse_unopenable_structure_file(const std::string& file_name);
