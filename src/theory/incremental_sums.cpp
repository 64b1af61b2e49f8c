#include "theory/incremental_sums.hpp"

#include "theory/cluster_sums.hpp"
#include "theory/clustering.hpp"
#include "theory/path_update.hpp"
#include "theory/pathfinder.hpp"

#include <algorithm>
#include <cstddef>

namespace {

std::size_t at(std::int64_t i) { return static_cast<std::size_t>(i); }

bool takes_part(const Path& path) { return path.check && !path.clusters.empty(); }

bool tables_made(const Pathfinder& finder, int state) {
    if (at(state) >= finder.sums_displacements.size() || finder.sums_displacements[at(state)].empty()) return false;
    for (const Path& path : finder.paths) {
        if (takes_part(path) && path.state_generation[at(state)] != path.cluster_generation) return false;
    }
    return true;
}

void prepare_marks(const Pathfinder& finder, UpdateMarks& marks) {
    marks.member_offset.resize(finder.paths.size());
    marks.cluster_offset.resize(finder.paths.size());
    std::size_t members = 0, clusters = 0;
    for (std::size_t p = 0; p < finder.paths.size(); ++p) {
        marks.member_offset[p] = members;
        marks.cluster_offset[p] = clusters;
        members += finder.paths[p].members.size();
        clusters += at(finder.paths[p].cluster_count);
    }
    if (marks.member_mark.size() < members) marks.member_mark.resize(members, 0);
    if (marks.cluster_mark.size() < clusters) marks.cluster_mark.resize(clusters, 0);
    if (marks.path_mark.size() < finder.paths.size()) marks.path_mark.resize(finder.paths.size(), 0);
    if (++marks.stamp == 0) {
        // After four billion updates the stamps start again from clean marks.
        std::fill(marks.member_mark.begin(), marks.member_mark.end(), 0);
        std::fill(marks.cluster_mark.begin(), marks.cluster_mark.end(), 0);
        std::fill(marks.path_mark.begin(), marks.path_mark.end(), 0);
        marks.stamp = 1;
    }
}

void save_cluster(const Path& path, int p, int u, int state, SumsUndo& undo) {
    const std::size_t clusters = at(path.cluster_count);
    SumsUndo::ClusterEntry entry{p, u, path.state_member_counts[at(state) * clusters + at(u)], undo.values.size()};
    if (path.complex_mode) {
        const std::size_t offset = (at(state) * clusters + at(u)) * path_chi_points;
        undo.values.insert(undo.values.end(), path.state_sine_sums.begin() + static_cast<std::ptrdiff_t>(offset),
                           path.state_sine_sums.begin() + static_cast<std::ptrdiff_t>(offset + path_chi_points));
        undo.values.insert(undo.values.end(), path.state_cosine_sums.begin() + static_cast<std::ptrdiff_t>(offset),
                           path.state_cosine_sums.begin() + static_cast<std::ptrdiff_t>(offset + path_chi_points));
    }
    undo.clusters.push_back(entry);
}

// Everything of the state's tables, before they are rebuilt.
void save_whole_state(const Pathfinder& finder, int state, SumsUndo& undo) {
    undo.whole_state = true;
    for (std::size_t p = 0; p < finder.paths.size(); ++p) {
        const Path& path = finder.paths[p];
        if (!takes_part(path)) continue;
        const std::size_t members = path.members.size();
        for (std::size_t m = 0; m < members; ++m) {
            undo.members.push_back({static_cast<std::int32_t>(p), static_cast<std::int32_t>(m),
                                    path.member_R[at(state) * members + m], path.member_cluster[at(state) * members + m]});
        }
        for (int u = 0; u < path.cluster_count; ++u) save_cluster(path, static_cast<int>(p), u, state, undo);
    }
}

void rebuild_state(Pathfinder& finder, int state, std::span<const Vec3> displacements, double expansion_accuracy,
                   SumsScratch& scratch, SumsUndo& undo) {
    save_whole_state(finder, state, undo);
    update_path_geometry(finder, displacements, scratch.geometry);
    state_cluster_sums(finder, scratch.geometry, state, expansion_accuracy, scratch);
}

}  // namespace

std::size_t state_sums_bytes(const Pathfinder& finder, bool complex_mode) {
    // The displacements the sums were made at, and the undo record of a move that rebuilt the state:
    // every member, every cluster with its sums (one per path as the clusters start), the displacements.
    std::size_t bytes = 2 * at(std::max(finder.supercell_atom_count, 0)) * sizeof(Vec3);
    for (const Path& path : finder.paths) {
        const std::size_t clusters = at(std::max(path.cluster_count, 1));
        bytes += path.members.size() * sizeof(SumsUndo::MemberEntry) + clusters * sizeof(SumsUndo::ClusterEntry);
        if (complex_mode) bytes += clusters * 2 * path_chi_points * sizeof(double);
    }
    return bytes;
}

void prepare_atom_members(Pathfinder& finder) {
    prepare_node_sources(finder);
    std::size_t listed = 0;
    for (const auto& list : finder.atom_members) listed += list.size();
    std::size_t members = 0;
    for (const Path& path : finder.paths) members += path.members.size();
    if (!finder.atom_members.empty() && listed >= members) return;
    finder.atom_members.assign(at(std::max(0, finder.supercell_atom_count)), {});
    std::vector<std::int32_t> sources;
    for (std::size_t p = 0; p < finder.paths.size(); ++p) {
        const Path& path = finder.paths[p];
        for (std::size_t m = 0; m < path.members.size(); ++m) {
            sources.clear();
            for (std::int32_t n = path.members[m]; n >= 0; n = finder.nodes[at(n)].parent)
                sources.push_back(finder.node_sources[at(n)]);
            std::sort(sources.begin(), sources.end());
            sources.erase(std::unique(sources.begin(), sources.end()), sources.end());
            for (const std::int32_t a : sources) {
                if (a >= 0 && at(a) < finder.atom_members.size())
                    finder.atom_members[at(a)].push_back({static_cast<std::int32_t>(p), static_cast<std::int32_t>(m)});
            }
        }
    }
}

void record_sums_displacements(Pathfinder& finder, int state, std::span<const Vec3> displacements) {
    if (finder.sums_displacements.size() <= at(state)) finder.sums_displacements.resize(at(state) + 1);
    finder.sums_displacements[at(state)].assign(displacements.begin(), displacements.end());
}

void update_state_sums(Pathfinder& finder, int state, std::span<const Vec3> displacements, double expansion_accuracy,
                       SumsScratch& scratch, UpdateMarks& marks, SumsUndo& undo) {
    undo.clear();
    undo.recorded = true;
    if (finder.sums_displacements.size() > at(state)) undo.displacements = finder.sums_displacements[at(state)];
    undo.tables_were_made = tables_made(finder, state);
    if (!undo.tables_were_made || finder.atom_members.size() != static_cast<std::size_t>(finder.supercell_atom_count) ||
        finder.node_sources.size() != finder.nodes.size()) {
        rebuild_state(finder, state, displacements, expansion_accuracy, scratch, undo);
        record_sums_displacements(finder, state, displacements);
        return;
    }
    const std::vector<Vec3>& made = finder.sums_displacements[at(state)];
    std::vector<std::int32_t>& moved = scratch.moved_atoms;
    moved.clear();
    for (std::size_t a = 0; a < displacements.size(); ++a) {
        const Vec3& d = displacements[a];
        const Vec3& before = made[a];
        if (d.x != before.x || d.y != before.y || d.z != before.z) moved.push_back(static_cast<std::int32_t>(a));
    }
    // Once many atoms moved, most chains hold one of them and the whole state is cheaper to rebuild.
    if (moved.size() > std::max<std::size_t>(8, displacements.size() / 4)) {
        rebuild_state(finder, state, displacements, expansion_accuracy, scratch, undo);
        record_sums_displacements(finder, state, displacements);
        return;
    }
    if (moved.empty()) return;

    prepare_marks(finder, marks);
    const Vec3 polarization = to_vec3(finder.polarization);
    std::array<std::int32_t, 10> nodes{};
    std::array<NodeGeometry, 10> chain{};
    Descriptor descriptor{};
    for (const std::int32_t a : moved) {
        for (const auto& [p, m] : finder.atom_members[at(a)]) {
            Path& path = finder.paths[at(p)];
            if (!takes_part(path)) continue;
            std::uint32_t& member_mark = marks.member_mark[marks.member_offset[at(p)] + at(m)];
            if (member_mark == marks.stamp) continue;
            member_mark = marks.stamp;
            marks.path_mark[at(p)] = marks.stamp;

            const int count = update_chain_geometry(finder, path.members[at(m)], displacements, polarization, nodes, chain);
            int length = 0;
            for (int c = count - 1; c >= 1; --c) {
                const PathNode& node = finder.nodes[at(nodes[at(c)])];
                for (int k = 0; k < node.coordinate_count && length < max_descriptor_length; ++k)
                    descriptor[at(length++)] = chain[at(c)].coordinates[at(k)];
            }
            double distance = 0.0;
            const int u = nearest_cluster(path.clusters, descriptor, length, distance);
            const double R = chain[at(count - 1)].R;

            const std::size_t members = path.members.size();
            const std::size_t clusters = at(path.cluster_count);
            double& stored_R = path.member_R[at(state) * members + at(m)];
            std::int32_t& stored_cluster = path.member_cluster[at(state) * members + at(m)];
            for (const int touched : {static_cast<int>(stored_cluster), u}) {
                std::uint32_t& cluster_mark = marks.cluster_mark[marks.cluster_offset[at(p)] + at(touched)];
                if (cluster_mark != marks.stamp) {
                    cluster_mark = marks.stamp;
                    save_cluster(path, p, touched, state, undo);
                }
            }
            undo.members.push_back({p, m, stored_R, stored_cluster});

            std::int32_t* counts = &path.state_member_counts[at(state) * clusters];
            --counts[at(stored_cluster)];
            ++counts[at(u)];
            if (path.complex_mode && expansion_accuracy <= 0) {
                const std::size_t old_offset = (at(state) * clusters + at(stored_cluster)) * path_chi_points;
                const std::size_t new_offset = (at(state) * clusters + at(u)) * path_chi_points;
                add_member_signal(&path.state_sine_sums[old_offset], &path.state_cosine_sums[old_offset], stored_R, -1.0);
                add_member_signal(&path.state_sine_sums[new_offset], &path.state_cosine_sums[new_offset], R, 1.0);
            }
            stored_R = R;
            stored_cluster = u;
        }
    }
    if (expansion_accuracy > 0) {
        for (std::size_t p = 0; p < finder.paths.size(); ++p) {
            if (marks.path_mark[p] == marks.stamp) series_sums_for_path(finder.paths[p], state, expansion_accuracy);
        }
    }
    record_sums_displacements(finder, state, displacements);
}

void undo_state_sums(Pathfinder& finder, int state, const SumsUndo& undo) {
    if (!undo.recorded) return;
    for (const SumsUndo::ClusterEntry& entry : undo.clusters) {
        Path& path = finder.paths[at(entry.path)];
        const std::size_t clusters = at(path.cluster_count);
        path.state_member_counts[at(state) * clusters + at(entry.cluster)] = entry.count;
        if (path.complex_mode) {
            const std::size_t offset = (at(state) * clusters + at(entry.cluster)) * path_chi_points;
            std::copy_n(undo.values.begin() + static_cast<std::ptrdiff_t>(entry.values), path_chi_points,
                        path.state_sine_sums.begin() + static_cast<std::ptrdiff_t>(offset));
            std::copy_n(undo.values.begin() + static_cast<std::ptrdiff_t>(entry.values + path_chi_points), path_chi_points,
                        path.state_cosine_sums.begin() + static_cast<std::ptrdiff_t>(offset));
        }
    }
    // Members go back in reverse order, so that a member recorded twice ends with its first record.
    for (auto entry = undo.members.rbegin(); entry != undo.members.rend(); ++entry) {
        Path& path = finder.paths[at(entry->path)];
        const std::size_t members = path.members.size();
        path.member_R[at(state) * members + at(entry->member)] = entry->R;
        path.member_cluster[at(state) * members + at(entry->member)] = entry->cluster;
    }
    if (finder.sums_displacements.size() > at(state)) finder.sums_displacements[at(state)] = undo.displacements;
    // Tables that held nothing before the update hold nothing usable after it is undone.
    if (!undo.tables_were_made && finder.sums_displacements.size() > at(state)) finder.sums_displacements[at(state)].clear();
}
