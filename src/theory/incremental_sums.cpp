#include "theory/incremental_sums.hpp"

#include "control/threads.hpp"
#include "theory/cluster_sums.hpp"
#include "theory/clustering.hpp"
#include "theory/member_terms.hpp"
#include "theory/path_update.hpp"
#include "theory/pathfinder.hpp"

#include <algorithm>
#include <cstddef>

namespace {

std::size_t at(std::int64_t i) { return static_cast<std::size_t>(i); }

// Once many atoms moved, most chains hold one of them and the whole state is cheaper to rebuild than to
// update.
std::size_t incremental_atom_limit(std::size_t atoms) { return std::max<std::size_t>(8, atoms / 4); }

std::size_t descriptor_width(const Path& path) { return at(std::max(path.descriptor_length, 0)); }

int first_point(const Pathfinder& finder) { return finder.first_point; }
int point_count(const Pathfinder& finder) { return finder.end_point - finder.first_point; }

void prepare_marks(const Pathfinder& finder, UpdateMarks& marks) {
    marks.member_offset.resize(finder.paths.size());
    std::size_t members = 0;
    for (std::size_t p = 0; p < finder.paths.size(); ++p) {
        marks.member_offset[p] = members;
        members += finder.paths[p].members.size();
    }
    if (marks.member_mark.size() < members) marks.member_mark.resize(members, 0);
    if (marks.path_mark.size() < finder.paths.size()) marks.path_mark.resize(finder.paths.size(), 0);
    if (++marks.stamp == 0) {
        // After four billion updates the stamps start again from clean marks.
        std::fill(marks.member_mark.begin(), marks.member_mark.end(), 0);
        std::fill(marks.path_mark.begin(), marks.path_mark.end(), 0);
        marks.stamp = 1;
    }
}

// The count and the sums on the blocks in use of cluster u in the state's tables.
void save_cluster(const Pathfinder& finder, const Path& path, int p, int u, int state, SumsUndo& undo) {
    const PathSums& sums = path.sums[at(state)];
    SumsUndo::ClusterEntry entry{p, u, sums.counts[at(u)], undo.values.size(), undo.descriptor_values.size()};
    const std::size_t width = descriptor_width(path);
    const auto descriptor_sums = sums.descriptor_sums.begin() + static_cast<std::ptrdiff_t>(at(u) * width);
    undo.descriptor_values.insert(undo.descriptor_values.end(), descriptor_sums,
                                  descriptor_sums + static_cast<std::ptrdiff_t>(width));
    if (path.complex_mode) {
        const std::size_t offset = at(u) * path_chi_points + at(first_point(finder));
        const auto width = static_cast<std::ptrdiff_t>(point_count(finder));
        for (const std::vector<double>* values : {&sums.sine, &sums.cosine}) {
            const auto from = values->begin() + static_cast<std::ptrdiff_t>(offset);
            undo.values.insert(undo.values.end(), from, from + width);
        }
    }
    undo.clusters.push_back(entry);
}

// Everything of the state's tables that a rebuild changes.
void save_whole_state(const Pathfinder& finder, int state, SumsUndo& undo) {
    undo.whole_state = true;
    for (std::size_t p = 0; p < finder.paths.size(); ++p) {
        const Path& path = finder.paths[p];
        if (!takes_part(path)) continue;
        const PathSums& sums = path.sums[at(state)];
        for (std::size_t m = 0; m < path.members.size(); ++m)
            undo.members.push_back({static_cast<std::int32_t>(p), static_cast<std::int32_t>(m), sums.member_cluster[m],
                                    sums.member_distance[m]});
        for (int u = 0; u < path.cluster_count; ++u) save_cluster(finder, path, static_cast<int>(p), u, state, undo);
        undo.generations.push_back({static_cast<std::int32_t>(p), sums.generation, sums.centroids});
    }
}

void rebuild_state(Pathfinder& finder, int state, std::span<const Vec3> displacements, double expansion_accuracy,
                   SumsScratch& scratch, SumsUndo& undo) {
    save_whole_state(finder, state, undo);
    state_cluster_sums(finder, walked_chain_source(finder, displacements), state, expansion_accuracy, scratch);
}

}  // namespace

bool state_tables_made(const Pathfinder& finder, int state) {
    if (at(state) >= finder.state_tables.size() || finder.state_tables[at(state)].displacements.empty()) return false;
    for (const Path& path : finder.paths) {
        if (takes_part(path) && path.sums[at(state)].generation != path.cluster_generation) return false;
    }
    return true;
}

std::size_t state_sums_bytes(const Pathfinder& finder, bool complex_mode) {
    // The displacements the sums were made at, and the undo record of a move that rebuilt the state:
    // every member, every cluster with its sums (one per path as the clusters start), the displacements.
    std::size_t bytes = 2 * at(std::max(finder.supercell_atom_count, 0)) * sizeof(Vec3);
    for (const Path& path : finder.paths) {
        const std::size_t clusters = at(std::max(path.cluster_count, 1));
        bytes += path.members.size() * sizeof(SumsUndo::MemberEntry) +
                 clusters * (sizeof(SumsUndo::ClusterEntry) + descriptor_width(path) * sizeof(DescriptorSum));
        if (complex_mode) bytes += clusters * 2 * path_chi_points * sizeof(double);
    }
    return bytes;
}

void prepare_atom_members(Pathfinder& finder) {
    prepare_member_chains(finder);
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
    if (finder.state_tables.size() <= at(state)) finder.state_tables.resize(at(state) + 1);
    StateTables& tables = finder.state_tables[at(state)];
    tables.displacements.assign(displacements.begin(), displacements.end());
    tables.whole_grid = sums_on_whole_grid(finder);
}

void forget_state_tables(Pathfinder& finder, int state) {
    if (at(state) < finder.state_tables.size()) finder.state_tables[at(state)] = {};
}

bool begin_state_update(Pathfinder& finder, int state, std::span<const Vec3> displacements, double expansion_accuracy,
                        SumsScratch& scratch, UpdateMarks& marks, SumsUndo& undo, TouchedMembers& touched) {
    undo.clear();
    undo.recorded = true;
    touched.paths.clear();
    if (finder.state_tables.size() <= at(state)) finder.state_tables.resize(at(state) + 1);
    const StateTables& tables = finder.state_tables[at(state)];
    undo.displacements = tables.displacements;
    undo.whole_grid = tables.whole_grid;
    undo.tables_were_made = state_tables_made(finder, state);
    if (!undo.tables_were_made || !state_sums_current(finder, state) || finder.atom_members.size() != static_cast<std::size_t>(finder.supercell_atom_count) ||
        finder.node_sources.size() != finder.nodes.size()) {
        rebuild_state(finder, state, displacements, expansion_accuracy, scratch, undo);
        record_sums_displacements(finder, state, displacements);
        return false;
    }
    const std::vector<Vec3>& made = tables.displacements;
    std::vector<std::int32_t>& moved = scratch.moved_atoms;
    moved.clear();
    for (std::size_t a = 0; a < displacements.size(); ++a) {
        const Vec3& d = displacements[a];
        const Vec3& before = made[a];
        if (!same_displacement(d, before)) moved.push_back(static_cast<std::int32_t>(a));
    }
    if (moved.size() > incremental_atom_limit(displacements.size())) {
        rebuild_state(finder, state, displacements, expansion_accuracy, scratch, undo);
        record_sums_displacements(finder, state, displacements);
        return false;
    }
    if (moved.empty()) return false;

    // Each path's members, in the order the moved atoms list them: the order their terms go in.
    prepare_marks(finder, marks);
    if (touched.of_path.size() < finder.paths.size()) touched.of_path.resize(finder.paths.size());
    for (const std::int32_t a : moved) {
        for (const auto& [p, m] : finder.atom_members[at(a)]) {
            if (!takes_part(finder.paths[at(p)])) continue;
            std::uint32_t& member_mark = marks.member_mark[marks.member_offset[at(p)] + at(m)];
            if (member_mark == marks.stamp) continue;
            member_mark = marks.stamp;
            if (marks.path_mark[at(p)] != marks.stamp) {
                marks.path_mark[at(p)] = marks.stamp;
                touched.paths.push_back(p);
                touched.of_path[at(p)].clear();
            }
            touched.of_path[at(p)].push_back(m);
        }
    }
    // The paths in their order, so that everything done path by path comes out in one order.
    std::sort(touched.paths.begin(), touched.paths.end());
    return true;
}

namespace {

// A member as an update finds it: its descriptor and R at the new displacements, and as the tables hold it.
struct MemberChange {
    Descriptor descriptor{};
    Descriptor previous_descriptor{};
    double R = 0.0;
    double previous_R = 0.0;
    int length = 0;
};

void walk_member_change(const Pathfinder& finder, const Path& path, std::size_t m, std::span<const Vec3> displacements,
                        std::span<const Vec3> made, const Vec3& polarization, ChainWalk& walk, ChainWalk& previous_walk,
                        MemberChange& change) {
    walk_member_chain(finder, path, m, displacements, polarization, walk);
    change.length = walked_descriptor(finder, walk, path.nleg, change.descriptor);
    walk_member_chain(finder, path, m, made, polarization, previous_walk);
    walked_descriptor(finder, previous_walk, path.nleg, change.previous_descriptor);
    change.R = walk.geometry[at(path.nleg - 1)].R;
    change.previous_R = previous_walk.geometry[at(path.nleg - 1)].R;
}

// Moves member m in the state's tables from the cluster they hold it in to cluster u (its descriptor
// out of the one and in to the other); returns the cluster it was in.
std::int32_t move_member(PathSums& sums, std::size_t width, std::int32_t m, int u, double distance,
                         const Descriptor& previous_descriptor, const Descriptor& descriptor) {
    std::int32_t& stored_cluster = sums.member_cluster[at(m)];
    const std::int32_t old = stored_cluster;
    sums.member_distance[at(m)] = distance;
    sums.statistics_current = false;
    --sums.counts[at(old)];
    ++sums.counts[at(u)];
    add_descriptor(&sums.descriptor_sums[at(old) * width], previous_descriptor, width, -1);
    add_descriptor(&sums.descriptor_sums[at(u) * width], descriptor, width, 1);
    stored_cluster = u;
    return old;
}

PairedTermsBatch::Rows cluster_rows(PathSums& sums, std::int32_t u) {
    const std::size_t row = at(u) * path_chi_points;
    return {&sums.sine[row], &sums.cosine[row]};
}

double old_term_weight(double R) { return -1.0 * (1.0 / (R * R)); }
double new_term_weight(double R) { return 1.0 / (R * R); }

}  // namespace

void update_path_sums(Pathfinder& finder, int p, int state, std::span<const std::int32_t> members,
                      std::span<const Vec3> displacements, double expansion_accuracy, SumsScratch& scratch,
                      SumsUndo* undo) {
    Path& path = finder.paths[at(p)];
    const std::vector<Vec3>& made = finder.state_tables[at(state)].displacements;
    const Vec3 polarization = to_vec3(finder.polarization);
    scratch.walk.count = 0;
    scratch.previous_walk.count = 0;
    PathSums& sums = path.sums[at(state)];
    const std::size_t width = descriptor_width(path);
    // Which clusters the undo holds already.
    std::vector<char>& saved = scratch.saved_clusters;
    if (undo != nullptr) saved.assign(at(path.cluster_count), 0);
    // The members' old terms out and new terms in wait in small batches, made side by side in the order a
    // member-by-member loop adds them (every row they touch was saved for the undo before any is changed).
    const bool direct = path.complex_mode && expansion_accuracy <= 0;
    MemberTermsBatch terms{finder.first_point, finder.end_point};
    MemberChange change;
    for (std::size_t i = 0; i < members.size(); ++i) {
        const std::int32_t m = members[i];
        if (i + member_prefetch_distance < members.size())
            prefetch_member_chain(finder, path, at(members[i + member_prefetch_distance]));
        // The member as the tables hold it: its descriptor leaves its cluster's sums, its R its terms.
        walk_member_change(finder, path, at(m), displacements, made, polarization, scratch.walk, scratch.previous_walk,
                           change);
        double distance = 0.0;
        const int u = nearest_cluster(path.clusters, change.descriptor, change.length, distance);
        if (undo != nullptr) {
            for (const int touched : {static_cast<int>(sums.member_cluster[at(m)]), u}) {
                if (saved[at(touched)]) continue;
                saved[at(touched)] = 1;
                save_cluster(finder, path, p, touched, state, *undo);
            }
            undo->members.push_back({p, m, sums.member_cluster[at(m)], sums.member_distance[at(m)]});
        }
        const std::int32_t old = move_member(sums, width, m, u, distance, change.previous_descriptor, change.descriptor);
        if (direct) {
            const PairedTermsBatch::Rows old_rows = cluster_rows(sums, old);
            const PairedTermsBatch::Rows new_rows = cluster_rows(sums, u);
            terms.add(old_rows.sine, old_rows.cosine, member_turns(change.previous_R), old_term_weight(change.previous_R));
            terms.add(new_rows.sine, new_rows.cosine, member_turns(change.R), new_term_weight(change.R));
        }
    }
    terms.flush();
}

void update_paired_path_sums(Pathfinder& finder, int p, int first_state, int second_state,
                             std::span<const std::int32_t> members, std::span<const Vec3> first_displacements,
                             std::span<const Vec3> second_displacements, std::span<const char> swapped_atoms,
                             double expansion_accuracy, SumsScratch& scratch) {
    Path& path = finder.paths[at(p)];
    const std::vector<Vec3>& first_made = finder.state_tables[at(first_state)].displacements;
    const std::vector<Vec3>& second_made = finder.state_tables[at(second_state)].displacements;
    const Vec3 polarization = to_vec3(finder.polarization);
    scratch.walk.count = 0;
    scratch.previous_walk.count = 0;
    scratch.partner_walk.count = 0;
    scratch.partner_previous_walk.count = 0;
    PathSums& first = path.sums[at(first_state)];
    PathSums& second = path.sums[at(second_state)];
    const std::size_t width = descriptor_width(path);
    const std::size_t nleg = at(path.nleg);
    const bool direct = path.complex_mode && expansion_accuracy <= 0;
    PairedTermsBatch terms{};
    terms.first_point = finder.first_point;
    terms.end_point = finder.end_point;
    MemberChange change, partner;
    for (std::size_t i = 0; i < members.size(); ++i) {
        const std::int32_t m = members[i];
        if (i + member_prefetch_distance < members.size())
            prefetch_member_chain(finder, path, at(members[i + member_prefetch_distance]));
        walk_member_change(finder, path, at(m), first_displacements, first_made, polarization, scratch.walk,
                           scratch.previous_walk, change);
        double distance = 0.0;
        const int u = nearest_cluster(path.clusters, change.descriptor, change.length, distance);
        const std::int32_t old = move_member(first, width, m, u, distance, change.previous_descriptor, change.descriptor);
        // A chain of swapped atoms only is, in the second state, the first one's the other way round.
        bool swapped = true;
        for (std::size_t c = 0; c < nleg && swapped; ++c)
            swapped = swapped_atoms[at(finder.chain_nodes[at(path.chains[at(m) * nleg + c])].source)] != 0;
        int partner_u = 0;
        double partner_distance = 0.0;
        std::int32_t partner_old = 0;
        if (swapped) {
            partner_u = nearest_cluster(path.clusters, change.previous_descriptor, change.length, partner_distance);
            partner_old = move_member(second, width, m, partner_u, partner_distance, change.descriptor,
                                      change.previous_descriptor);
        } else {
            walk_member_change(finder, path, at(m), second_displacements, second_made, polarization,
                               scratch.partner_walk, scratch.partner_previous_walk, partner);
            partner_u = nearest_cluster(path.clusters, partner.descriptor, partner.length, partner_distance);
            partner_old = move_member(second, width, m, partner_u, partner_distance, partner.previous_descriptor,
                                      partner.descriptor);
        }
        if (!direct) continue;
        const MemberTurns old_turns = member_turns(change.previous_R);
        const MemberTurns new_turns = member_turns(change.R);
        if (swapped) {
            terms.add_swapped(cluster_rows(first, old), cluster_rows(first, u), cluster_rows(second, partner_old),
                              cluster_rows(second, partner_u), old_turns, old_term_weight(change.previous_R), new_turns,
                              new_term_weight(change.R));
            continue;
        }
        terms.add_one(false, cluster_rows(first, old), cluster_rows(first, u), old_turns,
                      old_term_weight(change.previous_R), new_turns, new_term_weight(change.R));
        terms.add_one(true, cluster_rows(second, partner_old), cluster_rows(second, partner_u),
                      member_turns(partner.previous_R), old_term_weight(partner.previous_R), member_turns(partner.R),
                      new_term_weight(partner.R));
    }
    terms.flush();
}

void finish_state_update(Pathfinder& finder, int state, std::span<const Vec3> displacements, double expansion_accuracy,
                         SumsScratch& scratch, const TouchedMembers& touched) {
    if (expansion_accuracy > 0) {
        for (const std::int32_t p : touched.paths) {
            Path& path = finder.paths[at(p)];
            scratch.member_R.resize(path.members.size());
            for (std::size_t m = 0; m < path.members.size(); ++m)
                scratch.member_R[m] = member_chain_R(finder, path, m, displacements);
            series_sums_for_path(path, path.sums[at(state)], scratch.member_R, expansion_accuracy, finder.first_point,
                                 finder.end_point);
        }
    }
    record_sums_displacements(finder, state, displacements);
}

void update_state_sums(Pathfinder& finder, int state, std::span<const Vec3> displacements, double expansion_accuracy,
                       SumsScratch& scratch, UpdateMarks& marks, SumsUndo& undo) {
    TouchedMembers& touched = scratch.touched;
    if (!begin_state_update(finder, state, displacements, expansion_accuracy, scratch, marks, undo, touched)) return;
    for (const std::int32_t p : touched.paths) {
        update_path_sums(finder, p, state, touched.of_path[at(p)], displacements, expansion_accuracy, scratch, &undo);
    }
    finish_state_update(finder, state, displacements, expansion_accuracy, scratch, touched);
}

void undo_state_sums(Pathfinder& finder, int state, const SumsUndo& undo) {
    if (!undo.recorded) return;
    const int first = first_point(finder);
    const int width = point_count(finder);
    for (const SumsUndo::ClusterEntry& entry : undo.clusters) {
        Path& path = finder.paths[at(entry.path)];
        PathSums& sums = path.sums[at(state)];
        sums.counts[at(entry.cluster)] = entry.count;
        const std::size_t coordinates = descriptor_width(path);
        std::copy_n(undo.descriptor_values.begin() + static_cast<std::ptrdiff_t>(entry.descriptor_values), coordinates,
                    sums.descriptor_sums.begin() + static_cast<std::ptrdiff_t>(at(entry.cluster) * coordinates));
        if (path.complex_mode) {
            const std::size_t offset = at(entry.cluster) * path_chi_points + at(first);
            const auto from = undo.values.begin() + static_cast<std::ptrdiff_t>(entry.values);
            std::copy_n(from, width, sums.sine.begin() + static_cast<std::ptrdiff_t>(offset));
            std::copy_n(from + width, width, sums.cosine.begin() + static_cast<std::ptrdiff_t>(offset));
        }
    }
    // Members go back in reverse order, so that a member recorded twice ends with its first record.
    for (auto entry = undo.members.rbegin(); entry != undo.members.rend(); ++entry) {
        PathSums& sums = finder.paths[at(entry->path)].sums[at(state)];
        sums.member_cluster[at(entry->member)] = entry->cluster;
        sums.member_distance[at(entry->member)] = entry->distance;
        // The statistics are those of the undone geometry; they are made again from the distances.
        sums.statistics_current = false;
    }
    for (const SumsUndo::PathEntry& entry : undo.generations) {
        PathSums& sums = finder.paths[at(entry.path)].sums[at(state)];
        sums.generation = entry.generation;
        sums.centroids = entry.centroids;
        sums.statistics_current = false;
    }
    if (finder.state_tables.size() > at(state)) {
        StateTables& tables = finder.state_tables[at(state)];
        tables.displacements = undo.displacements;
        tables.whole_grid = undo.whole_grid;
        // Tables that held nothing before the update hold nothing usable after it is undone.
        if (!undo.tables_were_made) tables.displacements.clear();
    }
}

namespace {

// Whether the tables (the record and each path's sums, by `sums_of(path)`) hold some displacements of
// `atoms` atoms at the paths' cluster sets, on every point the finder keeps up to date.
template <class SumsOf>
bool tables_usable(const Pathfinder& finder, const StateTables& tables, const SumsOf& sums_of, std::size_t atoms) {
    if (tables.displacements.empty() || tables.displacements.size() != atoms) return false;
    if (sums_on_whole_grid(finder) && !tables.whole_grid) return false;
    for (std::size_t p = 0; p < finder.paths.size(); ++p) {
        const Path& path = finder.paths[p];
        if (!takes_part(path)) continue;
        const PathSums* sums = sums_of(p);
        if (sums == nullptr || sums->generation != path.cluster_generation) return false;
    }
    return true;
}

// The number of atoms whose displacements differ, counted up to `limit` + 1.
std::size_t differing_atoms(std::span<const Vec3> made, std::span<const Vec3> displacements, std::size_t limit) {
    std::size_t count = 0;
    for (std::size_t a = 0; a < displacements.size() && count <= limit; ++a) {
        const Vec3& d = displacements[a];
        const Vec3& before = made[a];
        if (!same_displacement(d, before)) ++count;
    }
    return count;
}

template <class SumsOf>
bool tables_hold(const Pathfinder& finder, const StateTables& tables, const SumsOf& sums_of,
                 std::span<const Vec3> displacements) {
    return tables_usable(finder, tables, sums_of, displacements.size()) &&
           differing_atoms(tables.displacements, displacements, 0) == 0;
}

}  // namespace

void set_aside_state_tables(Pathfinder& finder, int state) {
    if (at(state) >= finder.state_tables.size() || finder.state_tables[at(state)].displacements.empty()) return;
    SetAsideTables aside;
    aside.tables = finder.state_tables[at(state)];
    aside.sums.reserve(finder.paths.size());
    for (const Path& path : finder.paths) aside.sums.push_back(at(state) < path.sums.size() ? path.sums[at(state)] : PathSums{});
    finder.set_aside.push_back(std::move(aside));
}

void adopt_matching_tables(Pathfinder& finder, int state_count,
                           const std::function<std::span<const Vec3>(int state)>& displacements) {
    const auto in_slot = [&finder](int state) {
        return [&finder, state](std::size_t p) -> const PathSums* {
            const Path& path = finder.paths[p];
            return at(state) < path.sums.size() ? &path.sums[at(state)] : nullptr;
        };
    };
    // Every copy is taken before any slot changes: a slot may be the source of another. The sources are
    // chosen first, then the copies made on the threads.
    struct Copy {
        int state = 0;
        int slot = -1;   // the source: a slot (-1 once copied in place), or
        int aside = -1;  // tables set aside
        SetAsideTables tables;
    };
    // Each state's search only reads the tables: the states are searched on the threads.
    const int searched = std::max(0, std::min(state_count, static_cast<int>(finder.state_tables.size())));
    struct Choice {
        int slot = -1;
        int aside = -1;
    };
    std::vector<Choice> chosen(at(searched));
    share_out(std::max(1, finder.worker_count), 0, searched, [&](std::int32_t s, std::int32_t) {
        const std::span<const Vec3> wanted = displacements(s);
        const std::size_t limit = incremental_atom_limit(wanted.size());
        // The tables nearest to the state: equal ones, else those an update brings to it most cheaply.
        std::size_t fewest = limit + 1;
        int best_slot = -1;
        int best_aside = -1;
        for (int t = s, n = 0; n < state_count && fewest > 0; t = (t + 1) % state_count, ++n) {
            if (at(t) >= finder.state_tables.size()) continue;
            const StateTables& tables = finder.state_tables[at(t)];
            if (!tables_usable(finder, tables, in_slot(t), wanted.size())) continue;
            const std::size_t differing = differing_atoms(tables.displacements, wanted, std::min(limit, fewest));
            if (differing < fewest) {
                fewest = differing;
                best_slot = t;
            }
        }
        for (std::size_t a = 0; a < finder.set_aside.size() && fewest > 0; ++a) {
            const SetAsideTables& aside = finder.set_aside[a];
            const auto sums_of = [&aside](std::size_t p) { return p < aside.sums.size() ? &aside.sums[p] : nullptr; };
            if (!tables_usable(finder, aside.tables, sums_of, wanted.size())) continue;
            const std::size_t differing = differing_atoms(aside.tables.displacements, wanted, std::min(limit, fewest));
            if (differing < fewest) {
                fewest = differing;
                best_aside = static_cast<int>(a);
            }
        }
        if (best_aside >= 0) {
            chosen[at(s)].aside = best_aside;
        } else if (best_slot >= 0 && best_slot != s) {
            chosen[at(s)].slot = best_slot;
        }
    });
    std::vector<Copy> copies;
    for (int s = 0; s < searched; ++s) {
        if (chosen[at(s)].slot >= 0 || chosen[at(s)].aside >= 0)
            copies.push_back({s, chosen[at(s)].slot, chosen[at(s)].aside, {}});
    }
    // Tables that only one copy takes, from a slot that is given other tables itself or set aside (all
    // of which go below), are moved rather than copied: nothing else reads them before they go.
    std::vector<int> takers(finder.state_tables.size(), 0);
    std::vector<int> aside_takers(finder.set_aside.size(), 0);
    std::vector<char> given(finder.state_tables.size(), 0);
    for (const Copy& copy : copies) {
        if (copy.aside >= 0) {
            ++aside_takers[at(copy.aside)];
        } else {
            ++takers[at(copy.slot)];
        }
        given[at(copy.state)] = 1;
    }
    const int threads = std::max(1, std::min(finder.worker_count, static_cast<int>(copies.size())));
    // Moves cost nothing and copies a table's size each: the copies go to whichever thread is free.
    share_out(threads, 0, static_cast<std::int32_t>(copies.size()), [&](std::int32_t c, std::int32_t) {
        Copy& copy = copies[at(c)];
        if (copy.aside >= 0) {
            SetAsideTables& aside = finder.set_aside[at(copy.aside)];
            if (aside_takers[at(copy.aside)] == 1) {
                copy.tables = std::move(aside);
            } else {
                copy.tables = aside;
            }
            return;
        }
        const std::size_t slot = at(copy.slot);
        if (takers[slot] == 1 && given[slot]) {
            copy.tables.tables = std::move(finder.state_tables[slot]);
            for (Path& path : finder.paths) copy.tables.sums.push_back(std::move(path.sums[slot]));
            return;
        }
        const std::size_t state = at(copy.state);
        if (takers[state] == 0) {
            // Nothing reads the state's own tables: they are copied over where they are, into memory the
            // process has already, not into new pages.
            finder.state_tables[state] = finder.state_tables[slot];
            for (Path& path : finder.paths) path.sums[state] = path.sums[slot];
            copy.slot = -1;
            return;
        }
        copy.tables.tables = finder.state_tables[slot];
        for (const Path& path : finder.paths) copy.tables.sums.push_back(path.sums[slot]);
    });
    // Every copy goes to a state of its own; the tables they replace are freed on the threads too.
    fork_join(threads, [&](std::int32_t k) {
        for (std::size_t c = at(k); c < copies.size(); c += at(threads)) {
            Copy& copy = copies[c];
            if (copy.aside < 0 && copy.slot < 0) continue;  // copied in place
            finder.state_tables[at(copy.state)] = std::move(copy.tables.tables);
            for (std::size_t p = 0; p < finder.paths.size(); ++p)
                finder.paths[p].sums[at(copy.state)] = std::move(copy.tables.sums[p]);
        }
    });
    finder.set_aside.clear();
}

bool state_tables_hold(const Pathfinder& finder, int state, std::span<const Vec3> displacements) {
    if (at(state) >= finder.state_tables.size()) return false;
    return tables_hold(finder, finder.state_tables[at(state)],
                       [&finder, state](std::size_t p) -> const PathSums* {
                           const Path& path = finder.paths[p];
                           return at(state) < path.sums.size() ? &path.sums[at(state)] : nullptr;
                       },
                       displacements);
}

bool state_tables_near(const Pathfinder& finder, int state, std::span<const Vec3> displacements) {
    if (at(state) >= finder.state_tables.size() || !state_sums_current(finder, state)) return false;
    const StateTables& tables = finder.state_tables[at(state)];
    const auto sums_of = [&finder, state](std::size_t p) -> const PathSums* {
        const Path& path = finder.paths[p];
        return at(state) < path.sums.size() ? &path.sums[at(state)] : nullptr;
    };
    const std::size_t limit = incremental_atom_limit(displacements.size());
    return tables_usable(finder, tables, sums_of, displacements.size()) &&
           differing_atoms(tables.displacements, displacements, limit) <= limit;
}
