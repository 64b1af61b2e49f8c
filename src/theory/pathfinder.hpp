#pragma once

#include "control/chunked_table.hpp"
#include "structure/atom.hpp"
#include "theory/cluster.hpp"
#include "theory/member_terms.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct Structure;

constexpr int max_path_legs = 8;
constexpr double path_tree_initial_importance = 100.0;
// Points of a path signal on the grid k = 0.05 i, i = 0 .. 400.
constexpr int path_chi_points = 401;

// The canonical frame of a chain as the cosines and sines of its three turns: about z by -phi, about y
// by pi/2 - theta, about x by -psi. Kept rather than the angles so that only the nodes that define the
// frame evaluate trigonometric functions.
struct ChainFrame {
    double cos_z = 1.0, sin_z = 0.0;
    double cos_y = 1.0, sin_y = 0.0;
    double cos_x = 1.0, sin_x = 0.0;
};

// One node of the path tree: a node at level nleg with its parents back to its root (an absorbing atom)
// is the chain absorber, s1, ..., s(nleg-1), closed by a last leg back to the absorber.
struct PathNode {
    std::int8_t descriptor_length = 0;  // canonical coordinates along the chain up to this node
    std::int8_t nleg = 1;
    std::int8_t distinct_atoms = 1;     // different atoms in the chain, absorber included
    std::int8_t coordinate_count = 0;   // coordinates this node contributes: 0 (root, revisit), 1, 2 or 3
    std::int8_t revisit_level = -1;     // level of the earlier node with the same atom
    bool revisit = false;               // the atom already occurs earlier in the chain
    bool dropped = false;
    std::int32_t atom_index = 0;        // position in its absorber's neighbour list
    std::int32_t label = 0;             // into Pathfinder::labels
    std::int32_t potential_index = 0;
    std::int32_t parent = -1;
    std::int32_t root = 0;
    std::int32_t path = -1;
    Vec3 atom;                          // build-time position
    std::array<double, 3> coordinates{};  // in the chain's canonical frame, build time
    double open_length = 0.0;  // legs from the absorber to this atom
    double R = 0.0;            // half the closed length
    double polarization_projection = 0.0;  // e . (s1 - absorber)
    double first_distance = 0.0;           // |s1 - absorber|
    ChainFrame frame;
};

// The geometry of a node at the state last applied to the tree (the node's current fields). Kept apart
// from the nodes so that a state's update and the loops over members read only these.
struct NodeGeometry {
    Vec3 atom;
    Vec3 absorber;
    double open_length = 0.0;
    double R = 0.0;
    std::array<double, 3> coordinates{};
    ChainFrame frame;
    double polarization_projection = 0.0;
    double first_distance = 0.0;
};

// What a walk along a member chain reads of one node.
struct ChainNode {
    Vec3 atom;                 // build-time position
    std::int32_t source = 0;   // the supercell atom the node's atom is (an image of)
    std::int8_t distinct_atoms = 1;
    std::int8_t coordinate_count = 0;
    bool revisit = false;
};

// One state's sums tables of one path: the cluster every member is counted in, the member count of every
// cluster and, in complex mode, every cluster's member sums over the grid.
struct PathSums {
    std::uint32_t generation = 0;              // of the cluster set they belong to
    std::uint32_t centroids = 0;               // the centroids the members were assigned to (Path::centroids)
    std::vector<std::int32_t> member_cluster;  // per member
    std::vector<double> member_distance;       // per member, from its cluster's centroid
    std::vector<std::int32_t> counts;          // per cluster
    std::vector<DescriptorSum> descriptor_sums;  // [cluster][coordinate]: of the members' descriptors
    std::vector<double> sine;                  // [cluster][point]: sum over members of sin(2kR)/R^2
    std::vector<double> cosine;                // [cluster][point]: sum over members of cos(2kR)/R^2
    std::vector<ClusterStateStatistics> statistics;  // per cluster, found by the state's last sums pass
    bool statistics_current = false;  // the statistics are those of the members as they are now
};

// A nonequivalent path: a class of equivalent chains (its members), with the clusters of the members'
// geometries over the population and the sums that give its signal in every state.
struct Path {
    std::vector<std::int32_t> members;
    std::int32_t nleg = 0;
    std::int32_t degeneracy = 0;  // number of members
    std::int32_t root = 0;
    std::int32_t descriptor_length = 0;
    std::int32_t state_count = 0;
    double R = 0.0;      // of the representative
    double scale = 1.0;  // factor on the path's chi
    // One-dimensional model: the reference distance, the member lengths saved at the start of a sweep,
    // and every member chain the pathfinder grouped here. `members` then keeps only the first
    // `degeneracy` of them, the chains the path's signal counts; the lengths live in the chains.
    double initial_distance = 0.0;
    std::vector<double> saved_lengths;
    std::vector<std::int32_t> length_chains;
    std::int32_t representative = 0;  // the first chain of the class
    double importance = path_tree_initial_importance;  // percent
    std::vector<double> chi;  // path_chi_points values on k = 0.05 i

    // Cluster set. previous_clusters holds the centroids of the last pass, against which members are
    // assigned; the per-cluster arrays are indexed [cluster][point].
    std::int32_t cluster_count = 0;
    std::vector<Cluster> clusters;
    std::vector<Cluster> previous_clusters;
    std::vector<double> cluster_chi;        // [cluster][point] from FEFF on the representative
    std::vector<double> cluster_amplitude;
    std::vector<double> cluster_phase;
    bool check = false;         // takes part in re-clustering and sums
    bool complex_mode = false;  // use_effective_phase_amplitude
    double clustering_precision = 0.0;
    double largest_geometric_error = -1e6;
    double largest_exafs_error = -1e6;
    // Every state's sums tables ([state]). A state's tables belong to the cluster set while their
    // generation is the path's: a new cluster set starts a new generation.
    std::vector<PathSums> sums;
    std::uint32_t cluster_generation = 0;
    // Changes with every change of the centroids: the members of tables made for other centroids may
    // belong to other clusters now.
    std::uint32_t centroids = 0;
    // cos and sin of every cluster's phase, [cluster][point], made when the phases are read.
    std::vector<double> cluster_phase_cos;
    std::vector<double> cluster_phase_sin;
    // Per member, its nleg nodes from the root to the member node ([member][level]): what a walk along
    // the member's chain reads instead of the parent links.
    std::vector<std::int32_t> chains;
};

// The geometry along one member chain, kept from one member to the next: a walk to the next chain makes
// again only the nodes that chain does not share with the one before.
struct ChainWalk {
    std::array<std::int32_t, max_path_legs> nodes{};
    std::array<NodeGeometry, max_path_legs> geometry{};
    int count = 0;  // nodes made; 0 after a change of displacements
};

// The members an update of one state goes through: per path, those that hold a moved atom, in the order
// the moved atoms list them; and the paths that have any, in their order.
struct TouchedMembers {
    std::vector<std::vector<std::int32_t>> of_path;
    std::vector<std::int32_t> paths;
};

// Working memory of one thread's sums passes and updates.
struct SumsScratch {
    std::vector<Vec3> displacements;        // per supercell atom of the edge's structure
    std::vector<Vec3> previous;             // the displacements the tables were made for
    std::vector<double> member_R;           // one path's members
    std::vector<std::int32_t> moved_atoms;  // atoms whose displacement changed since the tables were made
    ChainWalk walk;
    ChainWalk previous_walk;  // along the chains at the displacements the tables were made for
    ChainWalk partner_walk, partner_previous_walk;  // the same for the second state of a paired update
    TouchedMembers touched;
    std::vector<char> saved_clusters;  // per cluster of a path: its sums are in the undo record
};

// What a state's sums tables on one edge were made for.
struct StateTables {
    std::vector<Vec3> displacements;  // of the edge's structure; empty: the tables hold no state
    bool whole_grid = false;          // the points outside the blocks in use are up to date as well
};

// A state's tables on one edge kept aside while its slot holds another state.
struct SetAsideTables {
    StateTables tables;
    std::vector<PathSums> sums;  // per path
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
    ChunkedTable<PathNode> nodes;
    std::vector<Path> paths;
    std::vector<std::int32_t> selected_paths;
    double r_max = 0.0;
    std::int32_t max_nleg = 0;
    bool has_polarization = false;
    Atom polarization;  // unit vector
    std::array<std::int32_t, max_path_legs + 2> level_end{};  // one past the last node of each level
    double tolerance = 0.5;                          // Pathfinder_robustness
    std::vector<std::vector<Atom>> neighbours;       // per absorber: its neighbours, then itself
    std::int32_t state_count = 0;
    std::vector<std::string> labels;                 // the labels the nodes refer to
    std::vector<NodeGeometry> current;               // per node, the state last applied
    std::vector<std::int32_t> node_sources;          // per node, the supercell atom it is (an image of)
    std::vector<ChainNode> chain_nodes;              // per node, what a chain walk reads of it
    SumsScratch scratch;                             // for the passes of one state at a time
    std::vector<StateTables> state_tables;           // per state
    std::vector<SetAsideTables> set_aside;           // tables of states that left their slots
    // The grid points [first_point, end_point) that every state's sums are kept up to date on: the points
    // its spectrum reads. The others are made when the whole grid is asked for.
    std::int32_t first_point = 0;
    std::int32_t end_point = path_chi_points;
    // Per supercell atom, the (path, member) chains that hold it or one of its images.
    std::vector<std::vector<std::array<std::int32_t, 2>>> atom_members;
};

// Whether the states' sums are kept up to date on every point of the grid.
inline bool sums_on_whole_grid(const Pathfinder& finder) {
    return finder.first_point == 0 && finder.end_point == path_chi_points;
}

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

// Index of the label in the pathfinder's label table, added when new.
std::int32_t pathfinder_label_id(Pathfinder& finder, const std::string& label);
inline const std::string& node_label(const Pathfinder& finder, const PathNode& node) {
    return finder.labels[static_cast<std::size_t>(node.label)];
}

// Places r (an atom relative to the chain's absorber) in the chain's canonical frame, as the atom that
// brings the chain to `distinct_atoms` different atoms: the second one (s1) defines the frame's x axis
// and its polarization projection, the third one the xy half-plane. Build and update share it, so a
// state without displacements reproduces the build-time values exactly.
void place_in_chain_frame(int distinct_atoms, Vec3 r, const Vec3& polarization, ChainFrame& frame,
                          double& polarization_projection, double& first_distance,
                          std::array<double, 3>& coordinates);

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
// The two-atom substitute of member `member` in the one-dimensional model: the absorber at the origin
// and the chain's last atom on the x axis at the chain's current length.
void single_scattering_representative(const Pathfinder& finder, const Path& path, PathGeometry& geometry, int member);
// Gives every node its FEFF potential index: 0 at the absorber's position, else that of its label in the
// structure (potential_index_of_label).
void assign_potential_indices(Pathfinder& finder, const Structure& structure);
// Half the closed length of a chain of nleg atoms.
double half_closed_length(const PathGeometry& geometry, int nleg);
void print_final_path(const Pathfinder& finder, const Path& path);
