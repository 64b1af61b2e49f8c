#include "theory/cluster_sums.hpp"

#include "control/threads.hpp"
#include "theory/clustering.hpp"
#include "theory/path_update.hpp"
#include "theory/pathfinder.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numbers>

namespace {

std::size_t at(std::int64_t i) { return static_cast<std::size_t>(i); }

// The direct sums are made in fixed ranges of points, so that the work splits over any number of
// threads without changing what is computed. Within a range the sine and cosine of 0.1 i R follow by
// turning the previous pair through 0.1 R; each range starts from the turn through 5 R raised to its
// range number, so no rounding is carried over more than a few dozen steps.
constexpr int block_points = 50;
constexpr int block_count = 8;  // the last range runs to the end of the grid
constexpr double block_turn = 0.1 * block_points;

int block_begin(int block) { return block * block_points; }
int block_end(int block) { return block + 1 == block_count ? path_chi_points : (block + 1) * block_points; }

struct SumsSection {
    Pathfinder* finder = nullptr;
    int state = 0;
    double expansion_accuracy = -1.0;
    SumsScratch* scratch = nullptr;
};

bool takes_part(const Path& path) { return path.check && !path.clusters.empty(); }

struct Turn {
    double c = 1.0;
    double s = 0.0;
};

Turn operator*(const Turn& a, const Turn& b) { return {a.c * b.c - a.s * b.s, a.c * b.s + a.s * b.c}; }

// Adds sin(0.1 i R) / R^2 and cos(0.1 i R) / R^2 for `count` points from sine[0] and cosine[0] on,
// starting from the turn `start` at the first point and turning by `step` from point to point. Four
// consecutive points are turned from the same pair, so the dependent chain advances four points per
// product.
void add_member_terms(double* sine, double* cosine, int count, Turn start, const Turn& step, double weight) {
    const Turn step2 = step * step;
    const Turn step3 = step2 * step;
    const Turn step4 = step2 * step2;
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        const Turn t1 = start * step;
        const Turn t2 = start * step2;
        const Turn t3 = start * step3;
        sine[i] += start.s * weight;
        cosine[i] += start.c * weight;
        sine[i + 1] += t1.s * weight;
        cosine[i + 1] += t1.c * weight;
        sine[i + 2] += t2.s * weight;
        cosine[i + 2] += t2.c * weight;
        sine[i + 3] += t3.s * weight;
        cosine[i + 3] += t3.c * weight;
        start = start * step4;
    }
    for (; i < count; ++i) {
        sine[i] += start.s * weight;
        cosine[i] += start.c * weight;
        start = start * step;
    }
}

// Places every path's members in the scratch table of turns.
void prepare_turns(const Pathfinder& finder, SumsScratch& scratch) {
    scratch.turn_offsets.resize(finder.paths.size());
    std::size_t offset = 0;
    for (std::size_t p = 0; p < finder.paths.size(); ++p) {
        scratch.turn_offsets[p] = offset;
        offset += 4 * finder.paths[p].members.size();
    }
    if (scratch.turns.size() < offset) scratch.turns.resize(offset);
    if (scratch.distances.size() < offset / 4) scratch.distances.resize(offset / 4);
    if (scratch.path_chi.size() < path_chi_points) scratch.path_chi.resize(path_chi_points);
}

// Adds the direct sums of every member of every marked complex-mode path over one range of points. The
// members add into a buffer of the calling thread's own (`buffer`), which then goes into the state's
// sums, zero before: the same additions from the same zero, but the neighbouring ranges of other
// threads, which may share a cache line at the edge of the range, are written once per cluster rather
// than once per member.
void add_direct_sums_block(Pathfinder& finder, int state, int block, const SumsScratch& scratch,
                           std::vector<double>& buffer) {
    const int first = block_begin(block);
    const int width = block_end(block) - first;
    for (std::size_t p = 0; p < finder.paths.size(); ++p) {
        Path& path = finder.paths[p];
        if (!takes_part(path) || !path.complex_mode) continue;
        const std::size_t members = path.members.size();
        const std::size_t clusters = at(path.cluster_count);
        const double* R = &path.member_R[at(state) * members];
        const std::int32_t* cluster_of = &path.member_cluster[at(state) * members];
        buffer.assign(2 * clusters * at(width), 0.0);
        double* sine_buffer = buffer.data();
        double* cosine_buffer = buffer.data() + clusters * at(width);
        const double* turns = &scratch.turns[scratch.turn_offsets[p]];
        for (std::size_t m = 0; m < members; ++m, turns += 4) {
            Turn start;
            for (int b = 0; b < block; ++b) start = start * Turn{turns[2], turns[3]};
            const std::size_t offset = at(cluster_of[m]) * at(width);
            add_member_terms(sine_buffer + offset, cosine_buffer + offset, width, start, {turns[0], turns[1]},
                             1.0 / (R[m] * R[m]));
        }
        double* sine_sums = &path.state_sine_sums[at(state) * clusters * path_chi_points];
        double* cosine_sums = &path.state_cosine_sums[at(state) * clusters * path_chi_points];
        for (std::size_t u = 0; u < clusters; ++u) {
            std::copy_n(sine_buffer + u * at(width), width, sine_sums + u * path_chi_points + at(first));
            std::copy_n(cosine_buffer + u * at(width), width, cosine_sums + u * path_chi_points + at(first));
        }
    }
}

}  // namespace

void series_sums_for_path(Path& path, int state, double expansion_accuracy) {
    const std::size_t members = path.members.size();
    const std::size_t clusters = at(path.cluster_count);
    const std::int32_t* counts = &path.state_member_counts[at(state) * clusters];
    const double* R = &path.member_R[at(state) * members];
    const std::int32_t* cluster_of = &path.member_cluster[at(state) * members];
    std::vector<double> mean(clusters, 0.0), deviation(clusters, 0.0);
    std::vector<int> terms(clusters, 0);
    for (std::size_t m = 0; m < members; ++m) mean[at(cluster_of[m])] += R[m];
    for (std::size_t u = 0; u < clusters; ++u) {
        if (counts[u] > 0) mean[u] /= counts[u];
    }
    for (std::size_t m = 0; m < members; ++m) {
        const std::size_t u = at(cluster_of[m]);
        deviation[u] = std::max(deviation[u], std::abs(R[m] - mean[u]));
    }
    std::vector<double> moment_sums(clusters * cluster_moment_slots, 0.0);
    for (std::size_t u = 0; u < clusters; ++u)
        terms[u] = series_term_count(std::max(0.5, 40.0 * deviation[u]), expansion_accuracy);
    for (std::size_t m = 0; m < members; ++m) {
        const std::size_t u = at(cluster_of[m]);
        const double delta = R[m] - mean[u];
        double power = delta;
        double* moments = &moment_sums[u * cluster_moment_slots];
        for (int j = 2; j <= terms[u]; ++j) {
            power *= delta;
            moments[j] += power;
        }
    }
    if (!path.complex_mode) return;
    for (std::size_t u = 0; u < clusters; ++u) {
        double* sine = &path.state_sine_sums[(at(state) * clusters + u) * path_chi_points];
        double* cosine = &path.state_cosine_sums[(at(state) * clusters + u) * path_chi_points];
        if (counts[u] == 0) {
            std::fill_n(sine, path_chi_points, 0.0);
            std::fill_n(cosine, path_chi_points, 0.0);
            continue;
        }
        for (int i = 0; i < path_chi_points; ++i) {
            series_sums_at_point(&moment_sums[u * cluster_moment_slots], counts[u], mean[u], deviation[u], terms[u],
                                 expansion_accuracy, i, sine[i], cosine[i]);
        }
    }
}

namespace {

// The first part of a state's pass, member by member and so splittable anywhere: each member of the
// range gets its nearest cluster, its distance from it, its R and (direct form) its turns.
void assign_members(const Pathfinder& finder, const std::vector<NodeGeometry>& geometry, Path& path, int path_index,
                    int state, double expansion_accuracy, std::size_t first, std::size_t end, SumsScratch& scratch) {
    const bool series = expansion_accuracy > 0;
    const std::size_t members = path.members.size();
    double* R = &path.member_R[at(state) * members];
    std::int32_t* cluster_of = &path.member_cluster[at(state) * members];
    const std::size_t offset = scratch.turn_offsets[at(path_index)] / 4;
    Descriptor descriptor{};
    for (std::size_t m = first; m < end; ++m) {
        const std::int32_t node = path.members[m];
        const int length = collect_chain_descriptor(finder, geometry, node, descriptor);
        double distance = 0.0;
        cluster_of[m] = nearest_cluster(path.clusters, descriptor, length, distance);
        scratch.distances[offset + m] = distance;
        const double r = geometry[at(node)].R;
        R[m] = r;
        if (!series && path.complex_mode) {
            double* turn = &scratch.turns[4 * (offset + m)];
            turn[0] = std::cos(0.1 * r);
            turn[1] = std::sin(0.1 * r);
            // The turn through a whole range comes from the functions too, not from powers of the single
            // step, so that no range start inherits fifty products of rounding.
            turn[2] = std::cos(block_turn * r);
            turn[3] = std::sin(block_turn * r);
        }
    }
}

// The second part, path by path: the state's member counts, its statistics of every cluster (in member
// order) and, in the series form, its sums.
void path_statistics(const Pathfinder& finder, const std::vector<NodeGeometry>& geometry, Path& path, int path_index,
                     int state, double expansion_accuracy, const SumsScratch& scratch) {
    const bool series = expansion_accuracy > 0;
    const std::size_t members = path.members.size();
    const std::size_t clusters = at(path.cluster_count);
    std::int32_t* counts = &path.state_member_counts[at(state) * clusters];
    std::fill_n(counts, clusters, 0);
    if (path.complex_mode && !series) {
        std::fill_n(path.state_sine_sums.begin() + static_cast<std::ptrdiff_t>(at(state) * clusters * path_chi_points),
                    clusters * path_chi_points, 0.0);
        std::fill_n(path.state_cosine_sums.begin() + static_cast<std::ptrdiff_t>(at(state) * clusters * path_chi_points),
                    clusters * path_chi_points, 0.0);
    }
    path.state_generation[at(state)] = path.cluster_generation;
    ClusterStateStatistics* statistics = &path.state_statistics[at(state) * clusters];
    std::fill_n(statistics, clusters, ClusterStateStatistics{});
    const std::int32_t* cluster_of = &path.member_cluster[at(state) * members];
    const double* distances = &scratch.distances[scratch.turn_offsets[at(path_index)] / 4];
    for (std::size_t m = 0; m < members; ++m) {
        const std::int32_t u = cluster_of[m];
        const double distance = distances[m];
        ++counts[u];
        ClusterStateStatistics& found = statistics[u];
        found.spread += distance * distance;
        if (distance < found.smallest_distance) {
            found.smallest_distance = distance;
            found.nearest_member = static_cast<std::int32_t>(m);
        }
        if (distance > found.largest_distance) {
            found.largest_distance = distance;
            found.farthest_member = static_cast<std::int32_t>(m);
        }
    }
    for (std::size_t u = 0; u < clusters; ++u) {
        ClusterStateStatistics& found = statistics[u];
        if (found.nearest_member >= 0)
            collect_chain_descriptor(finder, geometry, path.members[at(found.nearest_member)], found.nearest);
        if (found.farthest_member >= 0)
            collect_chain_descriptor(finder, geometry, path.members[at(found.farthest_member)], found.farthest);
    }
    if (series) series_sums_for_path(path, state, expansion_accuracy);
}

void sums_pass(const Pathfinder& finder, const std::vector<NodeGeometry>& geometry, Path& path, int path_index,
               int state, double expansion_accuracy, SumsScratch& scratch) {
    if (!takes_part(path)) return;
    assign_members(finder, geometry, path, path_index, state, expansion_accuracy, 0, path.members.size(), scratch);
    path_statistics(finder, geometry, path, path_index, state, expansion_accuracy, scratch);
}

}  // namespace

int series_term_count(double m, double expansion_accuracy) {
    // Each member's deviation from the mean turns its phase by at most m, so the series of the member
    // sums leaves out at most m^(N+1) / (N+1)! of their size when it stops after term N: take the
    // smallest even N for which that is below 10^-P.
    const double bound = std::pow(10.0, -expansion_accuracy);
    double term = 1.0;
    int count = 0;
    for (int j = 1; j <= cluster_moment_slots - 2; ++j) {
        term *= m / j;
        count = j - 1;
        if (term <= bound) break;
        count = j;
    }
    if (count % 2 != 0) ++count;
    return std::min(count, cluster_moment_slots - 2);
}

void series_sums_at_point(const double* moments, int n, double Rm, double d, int max_terms, double expansion_accuracy,
                          int i, double& sine_sum, double& cosine_sum) {
    const double x = 0.1 * i * Rm;
    const int terms = std::min(series_term_count(std::max(0.5, 0.1 * i * d), expansion_accuracy), max_terms);
    const double x2 = x * x;
    const double a0 = 1.0 / (Rm * Rm);
    double A = n * a0;
    double B = 0.0;
    double scale = a0;  // 1 / Rm^(j+2)
    for (int j = 1; j <= terms; ++j) {
        scale /= Rm;
        if (j < 2) continue;
        const double sign = (j % 2 == 0) ? 1.0 : -1.0;
        double term = sign * (j + 1) * scale;
        double a = term;
        for (int l = 2; l <= j; l += 2) {
            term = -term * x2 * (j - l + 1) / ((l - 1.0) * l * (j - l + 3));
            a += term;
        }
        term = -sign * j * x * scale;
        double b = term;
        for (int l = 3; l <= j; l += 2) {
            term = -term * x2 * (j - l + 1) / ((l - 1.0) * l * (j - l + 3));
            b += term;
        }
        A += a * moments[j];
        B += b * moments[j];
    }
    const double s = std::sin(x);
    const double c = std::cos(x);
    sine_sum = s * A + c * B;
    cosine_sum = c * A - s * B;
}

void accumulate_cluster_sums_direct(const Pathfinder& finder, const std::vector<NodeGeometry>& geometry, Path& path,
                                    int path_index, int state, SumsScratch& scratch) {
    sums_pass(finder, geometry, path, path_index, state, -1.0, scratch);
}

void accumulate_cluster_sums_taylor(const Pathfinder& finder, const std::vector<NodeGeometry>& geometry, Path& path,
                                    int path_index, int state, double expansion_accuracy, SumsScratch& scratch) {
    if (expansion_accuracy <= 0) {
        accumulate_cluster_sums_direct(finder, geometry, path, path_index, state, scratch);
        return;
    }
    sums_pass(finder, geometry, path, path_index, state, expansion_accuracy, scratch);
}

void state_cluster_sums(Pathfinder& finder, const std::vector<NodeGeometry>& geometry, int state,
                        double expansion_accuracy, SumsScratch& scratch) {
    prepare_turns(finder, scratch);
    for (std::size_t p = 0; p < finder.paths.size(); ++p) {
        accumulate_cluster_sums_taylor(finder, geometry, finder.paths[p], static_cast<int>(p), state,
                                       expansion_accuracy, scratch);
    }
    if (expansion_accuracy > 0) return;
    for (int block = 0; block < block_count; ++block)
        add_direct_sums_block(finder, state, block, scratch, scratch.block_sums);
}

void cluster_chi_worker(WorkRange& range) {
    const auto& section = *static_cast<const SumsSection*>(range.context);
    Pathfinder& finder = *section.finder;
    for (std::int32_t p = range.first; p < range.end; ++p) {
        Path& path = finder.paths[at(p)];
        if (takes_part(path))
            path_statistics(finder, finder.current, path, p, section.state, section.expansion_accuracy, *section.scratch);
    }
}

void launch_cluster_chi_threads(Pathfinder& finder, int state, double expansion_accuracy, bool one_dimensional) {
    // Each path has rows of its own in the scratch, so the threads share one scratch record.
    SumsScratch& scratch = finder.scratch;
    prepare_turns(finder, scratch);
    SumsSection section{&finder, state, expansion_accuracy, &scratch};
    // Members first, split evenly over the threads whatever their paths; then each path's counts and
    // statistics in member order.
    const std::int32_t member_total = static_cast<std::int32_t>(scratch.distances.size());
    std::vector<WorkRange> members = split_work(member_total, std::max(1, finder.worker_count));
    run_work_range_threads(members.data(), [&finder, &scratch, state, expansion_accuracy](WorkRange& range) {
        for (std::size_t p = 0; p < finder.paths.size(); ++p) {
            Path& path = finder.paths[p];
            if (!takes_part(path)) continue;
            const std::size_t offset = scratch.turn_offsets[p] / 4;
            const std::size_t first = std::max<std::size_t>(offset, at(range.first));
            const std::size_t end = std::min(offset + path.members.size(), at(range.end));
            if (first < end)
                assign_members(finder, finder.current, path, static_cast<int>(p), state, expansion_accuracy,
                               first - offset, end - offset, scratch);
        }
    });
    std::vector<WorkRange> ranges = split_paths_over_threads(finder, finder.worker_count);
    for (WorkRange& range : ranges) range.context = &section;
    run_work_range_threads(ranges.data(), cluster_chi_worker);
    if (expansion_accuracy <= 0) {
        finder.block_buffers.resize(block_count);
        std::vector<WorkRange> blocks = split_work(block_count, std::max(1, finder.worker_count));
        run_work_range_threads(blocks.data(), [&finder, state, &scratch](WorkRange& range) {
            for (std::int32_t block = range.first; block < range.end; ++block)
                add_direct_sums_block(finder, state, block, scratch, finder.block_buffers[at(block)]);
        });
    }
    fold_cluster_statistics(finder, state, [&finder, one_dimensional](int p, int member, PathGeometry& geometry) {
        const Path& path = finder.paths[at(p)];
        if (one_dimensional) {
            single_scattering_representative(finder, path, geometry, member);
        } else {
            path_geometry_of_member(finder, path, geometry, member, false);
        }
    });
}

void fold_cluster_statistics(Pathfinder& finder, int state, const MemberGeometry& member_geometry) {
    for (std::size_t p = 0; p < finder.paths.size(); ++p) {
        Path& path = finder.paths[p];
        if (!takes_part(path)) continue;
        const std::size_t clusters = at(path.cluster_count);
        const ClusterStateStatistics* statistics = &path.state_statistics[at(state) * clusters];
        for (std::size_t u = 0; u < clusters; ++u) {
            const ClusterStateStatistics& found = statistics[u];
            Cluster& cluster = path.clusters[u];
            cluster.spread += found.spread;
            if (found.smallest_distance < cluster.smallest_distance) {
                cluster.smallest_distance = found.smallest_distance;
                cluster.nearest = found.nearest;
                PathGeometry geometry;
                member_geometry(static_cast<int>(p), found.nearest_member, geometry);
                const int count = std::min(path.nleg, max_cluster_atoms);
                for (int a = 0; a < count; ++a) {
                    cluster.representative_atoms[at(a)] = geometry.atoms[at(a)];
                    cluster.representative_potentials[at(a)] = geometry.potential_indices[at(a)];
                }
            }
            if (found.largest_distance > cluster.largest_distance) {
                cluster.largest_distance = found.largest_distance;
                cluster.farthest = found.farthest;
            }
        }
        const std::size_t members = path.members.size();
        std::copy_n(path.member_cluster.begin() + static_cast<std::ptrdiff_t>(at(state) * members), members,
                    path.last_member_cluster.begin());
    }
}

void add_member_signal(double* sine, double* cosine, double R, double sign) {
    const Turn step{std::cos(0.1 * R), std::sin(0.1 * R)};
    const Turn block_step{std::cos(block_turn * R), std::sin(block_turn * R)};
    const double weight = sign * (1.0 / (R * R));
    Turn start;
    for (int block = 0; block < block_count; ++block) {
        if (block > 0) start = start * block_step;
        add_member_terms(sine + block_begin(block), cosine + block_begin(block), block_end(block) - block_begin(block),
                         start, step, weight);
    }
}

void member_geometry_at(const Pathfinder& finder, std::int32_t node, int nleg, std::span<const Vec3> displacements,
                        PathGeometry& geometry) {
    for (int entry = nleg - 1; entry >= 0 && node >= 0; --entry) {
        const PathNode& current = finder.nodes[at(node)];
        const std::int32_t source =
            at(node) < finder.node_sources.size() ? finder.node_sources[at(node)] : node_source_atom(finder, node);
        geometry.atoms[at(entry)] = to_atom(vec_add(current.atom, displacements[at(source)]), node_label(finder, current));
        geometry.potential_indices[at(entry)] = current.potential_index;
        node = current.parent;
    }
}

double cluster_contribution(const Path& path, int u, int state, int i) {
    const std::size_t point = at(u) * path_chi_points + at(i);
    if (path.complex_mode) {
        const std::size_t sum = (at(state) * at(path.cluster_count) + at(u)) * path_chi_points + at(i);
        return (path.cluster_phase_cos[point] * path.state_sine_sums[sum] +
                path.cluster_phase_sin[point] * path.state_cosine_sums[sum]) *
               path.cluster_amplitude[point];
    }
    return path.state_member_counts[at(state) * at(path.cluster_count) + at(u)] * path.cluster_chi[point];
}

void class_chi_of_path(const Path& path, int state, double* chi) {
    std::fill_n(chi, path_chi_points, 0.0);
    for (int u = 0; u < path.cluster_count; ++u) {
        for (int i = 0; i < path_chi_points; ++i) chi[i] += path.scale * cluster_contribution(path, u, state, i);
    }
}

std::size_t sums_scratch_bytes(const Pathfinder& finder) {
    // As prepare_turns and the geometry update size a thread's scratch: the geometry of every node,
    // four turns and a distance per member, one path's chi.
    std::size_t members = 0;
    for (const Path& path : finder.paths) members += path.members.size();
    return finder.nodes.size() * sizeof(NodeGeometry) + members * (4 + 1) * sizeof(double) +
           path_chi_points * sizeof(double);
}
