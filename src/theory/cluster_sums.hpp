#pragma once

#include <cstdint>

struct Path;
struct Pathfinder;
struct WorkRange;

// The signal of every member rebuilt from its cluster, for one state. In complex mode a cluster u has an
// effective amplitude A_u(k) and phase phi_u(k), and its members give
// A_u(k) * sum over members of sin(2kR + phi_u(k)) / R^2, which needs the member sums
// S_u(k) = sum sin(2kR) / R^2 and K_u(k) = sum cos(2kR) / R^2. In count mode a cluster carries the signal
// of its representative and its members give their count times it. The sums are made either directly,
// or (Expansion_accuracy > 0) from the R moments of each cluster by a series around its mean R.

// Sums pass of one state over every marked path: members to their nearest current cluster, the
// clusters' distance statistics and representatives, the state's member counts and sums.
void launch_cluster_chi_threads(Pathfinder& finder, int state, double expansion_accuracy, bool one_dimensional);
// The per-path part of the pass; with P > 0 also the series sums, otherwise it hands over to the direct
// form, whose sine and cosine sums are then added point range by point range for all paths at once.
void accumulate_cluster_sums_taylor(Pathfinder& finder, Path& path, int state, double expansion_accuracy,
                                    bool one_dimensional);
void accumulate_cluster_sums_direct(Pathfinder& finder, Path& path, int state, bool one_dimensional);
void cluster_chi_worker(WorkRange& range);

// Term count of the series for the phase spread m (2k times the largest deviation from the mean R) and
// P digits: even, at most 254; 0 when the series needs no term beyond the first.
int series_term_count(double m, double expansion_accuracy);
// The series sums of one cluster from its moments (slot 1 the member count's R sum is not used; slots
// 2..N the central moments), the mean Rm, largest deviation d and member count n, at point i.
void series_sums_at_point(const double* moments, int n, double Rm, double d, int max_terms, double expansion_accuracy,
                          int i, double& sine_sum, double& cosine_sum);

// The chi of every path of the tree for one state, from its clusters: chi_p(i) = scale * sum over
// clusters of cluster_contribution.
void launch_class_chi_threads(Pathfinder& finder, int worker_count, int state);
void class_chi_from_clusters_worker(WorkRange& range);
// Complex mode (cos phi_u S_u + sin phi_u K_u) A_u at point i; count mode count_u chi_u(i).
double cluster_contribution(const Path& path, int u, int state, int i);
