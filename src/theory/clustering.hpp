#pragma once

#include "structure/atom.hpp"
#include "theory/cluster.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

struct ChainWalk;
struct NodeGeometry;
struct Path;
struct Pathfinder;
struct WorkRange;

// Where the geometry of the member chains is read: a whole-tree geometry table (the tree's current one,
// which the one-dimensional model sets itself), or walks along the chains at a state's displacements.
struct ChainSource {
    const std::vector<NodeGeometry>* table = nullptr;
    std::span<const Vec3> displacements;
    Vec3 polarization;
};
ChainSource tree_chain_source(const Pathfinder& finder);
// Needs prepare_member_chains.
ChainSource walked_chain_source(const Pathfinder& finder, std::span<const Vec3> displacements);
// The descriptor (returns its length) and R of member m of the path. `walk` carries the chain walked
// before; its count must be 0 when the source is new.
int member_descriptor(const Pathfinder& finder, const Path& path, std::size_t m, const ChainSource& source,
                      ChainWalk& walk, Descriptor& descriptor, double& R);

// The rotation-invariant descriptor of a member chain at the current geometry: the canonical
// coordinates of its nodes from the member's own node up to the first scatterer; revisits add none.
// Returns its length (the path's descriptor length).
int collect_chain_descriptor(const Pathfinder& finder, std::int32_t member, Descriptor& descriptor);
// The same from a geometry table of the caller's (indexed like the nodes).
int collect_chain_descriptor(const Pathfinder& finder, const std::vector<NodeGeometry>& geometry, std::int32_t member,
                             Descriptor& descriptor);

// Index of the cluster whose centroid is nearest (the first of equal distances); the distance goes to
// `distance`. Cluster 0 when no distance is below 1e6 (a descriptor that is not finite).
int nearest_cluster(const std::vector<Cluster>& clusters, const Descriptor& descriptor, int length, double& distance);

void alloc_path_clusters(Path& path, int cluster_count, bool complex_mode);
// One cluster set of `cluster_count` clusters for `state_count` states; current copied to previous
// and reset.
void init_path_clusters(Path& path, int cluster_count, int state_count, bool complex_mode);
// Bytes that one state adds to the path's tables with `cluster_count` clusters (at least one).
std::size_t path_bytes_per_state(const Path& path, int cluster_count, bool complex_mode);
void snapshot_clusters(Path& path);
// Keeps only the clusters whose entry in `keep` is true, in their order, with their arrays and the
// states' tables.
void keep_clusters(Path& path, const std::vector<bool>& keep);

// Adds the descriptor of every member of every path (at the current geometry) to its first cluster and
// marks the path for checking.
void single_cluster_for_all_paths(Pathfinder& finder);
// Adds every member of every marked path of the range to the current cluster whose previous centroid
// is nearest; the members' geometry comes from the range's context (a ChainSource), or without one from
// the tree's current table.
void cluster_assign_worker(WorkRange& range);
// Turns the sums of the marked paths of the range into centroids and drops clusters left empty.
void cluster_update_worker(WorkRange& range);
void launch_cluster_assign_threads(Pathfinder& finder);
// The same for states first_state, first_state + 1, ... at the displacements given, in their order: a
// state whose tables hold it (`tables_hold`, per state given) adds the clusters and descriptor sums they
// keep, the others' chains are walked, each state on a thread of its own. The centroids are the same
// either way.
void assign_members_of_states(Pathfinder& finder, const std::vector<std::vector<Vec3>>& displacements,
                              int first_state, const std::vector<char>& tables_hold);
void launch_cluster_update_threads(Pathfinder& finder);

// Doubles every cluster whose spread exceeds 0.99 of the path's clustering precision: the copy is
// seeded with the cluster's farthest member.
void split_wide_clusters(Path& path);
// Resets the distance statistics of the current clusters before a pass folds the states' statistics
// into them. (Each state's member counts are set by that state's own sums pass, so the counts of the
// states not evaluated stay valid.)
void reset_cluster_counts(Path& path);
int count_clusters(const Pathfinder& finder);
// Lists the members that the state's tables count in cluster u; ends the run when their number differs
// from the state's count of u.
int check_cluster_member_counts(const Path& path, int u, std::vector<std::int32_t>& members, int state);

// Thread ranges over the paths of the tree, contiguous in path order and balanced by member count.
// The split only decides which thread computes which path, never what is computed.
std::vector<WorkRange> split_paths_over_threads(const Pathfinder& finder, int thread_count);
