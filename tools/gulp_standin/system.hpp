#pragma once

#include "input.hpp"
#include "types.hpp"

#include <array>
#include <string>
#include <vector>

namespace gulp_standin {

// One pair term in the form the sums use.
struct PairFunction {
    int m = 12;
    int n = 6;
    double a = 0.0;
    double b = 0.0;
    double rmin2 = 0.0;
    double rmax2 = 0.0;
};

// A neighbour of an atom: the other atom, the lattice translation that places the interacting copy, and
// the pair table entry of the two labels.
struct Neighbour {
    int atom = 0;
    Vec3 shift;
    int pair = 0;
};

// The supercell as a periodic system: the pair sums run over explicit lattice translations of the
// supercell, so a cutoff longer than the supercell sees every copy it reaches. Positions are never
// wrapped back into the cell.
struct PeriodicSystem {
    std::array<Vec3, 3> cell;     // supercell vectors: a along x, b in the xy plane
    std::vector<Vec3> positions;  // Cartesian, angstrom
    std::vector<std::string> labels;
    std::vector<int> atomic_numbers;
    std::vector<double> masses;
    std::vector<int> type_of_atom;  // index into the distinct labels
    int type_count = 0;
    std::vector<std::vector<PairFunction>> pair_table;  // by type pair a * type_count + b
    double cutoff = 0.0;                                // longest rmax of all terms
    double skin = 1.0;                                  // neighbour lists reach cutoff + skin
    std::vector<std::vector<Neighbour>> neighbours;     // per atom: copies of later atoms, then of earlier ones
    std::vector<int> later_neighbours;                  // how many entries of each list are later atoms
    std::vector<Vec3> listed_at;                        // positions when the lists were built
    int list_builds = 0;
};

// Builds the supercell from the input's cell, atoms and supercell (cells in the order a, then b, then c
// slowest to fastest outside the unit-cell atoms) and the pair table. Throws when two atoms coincide.
PeriodicSystem build_system(const GulpInput& input);

// Lists, for every atom, each copy of every other atom within cutoff + skin of it.
void rebuild_neighbours(PeriodicSystem& system);
// Makes the neighbour lists current for the positions held (rebuilding when some atom has moved more than
// half the skin since the last build).
void update_neighbours(PeriodicSystem& system);
// Whether atom i may sit at `position` without rebuilding the lists.
bool within_skin(const PeriodicSystem& system, int i, const Vec3& position);

// Energy of atom i at `position` with all other atoms where they are (lists must be current for both).
double atom_energy(const PeriodicSystem& system, int i, const Vec3& position);
// Change of the energy when atom i moves to `position` (lists must be current for both places).
double energy_change(const PeriodicSystem& system, int i, const Vec3& position);
double total_energy(const PeriodicSystem& system);
// Total energy, with the force on every atom in `forces`.
double energy_and_forces(const PeriodicSystem& system, std::vector<Vec3>& forces);

// Mass-weighted centre of the positions.
Vec3 centre_of_mass(const PeriodicSystem& system);

}  // namespace gulp_standin
