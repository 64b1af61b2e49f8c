#include "theory/pathfinder.hpp"

#include "structure/structure.hpp"

#include <algorithm>
#include <iostream>
#include <utility>

void extract_path_geometry(const Pathfinder& finder, int node, int last_index, PathGeometry& geometry, bool build_time) {
    for (int entry = last_index; entry >= 0 && node >= 0; --entry) {
        const PathNode& current = finder.nodes[static_cast<std::size_t>(node)];
        const bool applied = !build_time && static_cast<std::size_t>(node) < finder.current.size();
        const Vec3& position = applied ? finder.current[static_cast<std::size_t>(node)].atom : current.atom;
        geometry.atoms[static_cast<std::size_t>(entry)] = to_atom(position, node_label(finder, current));
        geometry.potential_indices[static_cast<std::size_t>(entry)] = current.potential_index;
        node = current.parent;
    }
}

void path_geometry_of_path(const Pathfinder& finder, const Path& path, PathGeometry& geometry) {
    extract_path_geometry(finder, path.representative, path.nleg - 1, geometry, true);
}

void path_geometry_of_member(const Pathfinder& finder, const Path& path, PathGeometry& geometry, int member,
                             bool build_time) {
    extract_path_geometry(finder, path.members[static_cast<std::size_t>(member)], path.nleg - 1, geometry, build_time);
}

void single_scattering_representative(const Pathfinder& finder, const Path& path, PathGeometry& geometry, int member) {
    const PathNode& node = finder.nodes[static_cast<std::size_t>(path.members[static_cast<std::size_t>(member)])];
    const PathNode& absorber = finder.nodes[static_cast<std::size_t>(node.root)];
    const std::size_t n = static_cast<std::size_t>(path.members[static_cast<std::size_t>(member)]);
    // The chain's current R: its distance from the absorber for a single-scattering chain, and for a
    // longer chain the length of the one leg that stands in for it (the one-dimensional model keeps the
    // two equal; at the atoms' geometry the first coordinate of a longer chain is no length of it).
    const double distance = n < finder.current.size() ? finder.current[n].R : node.R;
    geometry.atoms[0] = {node_label(finder, absorber), 0.0, 0.0, 0.0};
    geometry.potential_indices[0] = 0;
    geometry.atoms[1] = {node_label(finder, node), distance, 0.0, 0.0};
    geometry.potential_indices[1] = node.potential_index;
}

void assign_potential_indices(Pathfinder& finder, const Structure& structure) {
    // The tree holds millions of nodes but only a handful of labels, so each label is looked up once.
    std::vector<std::int32_t> index_of_label(finder.labels.size(), -1);
    std::vector<bool> known(finder.labels.size(), false);
    for (PathNode& node : finder.nodes) {
        const PathNode& root = finder.nodes[static_cast<std::size_t>(node.root)];
        if (vec_distance(node.atom, root.atom) < 0.001) {
            node.potential_index = 0;
            continue;
        }
        const auto label = static_cast<std::size_t>(node.label);
        if (!known[label]) {
            index_of_label[label] = potential_index_of_label(structure, finder.labels[label]);
            known[label] = true;
        }
        node.potential_index = index_of_label[label];
    }
}

double half_closed_length(const PathGeometry& geometry, int nleg) {
    double length = atom_distance(geometry.atoms[static_cast<std::size_t>(nleg - 1)], geometry.atoms[0]);
    for (int i = 1; i < nleg; ++i) {
        length += atom_distance(geometry.atoms[static_cast<std::size_t>(i)], geometry.atoms[static_cast<std::size_t>(i - 1)]);
    }
    return length / 2;
}

void print_final_path(const Pathfinder& finder, const Path& path) {
    PathGeometry geometry;
    path_geometry_of_path(finder, path, geometry);
    const double r = half_closed_length(geometry, path.nleg);
    std::cout << '\t';
    int width = 0;
    for (int i = 0; i < path.nleg; ++i) {
        const Atom& atom = geometry.atoms[static_cast<std::size_t>(i)];
        std::cout << atom.label << (geometry.potential_indices[static_cast<std::size_t>(i)] == 0 ? "*" : "") << "-";
        width += static_cast<int>(atom.label.size()) + 1;
    }
    std::cout << std::string(static_cast<std::size_t>(std::max(15 - width, 1)), ' ') << "\tr = " << r
              << "\tn = " << static_cast<double>(path.degeneracy) / finder.absorber_count << '\n';
}
