#pragma once

#include <cstddef>
#include <vector>

struct AbsorberEdge;
struct Pathfinder;

// The exact signal of every member of every path of an edge: [path][member] -> path_chi_points values.
using MemberChiTable = std::vector<std::vector<std::vector<double>>>;

// Sends every member chain of every path, at the tree's current geometry, through FEFF as a path of its
// own (degeneracy 1), in large lists on the worker folders' threads, removing every chip file once read.
// Each member's signal divided by the absorber count goes to the table; the sum of the members' signals
// in member order, times `weight` / absorber count, is added to `state_chi_grid` (403 points, point
// i + 1 for k = 0.05 i). In the one-dimensional model a member is its two-atom substitute at its
// current length, as the cluster representatives are.
void compute_member_chi_with_feff(AbsorberEdge& edge, double* state_chi_grid, double weight, MemberChiTable& members,
                                  bool one_dimensional);
// Bytes of the table above for the edge's paths.
std::size_t member_chi_table_bytes(const Pathfinder& finder);

// Sends the representative of every non-empty cluster of every marked path through FEFF, unless the
// cluster already holds the signal of a representative with the same atoms at the same places, and
// stores the cluster's signal, effective amplitude and effective phase (with the experimental amplitude
// and phase in place of FEFF's for the first path of the first edge when they are in use). In the one-dimensional
// model the representatives are two-atom substitutes and go through FEFF as single-scattering paths.
void write_cluster_paths_and_run_feff(AbsorberEdge& edge, bool one_dimensional);
