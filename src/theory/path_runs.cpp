#include "theory/path_runs.hpp"

#include "control/console_log.hpp"
#include "control/process_end.hpp"
#include "control/record_parameters.hpp"
#include "control/threads.hpp"
#include "structure/atom.hpp"
#include "theory/absorber_edge.hpp"
#include "theory/feff_outputs.hpp"
#include "theory/feff_run.hpp"
#include "theory/pathfinder.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>

namespace {

// The line, or an empty one once the input is exhausted.
std::string next_line(std::istream& in) {
    std::string line;
    std::getline(in, line);
    return line;
}

// Half the closed length: the legs along the chain, then the one back to the absorber.
double half_closed_chain_length(const PathGeometry& geometry, int nleg) {
    const auto& atoms = geometry.atoms;
    double length = 0.0;
    for (std::size_t i = 0; i + 1 < static_cast<std::size_t>(nleg); ++i)
        length += atom_distance(atoms[i], atoms[i + 1]);
    return 0.5 * (length + atom_distance(atoms[static_cast<std::size_t>(nleg - 1)], atoms[0]));
}

}  // namespace

int feff_worker_folder_count(const AbsorberEdge& edge) { return std::max(1, static_cast<int>(edge.worker_count)); }

void write_worker_feff_inputs(AbsorberEdge& edge) {
    const double r_max = edge.spectrum->doubles[SpectrumDoubleKey::R_max_for_FEFF];
    const std::string source_path = feff_folder_file_path(edge.index, "feff.inp");
    for (int worker = 0; worker < feff_worker_folder_count(edge); ++worker) {
        prepare_feff_worker_folder(edge.index, worker);
        std::ifstream in(source_path);
        // Written afresh: a tail of the copied edge file left after the END card (a stray atom line, a
        // second END) is nothing FEFF should have to skip.
        std::ofstream out(feff_worker_file_path(edge.index, worker, "feff.inp"), std::ios::trunc);
        for (int line = 1; line <= 7; ++line) out << next_line(in) << '\n';
        next_line(in);
        out << " CONTROL   0      0     0     0     1      1" << '\n';
        next_line(in);
        out << " PRINT   1      0     0     0     0      2" << '\n';
        // The read that meets the end of the edge's file still writes its (empty) line, so the worker
        // file ends with an empty line after the END card.
        for (;;) {
            std::string line;
            const bool read = static_cast<bool>(std::getline(in, line));
            if (line.compare(0, 9, "CFAVERAGE") == 0) {
                out << "CFAVERAGE 1 1 " << r_max << '\n';
            } else {
                out << line << '\n';
            }
            if (!read || line == "END") break;
        }
    }
}

void write_paths_header_lines(const AbsorberEdge& edge, std::ostream& out) {
    const std::size_t count =
        std::min(edge.path_header_lines.size(), static_cast<std::size_t>(std::max(0, edge.leading_path_legs + 4)));
    for (std::size_t i = 0; i < count; ++i) out << edge.path_header_lines[i] << '\n';
}

void write_path_block(std::ostream& out, const PathGeometry& geometry, int index, double degeneracy, int nleg) {
    const auto& atoms = geometry.atoms;
    const auto at = [](int i) { return static_cast<std::size_t>(i); };
    const SavedNumberFormat format(out);
    out << std::fixed << std::setprecision(6);
    out << "     " << index << "    " << nleg << "   " << degeneracy << "  index, nleg, degeneracy, r=  "
        << half_closed_chain_length(geometry, nleg) << '\n';
    out << "x           y           z     ipot  label      rleg      beta        eta" << '\n';
    // Written in the order nleg-1, ..., 1, 0, so the line before atom i is atom i+1 (the absorber
    // before the first line) and the one after it atom i-1 (the last scatterer after the absorber).
    for (int i = nleg - 1; i >= 0; --i) {
        const Atom& atom = atoms[at(i)];
        const Atom& before = atoms[at((i + 1) % nleg)];
        const Atom& after = atoms[at((i + nleg - 1) % nleg)];
        const double beta = nleg < 3 ? 180.0 : angle_at_atom(before, atom, after);
        out << " " << atom.x << " " << atom.y << " " << atom.z << "  " << geometry.potential_indices[at(i)] << " '"
            << atom.label << "     '     " << atom_distance(atom, before) << "  " << beta << "    0.0000" << '\n';
    }
}

void read_feff_chi(const std::string& path, int fields, double* target, int size) {
    place_on_fixed_grid(read_feff_grid_table(path, fields, size), 1, target, size);
}

void run_leading_path_feff(AbsorberEdge& edge) {
    const std::string list_path = feff_folder_file_path(edge.index, "paths.dat");
    {
        std::ifstream in(list_path);
        if (!in) {
            const int error = errno;
            std::cout << "ERROR: FILE " << list_path << " CANNOT BE OPENED! (" << describe_missing_output(list_path, error) << ")"
                      << '\n';
            end_process(1);
        }
        next_line(in);
        next_line(in);
        int first_index = 0;
        int legs = 0;
        // The leg count says how many lines of the file are stored and repeated in every path list.
        if (!(in >> first_index >> legs) || legs < 2 || legs > max_path_legs) {
            std::cout << "ERROR: FEFF OUTPUT " << list_path << " HOLDS NO READABLE FIRST PATH!" << '\n';
            end_process(1);
        }
        edge.leading_path_legs = legs;
    }
    std::ifstream in(list_path);
    edge.path_header_lines.clear();
    for (int i = 0; i < edge.leading_path_legs + 4; ++i) edge.path_header_lines.push_back(next_line(in));

    {
        std::ofstream out(feff_worker_file_path(edge.index, 0, "paths.dat"), std::ios::trunc);
        write_paths_header_lines(edge, out);
    }
    const std::string chi_path = feff_worker_file_path(edge.index, 0, "chi.dat");
    remove_stale_feff_output(chi_path);
    require_normal_feff_end(run_feff(edge.index, 0), feff_worker_folder_name(edge.index, 0));
    edge.reference_chi.fill(0.0);
    // Only k up to 20 is FEFF's grid (" EXAFS 20.0"); later rows are dropped here as from every path's chi.
    read_feff_chi(chi_path, 4, edge.reference_chi.data(), path_chi_points);
}

FeffBatchLayout feff_batch_layout(int item_count, int worker_count, int blocks_per_list) {
    const auto ceiling = [](int a, int b) { return (a + b - 1) / b; };
    const int folders = std::clamp(ceiling(item_count, blocks_per_started_run), 1, std::max(1, worker_count));
    const int largest = std::clamp(blocks_per_list, 1, max_blocks_per_path_list);
    // A folder's items in lists of even size: as few lists as before, with fewer files waiting at once.
    const int per_folder = std::max(1, ceiling(item_count, folders));
    return {folders, ceiling(per_folder, ceiling(per_folder, largest))};
}

BatchSlot batch_slot(int item, const FeffBatchLayout& layout) {
    const int place = item / layout.folders;  // among the folder's own items
    return {item % layout.folders, place / layout.blocks_per_list, place % layout.blocks_per_list + 2};
}

std::string batch_chip_path(const AbsorberEdge& edge, const BatchSlot& slot) {
    return feff_worker_file_path(edge.index, slot.worker, chip_file_name(slot.index));
}

namespace {

struct FolderFailure {
    int item = -1;  // the item whose output could not be used; -1: none
    FeffOutputError error;
};

// The lists of one worker folder, one FEFF run each, on the folder's own thread.
void run_folder_lists(AbsorberEdge& edge, int item_count, const FeffBatchLayout& layout, int worker,
                      const std::function<void(int, const BatchSlot&, std::ostream&)>& write_item,
                      const std::function<void(int, const std::vector<FeffRow>&)>& use_chip, FolderFailure& failure) {
    const int stride = layout.folders * layout.blocks_per_list;  // items between two lists of the folder
    for (int first = worker; first < item_count; first += stride) {
        const int end = std::min(item_count, first + stride);
        {
            std::ofstream list(feff_worker_file_path(edge.index, worker, "paths.dat"), std::ios::trunc);
            write_paths_header_lines(edge, list);
            for (int item = first; item < end; item += layout.folders) write_item(item, batch_slot(item, layout), list);
        }
        // FEFF tells of a failure only by the outputs it does not write; none of an earlier run may pass
        // for them.
        const std::string folder = feff_worker_folder_name(edge.index, worker);
        for (int item = first; item < end; item += layout.folders) {
            const std::string problem = stale_feff_output_problem(batch_chip_path(edge, batch_slot(item, layout)));
            if (!problem.empty()) {
                failure = {first, {1, problem}};
                return;
            }
        }
        const std::string problem = abnormal_feff_end(run_feff(edge.index, worker), folder);
        if (!problem.empty()) {
            failure = {first, {1, problem}};
            return;
        }
        for (int item = first; item < end; item += layout.folders) {
            const std::string chip = batch_chip_path(edge, batch_slot(item, layout));
            try {
                use_chip(item, load_feff_grid_table(chip, 5, path_chi_points));
            } catch (const FeffOutputError& error) {
                failure = {item, error};
                return;
            }
            // Read once, a chip file is of no further use; thousands of them per check would fill the disk.
            // One that cannot be removed is reported before the folder's next run.
            std::error_code ignored;
            std::filesystem::remove(chip, ignored);
        }
    }
}

}  // namespace

void run_feff_batches(AbsorberEdge& edge, int item_count, const FeffBatchLayout& layout,
                      const std::function<void(int item, const BatchSlot& slot, std::ostream& out)>& write_item,
                      const std::function<void(int item, const std::vector<FeffRow>& rows)>& use_chip) {
    if (item_count <= 0) return;
    const int folders = std::min(layout.folders, item_count);
    std::vector<FolderFailure> failures(static_cast<std::size_t>(folders));
    fork_join(folders, [&](std::int32_t worker) {
        run_folder_lists(edge, item_count, layout, worker, write_item, use_chip, failures[static_cast<std::size_t>(worker)]);
    });
    const FolderFailure* first = nullptr;
    for (const FolderFailure& failure : failures) {
        if (failure.item >= 0 && (first == nullptr || failure.item < first->item)) first = &failure;
    }
    if (first != nullptr) {
        std::cout << first->error.message << '\n';
        end_process(first->error.code);
    }
}

double k_weighted_square_sum(std::span<const double> chi, double k_power) {
    double sum = 0.0;
    for (std::size_t i = 0; i < chi.size(); ++i)
        sum += std::pow(0.05 * static_cast<double>(i), 2.0 * k_power) * chi[i] * chi[i];
    return sum;
}

void compute_path_importance(AbsorberEdge& edge) {
    Pathfinder& finder = edge.pathfinder;
    std::vector<Path>& paths = finder.paths;
    for (Path& path : paths) path.chi.assign(path_chi_points, 0.0);
    std::array<double, path_chi_points> total{};
    const double absorbers = static_cast<double>(finder.absorber_count);
    const int count = static_cast<int>(paths.size());
    const FeffBatchLayout layout = feff_batch_layout(count, feff_worker_folder_count(edge), max_blocks_per_path_list);

    const auto write_item = [&](int item, const BatchSlot& slot, std::ostream& out) {
        const Path& path = paths[static_cast<std::size_t>(item)];
        PathGeometry geometry;
        path_geometry_of_path(finder, path, geometry);
        write_path_block(out, geometry, slot.index, path.degeneracy / absorbers, path.nleg);
    };
    const auto use_chip = [&](int item, const std::vector<FeffRow>& rows) {
        place_on_fixed_grid(rows, 1, paths[static_cast<std::size_t>(item)].chi.data(), path_chi_points);
    };
    run_feff_batches(edge, count, layout, write_item, use_chip);

    // The total is the sum of the paths' own signals in path order. Each worker's chi.dat holds the same
    // sum for its share of the paths, but rounded to FEFF's print precision per share, so adding those
    // would make the importances depend on how the paths were dealt out, that is, on the thread count.
    for (const Path& path : paths) {
        for (std::size_t i = 0; i < total.size(); ++i) total[i] += path.chi[i];
    }

    const double k_power = edge.spectrum->doubles[SpectrumDoubleKey::k_power];
    const double total_sum = k_weighted_square_sum(total, k_power);
    if (total_sum == 0.0)
        std::cout << "WARNING: the paths give no total signal; every path importance is set to 0." << '\n';
    for (Path& path : paths) {
        const double path_sum = k_weighted_square_sum(path.chi, k_power);
        path.importance = total_sum == 0.0 ? 0.0 : 100.0 * std::sqrt(path_sum / total_sum);
        std::vector<double>().swap(path.chi);
    }
}
