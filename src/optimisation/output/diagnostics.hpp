#pragma once

#include "theory/cluster_feff.hpp"

struct AbsorberEdge;
struct Calculation;
struct SpectrumContext;

// Measures how far the cluster route is from the exact signal (every member through FEFF) for the last
// state of the population, splits the clusters of the paths that are not precise enough, and repeats
// until every path passes or a limit is reached; reports on the console, writes the comparison files and
// "restartClusters.dat", and puts every state back as it was. With `report` the residual lines are added.
bool check_clustering_precision(Calculation& calc, bool report);
// The check of every marked path of the edge (every path on the first pass) for state `state`; a
// failing path is split and marked again. True when no path failed.
bool check_path_cluster_errors(AbsorberEdge& edge, int state, const MemberChiTable& members,
                               double norm, bool first_pass);
// Writes "restartClusters.dat": per edge its paths, per path its clusters with their centroids, counts,
// spreads and errors. A file that cannot be written gives a warning.
void write_restart_clusters(Calculation& calc);
int count_clusters_of_spectrum(const Calculation& calc, const SpectrumContext& context);
