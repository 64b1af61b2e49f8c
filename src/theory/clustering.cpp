#include "theory/clustering.hpp"

#include "control/process_end.hpp"
#include "control/threads.hpp"
#include "theory/pathfinder.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iostream>

namespace {

std::size_t at(std::int64_t i) { return static_cast<std::size_t>(i); }

// Copies entry i of every per-cluster array of the path into entry j of the new arrays.
struct ClusterArrays {
    std::vector<Cluster> clusters;
    std::vector<Cluster> previous_clusters;
    std::vector<std::int32_t> state_member_counts;
    std::vector<double> state_sine_sums;
    std::vector<double> state_cosine_sums;
    std::vector<double> cluster_chi;
    std::vector<double> cluster_amplitude;
    std::vector<double> cluster_phase;
    std::vector<double> cluster_phase_cos;
    std::vector<double> cluster_phase_sin;
    std::vector<ClusterStateStatistics> state_statistics;
};

ClusterArrays allocate_arrays(int cluster_count, int state_count, bool complex_mode) {
    const std::size_t clusters = at(cluster_count);
    const std::size_t states = at(std::max(state_count, 0));
    ClusterArrays arrays;
    arrays.clusters.resize(clusters);
    arrays.previous_clusters.resize(clusters);
    arrays.state_member_counts.assign(states * clusters, 0);
    if (complex_mode) {
        arrays.state_sine_sums.assign(states * clusters * path_chi_points, 0.0);
        arrays.state_cosine_sums.assign(states * clusters * path_chi_points, 0.0);
    }
    arrays.cluster_chi.assign(clusters * path_chi_points, 0.0);
    arrays.cluster_amplitude.assign(clusters * path_chi_points, 0.0);
    arrays.cluster_phase.assign(clusters * path_chi_points, 0.0);
    arrays.cluster_phase_cos.assign(clusters * path_chi_points, 1.0);
    arrays.cluster_phase_sin.assign(clusters * path_chi_points, 0.0);
    arrays.state_statistics.assign(states * clusters, {});
    return arrays;
}

void copy_cluster_set_entry(const Path& path, ClusterArrays& target, int i, int j, int target_count) {
    const std::size_t n = path_chi_points;
    target.clusters[at(j)] = path.clusters[at(i)];
    target.previous_clusters[at(j)] = path.previous_clusters[at(i)];
    std::copy_n(path.cluster_chi.begin() + static_cast<std::ptrdiff_t>(at(i) * n), n,
                target.cluster_chi.begin() + static_cast<std::ptrdiff_t>(at(j) * n));
    std::copy_n(path.cluster_amplitude.begin() + static_cast<std::ptrdiff_t>(at(i) * n), n,
                target.cluster_amplitude.begin() + static_cast<std::ptrdiff_t>(at(j) * n));
    std::copy_n(path.cluster_phase.begin() + static_cast<std::ptrdiff_t>(at(i) * n), n,
                target.cluster_phase.begin() + static_cast<std::ptrdiff_t>(at(j) * n));
    std::copy_n(path.cluster_phase_cos.begin() + static_cast<std::ptrdiff_t>(at(i) * n), n,
                target.cluster_phase_cos.begin() + static_cast<std::ptrdiff_t>(at(j) * n));
    std::copy_n(path.cluster_phase_sin.begin() + static_cast<std::ptrdiff_t>(at(i) * n), n,
                target.cluster_phase_sin.begin() + static_cast<std::ptrdiff_t>(at(j) * n));
    for (int s = 0; s < path.state_count; ++s) {
        const std::size_t from = at(s) * at(path.cluster_count) + at(i);
        const std::size_t to = at(s) * at(target_count) + at(j);
        target.state_member_counts[to] = path.state_member_counts[from];
        if (path.complex_mode) {
            std::copy_n(path.state_sine_sums.begin() + static_cast<std::ptrdiff_t>(from * n), n,
                        target.state_sine_sums.begin() + static_cast<std::ptrdiff_t>(to * n));
            std::copy_n(path.state_cosine_sums.begin() + static_cast<std::ptrdiff_t>(from * n), n,
                        target.state_cosine_sums.begin() + static_cast<std::ptrdiff_t>(to * n));
        }
    }
}

void install_arrays(Path& path, ClusterArrays&& arrays, int cluster_count) {
    ++path.cluster_generation;
    path.cluster_count = cluster_count;
    path.clusters = std::move(arrays.clusters);
    path.previous_clusters = std::move(arrays.previous_clusters);
    path.state_member_counts = std::move(arrays.state_member_counts);
    path.state_sine_sums = std::move(arrays.state_sine_sums);
    path.state_cosine_sums = std::move(arrays.state_cosine_sums);
    path.cluster_chi = std::move(arrays.cluster_chi);
    path.cluster_amplitude = std::move(arrays.cluster_amplitude);
    path.cluster_phase = std::move(arrays.cluster_phase);
    path.cluster_phase_cos = std::move(arrays.cluster_phase_cos);
    path.cluster_phase_sin = std::move(arrays.cluster_phase_sin);
    path.state_statistics = std::move(arrays.state_statistics);
}

Pathfinder& finder_of(WorkRange& range) { return *static_cast<Pathfinder*>(range.data); }

}  // namespace

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

void cluster_reset(Cluster& cluster) {
    cluster.centroid.fill(0.0);
    cluster.farthest.fill(0.0);
    cluster.nearest.fill(0.0);
    cluster.member_count = 0;
    cluster.smallest_distance = 1e6;
    cluster.largest_distance = -1e6;
    cluster.spread = 0.0;
}

void cluster_add_member(Cluster& cluster, std::span<const double> descriptor) {
    for (int c = 0; c < cluster.descriptor_length; ++c) cluster.centroid[at(c)] += descriptor[at(c)];
    ++cluster.member_count;
}

void cluster_finish_centroid(Cluster& cluster) {
    if (cluster.member_count == 0) return;
    for (int c = 0; c < cluster.descriptor_length; ++c) cluster.centroid[at(c)] /= cluster.member_count;
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
    install_arrays(path, allocate_arrays(cluster_count, path.state_count, complex_mode), cluster_count);
    for (Cluster& cluster : path.clusters) {
        cluster.descriptor_length = path.descriptor_length;
        cluster.atom_count = path.nleg;
        cluster.reserved_error = 0.0;
        cluster.exafs_error = 0.0;
    }
}

std::size_t path_bytes_per_state(const Path& path, int cluster_count, bool complex_mode) {
    // The tables allocate_arrays and init_path_clusters size by the state count, entry for entry.
    const std::size_t members = path.members.size();
    const std::size_t clusters = at(std::max(cluster_count, 1));
    std::size_t bytes = members * (sizeof(decltype(path.member_R)::value_type) +
                                   sizeof(decltype(path.member_cluster)::value_type)) +
                        sizeof(decltype(path.state_generation)::value_type) +
                        clusters * (sizeof(decltype(path.state_member_counts)::value_type) +
                                    sizeof(decltype(path.state_statistics)::value_type));
    if (complex_mode) {
        bytes += clusters * path_chi_points *
                 (sizeof(decltype(path.state_sine_sums)::value_type) + sizeof(decltype(path.state_cosine_sums)::value_type));
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
    const std::size_t members = path.members.size();
    path.member_R.assign(at(std::max(state_count, 0)) * members, 0.0);
    path.member_cluster.assign(at(std::max(state_count, 0)) * members, 0);
    path.last_member_cluster.assign(members, 0);
    path.state_generation.assign(at(std::max(state_count, 0)), path.cluster_generation - 1);
}

void snapshot_clusters(Path& path) {
    ++path.cluster_generation;
    for (std::size_t u = 0; u < path.clusters.size(); ++u) {
        cluster_copy(path.clusters[u], path.previous_clusters[u]);
        cluster_reset(path.clusters[u]);
    }
}

void keep_clusters(Path& path, const std::vector<bool>& keep) {
    const int kept = static_cast<int>(std::count(keep.begin(), keep.end(), true));
    ClusterArrays arrays = allocate_arrays(kept, path.state_count, path.complex_mode);
    int j = 0;
    for (int i = 0; i < path.cluster_count; ++i) {
        if (keep[at(i)]) copy_cluster_set_entry(path, arrays, i, j++, kept);
    }
    install_arrays(path, std::move(arrays), kept);
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
    Descriptor descriptor{};
    for (std::int32_t p = range.first; p < range.end; ++p) {
        Path& path = finder.paths[at(p)];
        if (!path.check || path.clusters.empty()) continue;
        for (const std::int32_t member : path.members) {
            const int length = collect_chain_descriptor(finder, member, descriptor);
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
        ++path.cluster_generation;
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

void launch_cluster_update_threads(Pathfinder& finder) {
    std::vector<WorkRange> ranges = split_paths_over_threads(finder, finder.worker_count);
    run_work_range_threads(ranges.data(), cluster_update_worker);
}

void split_wide_clusters(Path& path) {
    const double threshold = 0.99 * path.clustering_precision;
    std::vector<int> marked;
    for (int u = 0; u < path.cluster_count; ++u) {
        path.clusters[at(u)].split = path.clusters[at(u)].spread > threshold;
        if (path.clusters[at(u)].split) marked.push_back(u);
    }
    if (marked.empty()) return;
    const int count = path.cluster_count + static_cast<int>(marked.size());
    ClusterArrays arrays = allocate_arrays(count, path.state_count, path.complex_mode);
    for (int u = 0; u < path.cluster_count; ++u) copy_cluster_set_entry(path, arrays, u, u, count);
    for (std::size_t k = 0; k < marked.size(); ++k) {
        const int target = path.cluster_count + static_cast<int>(k);
        copy_cluster_set_entry(path, arrays, marked[k], target, count);
        arrays.clusters[at(target)].centroid = path.clusters[at(marked[k])].farthest;
    }
    install_arrays(path, std::move(arrays), count);
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
    for (std::size_t m = 0; m < path.members.size(); ++m) {
        if (path.last_member_cluster[m] == u) members.push_back(static_cast<std::int32_t>(m));
    }
    const std::int32_t expected = path.state_member_counts[at(state) * at(path.cluster_count) + at(u)];
    if (static_cast<std::int32_t>(members.size()) != expected) {
        std::cout << "ERROR: Inconsistency in the number of points in cluster " << u << '\n';
        end_process(1);
    }
    return static_cast<int>(members.size());
}
