#pragma once

#include "structure/atom.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct Structure;

constexpr int max_path_legs = 8;
constexpr int max_descriptor_length = 18;
constexpr double path_tree_initial_importance = 100.0;

// One node of the path tree: a node at level nleg with its parents back to its root (an absorbing atom)
// is the chain absorber, s1, ..., s(nleg-1), closed by a last leg back to the absorber.
struct PathNode {
    std::int32_t descriptor_length = 0;  // canonical coordinates along the chain up to this node
    std::int32_t nleg = 1;
    std::int32_t distinct_atoms = 1;     // different atoms in the chain, absorber included
    std::int32_t coordinate_count = 0;   // coordinates this node contributes: 0 (root, revisit), 1, 2 or 3
    std::int32_t atom_index = 0;         // position in its absorber's neighbour list
    bool revisit = false;                // the atom already occurs earlier in the chain
    std::string label;
    std::int32_t potential_index = 0;
    std::int32_t revisit_level = -1;     // level of the earlier node with the same atom
    std::array<double, 3> coordinates{};          // in the chain's canonical frame, build time
    std::array<double, 3> current_coordinates{};  // the same for the state last applied
    Atom current_atom;
    Atom atom;
    double current_open_length = 0.0;
    double current_R = 0.0;
    double open_length = 0.0;  // legs from the absorber to this atom
    double R = 0.0;            // half the closed length
    std::int32_t parent = -1;
    Atom absorber;
    double polarization_projection = 0.0;  // e . (s1 - absorber)
    double first_distance = 0.0;           // |s1 - absorber|
    double phi = 0.0, theta = 0.0, psi = 0.0;  // canonical-frame angles of the chain
    std::int32_t state_count = 0;
    std::int32_t root = 0;
    std::int32_t path = -1;
    std::int32_t cluster = -1;
    bool dropped = false;
};

// A nonequivalent path: a class of equivalent chains (its members).
struct Path {
    std::vector<std::int32_t> members;
    std::int32_t nleg = 0;
    std::int32_t degeneracy = 0;  // number of members
    std::int32_t root = 0;
    std::int32_t descriptor_length = 0;
    std::int32_t state_count = 0;
    double R = 0.0;      // of the representative
    double scale = 1.0;  // factor on the path's chi
    double initial_distance = 0.0;
    std::vector<double> saved_lengths;
    std::int32_t representative = 0;  // the first chain of the class
    double importance = path_tree_initial_importance;  // percent
    std::vector<double> chi;  // 401 points on k = 0.05 i while the importance is computed
};

struct Pathfinder {
    std::int32_t worker_count = 1;
    std::int32_t edge_index = 0;
    const std::vector<Atom>* atoms = nullptr;                 // the structure's working list
    const std::vector<std::int32_t>* source_index = nullptr;  // working atom -> supercell atom
    std::vector<std::vector<std::int32_t>> neighbour_sources;  // per absorber
    std::string absorber_label;
    std::int32_t supercell_atom_count = 0;
    std::int32_t working_atom_count = 0;
    std::int32_t absorber_count = 0;
    std::vector<PathNode> nodes;
    std::vector<Path> paths;
    std::vector<std::int32_t> selected_paths;
    double r_max = 0.0;
    std::int32_t max_nleg = 0;
    bool has_polarization = false;
    Atom polarization;  // unit vector
    std::array<std::int32_t, max_path_legs + 2> level_end{};  // one past the last node of each level
    double tolerance = 0.5;                          // Pathfinder_robustness
    std::vector<std::vector<Atom>> neighbours;       // per absorber: its neighbours, then itself
};

// Stores the search settings and runs the search; returns the number of nonequivalent paths.
int setup_and_run_pathfinder(Pathfinder& finder, const std::string& absorber_label, int legs, double r_max,
                             double tolerance, int supercell_atom_count, int working_atom_count,
                             const std::vector<Atom>& atoms, const std::vector<std::int32_t>& source_index,
                             int worker_count, int centre_atom, const Atom& polarization, bool has_polarization);
int run_pathfinder(Pathfinder& finder, int centre_atom);
int detect_absorbers(Pathfinder& finder, int centre_atom);
int extend_paths_by_one_leg(Pathfinder& finder, int first, int end);
void build_nonequivalent_paths(Pathfinder& finder);
// Keeps the n paths listed in selected_paths (in that order) with their members and their ancestors.
void prune_paths_to_selection(Pathfinder& finder, int n);
void set_state_count_on_paths(Pathfinder& finder, int n);
void free_pathfinder_arrays(Pathfinder& finder);

// The atoms of a chain with their FEFF potential indices: entry 0 the absorber, entry nleg-1 the last
// scatterer.
struct PathGeometry {
    std::array<Atom, 10> atoms;
    std::array<std::int32_t, 10> potential_indices{};
};

void extract_path_geometry(const Pathfinder& finder, int node, int last_index, PathGeometry& geometry, bool build_time);
void path_geometry_of_path(const Pathfinder& finder, const Path& path, PathGeometry& geometry);
void path_geometry_of_member(const Pathfinder& finder, const Path& path, PathGeometry& geometry, int member,
                             bool build_time);
void single_scattering_representative(const Pathfinder& finder, const Path& path, PathGeometry& geometry, int member);
// Gives every node its FEFF potential index: 0 at the absorber's position, else that of its label in the
// structure (potential_index_of_label).
void assign_potential_indices(Pathfinder& finder, const Structure& structure);
// Half the closed length of a chain of nleg atoms.
double half_closed_length(const PathGeometry& geometry, int nleg);
void print_final_path(const Pathfinder& finder, const Path& path);
