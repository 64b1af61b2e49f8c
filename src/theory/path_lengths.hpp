#pragma once

#include "theory/pathfinder.hpp"

#include <cstdint>

// The variables of the one-dimensional model are the lengths of the member chains themselves. The
// length of member j of a path is the first current canonical coordinate of the chain's last node (for
// a single-scattering chain, the absorber-scatterer distance), kept equal to that node's current R:
// every change of the one sets the other. Member j is entry j of the path's `length_chains`.

// The length of chain `node` at the tree's current geometry (build time while no state was applied).
double chain_length(const Pathfinder& finder, std::int32_t node);

// Sizes `saved_lengths` to one entry per absorbing atom, as far as the path has member chains, and
// starts members 0 .. degeneracy-1 at the path's R (current coordinate, current R and the node's R).
void init_class_lengths(Pathfinder& finder, Path& path, int absorbers);
// saved_lengths[j] := length of member j, for the saved entries (j < absorbers).
void save_class_lengths(const Pathfinder& finder, Path& path, int absorbers);
// Length of member j := saved_lengths[j], for the saved entries (j < absorbers).
void restore_class_lengths(Pathfinder& finder, const Path& path, int absorbers);
void shift_path_length(Pathfinder& finder, const Path& path, int member, double delta);
double get_path_length(const Pathfinder& finder, const Path& path, int member);
void set_path_length(Pathfinder& finder, const Path& path, int member, double length);
