#include "theory/cluster_feff.hpp"

#include "control/process_end.hpp"
#include "theory/absorber_edge.hpp"
#include "theory/feff_outputs.hpp"
#include "theory/feff_run.hpp"
#include "theory/path_runs.hpp"
#include "theory/pathfinder.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iostream>
#include <ostream>

namespace {

std::size_t at(std::int64_t i) { return static_cast<std::size_t>(i); }

struct MemberItem {
    int path = 0;
    int member = 0;
};

struct ClusterItem {
    int path = 0;
    int cluster = 0;
};

PathGeometry representative_geometry(const Cluster& cluster, int nleg) {
    PathGeometry geometry;
    for (int a = 0; a < std::min(nleg, max_cluster_atoms); ++a) {
        geometry.atoms[at(a)] = cluster.representative_atoms[at(a)];
        geometry.potential_indices[at(a)] = cluster.representative_potentials[at(a)];
    }
    return geometry;
}

// Member runs are large: each list of a folder holds at most this many members, so that the chip files
// waiting to be read in all folders at once stay within some hundred megabytes.
constexpr int member_blocks_per_list = 2000;

// The cluster's FEFF arrays were read for a representative with the same atoms at the same places.
bool holds_signal_of_representative(const Cluster& cluster, int nleg) {
    if (!cluster.has_feff_signal) return false;
    for (int a = 0; a < std::min(nleg, max_cluster_atoms); ++a) {
        const Atom& atom = cluster.representative_atoms[at(a)];
        const std::size_t c = 3 * at(a);
        if (atom.x != cluster.feff_coordinates[c] || atom.y != cluster.feff_coordinates[c + 1] ||
            atom.z != cluster.feff_coordinates[c + 2] ||
            cluster.representative_potentials[at(a)] != cluster.feff_potentials[at(a)])
            return false;
    }
    return true;
}

void remember_signal_of_representative(Cluster& cluster, int nleg) {
    for (int a = 0; a < std::min(nleg, max_cluster_atoms); ++a) {
        const Atom& atom = cluster.representative_atoms[at(a)];
        const std::size_t c = 3 * at(a);
        cluster.feff_coordinates[c] = atom.x;
        cluster.feff_coordinates[c + 1] = atom.y;
        cluster.feff_coordinates[c + 2] = atom.z;
        cluster.feff_potentials[at(a)] = cluster.representative_potentials[at(a)];
    }
    cluster.has_feff_signal = true;
}

}  // namespace

std::size_t member_chi_table_bytes(const Pathfinder& finder) {
    // As compute_member_chi_with_feff sizes it: one signal per member of every path.
    std::size_t bytes = sizeof(MemberChiTable::value_type) * finder.paths.size();
    for (const Path& path : finder.paths) {
        bytes += path.members.size() * (sizeof(MemberChiTable::value_type::value_type) + path_chi_points * sizeof(double));
    }
    return bytes;
}

void compute_member_chi_with_feff(AbsorberEdge& edge, double* state_chi_grid, double weight, MemberChiTable& members,
                                  bool one_dimensional) {
    Pathfinder& finder = edge.pathfinder;
    const double absorbers = static_cast<double>(std::max(1, finder.absorber_count));
    members.assign(finder.paths.size(), {});
    std::vector<MemberItem> items;
    for (std::size_t p = 0; p < finder.paths.size(); ++p) {
        const Path& path = finder.paths[p];
        members[p].assign(path.members.size(), std::vector<double>(path_chi_points, 0.0));
        for (std::size_t m = 0; m < path.members.size(); ++m)
            items.push_back({static_cast<int>(p), static_cast<int>(m)});
    }
    const int count = static_cast<int>(items.size());

    const auto write_item = [&](int item, const BatchSlot& slot, std::ostream& out) {
        const MemberItem& member = items[at(item)];
        const Path& path = finder.paths[at(member.path)];
        PathGeometry geometry;
        if (one_dimensional) {
            single_scattering_representative(finder, path, geometry, member.member);
        } else {
            path_geometry_of_member(finder, path, geometry, member.member, false);
        }
        write_path_block(out, geometry, slot.index, 1.0, one_dimensional ? std::min(path.nleg, 2) : path.nleg);
    };
    const auto use_chip = [&](int item, const std::vector<FeffRow>& rows) {
        const MemberItem& member = items[at(item)];
        std::vector<double>& target = members[at(member.path)][at(member.member)];
        place_on_fixed_grid(rows, 1, target.data(), path_chi_points);
        for (double& value : target) value /= absorbers;
    };
    run_feff_batches(edge, count, feff_batch_layout(count, feff_worker_folder_count(edge), member_blocks_per_list),
                     write_item, use_chip);

    // The members' sum in member order: FEFF's own sum in chi.dat, rounded once per folder, would change
    // with the way the members were shared out between the folders, that is with the thread count.
    std::vector<double> total(path_chi_points, 0.0);
    for (const MemberItem& item : items) {
        const std::vector<double>& chi = members[at(item.path)][at(item.member)];
        for (int i = 0; i < path_chi_points; ++i) total[at(i)] += chi[at(i)];
    }
    for (int i = 0; i < path_chi_points; ++i) state_chi_grid[i + 1] += total[at(i)] * weight;
}

void write_cluster_paths_and_run_feff(AbsorberEdge& edge, bool one_dimensional) {
    Pathfinder& finder = edge.pathfinder;
    const auto legs = [one_dimensional](const Path& path) { return one_dimensional ? std::min(path.nleg, 2) : path.nleg; };
    std::vector<ClusterItem> items;
    for (std::size_t p = 0; p < finder.paths.size(); ++p) {
        const Path& path = finder.paths[p];
        if (!path.check) continue;
        for (int u = 0; u < path.cluster_count; ++u) {
            const Cluster& cluster = path.clusters[at(u)];
            if (cluster.member_count > 0 && !holds_signal_of_representative(cluster, legs(path)))
                items.push_back({static_cast<int>(p), u});
        }
    }
    if (items.empty()) return;
    std::vector<double> reff(items.size());
    for (std::size_t j = 0; j < items.size(); ++j) {
        const Path& path = finder.paths[at(items[j].path)];
        reff[j] = half_closed_length(representative_geometry(path.clusters[at(items[j].cluster)], legs(path)), legs(path));
        if (!(reff[j] >= 0.5)) {
            std::cout << "ERROR: empty cluster!" << '\n';
            end_process(1);
        }
    }
    const int count = static_cast<int>(items.size());
    const bool experimental = edge.use_experimental_amplitude_phase && edge.index == 0;

    const auto write_item = [&](int item, const BatchSlot& slot, std::ostream& out) {
        const ClusterItem& cluster = items[at(item)];
        const Path& path = finder.paths[at(cluster.path)];
        write_path_block(out, representative_geometry(path.clusters[at(cluster.cluster)], legs(path)), slot.index, 1.0,
                         legs(path));
    };
    const auto use_chip = [&](int item, const std::vector<FeffRow>& rows) {
        const ClusterItem& cluster = items[at(item)];
        Path& path = finder.paths[at(cluster.path)];
        const std::size_t offset = at(cluster.cluster) * path_chi_points;
        double* chi = &path.cluster_chi[offset];
        double* amplitude = &path.cluster_amplitude[offset];
        double* phase = &path.cluster_phase[offset];
        place_on_fixed_grid(rows, 1, chi, path_chi_points);
        place_on_fixed_grid(rows, 2, amplitude, path_chi_points);
        place_on_fixed_grid(rows, 4, phase, path_chi_points);
        const double r = reff[at(item)];
        for (int i = 0; i < path_chi_points; ++i) {
            const double k = 0.05 * i;
            amplitude[i] = k * r * r * amplitude[i] / 1.0;
            if (experimental && cluster.path == 0) {
                amplitude[i] = edge.experimental_amplitude[at(i)];
                phase[i] = edge.experimental_phase[at(i)];
            }
            chi[i] = k * chi[i] / 1.0;
            path.cluster_phase_cos[offset + at(i)] = std::cos(phase[i]);
            path.cluster_phase_sin[offset + at(i)] = std::sin(phase[i]);
        }
    };
    run_feff_batches(edge, count, feff_batch_layout(count, feff_worker_folder_count(edge), max_blocks_per_path_list),
                     write_item, use_chip);
    for (const ClusterItem& item : items) {
        const Path& path = finder.paths[at(item.path)];
        remember_signal_of_representative(finder.paths[at(item.path)].clusters[at(item.cluster)], legs(path));
    }
}
