#include "theory/path_update.hpp"

#include "control/threads.hpp"
#include "theory/pathfinder.hpp"

#include <algorithm>
#include <array>
#include <cstddef>

namespace {

std::size_t at(std::int32_t i) { return static_cast<std::size_t>(i); }

struct UpdateSection {
    Pathfinder* finder = nullptr;
    std::span<const Vec3> displacements;
    Vec3 polarization;
};

}  // namespace

void structure_displacements(const std::vector<Atom>& state_atoms,
                             const std::vector<std::int32_t>& structure_atom_index, std::vector<Vec3>& displacements) {
    displacements.resize(structure_atom_index.size());
    for (std::size_t i = 0; i < structure_atom_index.size(); ++i)
        displacements[i] = to_vec3(state_atoms[at(structure_atom_index[i])]);
}

std::vector<Vec3> structure_displacements(const std::vector<Atom>& state_atoms,
                                          const std::vector<std::int32_t>& structure_atom_index) {
    std::vector<Vec3> displacements;
    structure_displacements(state_atoms, structure_atom_index, displacements);
    return displacements;
}

std::int32_t node_source_atom(const Pathfinder& finder, std::int32_t n) {
    const PathNode& node = finder.nodes[at(n)];
    const auto& sources = finder.neighbour_sources[at(node.root)];
    // A root searched for no neighbours still knows its own working-list position.
    if (node.atom_index < static_cast<std::int32_t>(sources.size())) return sources[at(node.atom_index)];
    return (*finder.source_index)[at(node.atom_index)];
}

void prepare_node_sources(Pathfinder& finder) {
    if (finder.node_sources.size() == finder.nodes.size()) return;
    finder.node_sources.resize(finder.nodes.size());
    for (std::size_t n = 0; n < finder.nodes.size(); ++n)
        finder.node_sources[n] = node_source_atom(finder, static_cast<std::int32_t>(n));
}

namespace {

// The one computation every update of a node goes through, from the node's build-time atom, its revisit
// flag and its count of distinct atoms.
inline void node_geometry(const Vec3& build_atom, bool revisit, int distinct_atoms, const Vec3& displacement,
                          const Vec3& polarization, const NodeGeometry* parent, NodeGeometry& current) {
    current.atom = vec_add(build_atom, displacement);
    current.open_length = 0.0;
    current.R = 0.0;
    if (parent == nullptr) {
        current.absorber = current.atom;
        return;
    }
    current.absorber = parent->absorber;
    current.frame = parent->frame;
    current.first_distance = parent->first_distance;
    current.polarization_projection = parent->polarization_projection;
    current.open_length = parent->open_length + vec_distance(current.atom, parent->atom);
    current.R = (current.open_length + vec_distance(current.atom, current.absorber)) / 2;
    if (revisit) return;
    place_in_chain_frame(distinct_atoms, vec_sub(current.atom, current.absorber), polarization, current.frame,
                         current.polarization_projection, current.first_distance, current.coordinates);
}

}  // namespace

void update_node_geometry(const PathNode& node, const Vec3& displacement, const Vec3& polarization,
                          const NodeGeometry* parent, NodeGeometry& current) {
    node_geometry(node.atom, node.revisit, node.distinct_atoms, displacement, polarization, parent, current);
}

void prepare_member_chains(Pathfinder& finder) {
    prepare_node_sources(finder);
    bool filled = finder.chain_nodes.size() == finder.nodes.size();
    for (const Path& path : finder.paths)
        filled = filled && path.chains.size() == path.members.size() * static_cast<std::size_t>(path.nleg);
    if (filled) return;
    finder.chain_nodes.resize(finder.nodes.size());
    for (std::size_t n = 0; n < finder.nodes.size(); ++n) {
        const PathNode& node = finder.nodes[n];
        finder.chain_nodes[n] = {node.atom, finder.node_sources[n], node.distinct_atoms, node.coordinate_count, node.revisit};
    }
    for (Path& path : finder.paths) {
        const std::size_t nleg = at(path.nleg);
        path.chains.assign(path.members.size() * nleg, 0);
        for (std::size_t m = 0; m < path.members.size(); ++m) {
            std::int32_t n = path.members[m];
            for (std::size_t level = nleg; level-- > 0 && n >= 0; n = finder.nodes[at(n)].parent)
                path.chains[m * nleg + level] = n;
        }
    }
}

void walk_member_chain(const Pathfinder& finder, const Path& path, std::size_t member,
                       std::span<const Vec3> displacements, const Vec3& polarization, ChainWalk& walk) {
    const int nleg = path.nleg;
    const std::int32_t* chain = &path.chains[member * at(nleg)];
    int same = 0;
    while (same < walk.count && same < nleg && walk.nodes[at(same)] == chain[same]) ++same;
    for (int c = same; c < nleg; ++c) {
        const ChainNode& node = finder.chain_nodes[at(chain[c])];
        node_geometry(node.atom, node.revisit, node.distinct_atoms, displacements[at(node.source)], polarization,
                      c == 0 ? nullptr : &walk.geometry[at(c - 1)], walk.geometry[at(c)]);
        walk.nodes[at(c)] = chain[c];
    }
    walk.count = nleg;
}

int walked_descriptor(const Pathfinder& finder, const ChainWalk& walk, int nleg, Descriptor& descriptor) {
    int length = 0;
    for (int c = nleg - 1; c >= 1; --c) {
        const ChainNode& node = finder.chain_nodes[at(walk.nodes[at(c)])];
        for (int k = 0; k < node.coordinate_count && length < max_descriptor_length; ++k)
            descriptor[at(length++)] = walk.geometry[at(c)].coordinates[at(k)];
    }
    return length;
}

namespace {

// Half the closed length of the chain of `count` atoms (the absorber first), summed leg by leg as a node
// update sums it.
double closed_chain_R(const Vec3* atoms, int count) {
    double open_length = 0.0;
    double R = 0.0;
    for (int c = 1; c < count; ++c) {
        open_length = open_length + vec_distance(atoms[c], atoms[c - 1]);
        R = (open_length + vec_distance(atoms[c], atoms[0])) / 2;
    }
    return R;
}

}  // namespace

double member_chain_R(const Pathfinder& finder, const Path& path, std::size_t member,
                      std::span<const Vec3> displacements) {
    const std::int32_t* chain = &path.chains[member * at(path.nleg)];
    std::array<Vec3, max_path_legs> atoms;
    for (int c = 0; c < path.nleg; ++c) {
        const ChainNode& node = finder.chain_nodes[at(chain[c])];
        atoms[at(c)] = vec_add(node.atom, displacements[at(node.source)]);
    }
    return closed_chain_R(atoms.data(), path.nleg);
}

double member_R_at(const Pathfinder& finder, std::int32_t member, std::span<const Vec3> displacements) {
    std::array<Vec3, max_path_legs> atoms;
    int count = 0;
    for (std::int32_t n = member; n >= 0 && count < max_path_legs; n = finder.nodes[at(n)].parent) {
        const std::int32_t source =
            at(n) < finder.node_sources.size() ? finder.node_sources[at(n)] : node_source_atom(finder, n);
        atoms[at(count++)] = vec_add(finder.nodes[at(n)].atom, displacements[at(source)]);
    }
    std::reverse(atoms.begin(), atoms.begin() + count);
    return closed_chain_R(atoms.data(), count);
}

void update_path_node(const Pathfinder& finder, std::int32_t n, std::span<const Vec3> displacements,
                      const Vec3& polarization, std::vector<NodeGeometry>& geometry) {
    const PathNode& node = finder.nodes[at(n)];
    const std::int32_t source =
        at(n) < finder.node_sources.size() ? finder.node_sources[at(n)] : node_source_atom(finder, n);
    const NodeGeometry* parent = node.parent < 0 ? nullptr : &geometry[at(node.parent)];
    update_node_geometry(node, displacements[at(source)], polarization, parent, geometry[at(n)]);
}

int update_chain_geometry(const Pathfinder& finder, std::int32_t member, std::span<const Vec3> displacements,
                          const Vec3& polarization, std::array<std::int32_t, 10>& nodes,
                          std::array<NodeGeometry, 10>& geometry) {
    int count = 0;
    for (std::int32_t n = member; n >= 0 && count < 10; n = finder.nodes[at(n)].parent) nodes[at(count++)] = n;
    std::reverse(nodes.begin(), nodes.begin() + count);
    for (int c = 0; c < count; ++c) {
        const std::int32_t n = nodes[at(c)];
        const std::int32_t source =
            at(n) < finder.node_sources.size() ? finder.node_sources[at(n)] : node_source_atom(finder, n);
        update_node_geometry(finder.nodes[at(n)], displacements[at(source)], polarization,
                             c == 0 ? nullptr : &geometry[at(c - 1)], geometry[at(c)]);
    }
    return count;
}

void path_update_worker(WorkRange& range) {
    auto& section = *static_cast<UpdateSection*>(range.data);
    for (std::int32_t n = range.first; n < range.end; ++n)
        update_path_node(*section.finder, n, section.displacements, section.polarization, section.finder->current);
}

void launch_path_update_threads(Pathfinder& finder, std::span<const Vec3> displacements) {
    prepare_node_sources(finder);
    finder.current.resize(finder.nodes.size());
    UpdateSection section{&finder, displacements, to_vec3(finder.polarization)};
    const std::int32_t threads = std::max<std::int32_t>(1, finder.worker_count);
    for (int nleg = 1; nleg <= finder.max_nleg; ++nleg) {
        const std::int32_t start = finder.level_end[at(nleg - 1)];
        const std::int32_t end = finder.level_end[at(nleg)];
        if (end <= start) continue;
        std::vector<WorkRange> ranges = split_work(end - start, threads);
        for (WorkRange& range : ranges) {
            range.data = &section;
            range.first += start;
            range.end += start;
        }
        run_work_range_threads(ranges.data(), path_update_worker);
    }
}

void launch_path_update_threads(Pathfinder& finder, const std::vector<Atom>& state_atoms,
                                const std::vector<std::int32_t>& structure_atom_index) {
    const std::vector<Vec3> displacements = structure_displacements(state_atoms, structure_atom_index);
    launch_path_update_threads(finder, displacements);
}

void update_path_geometry(const Pathfinder& finder, std::span<const Vec3> displacements,
                          std::vector<NodeGeometry>& geometry) {
    geometry.resize(finder.nodes.size());
    const Vec3 polarization = to_vec3(finder.polarization);
    for (std::size_t n = 0; n < finder.nodes.size(); ++n)
        update_path_node(finder, static_cast<std::int32_t>(n), displacements, polarization, geometry);
}
