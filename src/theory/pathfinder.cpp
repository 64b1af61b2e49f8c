#include "theory/pathfinder.hpp"

#include "control/process_end.hpp"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <numbers>
#include <numeric>
#include <unordered_map>

namespace {

// Legs shorter than this join coincident atoms; they would make an atom its own neighbour.
constexpr double coincident = 1e-6;
// A chain whose closing leg is this short ends on the absorber itself and is no path of its own.
constexpr double closing_on_absorber = 0.001;
constexpr double projection_tolerance = 0.001;

// Rotates r into the chain's canonical frame: s1 along +x, the second distinct scatterer in the xy
// half-plane with y >= 0.
Atom to_canonical_frame(const Atom& r, double phi, double theta) {
    return atom_rotate_y(atom_rotate_z(r, -phi), std::numbers::pi / 2 - theta);
}

void make_path_node(PathNode& node, const PathNode& parent, const std::vector<PathNode>& nodes, int atom_index,
                    const Atom& atom, const Atom& polarization) {
    node.nleg = parent.nleg + 1;
    node.distinct_atoms = parent.distinct_atoms;
    node.atom_index = atom_index;
    node.label = atom.label;
    node.revisit_level = -1;
    node.absorber = parent.absorber;
    node.polarization_projection = parent.polarization_projection;
    node.first_distance = parent.first_distance;
    node.phi = parent.phi;
    node.theta = parent.theta;
    node.psi = parent.psi;
    node.root = parent.root;
    node.atom = atom;
    node.revisit = false;
    node.coordinate_count = 0;

    if (node.nleg > 2) {
        for (const PathNode* ancestor = &parent;; ancestor = &nodes[static_cast<std::size_t>(ancestor->parent)]) {
            if (ancestor->atom_index == atom_index) {
                node.revisit = true;
                node.revisit_level = ancestor->nleg;
                break;
            }
            if (ancestor->parent < 0) break;
        }
    }
    if (!node.revisit) {
        ++node.distinct_atoms;
        Atom r = atom_add(atom, atom_negate(node.absorber));
        if (node.distinct_atoms == 2) {
            node.coordinate_count = 1;
            node.polarization_projection = atom_dot(polarization, r);
            node.first_distance = atom_norm(r);
            node.phi = (std::abs(r.x) < 1e-6 && std::abs(r.y) < 1e-6) ? 0.0 : std::atan2(r.y, r.x);
            node.theta = std::acos(r.z / atom_norm(r));
            r = to_canonical_frame(r, node.phi, node.theta);
            node.coordinates[0] = r.x;
        } else if (node.distinct_atoms == 3) {
            node.coordinate_count = 2;
            r = to_canonical_frame(r, node.phi, node.theta);
            node.psi = (std::abs(r.z) < 1e-6 && std::abs(r.y) < 1e-6) ? 0.0 : std::atan2(r.z, r.y);
            r = atom_rotate_x(r, -node.psi);
            node.coordinates[0] = r.x;
            node.coordinates[1] = r.y;
        } else {
            node.coordinate_count = 3;
            r = atom_rotate_x(to_canonical_frame(r, node.phi, node.theta), -node.psi);
            node.coordinates = {r.x, r.y, r.z};
        }
    }
    node.descriptor_length = parent.descriptor_length + node.coordinate_count;
}

// The part of a chain that must agree exactly between equivalent chains, level by level from the last:
// revisit level, label and coordinate count. Chains are only compared within such a bucket.
std::string chain_signature(const std::vector<PathNode>& nodes, int node) {
    std::string signature;
    for (int n = node; nodes[static_cast<std::size_t>(n)].parent >= 0; n = nodes[static_cast<std::size_t>(n)].parent) {
        const PathNode& level = nodes[static_cast<std::size_t>(n)];
        signature += std::to_string(level.revisit_level);
        signature += ':';
        signature += std::to_string(level.coordinate_count);
        signature += ':';
        signature += level.label;
        signature += '\x1f';
    }
    return signature;
}

bool chains_equivalent(const Pathfinder& finder, int a, int b) {
    const auto& nodes = finder.nodes;
    if (nodes[static_cast<std::size_t>(a)].nleg != nodes[static_cast<std::size_t>(b)].nleg) return false;
    for (; nodes[static_cast<std::size_t>(a)].parent >= 0;
         a = nodes[static_cast<std::size_t>(a)].parent, b = nodes[static_cast<std::size_t>(b)].parent) {
        const PathNode& x = nodes[static_cast<std::size_t>(a)];
        const PathNode& y = nodes[static_cast<std::size_t>(b)];
        if (x.revisit_level != y.revisit_level || x.label != y.label || x.coordinate_count != y.coordinate_count) {
            return false;
        }
        double sum = 0.0;
        for (int c = 0; c < x.coordinate_count; ++c) {
            const double d = x.coordinates[static_cast<std::size_t>(c)] - y.coordinates[static_cast<std::size_t>(c)];
            sum += d * d;
        }
        if (std::sqrt(sum) > finder.tolerance) return false;
        if (finder.has_polarization && std::abs(x.polarization_projection - y.polarization_projection) > projection_tolerance) {
            return false;
        }
    }
    return true;
}

}  // namespace

int setup_and_run_pathfinder(Pathfinder& finder, const std::string& absorber_label, int legs, double r_max,
                             double tolerance, int supercell_atom_count, int working_atom_count,
                             const std::vector<Atom>& atoms, const std::vector<std::int32_t>& source_index,
                             int worker_count, int centre_atom, const Atom& polarization, bool has_polarization) {
    if (legs > max_path_legs) {
        std::cout << "ERROR: N_legs " << legs << " exceeds the largest path of " << max_path_legs << " legs!" << '\n';
        end_process(1);
    }
    finder.absorber_label = absorber_label;
    finder.max_nleg = legs;
    finder.r_max = r_max;
    finder.tolerance = tolerance;
    finder.supercell_atom_count = supercell_atom_count;
    finder.working_atom_count = working_atom_count;
    finder.atoms = &atoms;
    finder.source_index = &source_index;
    finder.worker_count = worker_count;
    finder.polarization = polarization;
    finder.has_polarization = has_polarization;
    return run_pathfinder(finder, centre_atom);
}

int run_pathfinder(Pathfinder& finder, int centre_atom) {
    finder.nodes.clear();
    finder.nodes.reserve(10000);
    finder.level_end.fill(0);
    finder.absorber_count = detect_absorbers(finder, centre_atom);
    finder.level_end[1] = finder.absorber_count;
    std::cout << "Detected absorbers: " << finder.absorber_count << '\n';

    finder.neighbours.assign(static_cast<std::size_t>(finder.absorber_count), {});
    finder.neighbour_sources.assign(static_cast<std::size_t>(finder.absorber_count), {});
    for (int nleg = 2; nleg <= finder.max_nleg; ++nleg) {
        const int before = static_cast<int>(finder.nodes.size());
        extend_paths_by_one_leg(finder, finder.level_end[static_cast<std::size_t>(nleg - 2)], before);
        finder.level_end[static_cast<std::size_t>(nleg)] = static_cast<std::int32_t>(finder.nodes.size());
        std::cout << "Detected paths (nleg =  " << nleg << ") " << finder.nodes.size() - static_cast<std::size_t>(before)
                  << '\n';
    }
    for (std::size_t n = static_cast<std::size_t>(std::max(finder.max_nleg, 1)) + 1; n < finder.level_end.size(); ++n) {
        finder.level_end[n] = static_cast<std::int32_t>(finder.nodes.size());
    }
    build_nonequivalent_paths(finder);
    std::cout << "Nonequivalent paths: " << finder.paths.size() << '\n';
    return static_cast<int>(finder.paths.size());
}

int detect_absorbers(Pathfinder& finder, int centre_atom) {
    const auto add_root = [&finder](int index) {
        PathNode root;
        root.atom_index = index;
        root.label = (*finder.atoms)[static_cast<std::size_t>(index)].label;
        root.atom = (*finder.atoms)[static_cast<std::size_t>(index)];
        root.absorber = root.atom;
        root.root = static_cast<std::int32_t>(finder.nodes.size());
        finder.nodes.push_back(root);
    };
    if (centre_atom >= 0) {
        add_root(centre_atom);
    } else {
        for (int i = 0; i < finder.supercell_atom_count; ++i) {
            if ((*finder.atoms)[static_cast<std::size_t>(i)].label == finder.absorber_label) add_root(i);
        }
    }
    return static_cast<int>(finder.nodes.size());
}

int extend_paths_by_one_leg(Pathfinder& finder, int first, int end) {
    const double limit = 2 * finder.r_max;
    std::vector<double> distance;
    std::vector<std::int32_t> order;
    for (int p = first; p < end; ++p) {
        const PathNode parent = finder.nodes[static_cast<std::size_t>(p)];
        const bool is_root = parent.parent < 0;
        const std::vector<Atom>& candidates = is_root ? *finder.atoms : finder.neighbours[static_cast<std::size_t>(parent.root)];
        const Atom& from = candidates[static_cast<std::size_t>(parent.atom_index)];
        distance.resize(candidates.size());
        order.resize(candidates.size());
        for (std::size_t c = 0; c < candidates.size(); ++c) distance[c] = atom_distance(candidates[c], from);
        std::iota(order.begin(), order.end(), 0);
        // Stable, so that equal distances keep the list order and every run builds the same tree.
        std::stable_sort(order.begin(), order.end(), [&](std::int32_t a, std::int32_t b) {
            return distance[static_cast<std::size_t>(a)] < distance[static_cast<std::size_t>(b)];
        });

        const std::size_t first_child = finder.nodes.size();
        for (const std::int32_t c : order) {
            const double d = distance[static_cast<std::size_t>(c)];
            if (c == parent.atom_index || d < coincident) continue;
            const double open = parent.open_length + d;
            const double closed = open + atom_distance(candidates[static_cast<std::size_t>(c)], parent.absorber);
            if (closed < limit) {
                PathNode node;
                make_path_node(node, parent, finder.nodes, c, candidates[static_cast<std::size_t>(c)], finder.polarization);
                node.parent = p;
                node.open_length = open;
                node.R = closed / 2;
                finder.nodes.push_back(std::move(node));
            } else if (open > limit) {
                break;
            }
        }
        if (is_root) {
            // The root's children are its neighbours: later legs choose only among them and the absorber.
            auto& list = finder.neighbours[static_cast<std::size_t>(p)];
            auto& sources = finder.neighbour_sources[static_cast<std::size_t>(p)];
            list.clear();
            sources.clear();
            for (std::size_t n = first_child; n < finder.nodes.size(); ++n) {
                PathNode& child = finder.nodes[n];
                sources.push_back((*finder.source_index)[static_cast<std::size_t>(child.atom_index)]);
                child.atom_index = static_cast<std::int32_t>(list.size());
                list.push_back(child.atom);
            }
            list.push_back(parent.atom);
            sources.push_back((*finder.source_index)[static_cast<std::size_t>(parent.atom_index)]);
            finder.nodes[static_cast<std::size_t>(p)].atom_index = static_cast<std::int32_t>(list.size()) - 1;
        }
    }
    return static_cast<int>(finder.nodes.size());
}

void build_nonequivalent_paths(Pathfinder& finder) {
    auto& nodes = finder.nodes;
    std::vector<Path> paths;
    std::unordered_map<std::string, std::vector<std::int32_t>> buckets;
    for (std::size_t n = static_cast<std::size_t>(finder.absorber_count); n < nodes.size(); ++n) {
        PathNode& node = nodes[n];
        node.path = -1;
        if (std::abs(node.open_length - 2 * node.R) <= closing_on_absorber) continue;
        // Equivalent chains share their signature, so only representatives in the same bucket can match;
        // scanning a bucket in creation order keeps the first matching path.
        std::vector<std::int32_t>& bucket = buckets[chain_signature(nodes, static_cast<int>(n))];
        for (const std::int32_t p : bucket) {
            if (chains_equivalent(finder, static_cast<int>(n), paths[static_cast<std::size_t>(p)].representative)) {
                node.path = p;
                ++paths[static_cast<std::size_t>(p)].degeneracy;
                break;
            }
        }
        if (node.path >= 0) continue;
        Path path;
        path.nleg = node.nleg;
        path.descriptor_length = node.descriptor_length;
        path.root = node.root;
        path.state_count = node.state_count;
        path.R = node.R;
        path.representative = static_cast<std::int32_t>(n);
        path.degeneracy = 1;
        node.path = static_cast<std::int32_t>(paths.size());
        bucket.push_back(node.path);
        paths.push_back(std::move(path));
    }

    std::vector<std::int32_t> order(paths.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::int32_t a, std::int32_t b) {
        return paths[static_cast<std::size_t>(a)].R < paths[static_cast<std::size_t>(b)].R;
    });
    std::vector<std::int32_t> renumbered(paths.size());
    finder.paths.clear();
    finder.paths.reserve(paths.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        renumbered[static_cast<std::size_t>(order[i])] = static_cast<std::int32_t>(i);
        finder.paths.push_back(std::move(paths[static_cast<std::size_t>(order[i])]));
        finder.paths.back().importance = path_tree_initial_importance;
    }
    for (PathNode& node : nodes) {
        if (node.path >= 0) node.path = renumbered[static_cast<std::size_t>(node.path)];
    }
    finder.selected_paths.assign(finder.paths.size(), 0);
}

void prune_paths_to_selection(Pathfinder& finder, int n) {
    auto& nodes = finder.nodes;
    std::vector<std::int32_t> new_index_of_old(finder.paths.size(), -1);
    std::vector<Path> kept;
    kept.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        const std::int32_t old = finder.selected_paths[static_cast<std::size_t>(i)];
        kept.push_back(finder.paths[static_cast<std::size_t>(old)]);
        kept.back().members.clear();
        kept.back().members.reserve(static_cast<std::size_t>(kept.back().degeneracy));
        kept.back().degeneracy = 0;
        if (new_index_of_old[static_cast<std::size_t>(old)] < 0) new_index_of_old[static_cast<std::size_t>(old)] = i;
    }
    for (std::size_t i = static_cast<std::size_t>(finder.absorber_count); i < nodes.size(); ++i) {
        PathNode& node = nodes[i];
        const std::int32_t old = node.path;
        node.path = -1;
        node.dropped = true;
        if (old < 0 || new_index_of_old[static_cast<std::size_t>(old)] < 0) continue;
        node.path = new_index_of_old[static_cast<std::size_t>(old)];
        node.dropped = false;
        Path& path = kept[static_cast<std::size_t>(node.path)];
        path.members.push_back(static_cast<std::int32_t>(i));
        ++path.degeneracy;
    }
    for (std::size_t i = 0; i < static_cast<std::size_t>(finder.absorber_count); ++i) nodes[i].dropped = false;
    // Parents precede their children, so one backward pass keeps every ancestor of a kept node.
    for (std::size_t i = nodes.size(); i-- > 0;) {
        if (!nodes[i].dropped && nodes[i].parent >= 0) nodes[static_cast<std::size_t>(nodes[i].parent)].dropped = false;
    }

    std::vector<std::int32_t> new_node(nodes.size(), -1);
    std::vector<PathNode> compact;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        if (nodes[i].dropped) continue;
        new_node[i] = static_cast<std::int32_t>(compact.size());
        compact.push_back(std::move(nodes[i]));
    }
    finder.max_nleg = 1;
    for (std::size_t i = 0; i < compact.size(); ++i) {
        PathNode& node = compact[i];
        node.root = new_node[static_cast<std::size_t>(node.root)];
        if (node.parent < 0) continue;
        const std::int32_t parent = new_node[static_cast<std::size_t>(node.parent)];
        if (parent < 0) {
            std::cout << "ERROR with parents!" << '\n';
            end_process(1);
        }
        node.parent = parent;
        finder.level_end[static_cast<std::size_t>(node.nleg)] = static_cast<std::int32_t>(i) + 1;
        finder.max_nleg = node.nleg;
    }
    for (std::size_t level = static_cast<std::size_t>(finder.max_nleg) + 1; level < finder.level_end.size(); ++level) {
        finder.level_end[level] = static_cast<std::int32_t>(compact.size());
    }
    for (Path& path : kept) {
        path.representative = new_node[static_cast<std::size_t>(path.representative)];
        path.root = new_node[static_cast<std::size_t>(path.root)];
        for (std::int32_t& member : path.members) member = new_node[static_cast<std::size_t>(member)];
    }
    finder.nodes = std::move(compact);
    finder.paths = std::move(kept);
    finder.selected_paths.clear();
}

void set_state_count_on_paths(Pathfinder& finder, int n) {
    for (PathNode& node : finder.nodes) node.state_count = n;
}

void free_pathfinder_arrays(Pathfinder& finder) {
    finder.neighbours = {};
    finder.neighbour_sources = {};
    finder.paths = {};
    finder.nodes = {};
    finder.selected_paths = {};
}
