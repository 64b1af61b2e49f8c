#pragma once

#include "theory/clustering.hpp"
#include "theory/pathfinder.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

// Several states' tables brought to new centroids together. A member's descriptor, R, nearest cluster
// and distance depend only on the displacements of its chain's atoms, and the states of a population
// share most of them: each member is placed once per distinct set of its atoms' displacements and the
// result serves every state that has that set. The work comes in two steps: the members, in chunks of
// a path, are placed for every state (each chunk on any thread); then each state's path takes the new
// clusters into its counts, rows and statistics in member order (each on any thread). Every state gets
// the numbers refresh_path_sums gives each of its paths alone, bit for bit.

struct MemberMove {
    std::int32_t member = 0;
    std::int32_t old_cluster = 0;
};

struct SharedRefresh {
    struct Chunk {
        std::int32_t path = 0;
        std::int32_t first = 0;  // members [first, end)
        std::int32_t end = 0;
    };
    std::vector<int> states;  // refreshed, in order; a state's place here is its slot
    std::vector<ChainSource> sources;  // per slot: walks at the state's displacements
    // Per slot and supercell atom: the first slot whose displacement of the atom is the same, bit for bit.
    std::vector<std::vector<std::int32_t>> displacement_class;
    // Per path: the slots whose members are placed in the shared step.
    std::vector<std::vector<std::int32_t>> placed_slots;
    std::vector<Chunk> chunks;
    // Per chunk and slot (chunk * slots + slot): the members that changed cluster, in member order.
    std::vector<std::vector<MemberMove>> moves;
    // Per path: its chunks, in member order.
    std::vector<std::vector<std::int32_t>> chunks_of_path;
};

// Plans the refresh of the given states (whose tables hold them): which of their paths are placed in the
// shared step and in which chunks. A path needs the shared step where its centroids changed and the
// tables keep exact descriptor sums and no series; other paths are refreshed as refresh_path_sums does.
// Marks the tables of states whose terms will move on the points in use only.
void plan_shared_refresh(Pathfinder& finder, std::vector<int> states, double expansion_accuracy,
                         SharedRefresh& plan);
// One thread's working memory for the first step.
struct PlacingScratch {
    std::vector<ChainWalk> walks;           // per slot
    std::vector<std::int32_t> clusters;     // per slot and member of a chunk
    std::vector<double> distances;          // the same
    std::vector<std::int32_t> key_clusters;  // per distinct key of a member
    std::vector<double> key_distances;
    std::vector<std::uint64_t> table_keys;   // the keys' table
    std::vector<std::int32_t> table_entries;
    std::vector<std::uint32_t> table_stamps;
    std::uint32_t stamp = 0;
};
// Bytes of one thread's PlacingScratch for a refresh of the given number of states.
std::size_t placing_scratch_bytes(std::size_t states);
// The first step for one chunk: its members' clusters and distances in every planned state's tables, the
// members that changed cluster listed.
void place_members_of_chunk(Pathfinder& finder, SharedRefresh& plan, std::size_t chunk, PlacingScratch& scratch);
// The second step for one path of slots first_slot .. end_slot-1: counts, moved terms and descriptor
// sums, then the statistics, max_states_of_statistics of the slots side by side.
void finish_path_refresh(Pathfinder& finder, const SharedRefresh& plan, std::size_t first_slot, std::size_t end_slot,
                         std::int32_t path, double expansion_accuracy, SumsScratch& scratch);
