#pragma once

#include "theory/feff_outputs.hpp"
#include "theory/pathfinder.hpp"

#include <functional>
#include <iosfwd>
#include <span>
#include <string>
#include <vector>

struct AbsorberEdge;
struct PathGeometry;

// FEFF names the file of a listed path after its index in four digits (above 9999 every name is
// "chip****.dat"), and the stored head takes index 1: one path list holds at most this many paths more.
constexpr int max_blocks_per_path_list = 9998;
// Starting FEFF costs about as much as computing 60 path blocks, so a worker folder gets a run of its
// own only for at least this many blocks: start-ups then take at most about a third of FEFF's time,
// while large lists still spread over every folder.
constexpr int blocks_per_started_run = 128;
// The final path list holds at most this many paths.
constexpr int max_listed_paths = 1200;

// Stage 6, FEFF side: fills every worker folder "feff_N_M" from the edge folder and rewrites its
// feff.inp for path runs (potentials and path search off; genfmt and ff2chi on).
void write_worker_feff_inputs(AbsorberEdge& edge);

// The stored head of FEFF's own path list: its two title lines and the leading path's block.
void write_paths_header_lines(const AbsorberEdge& edge, std::ostream& out);

// One block of FEFF's path-list layout for the first nleg atoms of the geometry, written from the last
// scatterer back to the absorber.
void write_path_block(std::ostream& out, const PathGeometry& geometry, int index, double degeneracy, int nleg);

// Stage 7: reads the leading path from FEFF's stage-5 list, keeps it as the head of every later list and
// its signal as the edge's reference_chi.
void run_leading_path_feff(AbsorberEdge& edge);

// Stage 8: every path's share, in percent, of the k-weighted norm of the signal of all paths.
void compute_path_importance(AbsorberEdge& edge);

// Sum over i of (0.05 i)^(2 k_power) chi[i]^2.
double k_weighted_square_sum(std::span<const double> chi, double k_power);

// Batched FEFF path runs. The items of a flat list are dealt out in turn to the worker folders in use
// (item j to folder j mod F); each folder lists its items in as few path lists as the list size allows,
// one FEFF run per list.
struct FeffBatchLayout {
    int folders = 1;                                 // F: "feff_N_0" .. "feff_N_(F-1)"
    int blocks_per_list = max_blocks_per_path_list;  // items in one path list besides the stored head
};

// As many folders as the edge has, but no more than give each one blocks_per_started_run items; each
// folder's items in as few lists of at most blocks_per_list (and max_blocks_per_path_list) as hold them,
// of even size.
FeffBatchLayout feff_batch_layout(int item_count, int worker_count, int blocks_per_list);

struct BatchSlot {
    int worker = 0;  // folder "feff_N_worker"
    int list = 0;    // which of that folder's path lists (and runs)
    int index = 2;   // block index in that list, 2 .. blocks_per_list + 1
};

BatchSlot batch_slot(int item, const FeffBatchLayout& layout);

// The edge's worker folder count as the path runs use it (at least one folder).
int feff_worker_folder_count(const AbsorberEdge& edge);

// Path of the chip file that FEFF writes for the item in the given slot.
std::string batch_chip_path(const AbsorberEdge& edge, const BatchSlot& slot);

// Column 1 (chi) of a FEFF table of `fields` columns, placed on the grid k = 0.05 i.
void read_feff_chi(const std::string& path, int fields, double* target, int size);

// Sends items 0 .. item_count-1 through FEFF in the worker folders of the layout, each folder on a
// thread of its own, its lists one after the other: the list gets the stored head and the blocks that
// write_item writes for its items, FEFF runs, and then each item's chip file is read (onto the grid
// k = 0.05 i), handed to use_chip and removed. write_item and use_chip run on the folder's thread and
// must touch only their item's own records. A FEFF output that cannot be used ends the run with the
// report of the lowest item it concerns, once every folder has stopped.
void run_feff_batches(AbsorberEdge& edge, int item_count, const FeffBatchLayout& layout,
                      const std::function<void(int item, const BatchSlot& slot, std::ostream& out)>& write_item,
                      const std::function<void(int item, const std::vector<FeffRow>& rows)>& use_chip);
