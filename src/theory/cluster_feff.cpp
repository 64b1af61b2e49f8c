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
    const int workers = feff_worker_folder_count(edge);

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
    const auto read_batch = [&](const FeffBatch& batch) {
        std::vector<double> chi(path_chi_points);
        for (int worker = 0; worker < workers; ++worker) {
            if (batch.items_per_worker[at(worker)] == 0) continue;
            std::fill(chi.begin(), chi.end(), 0.0);
            read_feff_chi(feff_worker_file_path(edge.index, worker, "chi.dat"), 4, chi.data(), path_chi_points);
            for (int i = 0; i < path_chi_points; ++i) {
                const double d = chi[at(i)] - edge.reference_chi[at(i)];
                state_chi_grid[i + 1] += d * weight / absorbers;
            }
        }
        for (int item = batch.first; item < batch.end; ++item) {
            const MemberItem& member = items[at(item)];
            std::vector<double>& target = members[at(member.path)][at(member.member)];
            read_feff_chi(batch_chip_path(edge, batch_slot(item, workers)), 5, target.data(), path_chi_points);
            for (double& value : target) value /= absorbers;
        }
    };
    run_feff_batches(edge, static_cast<int>(items.size()), write_item, read_batch);
}

void write_cluster_paths_and_run_feff(AbsorberEdge& edge, bool one_dimensional) {
    Pathfinder& finder = edge.pathfinder;
    const auto legs = [one_dimensional](const Path& path) { return one_dimensional ? std::min(path.nleg, 2) : path.nleg; };
    std::vector<ClusterItem> items;
    for (std::size_t p = 0; p < finder.paths.size(); ++p) {
        const Path& path = finder.paths[p];
        if (!path.check) continue;
        for (int u = 0; u < path.cluster_count; ++u) {
            if (path.clusters[at(u)].member_count > 0) items.push_back({static_cast<int>(p), u});
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
    const int workers = feff_worker_folder_count(edge);
    const bool experimental = edge.use_experimental_amplitude_phase && edge.index == 0;

    const auto write_item = [&](int item, const BatchSlot& slot, std::ostream& out) {
        const ClusterItem& cluster = items[at(item)];
        const Path& path = finder.paths[at(cluster.path)];
        write_path_block(out, representative_geometry(path.clusters[at(cluster.cluster)], legs(path)), slot.index, 1.0,
                         legs(path));
    };
    const auto read_batch = [&](const FeffBatch& batch) {
        for (int item = batch.first; item < batch.end; ++item) {
            const ClusterItem& cluster = items[at(item)];
            Path& path = finder.paths[at(cluster.path)];
            const std::size_t offset = at(cluster.cluster) * path_chi_points;
            double* chi = &path.cluster_chi[offset];
            double* amplitude = &path.cluster_amplitude[offset];
            double* phase = &path.cluster_phase[offset];
            const std::vector<FeffRow> rows =
                read_feff_grid_table(batch_chip_path(edge, batch_slot(item, workers)), 5, path_chi_points);
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
        }
    };
    run_feff_batches(edge, static_cast<int>(items.size()), write_item, read_batch);
}
