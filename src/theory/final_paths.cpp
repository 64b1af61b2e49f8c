#include "theory/final_paths.hpp"

#include "control/console_log.hpp"
#include "control/process_end.hpp"
#include "control/record_parameters.hpp"
#include "theory/absorber_edge.hpp"
#include "theory/feff_run.hpp"
#include "theory/path_runs.hpp"
#include "theory/pathfinder.hpp"

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

namespace {

double feff_criteria(const AbsorberEdge& edge) { return edge.spectrum->doubles[SpectrumDoubleKey::FEFF_criteria]; }

void skip_lines(std::istream& in, int count) {
    for (int i = 0; i < count; ++i) in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
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

void load_final_paths(AbsorberEdge& edge) {
    Pathfinder& finder = edge.pathfinder;
    const std::string list_path = feff_folder_file_path(edge.index, "paths_fin.dat");
    std::ifstream in(list_path);
    if (!in) {
        std::cout << "ERROR: paths_fin.dat FILE CANNOT BE OPENED!" << '\n';
        end_process(4);
    }
    skip_lines(in, 2);
    // A hand-edited list that cannot be read to its end must not pass for a shorter one.
    const auto refuse = [&list_path](const std::string& problem) {
        std::cout << "ERROR: " << list_path << problem << '\n';
        end_process(4);
    };
    // Positions are kept wide: an index of the file at the edge of the integer range still names no path.
    std::vector<std::int64_t> listed;
    for (int index = 0; in >> index;) {
        int nleg = 0;
        if (!(in >> nleg) || nleg < 2 || nleg > max_path_legs) {
            refuse(": THE LEG COUNT OF THE BLOCK OF PATH " + std::to_string(index) + " CANNOT BE READ!");
        }
        listed.push_back(static_cast<std::int64_t>(index) - 1);
        skip_lines(in, nleg + 2);
    }
    if (!in.eof()) refuse(": NO PATH BLOCK CAN BE READ AFTER BLOCK " + std::to_string(listed.size()) + "!");
    // A run without any path has nothing to refine.
    if (listed.empty()) refuse(" LISTS NO PATH!");

    std::vector<std::int32_t> important;
    for (std::size_t p = 0; p < finder.paths.size(); ++p)
        if (finder.paths[p].importance > feff_criteria(edge)) important.push_back(static_cast<std::int32_t>(p));
    // The file may have been edited by hand: an index that names no important path, or one path twice,
    // would hand the pruning a selection it cannot keep.
    std::vector<bool> taken(important.size(), false);
    for (const std::int64_t position : listed) {
        const bool in_range = position >= 0 && position < static_cast<std::int64_t>(important.size());
        if (!in_range || taken[static_cast<std::size_t>(position)]) {
            std::cout << "ERROR: " << list_path << " LISTS PATH " << position + 1
                      << (in_range ? " MORE THAN ONCE!" : ", WHICH IS NOT AN IMPORTANT PATH!") << '\n';
            end_process(4);
        }
        taken[static_cast<std::size_t>(position)] = true;
    }

    std::cout << "Final number of paths: " << listed.size() << '\n';
    print_separator_line();
    finder.selected_paths.clear();
    for (const std::int64_t position : listed) finder.selected_paths.push_back(important[static_cast<std::size_t>(position)]);
    prune_paths_to_selection(finder, static_cast<int>(listed.size()));
    for (Path& path : finder.paths) {
        print_final_path(finder, path);
        path.scale = 1.0;
    }
    print_separator_line();
}
