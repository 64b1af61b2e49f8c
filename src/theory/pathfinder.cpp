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

std::size_t at(std::int32_t i) { return static_cast<std::size_t>(i); }

Vec3 turn_z(const Vec3& r, const ChainFrame& f) { return {r.x * f.cos_z - r.y * f.sin_z, r.x * f.sin_z + r.y * f.cos_z, r.z}; }
Vec3 turn_y(const Vec3& r, const ChainFrame& f) { return {r.x * f.cos_y + r.z * f.sin_y, r.y, r.z * f.cos_y - r.x * f.sin_y}; }
Vec3 turn_x(const Vec3& r, const ChainFrame& f) { return {r.x, r.y * f.cos_x - r.z * f.sin_x, r.z * f.cos_x + r.y * f.sin_x}; }

void make_path_node(PathNode& node, const PathNode& parent, const ChunkedTable<PathNode>& nodes, int atom_index,
                    const Vec3& atom, std::int32_t label, const Vec3& polarization) {
    node.nleg = static_cast<std::int8_t>(parent.nleg + 1);
    node.distinct_atoms = parent.distinct_atoms;
    node.atom_index = atom_index;
    node.label = label;
    node.revisit_level = -1;
    node.polarization_projection = parent.polarization_projection;
    node.first_distance = parent.first_distance;
    node.frame = parent.frame;
    node.root = parent.root;
    node.atom = atom;
    node.revisit = false;
    node.coordinate_count = 0;

    if (node.nleg > 2) {
        for (const PathNode* ancestor = &parent;; ancestor = &nodes[at(ancestor->parent)]) {
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
        const Vec3 r = vec_sub(atom, nodes[at(node.root)].atom);
        place_in_chain_frame(node.distinct_atoms, r, polarization, node.frame, node.polarization_projection,
                             node.first_distance, node.coordinates);
        node.coordinate_count = static_cast<std::int8_t>(std::min<int>(node.distinct_atoms - 1, 3));
    }
    node.descriptor_length = static_cast<std::int8_t>(parent.descriptor_length + node.coordinate_count);
}

// What must agree exactly between equivalent chains, level by level from the last: revisit level,
// label and coordinate count, folded into one number. Chains are only compared within a bucket of
// equal numbers; a collision merely puts two kinds of chain into one bucket.
std::uint64_t chain_signature(const ChunkedTable<PathNode>& nodes, int node) {
    std::uint64_t signature = 1469598103934665603ull;
    const auto mix = [&signature](std::uint64_t value) {
        signature ^= value;
        signature *= 1099511628211ull;
    };
    for (int n = node; nodes[at(n)].parent >= 0; n = nodes[at(n)].parent) {
        const PathNode& level = nodes[at(n)];
        mix(static_cast<std::uint64_t>(level.revisit_level + 1));
        mix(static_cast<std::uint64_t>(level.coordinate_count));
        mix(static_cast<std::uint64_t>(level.label));
    }
    return signature;
}

bool chains_equivalent(const Pathfinder& finder, int a, int b) {
    const auto& nodes = finder.nodes;
    if (nodes[at(a)].nleg != nodes[at(b)].nleg) return false;
    for (; nodes[at(a)].parent >= 0; a = nodes[at(a)].parent, b = nodes[at(b)].parent) {
        const PathNode& x = nodes[at(a)];
        const PathNode& y = nodes[at(b)];
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

void place_in_chain_frame(int distinct_atoms, Vec3 r, const Vec3& polarization, ChainFrame& frame,
                          double& polarization_projection, double& first_distance,
                          std::array<double, 3>& coordinates) {
    // The turns by -phi = -atan2(y, x), pi/2 - theta with theta = acos(z / |r|), and -psi = -atan2(z, y)
    // have their cosines and sines in the components themselves; no angle is needed.
    if (distinct_atoms == 2) {
        polarization_projection = vec_dot(polarization, r);
        const double norm = vec_norm(r);
        first_distance = norm;
        const double planar = std::sqrt(r.x * r.x + r.y * r.y);
        const bool on_z_axis = std::abs(r.x) < 1e-6 && std::abs(r.y) < 1e-6;
        frame.cos_z = on_z_axis ? 1.0 : r.x / planar;
        frame.sin_z = on_z_axis ? 0.0 : -r.y / planar;
        // A first scatterer displaced onto the absorber has no direction; any frame will do.
        frame.cos_y = norm > 0 ? planar / norm : 1.0;
        frame.sin_y = norm > 0 ? r.z / norm : 0.0;
        r = turn_y(turn_z(r, frame), frame);
        coordinates[0] = r.x;
    } else if (distinct_atoms == 3) {
        r = turn_y(turn_z(r, frame), frame);
        const bool on_x_axis = std::abs(r.z) < 1e-6 && std::abs(r.y) < 1e-6;
        const double planar = std::sqrt(r.y * r.y + r.z * r.z);
        frame.cos_x = on_x_axis ? 1.0 : r.y / planar;
        frame.sin_x = on_x_axis ? 0.0 : -r.z / planar;
        r = turn_x(r, frame);
        coordinates[0] = r.x;
        coordinates[1] = r.y;
    } else {
        r = turn_x(turn_y(turn_z(r, frame), frame), frame);
        coordinates = {r.x, r.y, r.z};
    }
}

std::int32_t pathfinder_label_id(Pathfinder& finder, const std::string& label) {
    for (std::size_t i = 0; i < finder.labels.size(); ++i)
        if (finder.labels[i] == label) return static_cast<std::int32_t>(i);
    finder.labels.push_back(label);
    return static_cast<std::int32_t>(finder.labels.size()) - 1;
}

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

namespace {

// Positions and label ids of the candidates a parent chooses from: the whole working list for a root,
// its absorber's neighbour list otherwise.
struct CandidateList {
    std::vector<Vec3> positions;
    std::vector<std::int32_t> labels;
};

struct SearchScratch {
    CandidateList working;
    std::vector<CandidateList> neighbours;  // per absorber
    std::vector<double> distance;
    std::vector<std::int32_t> order;
};

void extend_with_scratch(Pathfinder& finder, SearchScratch& scratch, int first, int end) {
    const double limit = 2 * finder.r_max;
    const Vec3 polarization = to_vec3(finder.polarization);
    for (int p = first; p < end; ++p) {
        const PathNode parent = finder.nodes[at(p)];
        const bool is_root = parent.parent < 0;
        const CandidateList& candidates = is_root ? scratch.working : scratch.neighbours[at(parent.root)];
        const Vec3 from = candidates.positions[at(parent.atom_index)];
        const Vec3 absorber = finder.nodes[at(parent.root)].atom;
        // Only candidates that close the chain within the limit make nodes; they are made in order of
        // increasing leg length (equal lengths in list order), as a scan of the whole sorted list would.
        scratch.order.clear();
        scratch.distance.resize(candidates.positions.size());
        for (std::size_t c = 0; c < candidates.positions.size(); ++c) {
            const double d = vec_distance(candidates.positions[c], from);
            scratch.distance[c] = d;
            if (static_cast<int>(c) == parent.atom_index || d < coincident) continue;
            const double open = parent.open_length + d;
            if (open > limit) continue;
            const double closed = open + vec_distance(candidates.positions[c], absorber);
            if (closed < limit) scratch.order.push_back(static_cast<std::int32_t>(c));
        }
        std::stable_sort(scratch.order.begin(), scratch.order.end(), [&](std::int32_t a, std::int32_t b) {
            return scratch.distance[at(a)] < scratch.distance[at(b)];
        });

        const std::size_t first_child = finder.nodes.size();
        for (const std::int32_t c : scratch.order) {
            const double d = scratch.distance[at(c)];
            const double open = parent.open_length + d;
            const double closed = open + vec_distance(candidates.positions[at(c)], absorber);
            PathNode& node = finder.nodes.emplace_back();
            make_path_node(node, parent, finder.nodes, c, candidates.positions[at(c)], candidates.labels[at(c)],
                           polarization);
            node.parent = p;
            node.open_length = open;
            node.R = closed / 2;
        }
        if (is_root) {
            // The root's children are its neighbours: later legs choose only among them and the absorber.
            auto& list = finder.neighbours[at(p)];
            auto& sources = finder.neighbour_sources[at(p)];
            CandidateList& own = scratch.neighbours[at(p)];
            list.clear();
            sources.clear();
            own = {};
            for (std::size_t n = first_child; n < finder.nodes.size(); ++n) {
                PathNode& child = finder.nodes[n];
                sources.push_back((*finder.source_index)[at(child.atom_index)]);
                list.push_back((*finder.atoms)[at(child.atom_index)]);
                own.positions.push_back(child.atom);
                own.labels.push_back(child.label);
                child.atom_index = static_cast<std::int32_t>(list.size()) - 1;
            }
            list.push_back((*finder.atoms)[at(parent.atom_index)]);
            sources.push_back((*finder.source_index)[at(parent.atom_index)]);
            own.positions.push_back(parent.atom);
            own.labels.push_back(parent.label);
            finder.nodes[at(p)].atom_index = static_cast<std::int32_t>(list.size()) - 1;
        }
    }
}

SearchScratch make_search_scratch(Pathfinder& finder) {
    SearchScratch scratch;
    const std::vector<Atom>& atoms = *finder.atoms;
    const std::size_t count = std::min(atoms.size(), static_cast<std::size_t>(std::max(0, finder.working_atom_count)));
    scratch.working.positions.reserve(count);
    scratch.working.labels.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        scratch.working.positions.push_back(to_vec3(atoms[i]));
        scratch.working.labels.push_back(pathfinder_label_id(finder, atoms[i].label));
    }
    scratch.neighbours.resize(static_cast<std::size_t>(finder.absorber_count));
    return scratch;
}

}  // namespace

int run_pathfinder(Pathfinder& finder, int centre_atom) {
    finder.nodes.clear();
    finder.labels.clear();
    finder.current.clear();
    finder.node_sources.clear();
    finder.chain_nodes.clear();
    finder.level_end.fill(0);
    finder.absorber_count = detect_absorbers(finder, centre_atom);
    finder.level_end[1] = finder.absorber_count;
    std::cout << "Detected absorbers: " << finder.absorber_count << '\n';

    finder.neighbours.assign(static_cast<std::size_t>(finder.absorber_count), {});
    finder.neighbour_sources.assign(static_cast<std::size_t>(finder.absorber_count), {});
    SearchScratch scratch = make_search_scratch(finder);
    for (int nleg = 2; nleg <= finder.max_nleg; ++nleg) {
        const int before = static_cast<int>(finder.nodes.size());
        extend_with_scratch(finder, scratch, finder.level_end[static_cast<std::size_t>(nleg - 2)], before);
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
        const Atom& atom = (*finder.atoms)[static_cast<std::size_t>(index)];
        PathNode& root = finder.nodes.emplace_back();
        root.atom_index = index;
        root.label = pathfinder_label_id(finder, atom.label);
        root.atom = to_vec3(atom);
        root.root = static_cast<std::int32_t>(finder.nodes.size()) - 1;
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
    SearchScratch scratch = make_search_scratch(finder);
    for (std::size_t a = 0; a < scratch.neighbours.size(); ++a) {
        for (std::size_t j = 0; j < finder.neighbours[a].size(); ++j) {
            scratch.neighbours[a].positions.push_back(to_vec3(finder.neighbours[a][j]));
            scratch.neighbours[a].labels.push_back(pathfinder_label_id(finder, finder.neighbours[a][j].label));
        }
    }
    extend_with_scratch(finder, scratch, first, end);
    return static_cast<int>(finder.nodes.size());
}

void build_nonequivalent_paths(Pathfinder& finder) {
    auto& nodes = finder.nodes;
    std::vector<Path> paths;
    std::unordered_map<std::uint64_t, std::vector<std::int32_t>> buckets;
    for (std::size_t n = static_cast<std::size_t>(finder.absorber_count); n < nodes.size(); ++n) {
        PathNode& node = nodes[n];
        node.path = -1;
        if (std::abs(node.open_length - 2 * node.R) <= closing_on_absorber) continue;
        // Equivalent chains share their signature, so only representatives in the same bucket can match;
        // scanning a bucket in creation order keeps the first matching path.
        std::vector<std::int32_t>& bucket = buckets[chain_signature(nodes, static_cast<int>(n))];
        for (const std::int32_t p : bucket) {
            if (chains_equivalent(finder, static_cast<int>(n), paths[at(p)].representative)) {
                node.path = p;
                ++paths[at(p)].degeneracy;
                break;
            }
        }
        if (node.path >= 0) continue;
        Path path;
        path.nleg = node.nleg;
        path.descriptor_length = node.descriptor_length;
        path.root = node.root;
        path.state_count = finder.state_count;
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
        return paths[at(a)].R < paths[at(b)].R;
    });
    std::vector<std::int32_t> renumbered(paths.size());
    finder.paths.clear();
    finder.paths.reserve(paths.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        renumbered[at(order[i])] = static_cast<std::int32_t>(i);
        finder.paths.push_back(std::move(paths[at(order[i])]));
        finder.paths.back().importance = path_tree_initial_importance;
    }
    for (PathNode& node : nodes) {
        if (node.path >= 0) node.path = renumbered[at(node.path)];
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
        kept.push_back(finder.paths[at(old)]);
        kept.back().members.clear();
        kept.back().chains.clear();
        kept.back().members.reserve(static_cast<std::size_t>(kept.back().degeneracy));
        kept.back().degeneracy = 0;
        if (new_index_of_old[at(old)] < 0) new_index_of_old[at(old)] = i;
    }
    for (std::size_t i = static_cast<std::size_t>(finder.absorber_count); i < nodes.size(); ++i) {
        PathNode& node = nodes[i];
        const std::int32_t old = node.path;
        node.path = -1;
        node.dropped = true;
        if (old < 0 || new_index_of_old[at(old)] < 0) continue;
        node.path = new_index_of_old[at(old)];
        node.dropped = false;
        Path& path = kept[at(node.path)];
        path.members.push_back(static_cast<std::int32_t>(i));
        ++path.degeneracy;
    }
    for (std::size_t i = 0; i < static_cast<std::size_t>(finder.absorber_count); ++i) nodes[i].dropped = false;
    // Parents precede their children, so one backward pass keeps every ancestor of a kept node.
    for (std::size_t i = nodes.size(); i-- > 0;) {
        if (!nodes[i].dropped && nodes[i].parent >= 0) nodes[at(nodes[i].parent)].dropped = false;
    }

    std::vector<std::int32_t> new_node(nodes.size(), -1);
    ChunkedTable<PathNode> compact;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        if (nodes[i].dropped) continue;
        new_node[i] = static_cast<std::int32_t>(compact.size());
        compact.push_back(nodes[i]);
    }
    finder.max_nleg = 1;
    for (std::size_t i = 0; i < compact.size(); ++i) {
        PathNode& node = compact[i];
        node.root = new_node[at(node.root)];
        if (node.parent < 0) continue;
        const std::int32_t parent = new_node[at(node.parent)];
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
        path.representative = new_node[at(path.representative)];
        path.root = new_node[at(path.root)];
        for (std::int32_t& member : path.members) member = new_node[at(member)];
    }
    finder.nodes = std::move(compact);
    finder.paths = std::move(kept);
    finder.selected_paths.clear();
    finder.current.clear();
    finder.node_sources.clear();
    finder.chain_nodes.clear();
}

void set_state_count_on_paths(Pathfinder& finder, int n) {
    finder.state_count = n;
    for (Path& path : finder.paths) path.state_count = n;
}

void free_pathfinder_arrays(Pathfinder& finder) {
    finder.neighbours = {};
    finder.neighbour_sources = {};
    finder.paths = {};
    finder.nodes.clear();
    finder.selected_paths = {};
    finder.current = {};
    finder.node_sources = {};
    finder.chain_nodes = {};
    finder.labels = {};
}
