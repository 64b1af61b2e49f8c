#pragma once

#include "structure/atom.hpp"
#include "theory/cluster.hpp"
#include "theory/pathfinder.hpp"

#include <array>
#include <cstdint>
#include <span>
#include <vector>

struct NodeGeometry;
struct PathNode;
struct Pathfinder;
struct WorkRange;

// Displacement of every supercell atom of one structure in a state, in supercell order.
std::vector<Vec3> structure_displacements(const std::vector<Atom>& state_atoms,
                                          const std::vector<std::int32_t>& structure_atom_index);
void structure_displacements(const std::vector<Atom>& state_atoms,
                             const std::vector<std::int32_t>& structure_atom_index, std::vector<Vec3>& displacements);

// Brings the current geometry of every node of the tree (the pathfinder's `current`) to the state whose
// displacements are given (one per supercell atom of the edge's structure): level by level, each level
// split over the pathfinder's worker threads, so that every parent is current before its children.
void launch_path_update_threads(Pathfinder& finder, std::span<const Vec3> displacements);
// The same for a state given by its atom records and the structure's index map into them.
void launch_path_update_threads(Pathfinder& finder, const std::vector<Atom>& state_atoms,
                                const std::vector<std::int32_t>& structure_atom_index);
void path_update_worker(WorkRange& range);
// The same computation on the calling thread, into a geometry table of the caller's.
void update_path_geometry(const Pathfinder& finder, std::span<const Vec3> displacements,
                          std::vector<NodeGeometry>& geometry);
// Node n's geometry from its parent's (already in `geometry`); the root takes its displaced atom as
// absorber.
void update_path_node(const Pathfinder& finder, std::int32_t n, std::span<const Vec3> displacements,
                      const Vec3& polarization, std::vector<NodeGeometry>& geometry);

// The geometry of one node from its parent's geometry (none for a root), its build-time record and the
// displacement of its atom: the one computation every update of a node goes through.
void update_node_geometry(const PathNode& node, const Vec3& displacement, const Vec3& polarization,
                          const NodeGeometry* parent, NodeGeometry& current);

// The geometry of the chain of member node `member` alone, from its root (entry 0) to the member (entry
// count - 1); returns the count. Every node's geometry equals what a whole-tree update gives it.
int update_chain_geometry(const Pathfinder& finder, std::int32_t member, std::span<const Vec3> displacements,
                          const Vec3& polarization, std::array<std::int32_t, 10>& nodes,
                          std::array<NodeGeometry, 10>& geometry);

// Walks to the chain of member `member` of the path at the given displacements (of which the walk was
// last made, or with walk.count = 0): the geometry of its nodes from the root to the member, every
// node's the same as a whole-tree update gives it. Needs prepare_member_chains.
void walk_member_chain(const Pathfinder& finder, const Path& path, std::size_t member,
                       std::span<const Vec3> displacements, const Vec3& polarization, ChainWalk& walk);
// Asks for the chain nodes of member `member` (if the path has it) to be read ahead of its walk: a
// path's members lie across the node table. Walks over members in order read ahead by
// member_prefetch_distance.
inline void prefetch_member_chain(const Pathfinder& finder, const Path& path, std::size_t member) {
    if (member >= path.members.size()) return;
    const std::int32_t* chain = &path.chains[member * static_cast<std::size_t>(path.nleg)];
    for (int c = 1; c < path.nleg; ++c) __builtin_prefetch(&finder.chain_nodes[static_cast<std::size_t>(chain[c])]);
}
constexpr std::size_t member_prefetch_distance = 8;
// The member's descriptor from a walk to it (as collect_chain_descriptor); returns its length.
int walked_descriptor(const Pathfinder& finder, const ChainWalk& walk, int nleg, Descriptor& descriptor);
// The member's R alone at the given displacements, the same number a walk to it makes.
double member_chain_R(const Pathfinder& finder, const Path& path, std::size_t member,
                      std::span<const Vec3> displacements);
// The same for member node `member` of any path, its chain found through the parent links (no tables
// needed).
double member_R_at(const Pathfinder& finder, std::int32_t member, std::span<const Vec3> displacements);
// Fills the tables the chain walks read (each node's inputs, each member's chain of nodes); cheap when
// they are filled.
void prepare_member_chains(Pathfinder& finder);

// Supercell atom that node n's atom is (an image of).
std::int32_t node_source_atom(const Pathfinder& finder, std::int32_t n);
// Fills the table of every node's supercell atom, used by the updates.
void prepare_node_sources(Pathfinder& finder);
