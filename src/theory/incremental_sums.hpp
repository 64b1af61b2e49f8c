#pragma once

#include "structure/atom.hpp"
#include "theory/cluster.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

struct Pathfinder;
struct SumsScratch;

// What an update of one state's sums tables changed on one edge, so that a rejected move can be undone
// exactly: the members' old clusters, the old counts and sums (on the blocks in use) of the clusters
// touched, and what the tables were made for.
struct SumsUndo {
    struct MemberEntry {
        std::int32_t path = 0;
        std::int32_t member = 0;
        std::int32_t cluster = 0;
        double distance = 0.0;
    };
    struct ClusterEntry {
        std::int32_t path = 0;
        std::int32_t cluster = 0;
        std::int32_t count = 0;
        std::size_t values = 0;  // offset of its sine then cosine sums in `values`
        std::size_t descriptor_values = 0;  // offset of its descriptor sums in `descriptor_values`
    };
    std::vector<MemberEntry> members;
    std::vector<ClusterEntry> clusters;
    std::vector<double> values;
    std::vector<DescriptorSum> descriptor_values;
    struct PathEntry {
        std::int32_t path = 0;
        std::uint32_t generation = 0;
        std::uint32_t centroids = 0;
    };
    std::vector<PathEntry> generations;  // per path, of a rebuilt state
    std::vector<Vec3> displacements;  // the whole record before the update
    bool whole_grid = false;
    bool whole_state = false;       // the update rebuilt every table of the state
    bool tables_were_made = false;  // the tables held a state before the update
    bool recorded = false;
    void clear() {
        members.clear();
        clusters.clear();
        values.clear();
        descriptor_values.clear();
        generations.clear();
        displacements.clear();
        whole_grid = false;
        whole_state = false;
        tables_were_made = false;
        recorded = false;
    }
};

// Per thread: which members and paths an update has listed.
struct UpdateMarks {
    std::vector<std::uint32_t> member_mark;   // per member of every path, at its place in member_offset
    std::vector<std::size_t> member_offset;
    std::vector<std::uint32_t> path_mark;     // per path: some member of it changed
    std::uint32_t stamp = 0;
};

// Whether an atom's displacement is the one the tables were made for: an update recomputes the chains of
// the atoms where it is not.
inline bool same_displacement(const Vec3& a, const Vec3& b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

// Lists for every supercell atom the member chains that hold it (or an image of it).
void prepare_atom_members(Pathfinder& finder);

// Brings state `state`'s sums tables on this edge (member clusters and counts, and the direct or series
// sums of the marked paths on the blocks in use) to the given displacements of the edge's structure.
// Only the chains that hold an atom whose displacement differs from the one the tables were made for
// are recomputed, their old terms taken out of their old clusters' sums and the new ones added; when the
// tables are of no use (never made, or made at another cluster generation) or a large share of the
// atoms moved, the state's tables are rebuilt. The cluster statistics are not touched. Everything it
// changes is recorded in `undo`. Runs on the calling thread; different states may run at once.
void update_state_sums(Pathfinder& finder, int state, std::span<const Vec3> displacements, double expansion_accuracy,
                       SumsScratch& scratch, UpdateMarks& marks, SumsUndo& undo);
// The same in three steps, so that the paths of several states' updates can be shared out between
// threads (each path's members go through in the same order, so the numbers are the same):
// begin_state_update does what needs no path (a rebuild where the tables are of no use, the list of the
// members to update) and says whether there is anything left to do; update_path_sums updates one path's
// listed members, recording in `undo` unless it is null; finish_state_update ends the update.
struct TouchedMembers;
bool begin_state_update(Pathfinder& finder, int state, std::span<const Vec3> displacements, double expansion_accuracy,
                        SumsScratch& scratch, UpdateMarks& marks, SumsUndo& undo, TouchedMembers& touched);
void update_path_sums(Pathfinder& finder, int p, int state, std::span<const std::int32_t> members,
                      std::span<const Vec3> displacements, double expansion_accuracy, SumsScratch& scratch,
                      SumsUndo* undo);
// update_path_sums for two states at once whose updates list the same members, where the first state's
// tables and new displacements are the second's new displacements and tables on the atoms marked in
// `swapped_atoms` (the children of a crossed pair, each updated from its parent's tables): a member whose
// atoms are all marked is walked and its terms made once for both. Every number is the one two separate
// updates give.
void update_paired_path_sums(Pathfinder& finder, int p, int first_state, int second_state,
                             std::span<const std::int32_t> members, std::span<const Vec3> first_displacements,
                             std::span<const Vec3> second_displacements, std::span<const char> swapped_atoms,
                             double expansion_accuracy, SumsScratch& scratch);
void finish_state_update(Pathfinder& finder, int state, std::span<const Vec3> displacements, double expansion_accuracy,
                         SumsScratch& scratch, const TouchedMembers& touched);
// Puts back what the update recorded in `undo` changed.
void undo_state_sums(Pathfinder& finder, int state, const SumsUndo& undo);
// Records that a sums pass has just made state `state`'s tables at the given displacements.
void record_sums_displacements(Pathfinder& finder, int state, std::span<const Vec3> displacements);
// Moves the state's tables aside (its slot keeps a copy, to be used for the state that takes the slot).
void set_aside_state_tables(Pathfinder& finder, int state);
// Gives every state whose tables do not hold its displacements (`displacements(state)`) a copy of the
// tables, of another state or set aside, that hold them or else differ from them in the fewest atoms, when
// an update from those is cheaper than a rebuild; then forgets the tables set aside. `displacements` is
// called from the edge's threads.
void adopt_matching_tables(Pathfinder& finder, int state_count,
                           const std::function<std::span<const Vec3>(int state)>& displacements);
// The state's tables hold no state any more (they are to be made from scratch).
void forget_state_tables(Pathfinder& finder, int state);
// The state's tables hold these displacements, at the paths' cluster sets, on every point in use.
bool state_tables_hold(const Pathfinder& finder, int state, std::span<const Vec3> displacements);
// The state's tables hold displacements from which an update to these is cheaper than a rebuild.
bool state_tables_near(const Pathfinder& finder, int state, std::span<const Vec3> displacements);
// The state's tables were made at some displacements and belong to the paths' cluster sets.
bool state_tables_made(const Pathfinder& finder, int state);
// Bytes one state holds for its sums of the edge besides the path tables: its displacement record and
// the undo record of a move that rebuilds the whole state.
std::size_t state_sums_bytes(const Pathfinder& finder, bool complex_mode);
