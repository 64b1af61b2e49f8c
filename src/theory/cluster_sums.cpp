#include "theory/cluster_sums.hpp"

#include "control/threads.hpp"
#include "theory/clustering.hpp"
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
    bool one_dimensional = false;
};

bool takes_part(const Path& path) { return path.check && !path.clusters.empty(); }

void store_representative(const Pathfinder& finder, const Path& path, int member, bool one_dimensional,
                          Cluster& cluster) {
    PathGeometry geometry;
    if (one_dimensional) {
        single_scattering_representative(finder, path, geometry, member);
    } else {
        path_geometry_of_member(finder, path, geometry, member, false);
    }
    const int count = std::min(path.nleg, max_cluster_atoms);
    for (int a = 0; a < count; ++a) {
        cluster.representative_atoms[at(a)] = geometry.atoms[at(a)];
        cluster.representative_potentials[at(a)] = geometry.potential_indices[at(a)];
    }
}

// Series sums of every cluster of the path for the state, from its members' R.
void series_sums_for_path(Path& path, int state, double expansion_accuracy) {
    const std::size_t members = path.members.size();
    const std::size_t clusters = at(path.cluster_count);
    const std::int32_t* counts = &path.state_member_counts[at(state) * clusters];
    const double* R = &path.member_R[at(state) * members];
    const std::int32_t* cluster_of = &path.member_cluster[at(state) * members];
    std::vector<double> mean(clusters, 0.0), deviation(clusters, 0.0);
    std::vector<int> terms(clusters, 0);
    for (std::size_t u = 0; u < clusters; ++u) {
        if (counts[u] > 0) mean[u] = path.clusters[u].moments[1] / counts[u];
    }
    for (std::size_t m = 0; m < members; ++m) {
        const std::size_t u = at(cluster_of[m]);
        deviation[u] = std::max(deviation[u], std::abs(R[m] - mean[u]));
    }
    for (std::size_t u = 0; u < clusters; ++u) {
        terms[u] = series_term_count(std::max(0.5, 40.0 * deviation[u]), expansion_accuracy);
        std::fill(path.clusters[u].moments.begin() + 2, path.clusters[u].moments.end(), 0.0);
    }
    for (std::size_t m = 0; m < members; ++m) {
        const std::size_t u = at(cluster_of[m]);
        const double delta = R[m] - mean[u];
        double power = delta;
        auto& moments = path.clusters[u].moments;
        for (int j = 2; j <= terms[u]; ++j) {
            power *= delta;
            moments[at(j)] += power;
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
            series_sums_at_point(path.clusters[u].moments.data(), counts[u], mean[u], deviation[u], terms[u],
                                 expansion_accuracy, i, sine[i], cosine[i]);
        }
    }
}

struct Turn {
    double c = 1.0;
    double s = 0.0;
};

Turn operator*(const Turn& a, const Turn& b) { return {a.c * b.c - a.s * b.s, a.c * b.s + a.s * b.c}; }

// Adds sin(0.1 i R) / R^2 and cos(0.1 i R) / R^2 for the points of the range, starting from the turn
// `start` at the first point and turning by `step` from point to point. Four consecutive points are
// turned from the same pair, so the dependent chain advances four points per product.
void add_member_terms(double* sine, double* cosine, int first, int end, Turn start, const Turn& step, double weight) {
    const Turn step2 = step * step;
    const Turn step3 = step2 * step;
    const Turn step4 = step2 * step2;
    int i = first;
    for (; i + 4 <= end; i += 4) {
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
    for (; i < end; ++i) {
        sine[i] += start.s * weight;
        cosine[i] += start.c * weight;
        start = start * step;
    }
}

// Adds the direct sums of every member of every marked complex-mode path over one range of points.
void add_direct_sums_block(Pathfinder& finder, int state, int block) {
    const int first = block_begin(block);
    const int end = block_end(block);
    for (Path& path : finder.paths) {
        if (!takes_part(path) || !path.complex_mode) continue;
        const std::size_t members = path.members.size();
        const std::size_t clusters = at(path.cluster_count);
        const double* R = &path.member_R[at(state) * members];
        const std::int32_t* cluster_of = &path.member_cluster[at(state) * members];
        double* sine_sums = &path.state_sine_sums[at(state) * clusters * path_chi_points];
        double* cosine_sums = &path.state_cosine_sums[at(state) * clusters * path_chi_points];
        for (std::size_t m = 0; m < members; ++m) {
            const double* turns = &path.member_turns[4 * m];
            Turn start;
            for (int b = 0; b < block; ++b) start = start * Turn{turns[2], turns[3]};
            const std::size_t offset = at(cluster_of[m]) * path_chi_points;
            add_member_terms(sine_sums + offset, cosine_sums + offset, first, end, start, {turns[0], turns[1]},
                             1.0 / (R[m] * R[m]));
        }
    }
}

void sums_pass(Pathfinder& finder, Path& path, int state, double expansion_accuracy, bool one_dimensional) {
    if (!takes_part(path)) return;
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
    if (series) {
        for (Cluster& cluster : path.clusters) std::fill_n(cluster.moments.begin(), 3, 0.0);
    }
    std::fill(path.nearest_member.begin(), path.nearest_member.end(), -1);
    double* R = &path.member_R[at(state) * members];
    std::int32_t* cluster_of = &path.member_cluster[at(state) * members];

    Descriptor descriptor{};
    for (std::size_t m = 0; m < members; ++m) {
        const std::int32_t node = path.members[m];
        const int length = collect_chain_descriptor(finder, node, descriptor);
        double distance = 0.0;
        const int u = nearest_cluster(path.clusters, descriptor, length, distance);
        ++counts[u];
        path.last_member_cluster[m] = u;
        cluster_of[m] = u;
        const double r = finder.current[at(node)].R;
        R[m] = r;

        Cluster& cluster = path.clusters[at(u)];
        cluster.spread += distance * distance;
        if (distance < cluster.smallest_distance) {
            cluster.smallest_distance = distance;
            cluster.nearest = descriptor;
            path.nearest_member[at(u)] = static_cast<std::int32_t>(m);
        }
        if (distance > cluster.largest_distance) {
            cluster.largest_distance = distance;
            cluster.farthest = descriptor;
        }
        if (series) {
            cluster.moments[1] += r;
        } else if (path.complex_mode) {
            double* turns = &path.member_turns[4 * m];
            turns[0] = std::cos(0.1 * r);
            turns[1] = std::sin(0.1 * r);
            turns[2] = std::cos(block_turn * r);
            turns[3] = std::sin(block_turn * r);
            // (The turn through a whole range is taken from the functions too, not by powering the
            // single step, so that no range start inherits fifty products of rounding.)
        }
    }
    // The geometry is taken once per cluster, from the member that ended nearest in this state.
    for (std::size_t u = 0; u < clusters; ++u) {
        if (path.nearest_member[u] >= 0)
            store_representative(finder, path, path.nearest_member[u], one_dimensional, path.clusters[u]);
    }
    if (series) series_sums_for_path(path, state, expansion_accuracy);
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

void accumulate_cluster_sums_direct(Pathfinder& finder, Path& path, int state, bool one_dimensional) {
    sums_pass(finder, path, state, -1.0, one_dimensional);
}

void accumulate_cluster_sums_taylor(Pathfinder& finder, Path& path, int state, double expansion_accuracy,
                                    bool one_dimensional) {
    if (expansion_accuracy <= 0) {
        accumulate_cluster_sums_direct(finder, path, state, one_dimensional);
        return;
    }
    sums_pass(finder, path, state, expansion_accuracy, one_dimensional);
}

void cluster_chi_worker(WorkRange& range) {
    const auto& section = *static_cast<const SumsSection*>(range.context);
    Pathfinder& finder = *section.finder;
    for (std::int32_t p = range.first; p < range.end; ++p) {
        accumulate_cluster_sums_taylor(finder, finder.paths[at(p)], section.state, section.expansion_accuracy,
                                       section.one_dimensional);
    }
}

void launch_cluster_chi_threads(Pathfinder& finder, int state, double expansion_accuracy, bool one_dimensional) {
    SumsSection section{&finder, state, expansion_accuracy, one_dimensional};
    std::vector<WorkRange> ranges = split_paths_over_threads(finder, finder.worker_count);
    for (WorkRange& range : ranges) range.context = &section;
    run_work_range_threads(ranges.data(), cluster_chi_worker);
    if (expansion_accuracy > 0) return;
    std::vector<WorkRange> blocks = split_work(block_count, std::max(1, finder.worker_count));
    run_work_range_threads(blocks.data(), [&finder, state](WorkRange& range) {
        for (std::int32_t block = range.first; block < range.end; ++block) add_direct_sums_block(finder, state, block);
    });
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

void class_chi_from_clusters_worker(WorkRange& range) {
    Pathfinder& finder = *static_cast<Pathfinder*>(range.data);
    const int state = range.extra;
    for (std::int32_t p = range.first; p < range.end; ++p) {
        Path& path = finder.paths[at(p)];
        path.chi.assign(path_chi_points, 0.0);
        for (int u = 0; u < path.cluster_count; ++u) {
            for (int i = 0; i < path_chi_points; ++i)
                path.chi[at(i)] += path.scale * cluster_contribution(path, u, state, i);
        }
    }
}

void launch_class_chi_threads(Pathfinder& finder, int worker_count, int state) {
    std::vector<WorkRange> ranges = split_paths_over_threads(finder, worker_count);
    for (WorkRange& range : ranges) range.extra = state;
    run_work_range_threads(ranges.data(), class_chi_from_clusters_worker);
}
