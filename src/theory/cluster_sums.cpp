#include "theory/cluster_sums.hpp"

#include "control/threads.hpp"
#include "theory/clustering.hpp"
#include "theory/member_terms.hpp"
#include "theory/path_update.hpp"
#include "theory/pathfinder.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

namespace {

std::size_t at(std::int64_t i) { return static_cast<std::size_t>(i); }

}  // namespace

// The moments of every cluster of the path about its members' mean R, and its series sums at the points
// [first, end): from the members' R (`member_R`) and clusters in the state's tables.
void series_sums_for_path(const Path& path, PathSums& sums, const std::vector<double>& member_R, double expansion_accuracy,
                 int first, int end) {
    const std::size_t members = path.members.size();
    const std::size_t clusters = at(path.cluster_count);
    const std::int32_t* counts = sums.counts.data();
    const double* R = member_R.data();
    const std::int32_t* cluster_of = sums.member_cluster.data();
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
        double* sine = &sums.sine[u * path_chi_points];
        double* cosine = &sums.cosine[u * path_chi_points];
        if (counts[u] == 0) {
            std::fill(sine + first, sine + end, 0.0);
            std::fill(cosine + first, cosine + end, 0.0);
            continue;
        }
        for (int i = first; i < end; ++i) {
            series_sums_at_point(&moment_sums[u * cluster_moment_slots], counts[u], mean[u], deviation[u], terms[u],
                                 expansion_accuracy, i, sine[i], cosine[i]);
        }
    }
}

void add_member_to_cluster_rows(PathSums& sums, MemberTermsBatch& terms, int old, int u, double R) {
    const MemberTurns turns = member_turns(R);
    if (old >= 0) {
        const std::size_t row = at(old) * path_chi_points;
        terms.add(&sums.sine[row], &sums.cosine[row], turns, -1.0 * (1.0 / (R * R)));
    }
    const std::size_t offset = at(u) * path_chi_points;
    terms.add(&sums.sine[offset], &sums.cosine[offset], turns, 1.0 / (R * R));
}

namespace {

// One state's sums pass of one path from the given source of member geometry: each member's nearest
// cluster and its distance from it, the state's member counts and statistics of every cluster (in member
// order) and, in complex mode, the direct or series sums over the points [first, end). The members' R are
// left in `member_R`. With `keep_terms` the tables hold the members' terms at this geometry already (only
// the centroids changed): only the members that change cluster move their terms.
void path_sums_pass(const Pathfinder& finder, Path& path, PathSums& sums, const ChainSource& source, ChainWalk& walk,
                    double expansion_accuracy, int first, int end, std::vector<double>& member_R,
                    bool keep_terms) {
    const bool series = expansion_accuracy > 0;
    const bool direct = path.complex_mode && !series;
    const std::size_t members = path.members.size();
    const std::size_t clusters = at(path.cluster_count);
    sums.generation = path.cluster_generation;
    sums.centroids = path.centroids;
    sums.member_cluster.resize(members);
    sums.member_distance.resize(members);
    sums.counts.assign(clusters, 0);
    const std::size_t width = at(std::max(path.descriptor_length, 0));
    // Kept terms come with kept descriptor sums, which are exact: only the members that change cluster
    // move their descriptors.
    const bool keep_descriptors = keep_terms && sums.descriptor_sums.size() == clusters * width;
    if (!keep_descriptors) sums.descriptor_sums.assign(clusters * width, 0);
    sums.statistics.assign(clusters, ClusterStateStatistics{});
    sums.statistics_current = true;
    if (direct && !keep_terms) {
        for (std::size_t u = 0; u < clusters; ++u) {
            std::fill(sums.sine.begin() + static_cast<std::ptrdiff_t>(u * path_chi_points + at(first)),
                      sums.sine.begin() + static_cast<std::ptrdiff_t>(u * path_chi_points + at(end)), 0.0);
            std::fill(sums.cosine.begin() + static_cast<std::ptrdiff_t>(u * path_chi_points + at(first)),
                      sums.cosine.begin() + static_cast<std::ptrdiff_t>(u * path_chi_points + at(end)), 0.0);
        }
    }
    member_R.resize(members);
    // Members go through in groups: their walks one after the other, then their nearest clusters, then
    // each in member order into the tables; the groups' independent walks and distances overlap.
    constexpr std::size_t group = 4;
    std::array<Descriptor, group> descriptors;
    std::array<int, group> lengths{}, nearest{};
    std::array<double, group> distances{};
    // Members' terms wait in small batches, made side by side (in member order at every point).
    MemberTermsBatch terms{first, end};
    for (std::size_t m0 = 0; m0 < members; m0 += group) {
        const std::size_t count = std::min(group, members - m0);
        for (std::size_t k = 0; k < count; ++k) {
            // The members' chain nodes lie across the node table: the walk a few members on is read ahead.
            if (source.table == nullptr) prefetch_member_chain(finder, path, m0 + k + member_prefetch_distance);
            lengths[k] = member_descriptor(finder, path, m0 + k, source, walk, descriptors[k], member_R[m0 + k]);
        }
        for (std::size_t k = 0; k < count; ++k)
            nearest[k] = nearest_cluster(path.clusters, descriptors[k], lengths[k], distances[k]);
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t m = m0 + k;
            const Descriptor& descriptor = descriptors[k];
            const double distance = distances[k];
            const double R = member_R[m];
            const int u = nearest[k];
            const int old = sums.member_cluster[m];
            sums.member_cluster[m] = u;
            sums.member_distance[m] = distance;
            ++sums.counts[at(u)];
            if (keep_descriptors && old != u) add_descriptor(&sums.descriptor_sums[at(old) * width], descriptor, width, -1);
            if (!keep_descriptors || old != u) add_descriptor(&sums.descriptor_sums[at(u) * width], descriptor, width, 1);
            ClusterStateStatistics& found = sums.statistics[at(u)];
            found.spread += distance * distance;
            if (distance < found.smallest_distance) {
                found.smallest_distance = distance;
                found.nearest_member = static_cast<std::int32_t>(m);
                found.nearest = descriptor;
            }
            if (distance > found.largest_distance) {
                found.largest_distance = distance;
                found.farthest_member = static_cast<std::int32_t>(m);
                found.farthest = descriptor;
            }
            if (!direct || (keep_terms && old == u)) continue;
            add_member_to_cluster_rows(sums, terms, keep_terms ? old : -1, u, R);
        }
    }
    terms.flush();
    if (series) series_sums_for_path(path, sums, member_R, expansion_accuracy, first, end);
}

// The statistics of N states' tables of one path. Each state's members keep to member order within
// every cluster, in runs held in registers; the states are taken side by side, so that their additions,
// each a chain of its own, overlap.
template <int N>
void statistics_of_states(const Pathfinder& finder, const Path& path, PathSums* const* sums, const ChainSource* const* sources,
                          ChainWalk& walk) {
    const std::size_t members = path.members.size();
    const std::int32_t* cluster_of[N];
    const double* distances[N];
    ClusterStateStatistics* found[N];
    double spread[N], smallest[N], largest[N];
    std::int32_t current[N], nearest[N], farthest[N];
    for (int j = 0; j < N; ++j) {
        sums[j]->statistics.assign(at(path.cluster_count), ClusterStateStatistics{});
        cluster_of[j] = sums[j]->member_cluster.data();
        distances[j] = sums[j]->member_distance.data();
        current[j] = -1;
        found[j] = nullptr;
        spread[j] = smallest[j] = largest[j] = 0.0;
        nearest[j] = farthest[j] = -1;
    }
    const auto store = [&](int j) {
        if (found[j] == nullptr) return;
        found[j]->spread = spread[j];
        found[j]->smallest_distance = smallest[j];
        found[j]->largest_distance = largest[j];
        found[j]->nearest_member = nearest[j];
        found[j]->farthest_member = farthest[j];
    };
    for (std::size_t m = 0; m < members; ++m) {
        for (int j = 0; j < N; ++j) {
            // A pass goes over many states' tables, not in cache: read well ahead.
            __builtin_prefetch(distances[j] + m + 128);
            __builtin_prefetch(cluster_of[j] + m + 256);
            const std::int32_t u = cluster_of[j][m];
            if (u != current[j]) {
                store(j);
                current[j] = u;
                found[j] = &sums[j]->statistics[at(u)];
                spread[j] = found[j]->spread;
                smallest[j] = found[j]->smallest_distance;
                largest[j] = found[j]->largest_distance;
                nearest[j] = found[j]->nearest_member;
                farthest[j] = found[j]->farthest_member;
            }
            const double distance = distances[j][m];
            spread[j] += distance * distance;
            if (distance < smallest[j]) {
                smallest[j] = distance;
                nearest[j] = static_cast<std::int32_t>(m);
            }
            if (distance > largest[j]) {
                largest[j] = distance;
                farthest[j] = static_cast<std::int32_t>(m);
            }
        }
    }
    double R = 0.0;
    for (int j = 0; j < N; ++j) {
        store(j);
        // The walk remembers the chain it last took, which holds only at one state's displacements.
        walk.count = 0;
        for (ClusterStateStatistics& cluster : sums[j]->statistics) {
            if (cluster.nearest_member >= 0)
                member_descriptor(finder, path, at(cluster.nearest_member), *sources[j], walk, cluster.nearest, R);
            if (cluster.farthest_member >= 0)
                member_descriptor(finder, path, at(cluster.farthest_member), *sources[j], walk, cluster.farthest, R);
        }
        sums[j]->statistics_current = true;
    }
}

}  // namespace

bool takes_part(const Path& path) { return path.check && !path.clusters.empty(); }

void statistics_from_distances(const Pathfinder& finder, const Path& path, std::span<PathSums* const> sums,
                               std::span<const ChainSource* const> sources, ChainWalk& walk) {
    for (std::size_t j = 0; j < sums.size(); j += max_states_of_statistics) {
        PathSums* const* group = sums.data() + j;
        const ChainSource* const* group_sources = sources.data() + j;
        switch (std::min(sums.size() - j, max_states_of_statistics)) {
        case 1: statistics_of_states<1>(finder, path, group, group_sources, walk); break;
        case 2: statistics_of_states<2>(finder, path, group, group_sources, walk); break;
        case 3: statistics_of_states<3>(finder, path, group, group_sources, walk); break;
        default: statistics_of_states<4>(finder, path, group, group_sources, walk); break;
        }
    }
}

void statistics_from_distances(const Pathfinder& finder, const Path& path, PathSums& sums, const ChainSource& source,
                               ChainWalk& walk) {
    PathSums* const group[] = {&sums};
    const ChainSource* const group_sources[] = {&source};
    statistics_from_distances(finder, path, group, group_sources, walk);
}

namespace {

void path_pass(const Pathfinder& finder, Path& path, int state, const ChainSource& source, double expansion_accuracy,
               SumsScratch& scratch) {
    if (!takes_part(path)) return;
    scratch.walk.count = 0;
    path_sums_pass(finder, path, path.sums[at(state)], source, scratch.walk, expansion_accuracy, finder.first_point,
                   finder.end_point, scratch.member_R, false);
}

struct SumsSection {
    Pathfinder* finder = nullptr;
    int state = 0;
    double expansion_accuracy = -1.0;
    const ChainSource* source = nullptr;
};

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


void accumulate_cluster_sums_direct(const Pathfinder& finder, const ChainSource& source, Path& path, int state,
                                    SumsScratch& scratch) {
    path_pass(finder, path, state, source, -1.0, scratch);
}

void accumulate_cluster_sums_taylor(const Pathfinder& finder, const ChainSource& source, Path& path, int state,
                                    double expansion_accuracy, SumsScratch& scratch) {
    if (expansion_accuracy <= 0) {
        accumulate_cluster_sums_direct(finder, source, path, state, scratch);
        return;
    }
    path_pass(finder, path, state, source, expansion_accuracy, scratch);
}

void state_cluster_sums(Pathfinder& finder, const ChainSource& source, int state, double expansion_accuracy,
                        SumsScratch& scratch) {
    for (Path& path : finder.paths) accumulate_cluster_sums_taylor(finder, source, path, state, expansion_accuracy, scratch);
}

bool state_sums_current(const Pathfinder& finder, int state) {
    for (const Path& path : finder.paths) {
        if (takes_part(path) && path.sums[at(state)].centroids != path.centroids) return false;
    }
    return true;
}

void refresh_path_sums(const Pathfinder& finder, Path& path, int state, double expansion_accuracy,
                       SumsScratch& scratch) {
    if (!takes_part(path)) return;
    PathSums& sums = path.sums[at(state)];
    const ChainSource source = walked_chain_source(finder, finder.state_tables[at(state)].displacements);
    scratch.walk.count = 0;
    if (sums.centroids != path.centroids) {
        path_sums_pass(finder, path, sums, source, scratch.walk, expansion_accuracy, finder.first_point,
                       finder.end_point, scratch.member_R, true);
    } else if (!sums.statistics_current) {
        statistics_from_distances(finder, path, sums, source, scratch.walk);
    }
}

void cluster_chi_worker(WorkRange& range) {
    const auto& section = *static_cast<const SumsSection*>(range.context);
    Pathfinder& finder = *section.finder;
    SumsScratch scratch;
    for (std::int32_t p = range.first; p < range.end; ++p) {
        accumulate_cluster_sums_taylor(finder, *section.source, finder.paths[at(p)], section.state,
                                       section.expansion_accuracy, scratch);
    }
}

void launch_cluster_chi_threads(Pathfinder& finder, int state, double expansion_accuracy, bool one_dimensional) {
    const ChainSource source = tree_chain_source(finder);
    SumsSection section{&finder, state, expansion_accuracy, &source};
    std::vector<WorkRange> ranges = split_paths_over_threads(finder, finder.worker_count);
    for (WorkRange& range : ranges) range.context = &section;
    run_work_range_threads(ranges.data(), cluster_chi_worker);
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
        const ClusterStateStatistics* statistics = path.sums[at(state)].statistics.data();
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
    }
}

void complete_state_sums(Pathfinder& finder, int state, double expansion_accuracy) {
    StateTables& tables = finder.state_tables[at(state)];
    if (tables.whole_grid || tables.displacements.empty()) return;
    prepare_member_chains(finder);
    const std::span<const Vec3> displacements = tables.displacements;
    const int first = finder.first_point;
    const int end = finder.end_point;
    const bool series = expansion_accuracy > 0;
    // A report completes one state while the others wait: its members' R (and turns) are found in chunks,
    // then its rows are made a cluster's piece of the grid at a time, each piece on whichever thread is
    // free: a path's single cluster would otherwise keep one thread busy while the rest wait. Every point
    // still takes its members in member order, and its terms are those a whole-grid pass makes (the
    // blocks start where that pass starts them), so the pieces give its numbers.
    constexpr std::size_t members_per_chunk = 2048;
    struct Item {
        std::int32_t path = 0;
        std::int32_t part = 0;  // the chunk of members, or the cluster
        std::int32_t first_point = 0;
        std::int32_t end_point = 0;
    };
    // The points outside those in use, in pieces that end where blocks end, none much shorter than half
    // a block (each piece costs every member of the row its set-up).
    std::vector<std::array<std::int32_t, 2>> pieces;
    for (const auto& [from, to] : {std::array<int, 2>{0, first}, std::array<int, 2>{end, path_chi_points}}) {
        for (int begin = from; begin < to;) {
            int stop = term_block_end(term_block_of(begin));
            if (stop - begin < term_block_points / 2 && stop < to) stop = term_block_end(term_block_of(stop));
            stop = std::min(stop, to);
            pieces.push_back({begin, stop});
            begin = stop;
        }
    }
    std::vector<std::vector<double>> member_R(finder.paths.size());
    std::vector<std::vector<MemberTurns>> member_turns_of(finder.paths.size());
    std::vector<Item> chunks;
    std::vector<Item> rows;
    for (std::size_t p = 0; p < finder.paths.size(); ++p) {
        const Path& path = finder.paths[p];
        if (!takes_part(path) || !path.complex_mode) continue;
        member_R[p].resize(path.members.size());
        if (!series) member_turns_of[p].resize(path.members.size());
        for (std::size_t m = 0; m < path.members.size(); m += members_per_chunk)
            chunks.push_back({static_cast<std::int32_t>(p), static_cast<std::int32_t>(m / members_per_chunk)});
        if (series) {
            if (first > 0) rows.push_back({static_cast<std::int32_t>(p), 0, 0, first});
            if (end < path_chi_points) rows.push_back({static_cast<std::int32_t>(p), 0, end, path_chi_points});
            continue;
        }
        for (int u = 0; u < path.cluster_count; ++u) {
            for (const auto& [begin, stop] : pieces) rows.push_back({static_cast<std::int32_t>(p), u, begin, stop});
        }
    }
    const auto on_threads = [&finder](const std::vector<Item>& items, const auto& work) {
        share_out(std::max(1, finder.worker_count), 0, static_cast<std::int32_t>(items.size()),
                  [&](std::int32_t j, std::int32_t) { work(items[at(j)]); });
    };
    on_threads(chunks, [&](const Item& chunk) {
        const Path& path = finder.paths[at(chunk.path)];
        std::vector<double>& R = member_R[at(chunk.path)];
        std::vector<MemberTurns>& turns = member_turns_of[at(chunk.path)];
        const std::size_t begin = at(chunk.part) * members_per_chunk;
        const std::size_t stop = std::min(path.members.size(), begin + members_per_chunk);
        for (std::size_t m = begin; m < stop; ++m) {
            R[m] = member_chain_R(finder, path, m, displacements);
            if (!turns.empty()) turns[m] = member_turns(R[m]);
        }
    });
    on_threads(rows, [&](const Item& row) {
        Path& path = finder.paths[at(row.path)];
        PathSums& sums = path.sums[at(state)];
        const std::vector<double>& R = member_R[at(row.path)];
        if (series) {
            series_sums_for_path(path, sums, R, expansion_accuracy, row.first_point, row.end_point);
            return;
        }
        const std::size_t offset = at(row.part) * path_chi_points;
        double* sine = &sums.sine[offset];
        double* cosine = &sums.cosine[offset];
        std::fill(sine + row.first_point, sine + row.end_point, 0.0);
        std::fill(cosine + row.first_point, cosine + row.end_point, 0.0);
        const std::vector<MemberTurns>& turns = member_turns_of[at(row.path)];
        const std::int32_t* cluster_of = sums.member_cluster.data();
        MemberTermsBatch terms{row.first_point, row.end_point};
        for (std::size_t m = 0; m < path.members.size(); ++m) {
            if (cluster_of[m] == row.part) terms.add(sine, cosine, turns[m], 1.0 / (R[m] * R[m]));
        }
        terms.flush();
    });
    tables.whole_grid = true;
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
    const PathSums& sums = path.sums[at(state)];
    if (path.complex_mode) {
        return (path.cluster_phase_cos[point] * sums.sine[point] + path.cluster_phase_sin[point] * sums.cosine[point]) *
               path.cluster_amplitude[point];
    }
    return sums.counts[at(u)] * path.cluster_chi[point];
}

void class_chi_of_path(const Path& path, int state, double* chi, int first, int end) {
    std::fill(chi + first, chi + end, 0.0);
    for (int u = 0; u < path.cluster_count; ++u) {
        for (int i = first; i < end; ++i) chi[i] += path.scale * cluster_contribution(path, u, state, i);
    }
}

void class_chi_of_path(const Path& path, int state, double* chi) { class_chi_of_path(path, state, chi, 0, path_chi_points); }

std::size_t sums_scratch_bytes(const Pathfinder& finder) {
    // A thread's scratch: two displacement records, the R of the largest path's members, its chain walks
    // (two states' new and old chains in a paired update).
    std::size_t members = 0;
    for (const Path& path : finder.paths) members = std::max(members, path.members.size());
    return 2 * at(std::max(finder.supercell_atom_count, 0)) * sizeof(Vec3) + members * sizeof(double) +
           4 * sizeof(ChainWalk);
}
