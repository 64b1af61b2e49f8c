#include "theory/clustering.hpp"

#include "control/process_end.hpp"
#include "control/threads.hpp"
#include "theory/path_update.hpp"
#include "theory/pathfinder.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iostream>

namespace {

std::size_t at(std::int64_t i) { return static_cast<std::size_t>(i); }

// Keeps, of every per-cluster array of a path, the entries listed in `from` (old indices, in their new
// order); an entry of -1 adds a cluster of its own, all zero.
template <class T>
void pick_entries(std::vector<T>& values, const std::vector<int>& from, std::size_t width, const T& zero) {
    std::vector<T> picked(from.size() * width, zero);
    for (std::size_t j = 0; j < from.size(); ++j) {
        if (from[j] < 0) continue;
        std::copy_n(values.begin() + static_cast<std::ptrdiff_t>(at(from[j]) * width), width,
                    picked.begin() + static_cast<std::ptrdiff_t>(j * width));
    }
    values = std::move(picked);
}

// The cluster set of the path becomes the clusters listed in `from` (old indices; a split copy repeats
// its original): the per-cluster arrays follow, and so do the states' tables, where a repeated cluster
// starts empty (its members stay counted in the original until the next sums pass moves them) and the
// members of a cluster left out take their state's tables out of use.
void reorder_clusters(Path& path, const std::vector<int>& from) {
    std::vector<Cluster> clusters(from.size()), previous(from.size());
    for (std::size_t j = 0; j < from.size(); ++j) {
        clusters[j] = path.clusters[at(from[j])];
        previous[j] = path.previous_clusters[at(from[j])];
    }
    path.clusters = std::move(clusters);
    path.previous_clusters = std::move(previous);
    for (auto* values : {&path.cluster_chi, &path.cluster_amplitude, &path.cluster_phase, &path.cluster_phase_cos,
                         &path.cluster_phase_sin}) {
        pick_entries(*values, from, path_chi_points, 0.0);
    }
    // The state tables: old index -> new index of its first occurrence, repeats starting empty.
    std::vector<int> first_of(at(path.cluster_count), -1);
    std::vector<int> table_from(from.size(), -1);
    for (std::size_t j = 0; j < from.size(); ++j) {
        if (first_of[at(from[j])] >= 0) continue;
        first_of[at(from[j])] = static_cast<int>(j);
        table_from[j] = from[j];
    }
    for (PathSums& sums : path.sums) {
        if (sums.counts.size() != at(path.cluster_count)) continue;
        bool usable = sums.generation == path.cluster_generation;
        for (std::int32_t& u : sums.member_cluster) {
            const int moved_to = first_of[at(u)];
            if (moved_to < 0) usable = false;
            u = moved_to < 0 ? 0 : moved_to;
        }
        if (!usable) sums.generation = path.cluster_generation - 1;
        sums.statistics_current = false;
        pick_entries(sums.counts, table_from, 1, 0);
        pick_entries(sums.descriptor_sums, table_from, at(std::max(path.descriptor_length, 0)), DescriptorSum{0});
        pick_entries(sums.statistics, table_from, 1, ClusterStateStatistics{});
        if (path.complex_mode) {
            pick_entries(sums.sine, table_from, path_chi_points, 0.0);
            pick_entries(sums.cosine, table_from, path_chi_points, 0.0);
        }
    }
    path.cluster_count = static_cast<std::int32_t>(from.size());
}

Pathfinder& finder_of(WorkRange& range) { return *static_cast<Pathfinder*>(range.data); }

}  // namespace

ChainSource tree_chain_source(const Pathfinder& finder) {
    return {&finder.current, {}, to_vec3(finder.polarization)};
}

ChainSource walked_chain_source(const Pathfinder& finder, std::span<const Vec3> displacements) {
    return {nullptr, displacements, to_vec3(finder.polarization)};
}

int member_descriptor(const Pathfinder& finder, const Path& path, std::size_t m, const ChainSource& source,
                      ChainWalk& walk, Descriptor& descriptor, double& R) {
    if (source.table != nullptr) {
        const std::int32_t node = path.members[m];
        R = (*source.table)[at(node)].R;
        return collect_chain_descriptor(finder, *source.table, node, descriptor);
    }
    walk_member_chain(finder, path, m, source.displacements, source.polarization, walk);
    R = walk.geometry[at(path.nleg - 1)].R;
    return walked_descriptor(finder, walk, path.nleg, descriptor);
}

int collect_chain_descriptor(const Pathfinder& finder, std::int32_t member, Descriptor& descriptor) {
    return collect_chain_descriptor(finder, finder.current, member, descriptor);
}

int collect_chain_descriptor(const Pathfinder& finder, const std::vector<NodeGeometry>& geometry, std::int32_t member,
                             Descriptor& descriptor) {
    int length = 0;
    for (std::int32_t n = member; n >= 0;) {
        const PathNode& node = finder.nodes[at(n)];
        if (node.parent < 0) break;
        const NodeGeometry& current = geometry[at(n)];
        for (int c = 0; c < node.coordinate_count && length < max_descriptor_length; ++c)
            descriptor[at(length++)] = current.coordinates[at(c)];
        n = node.parent;
    }
    return length;
}

int nearest_cluster(const std::vector<Cluster>& clusters, const Descriptor& descriptor, int length, double& distance) {
    int nearest = 0;
    double best = 1e6;
    for (std::size_t u = 0; u < clusters.size(); ++u) {
        const Cluster& cluster = clusters[u];
        double sum = 0.0;
        for (int c = 0; c < length; ++c) {
            const double d = descriptor[at(c)] - cluster.centroid[at(c)];
            sum += d * d;
        }
        const double d = std::sqrt(sum);
        if (d < best) {
            best = d;
            nearest = static_cast<int>(u);
        }
    }
    distance = best;
    return nearest;
}

double descriptor_from_fixed(DescriptorSum sum) { return static_cast<double>(sum) * 0x1p-64; }

void cluster_reset(Cluster& cluster) {
    cluster.centroid.fill(0.0);
    cluster.descriptor_sum.fill(0);
    cluster.farthest.fill(0.0);
    cluster.nearest.fill(0.0);
    cluster.member_count = 0;
    cluster.smallest_distance = 1e6;
    cluster.largest_distance = -1e6;
    cluster.spread = 0.0;
}

void cluster_add_member(Cluster& cluster, std::span<const double> descriptor) {
    for (int c = 0; c < cluster.descriptor_length; ++c) cluster.descriptor_sum[at(c)] += descriptor_fixed(descriptor[at(c)]);
    ++cluster.member_count;
}

void cluster_add_members(Cluster& cluster, const DescriptorSum* sums, std::int32_t count) {
    for (int c = 0; c < cluster.descriptor_length; ++c) cluster.descriptor_sum[at(c)] += sums[c];
    cluster.member_count += count;
}

void cluster_finish_centroid(Cluster& cluster) {
    if (cluster.member_count == 0) return;
    for (int c = 0; c < cluster.descriptor_length; ++c)
        cluster.centroid[at(c)] = descriptor_from_fixed(cluster.descriptor_sum[at(c)]) / cluster.member_count;
}

double cluster_distance(const Cluster& cluster, std::span<const double> descriptor) {
    double sum = 0.0;
    for (int c = 0; c < cluster.descriptor_length; ++c) {
        const double d = descriptor[at(c)] - cluster.centroid[at(c)];
        sum += d * d;
    }
    return std::sqrt(sum);
}

void cluster_copy(const Cluster& cluster, Cluster& target) { target = cluster; }

void alloc_path_clusters(Path& path, int cluster_count, bool complex_mode) {
    path.complex_mode = complex_mode;
    ++path.cluster_generation;
    ++path.centroids;
    path.cluster_count = cluster_count;
    const std::size_t clusters = at(std::max(cluster_count, 0));
    path.clusters.assign(clusters, Cluster{});
    path.previous_clusters.assign(clusters, Cluster{});
    path.cluster_chi.assign(clusters * path_chi_points, 0.0);
    path.cluster_amplitude.assign(clusters * path_chi_points, 0.0);
    path.cluster_phase.assign(clusters * path_chi_points, 0.0);
    path.cluster_phase_cos.assign(clusters * path_chi_points, 1.0);
    path.cluster_phase_sin.assign(clusters * path_chi_points, 0.0);
    for (Cluster& cluster : path.clusters) {
        cluster.descriptor_length = path.descriptor_length;
        cluster.atom_count = path.nleg;
        cluster.reserved_error = 0.0;
        cluster.exafs_error = 0.0;
    }
    // The states' tables hold nothing of the new set until a sums pass makes them.
    path.sums.resize(at(std::max(path.state_count, 0)));
    for (PathSums& sums : path.sums) {
        sums.generation = path.cluster_generation - 1;
        sums.centroids = path.centroids - 1;
        sums.member_cluster.assign(path.members.size(), 0);
        sums.member_distance.assign(path.members.size(), 0.0);
        sums.statistics_current = false;
        sums.counts.assign(clusters, 0);
        sums.descriptor_sums.assign(clusters * at(std::max(path.descriptor_length, 0)), 0);
        sums.statistics.assign(clusters, ClusterStateStatistics{});
        sums.sine.assign(complex_mode ? clusters * path_chi_points : 0, 0.0);
        sums.cosine.assign(complex_mode ? clusters * path_chi_points : 0, 0.0);
    }
}

std::size_t path_bytes_per_state(const Path& path, int cluster_count, bool complex_mode) {
    // The tables alloc_path_clusters gives each state, entry for entry.
    const std::size_t members = path.members.size();
    const std::size_t clusters = at(std::max(cluster_count, 1));
    std::size_t bytes = sizeof(PathSums) +
                        members * (sizeof(decltype(PathSums::member_cluster)::value_type) +
                                   sizeof(decltype(PathSums::member_distance)::value_type)) +
                        clusters * (sizeof(decltype(PathSums::counts)::value_type) +
                                    sizeof(decltype(PathSums::statistics)::value_type) +
                                    at(std::max(path.descriptor_length, 0)) * sizeof(DescriptorSum));
    if (complex_mode) {
        bytes += clusters * path_chi_points *
                 (sizeof(decltype(PathSums::sine)::value_type) + sizeof(decltype(PathSums::cosine)::value_type));
    }
    return bytes;
}

void init_path_clusters(Path& path, int cluster_count, int state_count, bool complex_mode) {
    path.state_count = state_count;
    alloc_path_clusters(path, cluster_count, complex_mode);
    for (std::size_t u = 0; u < path.clusters.size(); ++u) {
        cluster_copy(path.clusters[u], path.previous_clusters[u]);
        cluster_reset(path.clusters[u]);
    }
}

void snapshot_clusters(Path& path) {
    ++path.centroids;
    for (std::size_t u = 0; u < path.clusters.size(); ++u) {
        cluster_copy(path.clusters[u], path.previous_clusters[u]);
        cluster_reset(path.clusters[u]);
    }
}

void keep_clusters(Path& path, const std::vector<bool>& keep) {
    std::vector<int> from;
    for (int u = 0; u < path.cluster_count; ++u) {
        if (keep[at(u)]) from.push_back(u);
    }
    reorder_clusters(path, from);
}

void single_cluster_for_all_paths(Pathfinder& finder) {
    Descriptor descriptor{};
    for (Path& path : finder.paths) {
        if (path.clusters.empty()) continue;
        for (const std::int32_t member : path.members) {
            collect_chain_descriptor(finder, member, descriptor);
            cluster_add_member(path.clusters[0], descriptor);
        }
        path.check = true;
    }
}

void cluster_assign_worker(WorkRange& range) {
    Pathfinder& finder = finder_of(range);
    const ChainSource source =
        range.context != nullptr ? *static_cast<const ChainSource*>(range.context) : tree_chain_source(finder);
    Descriptor descriptor{};
    ChainWalk walk;
    for (std::int32_t p = range.first; p < range.end; ++p) {
        Path& path = finder.paths[at(p)];
        if (!path.check || path.clusters.empty()) continue;
        for (std::size_t m = 0; m < path.members.size(); ++m) {
            double R = 0.0;
            const int length = member_descriptor(finder, path, m, source, walk, descriptor, R);
            double distance = 0.0;
            const int u = nearest_cluster(path.previous_clusters, descriptor, length, distance);
            cluster_add_member(path.clusters[at(u)], descriptor);
        }
    }
}

void cluster_update_worker(WorkRange& range) {
    Pathfinder& finder = finder_of(range);
    for (std::int32_t p = range.first; p < range.end; ++p) {
        Path& path = finder.paths[at(p)];
        if (!path.check) continue;
        ++path.centroids;
        std::vector<bool> keep(path.clusters.size(), true);
        bool all_kept = true;
        for (std::size_t u = 0; u < path.clusters.size(); ++u) {
            if (path.clusters[u].member_count > 0) {
                cluster_finish_centroid(path.clusters[u]);
            } else {
                keep[u] = false;
                all_kept = false;
            }
        }
        if (!all_kept) keep_clusters(path, keep);
    }
}

std::vector<WorkRange> split_paths_over_threads(const Pathfinder& finder, int thread_count) {
    const int threads = std::max(1, thread_count);
    std::vector<WorkRange> ranges(at(threads));
    const std::int32_t path_count = static_cast<std::int32_t>(finder.paths.size());
    double total = 0.0;
    for (const Path& path : finder.paths) total += 1.0 + static_cast<double>(path.members.size());
    // Thread k takes the paths whose cumulative weight, counted at their middle, falls in its share.
    double cumulative = 0.0;
    std::int32_t p = 0;
    for (int k = 0; k < threads; ++k) {
        WorkRange& range = ranges[at(k)];
        range.thread_count = threads;
        range.data = const_cast<Pathfinder*>(&finder);
        range.first = p;
        const double share_end = total * static_cast<double>(k + 1) / threads;
        while (p < path_count) {
            const double weight = 1.0 + static_cast<double>(finder.paths[at(p)].members.size());
            if (k + 1 < threads && cumulative + weight / 2 > share_end) break;
            cumulative += weight;
            ++p;
        }
        range.end = p;
    }
    return ranges;
}

void launch_cluster_assign_threads(Pathfinder& finder) {
    std::vector<WorkRange> ranges = split_paths_over_threads(finder, finder.worker_count);
    run_work_range_threads(ranges.data(), cluster_assign_worker);
}

void assign_members_of_states(Pathfinder& finder, const std::vector<std::vector<Vec3>>& displacements,
                              int first_state, const std::vector<char>& tables_hold) {
    prepare_member_chains(finder);
    const std::size_t paths = finder.paths.size();
    const int states = static_cast<int>(displacements.size());
    const auto assigned = [](const Path& path) { return path.check && !path.clusters.empty(); };
    // A state whose tables hold it, its members assigned to the previous centroids (the snapshot
    // numbered the new ones one after them), knows each cluster's count and descriptor sums already; only
    // the other states' chains are walked.
    std::vector<char> known(at(states) * paths, 0);
    std::vector<int> walked;
    for (int k = 0; k < states; ++k) {
        const std::size_t s = at(first_state + k);
        const bool holds = tables_hold[at(k)] != 0;
        bool every_path = true;
        for (std::size_t p = 0; p < paths; ++p) {
            const Path& path = finder.paths[p];
            if (!assigned(path)) continue;
            const std::size_t clusters = path.clusters.size();
            const PathSums* sums = s < path.sums.size() ? &path.sums[s] : nullptr;
            const bool usable = holds && sums != nullptr && sums->generation == path.cluster_generation &&
                                sums->centroids + 1 == path.centroids && sums->counts.size() == clusters &&
                                sums->descriptor_sums.size() == clusters * at(std::max(path.descriptor_length, 0));
            known[at(k) * paths + p] = usable ? 1 : 0;
            every_path = every_path && usable;
        }
        if (!every_path) walked.push_back(k);
    }
    for (int k = 0; k < states; ++k) {
        for (std::size_t p = 0; p < paths; ++p) {
            if (!known[at(k) * paths + p]) continue;
            Path& path = finder.paths[p];
            const PathSums& sums = path.sums[at(first_state + k)];
            const std::size_t width = at(std::max(path.descriptor_length, 0));
            for (std::size_t u = 0; u < path.clusters.size(); ++u)
                cluster_add_members(path.clusters[u], &sums.descriptor_sums[u * width], sums.counts[u]);
        }
    }
    if (walked.empty()) return;
    // The other states' members are walked on a thread of their own each and their descriptors and
    // nearest previous clusters kept; then every path adds them to its clusters. A round holds as many
    // states as there are threads.
    std::vector<std::size_t> offsets(paths + 1, 0);
    std::vector<std::size_t> member_offsets(paths + 1, 0);
    for (std::size_t p = 0; p < paths; ++p) {
        const Path& path = finder.paths[p];
        const std::size_t members = assigned(path) ? path.members.size() : 0;
        offsets[p + 1] = offsets[p] + members * at(std::max(path.descriptor_length, 0));
        member_offsets[p + 1] = member_offsets[p] + members;
    }
    const int threads = std::max(1, finder.worker_count);
    const int walked_count = static_cast<int>(walked.size());
    std::vector<std::vector<double>> descriptors(at(std::min(threads, walked_count)));
    std::vector<std::vector<std::int32_t>> nearest(descriptors.size());
    std::vector<WorkRange> ranges = split_paths_over_threads(finder, threads);
    for (int round = 0; round < walked_count; round += threads) {
        const int count = std::min(threads, walked_count - round);
        const auto walks = [&](int j, std::size_t p) { return !known[at(walked[at(round + j)]) * paths + p]; };
        fork_join(count, [&](std::int32_t j) {
            const ChainSource source = walked_chain_source(finder, displacements[at(walked[at(round + j)])]);
            std::vector<double>& kept = descriptors[at(j)];
            std::vector<std::int32_t>& clusters = nearest[at(j)];
            kept.resize(offsets.back());
            clusters.resize(member_offsets.back());
            ChainWalk walk;
            for (std::size_t p = 0; p < paths; ++p) {
                const Path& path = finder.paths[p];
                if (!assigned(path) || !walks(j, p)) continue;
                Descriptor descriptor{};
                const std::size_t width = at(std::max(path.descriptor_length, 0));
                walk.count = 0;
                for (std::size_t m = 0; m < path.members.size(); ++m) {
                    double R = 0.0;
                    const int length = member_descriptor(finder, path, m, source, walk, descriptor, R);
                    double distance = 0.0;
                    clusters[member_offsets[p] + m] = nearest_cluster(path.previous_clusters, descriptor, length, distance);
                    std::copy_n(descriptor.begin(), width, kept.begin() + static_cast<std::ptrdiff_t>(offsets[p] + m * width));
                }
            }
        });
        for (WorkRange& range : ranges) range.context = nullptr;
        run_work_range_threads(ranges.data(), [&](WorkRange& range) {
            for (std::int32_t p = range.first; p < range.end; ++p) {
                Path& path = finder.paths[at(p)];
                if (!assigned(path)) continue;
                const std::size_t width = at(std::max(path.descriptor_length, 0));
                for (int j = 0; j < count; ++j) {
                    if (!walks(j, at(p))) continue;
                    for (std::size_t m = 0; m < path.members.size(); ++m) {
                        const double* descriptor = &descriptors[at(j)][offsets[at(p)] + m * width];
                        cluster_add_member(path.clusters[at(nearest[at(j)][member_offsets[at(p)] + m])],
                                           std::span<const double>(descriptor, width));
                    }
                }
            }
        });
    }
}

void launch_cluster_update_threads(Pathfinder& finder) {
    std::vector<WorkRange> ranges = split_paths_over_threads(finder, finder.worker_count);
    run_work_range_threads(ranges.data(), cluster_update_worker);
}

void split_wide_clusters(Path& path) {
    const double threshold = 0.99 * path.clustering_precision;
    std::vector<int> from;
    for (int u = 0; u < path.cluster_count; ++u) {
        from.push_back(u);
        path.clusters[at(u)].split = path.clusters[at(u)].spread > threshold;
    }
    const int count = path.cluster_count;
    for (int u = 0; u < count; ++u) {
        if (path.clusters[at(u)].split) from.push_back(u);
    }
    if (static_cast<int>(from.size()) == count) return;
    reorder_clusters(path, from);
    ++path.centroids;
    for (std::size_t j = at(count); j < from.size(); ++j) path.clusters[j].centroid = path.clusters[at(from[j])].farthest;
}

void reset_cluster_counts(Path& path) {
    for (Cluster& cluster : path.clusters) {
        cluster.smallest_distance = 1e6;
        cluster.largest_distance = -1e6;
        cluster.spread = 0.0;
    }
}

int count_clusters(const Pathfinder& finder) {
    int count = 0;
    for (const Path& path : finder.paths) count += path.cluster_count;
    return count;
}

int check_cluster_member_counts(const Path& path, int u, std::vector<std::int32_t>& members, int state) {
    members.clear();
    const PathSums& sums = path.sums[at(state)];
    for (std::size_t m = 0; m < path.members.size(); ++m) {
        if (sums.member_cluster[m] == u) members.push_back(static_cast<std::int32_t>(m));
    }
    const std::int32_t expected = sums.counts[at(u)];
    if (static_cast<std::int32_t>(members.size()) != expected) {
        std::cout << "ERROR: Inconsistency in the number of points in cluster " << u << '\n';
        end_process(1);
    }
    return static_cast<int>(members.size());
}
