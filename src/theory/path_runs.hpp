#pragma once

#include "theory/pathfinder.hpp"

#include <functional>
#include <iosfwd>
#include <span>
#include <string>
#include <vector>

struct AbsorberEdge;
struct PathGeometry;

// A path list handed to FEFF holds the leading path (index 1) and at most this many more, so that no
// chip file index exceeds 1200.
constexpr int paths_per_worker_file = 1199;
constexpr int max_listed_paths = paths_per_worker_file + 1;

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

// Batched FEFF path runs. Items of a flat list are dealt out to the worker folders in turn; a batch
// holds at most paths_per_worker_file items per worker.
struct BatchSlot {
    int worker = 0;  // folder "feff_N_worker"
    int index = 2;   // block index in that folder's paths.dat, 2 .. 1200
};

// Slot of item j: worker j mod T, index (j div T) - 1199 b + 2 for the item's batch b.
BatchSlot batch_slot(int item, int worker_count);

struct FeffBatch {
    int first = 0;  // first item of the batch
    int end = 0;    // one past its last item
    std::vector<int> items_per_worker;
};

// The edge's worker folder count as the path runs use it (at least one folder).
int feff_worker_folder_count(const AbsorberEdge& edge);

// Runs FEFF in all worker folders of the edge at once and returns when every run has ended.
void run_feff_in_worker_folders(const AbsorberEdge& edge);

// Path of the chip file that FEFF writes for the item in the given slot.
std::string batch_chip_path(const AbsorberEdge& edge, const BatchSlot& slot);

// Column 1 (chi) of a FEFF table of `fields` columns, placed on the grid k = 0.05 i.
void read_feff_chi(const std::string& path, int fields, double* target, int size);

// Sends items 0 .. item_count-1 through FEFF batch by batch. For each batch: every worker's paths.dat
// gets the stored head and the blocks that write_item writes for its items, the outputs that will be
// read back (chi.dat and the batch's chip files) are removed, FEFF runs in all worker folders, and
// then read_batch reads them. Files are only touched on the calling thread.
void run_feff_batches(AbsorberEdge& edge, int item_count,
                      const std::function<void(int item, const BatchSlot& slot, std::ostream& out)>& write_item,
                      const std::function<void(const FeffBatch& batch)>& read_batch);
