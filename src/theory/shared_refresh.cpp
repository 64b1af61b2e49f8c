#include "theory/shared_refresh.hpp"

#include "theory/cluster_sums.hpp"
#include "theory/clustering.hpp"
#include "theory/member_terms.hpp"
#include "theory/path_update.hpp"

#include <algorithm>
#include <array>
#include <bit>

namespace {

std::size_t at(std::int64_t i) { return static_cast<std::size_t>(i); }

// Members per chunk of the shared step: enough to keep a thread busy for a while, few enough that the
// largest path is shared out.
constexpr std::int32_t chunk_members = 256;

// The same displacement bit for bit: then every number made from it is the same too.
bool identical_displacement(const Vec3& a, const Vec3& b) {
    return std::bit_cast<std::uint64_t>(a.x) == std::bit_cast<std::uint64_t>(b.x) &&
           std::bit_cast<std::uint64_t>(a.y) == std::bit_cast<std::uint64_t>(b.y) &&
           std::bit_cast<std::uint64_t>(a.z) == std::bit_cast<std::uint64_t>(b.z);
}

// Whether the refresh of this state's path is the shared step's: what path_sums_pass would do with kept
// terms and kept descriptor sums, with the direct sums or none.
bool placed_in_shared_step(const Path& path, const PathSums& sums, double expansion_accuracy) {
    const std::size_t members = path.members.size();
    const std::size_t width = at(std::max(path.descriptor_length, 0));
    return expansion_accuracy <= 0 && sums.centroids != path.centroids && sums.member_cluster.size() == members &&
           sums.member_distance.size() == members && sums.descriptor_sums.size() == at(path.cluster_count) * width;
}

}  // namespace

void plan_shared_refresh(Pathfinder& finder, std::vector<int> states, double expansion_accuracy,
                         SharedRefresh& plan) {
    prepare_member_chains(finder);
    plan.states = std::move(states);
    const std::size_t slots = plan.states.size();
    plan.sources.clear();
    plan.displacement_class.resize(slots);
    std::vector<const std::vector<Vec3>*> displacements(slots);
    for (std::size_t i = 0; i < slots; ++i) {
        displacements[i] = &finder.state_tables[at(plan.states[i])].displacements;
        plan.sources.push_back(walked_chain_source(finder, *displacements[i]));
        plan.displacement_class[i].resize(displacements[i]->size());
    }
    const std::size_t atoms = slots > 0 ? displacements[0]->size() : 0;
    std::vector<std::int32_t> firsts;  // the slots that have an atom's distinct displacements first
    for (std::size_t a = 0; a < atoms; ++a) {
        firsts.clear();
        for (std::size_t i = 0; i < slots; ++i) {
            std::int32_t first = static_cast<std::int32_t>(i);
            for (const std::int32_t j : firsts) {
                if (identical_displacement((*displacements[at(j)])[a], (*displacements[i])[a])) {
                    first = j;
                    break;
                }
            }
            if (first == static_cast<std::int32_t>(i)) firsts.push_back(first);
            plan.displacement_class[i][a] = first;
        }
    }
    const std::size_t paths = finder.paths.size();
    plan.placed_slots.assign(paths, {});
    plan.chunks_of_path.assign(paths, {});
    plan.chunks.clear();
    std::vector<char> moves_terms(slots, 0);
    for (std::size_t p = 0; p < paths; ++p) {
        const Path& path = finder.paths[p];
        if (!path.check || path.clusters.empty()) continue;
        for (std::size_t i = 0; i < slots; ++i) {
            const PathSums& sums = path.sums[at(plan.states[i])];
            if (sums.centroids != path.centroids) moves_terms[i] = 1;
            if (placed_in_shared_step(path, sums, expansion_accuracy))
                plan.placed_slots[p].push_back(static_cast<std::int32_t>(i));
        }
        if (plan.placed_slots[p].empty()) continue;
        const auto members = static_cast<std::int32_t>(path.members.size());
        for (std::int32_t first = 0; first < members; first += chunk_members) {
            plan.chunks_of_path[p].push_back(static_cast<std::int32_t>(plan.chunks.size()));
            plan.chunks.push_back({static_cast<std::int32_t>(p), first, std::min(members, first + chunk_members)});
        }
    }
    plan.moves.resize(plan.chunks.size() * slots);
    for (std::vector<MemberMove>& moves : plan.moves) moves.clear();
    // Terms moved on the points in use only leave the rest of the grid behind.
    if (sums_on_whole_grid(finder)) return;
    for (std::size_t i = 0; i < slots; ++i) {
        if (moves_terms[i] != 0) finder.state_tables[at(plan.states[i])].whole_grid = false;
    }
}

std::size_t placing_scratch_bytes(std::size_t states) {
    // Per state: a walk, the chunk's clusters and distances, a distinct key's cluster and distance and two
    // entries of the key table.
    return states * (sizeof(ChainWalk) + at(chunk_members) * (sizeof(std::int32_t) + sizeof(double)) +
                     sizeof(std::int32_t) + sizeof(double) +
                     2 * (sizeof(std::uint64_t) + sizeof(std::int32_t) + sizeof(std::uint32_t)));
}

void place_members_of_chunk(Pathfinder& finder, SharedRefresh& plan, std::size_t chunk, PlacingScratch& scratch) {
    const SharedRefresh::Chunk part = plan.chunks[chunk];
    Path& path = finder.paths[at(part.path)];
    const std::vector<std::int32_t>& placed_slots = plan.placed_slots[at(part.path)];
    const std::size_t slots = plan.states.size();
    const std::size_t members = at(part.end - part.first);
    if (scratch.walks.size() < slots) scratch.walks.resize(slots);
    for (const std::int32_t i : placed_slots) scratch.walks[at(i)].count = 0;
    // The chunk's clusters and distances per slot first, then into each state's tables in one run: the
    // tables of all the states at once would be too many streams to read ahead.
    scratch.clusters.resize(slots * members);
    scratch.distances.resize(slots * members);
    const int nleg = path.nleg;
    // A member's key in a state: the classes of its chain's atoms' displacements side by side. Where they
    // do not fit in one word every state places its members itself.
    const int bits = std::max(1, static_cast<int>(std::bit_width(slots - 1)));
    const bool keyed = nleg * bits <= 64;
    // The member placed for each distinct key so far, found through a small open-addressed table whose
    // entries hold only under the member's stamp.
    const int table_bits = static_cast<int>(std::bit_width(2 * slots - 1));
    const std::size_t table_mask = (std::size_t{1} << table_bits) - 1;
    if (scratch.table_keys.size() != table_mask + 1) {
        scratch.table_keys.assign(table_mask + 1, 0);
        scratch.table_entries.assign(table_mask + 1, 0);
        scratch.table_stamps.assign(table_mask + 1, 0);
        scratch.stamp = 0;
    }
    scratch.key_clusters.resize(slots);
    scratch.key_distances.resize(slots);
    std::array<std::int32_t, max_path_legs> atoms{};
    Descriptor descriptor;
    for (std::size_t k = 0; k < members; ++k) {
        const std::size_t m = at(part.first) + k;
        prefetch_member_chain(finder, path, m + member_prefetch_distance);
        const std::int32_t* chain = &path.chains[m * at(nleg)];
        for (int c = 0; c < nleg; ++c) atoms[at(c)] = finder.chain_nodes[at(chain[c])].source;
        if (++scratch.stamp == 0) {
            std::fill(scratch.table_stamps.begin(), scratch.table_stamps.end(), 0);
            scratch.stamp = 1;
        }
        std::int32_t distinct = 0;
        for (const std::int32_t i : placed_slots) {
            std::int32_t d = distinct;
            if (keyed) {
                const std::int32_t* classes = plan.displacement_class[at(i)].data();
                std::uint64_t key = 0;
                for (int c = 0; c < nleg; ++c) key = (key << bits) | static_cast<std::uint64_t>(classes[atoms[at(c)]]);
                std::size_t h = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> (64 - table_bits));
                while (scratch.table_stamps[h] == scratch.stamp && scratch.table_keys[h] != key) h = (h + 1) & table_mask;
                if (scratch.table_stamps[h] == scratch.stamp) {
                    d = scratch.table_entries[h];
                } else {
                    scratch.table_stamps[h] = scratch.stamp;
                    scratch.table_keys[h] = key;
                    scratch.table_entries[h] = distinct;
                }
            }
            if (d == distinct) {
                double R = 0.0;
                const int length = member_descriptor(finder, path, m, plan.sources[at(i)], scratch.walks[at(i)], descriptor, R);
                scratch.key_clusters[at(d)] = nearest_cluster(path.clusters, descriptor, length, scratch.key_distances[at(d)]);
                ++distinct;
            }
            scratch.clusters[at(i) * members + k] = scratch.key_clusters[at(d)];
            scratch.distances[at(i) * members + k] = scratch.key_distances[at(d)];
        }
    }
    for (const std::int32_t i : placed_slots) {
        PathSums& sums = path.sums[at(plan.states[at(i)])];
        const std::int32_t* clusters = &scratch.clusters[at(i) * members];
        std::copy_n(&scratch.distances[at(i) * members], members, &sums.member_distance[at(part.first)]);
        std::int32_t* member_cluster = &sums.member_cluster[at(part.first)];
        std::vector<MemberMove>& moves = plan.moves[chunk * slots + at(i)];
        for (std::size_t k = 0; k < members; ++k) {
            if (member_cluster[k] == clusters[k]) continue;
            moves.push_back({part.first + static_cast<std::int32_t>(k), member_cluster[k]});
            member_cluster[k] = clusters[k];
        }
    }
}

void finish_path_refresh(Pathfinder& finder, const SharedRefresh& plan, std::size_t first_slot, std::size_t end_slot,
                         std::int32_t p, double expansion_accuracy, SumsScratch& scratch) {
    Path& path = finder.paths[at(p)];
    if (!takes_part(path)) return;  // the tables keep nothing of it
    const std::vector<std::int32_t>& placed_slots = plan.placed_slots[at(p)];
    const std::size_t width = at(std::max(path.descriptor_length, 0));
    const std::size_t slots = plan.states.size();
    // The tables whose statistics are made at the end, side by side.
    std::array<PathSums*, max_states_of_statistics> counted{};
    std::array<const ChainSource*, max_states_of_statistics> sources{};
    std::size_t count = 0;
    const auto make_statistics = [&] {
        statistics_from_distances(finder, path, std::span<PathSums* const>(counted.data(), count),
                                  std::span<const ChainSource* const>(sources.data(), count), scratch.walk);
        count = 0;
    };
    for (std::size_t slot = first_slot; slot < end_slot; ++slot) {
        if (count == max_states_of_statistics) make_statistics();
        const int state = plan.states[slot];
        PathSums& sums = path.sums[at(state)];
        if (!std::binary_search(placed_slots.begin(), placed_slots.end(), static_cast<std::int32_t>(slot))) {
            // Refreshed alone; tables that lack only their statistics get them below.
            if (sums.centroids == path.centroids && !sums.statistics_current) {
                counted[count] = &sums;
                sources[count++] = &plan.sources[slot];
            } else {
                refresh_path_sums(finder, path, state, expansion_accuracy, scratch);
            }
            continue;
        }
        const ChainSource& source = plan.sources[slot];
        sums.generation = path.cluster_generation;
        sums.centroids = path.centroids;
        sums.counts.assign(at(path.cluster_count), 0);
        for (const std::int32_t u : sums.member_cluster) ++sums.counts[at(u)];
        // The members that changed cluster move their descriptors and terms, in member order.
        MemberTermsBatch terms{finder.first_point, finder.end_point};
        scratch.walk.count = 0;
        Descriptor descriptor;
        for (const std::int32_t chunk : plan.chunks_of_path[at(p)]) {
            for (const MemberMove& move : plan.moves[at(chunk) * slots + slot]) {
                double R = 0.0;
                member_descriptor(finder, path, at(move.member), source, scratch.walk, descriptor, R);
                const int u = sums.member_cluster[at(move.member)];
                add_descriptor(&sums.descriptor_sums[at(move.old_cluster) * width], descriptor, width, -1);
                add_descriptor(&sums.descriptor_sums[at(u) * width], descriptor, width, 1);
                if (path.complex_mode) add_member_to_cluster_rows(sums, terms, move.old_cluster, u, R);
            }
        }
        terms.flush();
        counted[count] = &sums;
        sources[count++] = &source;
    }
    make_statistics();
}
