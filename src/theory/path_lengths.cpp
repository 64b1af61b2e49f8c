#include "theory/path_lengths.hpp"

#include <algorithm>
#include <cstddef>

namespace {

std::size_t at(std::int64_t i) { return static_cast<std::size_t>(i); }

std::int32_t chain_of(const Path& path, int member) { return path.length_chains[at(member)]; }

// Entries saved for the path: one per absorbing atom, but never more than it has chains to save.
std::size_t saved_count(const Path& path, int absorbers) {
    return std::min(path.saved_lengths.size(), at(std::max(absorbers, 0)));
}

}  // namespace

double chain_length(const Pathfinder& finder, std::int32_t node) {
    if (at(node) < finder.current.size()) return finder.current[at(node)].coordinates[0];
    return finder.nodes[at(node)].coordinates[0];
}

void set_path_length(Pathfinder& finder, const Path& path, int member, double length) {
    NodeGeometry& geometry = finder.current[at(chain_of(path, member))];
    geometry.coordinates[0] = length;
    geometry.R = length;
}

double get_path_length(const Pathfinder& finder, const Path& path, int member) {
    return chain_length(finder, chain_of(path, member));
}

void shift_path_length(Pathfinder& finder, const Path& path, int member, double delta) {
    set_path_length(finder, path, member, get_path_length(finder, path, member) + delta);
}

void init_class_lengths(Pathfinder& finder, Path& path, int absorbers) {
    path.saved_lengths.assign(std::min(at(std::max(absorbers, 0)), path.length_chains.size()), 0.0);
    const int count = std::min(path.degeneracy, static_cast<int>(path.length_chains.size()));
    for (int j = 0; j < count; ++j) {
        set_path_length(finder, path, j, path.R);
        finder.nodes[at(chain_of(path, j))].R = path.R;
    }
}

void save_class_lengths(const Pathfinder& finder, Path& path, int absorbers) {
    const std::size_t count = saved_count(path, absorbers);
    for (std::size_t j = 0; j < count; ++j) path.saved_lengths[j] = get_path_length(finder, path, static_cast<int>(j));
}

void restore_class_lengths(Pathfinder& finder, const Path& path, int absorbers) {
    const std::size_t count = saved_count(path, absorbers);
    for (std::size_t j = 0; j < count; ++j) set_path_length(finder, path, static_cast<int>(j), path.saved_lengths[j]);
}
