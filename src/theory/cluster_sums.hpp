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
// One state's sums pass writes only that state's tables (member clusters and counts, sums, and its
// statistics of every cluster); the statistics are then folded into the clusters in state order. Passes
// of different states may therefore run at the same time on different threads. The sums are made on the
// pathfinder's points in use (first_point .. end_point - 1); the rest of the grid is made when asked for.

struct ChainSource;

// Sums pass of one state over every marked path, at the geometry of the tree's `current` table, the
// paths split over the worker threads; the state's statistics are then folded into the clusters.
void launch_cluster_chi_threads(Pathfinder& finder, int state, double expansion_accuracy, bool one_dimensional);
// Bytes of one thread's scratch for the sums of the edge's states.
std::size_t sums_scratch_bytes(const Pathfinder& finder);
void cluster_chi_worker(WorkRange& range);
// The pass of one path for one state (nothing for a path not marked): members' clusters and counts,
// statistics and sums, the members' geometry from `source`. With P <= 0 it hands over to the direct form.
void accumulate_cluster_sums_taylor(const Pathfinder& finder, const ChainSource& source, Path& path, int state,
                                    double expansion_accuracy, SumsScratch& scratch);
void accumulate_cluster_sums_direct(const Pathfinder& finder, const ChainSource& source, Path& path, int state,
                                    SumsScratch& scratch);
// A whole state's pass on the calling thread (statistics not yet folded).
void state_cluster_sums(Pathfinder& finder, const ChainSource& source, int state, double expansion_accuracy,
                        SumsScratch& scratch);

// Whether the members in the state's tables were assigned to the centroids the clusters have now.
bool state_sums_current(const Pathfinder& finder, int state);
// Brings one path of tables that hold the state's geometry up to date with the clusters: where the
// centroids changed the members are assigned again and those that change cluster move their terms;
// elsewhere the statistics are made again from the members' distances if a move left them behind. The
// sums are the same numbers as a sums pass makes up to the order of their additions. Terms moved on the
// points in use only leave the rest of the grid behind: the caller marks the tables (see
// plan_shared_refresh, which brings several states' tables up to date together). Needs
// prepare_member_chains.
void refresh_path_sums(const Pathfinder& finder, Path& path, int state, double expansion_accuracy,
                       SumsScratch& scratch);
// Whether the states' tables keep sums of the path: a checked path with clusters.
bool takes_part(const Path& path);
// The statistics of every cluster from the members' clusters and distances kept in the tables, in
// member order as a sums pass finds them; the descriptors of the nearest and farthest members are
// walked again (`walk` as for member_descriptor).
void statistics_from_distances(const Pathfinder& finder, const Path& path, PathSums& sums, const ChainSource& source,
                               ChainWalk& walk);
// The same for several states' tables of the path, each with its walks' source: the same numbers as each
// alone, made up to max_states_of_statistics at a time, which overlaps their chains of additions.
constexpr std::size_t max_states_of_statistics = 4;
void statistics_from_distances(const Pathfinder& finder, const Path& path, std::span<PathSums* const> sums,
                               std::span<const ChainSource* const> sources, ChainWalk& walk);
struct MemberTermsBatch;
// A member's terms at R into cluster u's rows, taken first out of cluster old's (none when old < 0), in
// the order a sums pass makes them.
void add_member_to_cluster_rows(PathSums& sums, MemberTermsBatch& terms, int old, int u, double R);

// Folds one state's statistics into the clusters: spreads add up; a smaller nearest distance or a
// larger farthest one replaces the cluster's; a new nearest member becomes the representative, its
// geometry given by `member_geometry` (path index, member position, geometry out).
using MemberGeometry = std::function<void(int path, int member, PathGeometry& geometry)>;
void fold_cluster_statistics(Pathfinder& finder, int state, const MemberGeometry& member_geometry);
// The atoms of member chain `node` moved by the given displacements, with their potential indices.
void member_geometry_at(const Pathfinder& finder, std::int32_t node, int nleg, std::span<const Vec3> displacements,
                        PathGeometry& geometry);

// Brings the sums of the state's tables up to date on the whole grid, outside the points in use too,
// from its members' R at the displacements the tables were made for; nothing when they are.
// Shares the work out over the edge's threads.
void complete_state_sums(Pathfinder& finder, int state, double expansion_accuracy);

// The series sums of every cluster of the path in the state's tables at the points [first, end), from
// the members' R (`member_R`) and their clusters in the tables.
void series_sums_for_path(const Path& path, PathSums& sums, const std::vector<double>& member_R,
                          double expansion_accuracy, int first, int end);

// Term count of the series for the phase spread m (2k times the largest deviation from the mean R) and
// P digits: even, at most 254; 0 when the series needs no term beyond the first.
int series_term_count(double m, double expansion_accuracy);
// The series sums of one cluster of n members at point i from the sums of the powers j = 2..N of their
// deviations from the mean Rm (moments[j]), d being the largest deviation.
void series_sums_at_point(const double* moments, int n, double Rm, double d, int max_terms, double expansion_accuracy,
                          int i, double& sine_sum, double& cosine_sum);

// One path's chi for one state into `chi` (path_chi_points values), from its clusters:
// chi(i) = scale * sum over clusters of cluster_contribution; or only at its points [first, end).
void class_chi_of_path(const Path& path, int state, double* chi);
void class_chi_of_path(const Path& path, int state, double* chi, int first, int end);
// Complex mode (cos phi_u S_u + sin phi_u K_u) A_u at point i; count mode count_u chi_u(i).
double cluster_contribution(const Path& path, int u, int state, int i);
