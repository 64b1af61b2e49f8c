#include "theory/final_paths.hpp"

#include "control/console_log.hpp"
#include "control/process_end.hpp"
#include "control/record_parameters.hpp"
#include "theory/absorber_edge.hpp"
#include "theory/feff_run.hpp"
#include "theory/path_runs.hpp"
#include "theory/pathfinder.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

double feff_criteria(const AbsorberEdge& edge) { return edge.spectrum->doubles[SpectrumDoubleKey::FEFF_criteria]; }

void skip_lines(std::istream& in, int count) {
    for (int i = 0; i < count; ++i) in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
}

// One block of the list as read: its index, and its atoms from the last scatterer to the absorber.
struct ListedBlock {
    std::int64_t position = 0;  // the index less one
    std::vector<Vec3> atoms;
};

// A block's atom is the path atom's position written with six decimals.
constexpr double listed_coordinate_tolerance = 1e-5;

bool holds_geometry(const ListedBlock& block, const PathGeometry& geometry, int nleg) {
    if (static_cast<int>(block.atoms.size()) != nleg) return false;
    for (int line = 0; line < nleg; ++line) {
        const Atom& atom = geometry.atoms[static_cast<std::size_t>(nleg - 1 - line)];
        const Vec3& listed = block.atoms[static_cast<std::size_t>(line)];
        if (!(std::abs(listed.x - atom.x) <= listed_coordinate_tolerance &&
              std::abs(listed.y - atom.y) <= listed_coordinate_tolerance &&
              std::abs(listed.z - atom.z) <= listed_coordinate_tolerance)) {
            return false;
        }
    }
    return true;
}

// The first path of the table, not taken yet, whose representative the block holds; the path count when
// none is. `taken_too` tells whether a path already taken would have matched.
std::size_t path_of_block(const Pathfinder& finder, const std::vector<PathGeometry>& geometries,
                          const std::vector<bool>& taken, const ListedBlock& block, bool& taken_too) {
    taken_too = false;
    for (std::size_t p = 0; p < finder.paths.size(); ++p) {
        if (!holds_geometry(block, geometries[p], finder.paths[p].nleg)) continue;
        if (!taken[p]) return p;
        taken_too = true;
    }
    return finder.paths.size();
}

// The important paths' table indices at the blocks' positions. The file may have been edited by hand: an
// index that names no important path, or one path twice, would hand the pruning a selection it cannot keep.
void select_listed_by_position(AbsorberEdge& edge, const std::vector<ListedBlock>& listed,
                               const std::string& list_path) {
    Pathfinder& finder = edge.pathfinder;
    std::vector<std::int32_t> important;
    for (std::size_t p = 0; p < finder.paths.size(); ++p)
        if (finder.paths[p].importance > feff_criteria(edge)) important.push_back(static_cast<std::int32_t>(p));
    std::vector<bool> taken(important.size(), false);
    for (const ListedBlock& block : listed) {
        const std::int64_t position = block.position;
        const bool in_range = position >= 0 && position < static_cast<std::int64_t>(important.size());
        if (!in_range || taken[static_cast<std::size_t>(position)]) {
            std::cout << "ERROR: " << list_path << " LISTS PATH " << position + 1
                      << (in_range ? " MORE THAN ONCE!" : ", WHICH IS NOT AN IMPORTANT PATH!") << '\n';
            end_process(4);
        }
        taken[static_cast<std::size_t>(position)] = true;
        finder.selected_paths.push_back(important[static_cast<std::size_t>(position)]);
    }
}

void select_listed_by_geometry(Pathfinder& finder, const std::vector<ListedBlock>& listed,
                               const std::string& list_path) {
    std::vector<PathGeometry> geometries(finder.paths.size());
    for (std::size_t p = 0; p < finder.paths.size(); ++p) path_geometry_of_path(finder, finder.paths[p], geometries[p]);
    std::vector<bool> taken(finder.paths.size(), false);
    for (const ListedBlock& block : listed) {
        bool taken_too = false;
        const std::size_t p = path_of_block(finder, geometries, taken, block, taken_too);
        if (p == finder.paths.size()) {
            std::cout << "ERROR: " << list_path << " LISTS PATH " << block.position + 1
                      << (taken_too ? " MORE THAN ONCE!" : ", WHOSE ATOMS MAKE NO PATH OF THE STRUCTURE!") << '\n';
            end_process(4);
        }
        taken[p] = true;
        finder.selected_paths.push_back(static_cast<std::int32_t>(p));
    }
}

}  // namespace

void write_final_paths_file(AbsorberEdge& edge) {
    const Pathfinder& finder = edge.pathfinder;
    const double criteria = feff_criteria(edge);
    const double absorbers = static_cast<double>(finder.absorber_count);
    std::ofstream out(feff_folder_file_path(edge.index, "paths_fin.dat"), std::ios::trunc);
    for (std::size_t i = 0; i < 2; ++i)
        out << (i < edge.path_header_lines.size() ? edge.path_header_lines[i] : "") << '\n';
    int count = 0;
    for (const Path& path : finder.paths) {
        if (!(path.importance > criteria)) continue;
        ++count;
        PathGeometry geometry;
        path_geometry_of_path(finder, path, geometry);
        write_path_block(out, geometry, count, path.degeneracy / absorbers, path.nleg);
        if (count == max_listed_paths) {
            std::cout << "WARNING: 1200 paths limit reached. Skipping all other paths." << '\n';
            break;
        }
    }
    std::cout << "Important paths: " << count << " (see path_fin.dat file in feff_X directory)" << '\n';
    if (count == 0) {
        std::cout << "ERROR! No important paths found!" << '\n';
        end_process(1);
    }
}

void load_final_paths(AbsorberEdge& edge, ListedPaths listed_by) {
    Pathfinder& finder = edge.pathfinder;
    const std::string list_path = feff_folder_file_path(edge.index, "paths_fin.dat");
    std::ifstream in(list_path);
    if (!in) {
        std::cout << "ERROR: paths_fin.dat FILE CANNOT BE OPENED!" << open_failure_note(list_path) << '\n';
        end_process(4);
    }
    skip_lines(in, 2);
    // A hand-edited list that cannot be read to its end must not pass for a shorter one.
    const auto refuse = [&list_path](const std::string& problem) {
        std::cout << "ERROR: " << list_path << problem << '\n';
        end_process(4);
    };
    // Positions are kept wide: an index of the file at the edge of the integer range still names no path.
    std::vector<ListedBlock> listed;
    for (int index = 0; in >> index;) {
        int nleg = 0;
        if (!(in >> nleg) || nleg < 2 || nleg > max_path_legs) {
            refuse(": THE LEG COUNT OF THE BLOCK OF PATH " + std::to_string(index) + " CANNOT BE READ!");
        }
        ListedBlock block{static_cast<std::int64_t>(index) - 1, {}};
        skip_lines(in, 2);
        // An atom line that holds no coordinates matches no path; only a list read by geometry minds.
        for (std::string line; static_cast<int>(block.atoms.size()) < nleg && std::getline(in, line);) {
            Vec3 atom{std::nan(""), std::nan(""), std::nan("")};
            std::istringstream(line) >> atom.x >> atom.y >> atom.z;
            block.atoms.push_back(atom);
        }
        listed.push_back(std::move(block));
    }
    if (!in.eof()) refuse(": NO PATH BLOCK CAN BE READ AFTER BLOCK " + std::to_string(listed.size()) + "!");
    // A run without any path has nothing to refine.
    if (listed.empty()) refuse(" LISTS NO PATH!");

    finder.selected_paths.clear();
    if (listed_by == ListedPaths::by_geometry) {
        select_listed_by_geometry(finder, listed, list_path);
    } else {
        select_listed_by_position(edge, listed, list_path);
    }

    std::cout << "Final number of paths: " << listed.size() << '\n';
    print_separator_line();
    prune_paths_to_selection(finder, static_cast<int>(listed.size()));
    for (Path& path : finder.paths) {
        print_final_path(finder, path);
        path.scale = 1.0;
    }
    print_separator_line();
}
