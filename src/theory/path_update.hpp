#pragma once

#include "structure/atom.hpp"

#include <cstdint>
#include <span>
#include <vector>

struct NodeGeometry;
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

// Supercell atom that node n's atom is (an image of).
std::int32_t node_source_atom(const Pathfinder& finder, std::int32_t n);
// Fills the table of every node's supercell atom, used by the updates.
void prepare_node_sources(Pathfinder& finder);
