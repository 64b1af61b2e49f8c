#pragma once

#include "theory/pathfinder.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

struct WorkRange;

// The signal of every member rebuilt from its cluster, for one state. In complex mode a cluster u has an
// effective amplitude A_u(k) and phase phi_u(k), and its members give
// A_u(k) * sum over members of sin(2kR + phi_u(k)) / R^2, which needs the member sums
// S_u(k) = sum sin(2kR) / R^2 and K_u(k) = sum cos(2kR) / R^2. In count mode a cluster carries the signal
// of its representative and its members give their count times it. The sums are made either directly,
// or (Expansion_accuracy > 0) from the R moments of each cluster by a series around its mean R.
//
// One state's sums pass writes only that state's tables (member counts, sums, each member's R and
// cluster, and its statistics of every cluster); the statistics are then folded into the clusters in
// state order. Passes of different states may therefore run at the same time on different threads.

// Sums pass of one state over every marked path, at the geometry of the tree's `current` table, with
// the paths and then the point ranges split over the worker threads; the state's statistics are then
// folded into the clusters.
void launch_cluster_chi_threads(Pathfinder& finder, int state, double expansion_accuracy, bool one_dimensional);
// Bytes of one thread's scratch for the sums of the edge's states.
std::size_t sums_scratch_bytes(const Pathfinder& finder);
void cluster_chi_worker(WorkRange& range);
// The per-path part of a state's pass (counts, R and clusters of the members, statistics; with P > 0
// also the series sums), at the given geometry. With P <= 0 it hands over to the direct form, whose
// sums are added afterwards point range by point range.
void accumulate_cluster_sums_taylor(const Pathfinder& finder, const std::vector<NodeGeometry>& geometry, Path& path,
                                    int path_index, int state, double expansion_accuracy, SumsScratch& scratch);
void accumulate_cluster_sums_direct(const Pathfinder& finder, const std::vector<NodeGeometry>& geometry, Path& path,
                                    int path_index, int state, SumsScratch& scratch);
// A whole state's pass on the calling thread, at the given geometry (statistics not yet folded).
void state_cluster_sums(Pathfinder& finder, const std::vector<NodeGeometry>& geometry, int state,
                        double expansion_accuracy, SumsScratch& scratch);

// Folds one state's statistics into the clusters: spreads add up; a smaller nearest distance or a
// larger farthest one replaces the cluster's; a new nearest member becomes the representative, its
// geometry given by `member_geometry` (path index, member position, geometry out). The members' last
// clusters become the state's.
using MemberGeometry = std::function<void(int path, int member, PathGeometry& geometry)>;
void fold_cluster_statistics(Pathfinder& finder, int state, const MemberGeometry& member_geometry);
// The atoms of member chain `node` moved by the given displacements, with their potential indices.
void member_geometry_at(const Pathfinder& finder, std::int32_t node, int nleg, std::span<const Vec3> displacements,
                        PathGeometry& geometry);

// Adds (sign +1) or takes out (sign -1) one member's sin(0.1 i R) / R^2 and cos(0.1 i R) / R^2 over the
// whole grid, computed exactly as a sums pass computes them, so that a member added by a pass is taken
// out by the same numbers.
void add_member_signal(double* sine, double* cosine, double R, double sign);
// The series sums of every cluster of the path for the state, from the members' R and clusters.
void series_sums_for_path(Path& path, int state, double expansion_accuracy);

// Term count of the series for the phase spread m (2k times the largest deviation from the mean R) and
// P digits: even, at most 254; 0 when the series needs no term beyond the first.
int series_term_count(double m, double expansion_accuracy);
// The series sums of one cluster of n members at point i from the sums of the powers j = 2..N of their
// deviations from the mean Rm (moments[j]), d being the largest deviation.
void series_sums_at_point(const double* moments, int n, double Rm, double d, int max_terms, double expansion_accuracy,
                          int i, double& sine_sum, double& cosine_sum);

// One path's chi for one state into `chi` (path_chi_points values), from its clusters:
// chi(i) = scale * sum over clusters of cluster_contribution.
void class_chi_of_path(const Path& path, int state, double* chi);
// Complex mode (cos phi_u S_u + sin phi_u K_u) A_u at point i; count mode count_u chi_u(i).
double cluster_contribution(const Path& path, int u, int state, int i);
