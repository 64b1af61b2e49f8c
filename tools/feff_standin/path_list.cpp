#include "path_list.hpp"

#include "model.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace feff_standin {
namespace {

// Paths whose legs agree within this tolerance (and whose potentials agree) are one degenerate path.
constexpr double leg_tolerance = 0.01;
// With polarization, members of a degenerate path must also see the same dipole factor.
constexpr double polarization_tolerance = 1e-3;
// Atoms this close to the absorber are duplicates of it, not neighbours.
constexpr double same_point = 1e-3;

// A chain absorber -> rows[0] -> ... -> rows[nleg-2] -> absorber through ATOMS rows.
struct Chain {
    int nleg = 2;
    std::array<int, 2> rows{};
    std::array<double, 3> legs{};
    double reff = 0.0;
    double polarization = 1.0;
};

struct Group {
    Chain first;          // the member the others are compared with
    Chain representative;  // the member earliest in ATOMS order
    int members = 0;
};

int ipot_of(const FeffInput& input, int row) { return input.atoms[static_cast<std::size_t>(row)].ipot; }

bool same_path(const FeffInput& input, const Chain& a, const Chain& b) {
    if (a.nleg != b.nleg || std::abs(a.polarization - b.polarization) > polarization_tolerance) return false;
    const int scatterers = a.nleg - 1;
    const auto matches = [&](bool reversed) {
        for (int i = 0; i < scatterers; ++i) {
            const int j = reversed ? scatterers - 1 - i : i;
            if (ipot_of(input, a.rows[static_cast<std::size_t>(i)]) != ipot_of(input, b.rows[static_cast<std::size_t>(j)]))
                return false;
        }
        for (int i = 0; i < a.nleg; ++i) {
            const int j = reversed ? a.nleg - 1 - i : i;
            if (std::abs(a.legs[static_cast<std::size_t>(i)] - b.legs[static_cast<std::size_t>(j)]) > leg_tolerance)
                return false;
        }
        return true;
    };
    return matches(false) || matches(true);
}

bool earlier_in_atoms(const Chain& a, const Chain& b) {
    return std::lexicographical_compare(a.rows.begin(), a.rows.begin() + (a.nleg - 1), b.rows.begin(),
                                        b.rows.begin() + (b.nleg - 1));
}

PathBlock to_block(const FeffInput& input, const Chain& chain, int members) {
    const Vec3 origin = input.atoms.front().position;
    const auto label_of = [&](int ipot) { return input.required_potential(ipot, "feff.inp").label; };
    PathBlock block;
    block.degeneracy = members;
    for (int i = 0; i < chain.nleg - 1; ++i) {
        const AtomRow& row = input.atoms[static_cast<std::size_t>(chain.rows[static_cast<std::size_t>(i)])];
        block.atoms.push_back({row.position - origin, row.ipot, label_of(row.ipot)});
    }
    block.atoms.push_back({Vec3{}, 0, label_of(0)});
    return block;
}

double chain_polarization(const FeffInput& input, const Chain& chain) {
    if (!input.polarization) return 1.0;
    return polarization_factor(to_block(input, chain, 1), input.polarization);
}

// Groups chains (sorted by reff) into degenerate paths. Members of a group differ in reff by at most
// 1.5 leg tolerances, so only the groups opened recently need to be searched.
std::vector<Group> group_chains(const FeffInput& input, std::vector<Chain> chains) {
    std::stable_sort(chains.begin(), chains.end(), [](const Chain& a, const Chain& b) { return a.reff < b.reff; });
    std::vector<Group> groups;
    std::size_t first_open = 0;
    for (const Chain& chain : chains) {
        while (first_open < groups.size() && groups[first_open].first.reff < chain.reff - 2.0 * leg_tolerance)
            ++first_open;
        auto found = std::find_if(groups.begin() + static_cast<std::ptrdiff_t>(first_open), groups.end(),
                                  [&](const Group& g) { return same_path(input, g.first, chain); });
        if (found == groups.end()) {
            groups.push_back({chain, chain, 1});
        } else {
            ++found->members;
            if (earlier_in_atoms(chain, found->representative)) found->representative = chain;
        }
    }
    return groups;
}

}  // namespace

void check_cluster(const FeffInput& input) {
    if (input.atoms.empty()) throw StandinError("feff.inp: no ATOMS list");
    input.required_potential(0, "feff.inp (absorber)");
    for (std::size_t i = 0; i < input.atoms.size(); ++i) {
        const std::string where = "feff.inp ATOMS row " + std::to_string(i + 1);
        input.required_potential(input.atoms[i].ipot, where);
        // The first row is the absorber whatever its index; potential 0 anywhere else would be a second one.
        if (i > 0 && input.atoms[i].ipot == 0) throw StandinError(where + ": potential 0 is reserved for the absorber");
    }
}

double path_radius(const FeffInput& input) {
    if (input.rpath) return *input.rpath;
    double nearest = std::numeric_limits<double>::infinity();
    const Vec3 origin = input.atoms.front().position;
    for (std::size_t i = 1; i < input.atoms.size(); ++i) {
        const double d = distance(origin, input.atoms[i].position);
        if (d > same_point) nearest = std::min(nearest, d);
    }
    return std::isfinite(nearest) ? 2.2 * nearest : 0.0;
}

std::vector<PathBlock> build_path_list(const FeffInput& input) {
    const double rpath = path_radius(input);
    const Vec3 origin = input.atoms.front().position;

    // Candidate scatterers: only atoms within rpath of the absorber can lie on a path of half length <= rpath.
    std::vector<int> near;
    std::vector<double> d0(input.atoms.size(), 0.0);
    for (std::size_t i = 1; i < input.atoms.size(); ++i) {
        d0[i] = distance(origin, input.atoms[i].position);
        if (d0[i] > same_point && d0[i] <= rpath) near.push_back(static_cast<int>(i));
    }

    std::vector<Chain> singles;
    for (int i : near) {
        Chain c;
        c.nleg = 2;
        c.rows = {i, 0};
        c.legs = {d0[static_cast<std::size_t>(i)], d0[static_cast<std::size_t>(i)], 0.0};
        c.reff = d0[static_cast<std::size_t>(i)];
        c.polarization = chain_polarization(input, c);
        singles.push_back(c);
    }
    std::vector<Group> groups = group_chains(input, std::move(singles));
    const std::size_t single_groups = groups.size();

    if (input.nlegs >= 3) {
        std::vector<Chain> triangles;
        for (int i : near) {
            for (int j : near) {
                if (i == j) continue;
                const double dij = distance(input.atoms[static_cast<std::size_t>(i)].position,
                                            input.atoms[static_cast<std::size_t>(j)].position);
                const double reff = 0.5 * (d0[static_cast<std::size_t>(i)] + dij + d0[static_cast<std::size_t>(j)]);
                if (dij <= same_point || reff > rpath) continue;
                Chain c;
                c.nleg = 3;
                c.rows = {i, j};
                c.legs = {d0[static_cast<std::size_t>(i)], dij, d0[static_cast<std::size_t>(j)]};
                c.reff = reff;
                c.polarization = chain_polarization(input, c);
                triangles.push_back(c);
            }
        }
        std::vector<Group> triangle_groups = group_chains(input, std::move(triangles));
        groups.insert(groups.end(), triangle_groups.begin(), triangle_groups.end());
    }

    std::vector<PathBlock> paths;
    std::size_t single_paths = 0;
    for (std::size_t i = 0; i < groups.size(); ++i) {
        // A path the polarization cannot see has no signal; as the leading path it would be useless.
        if (std::abs(groups[i].first.polarization) < polarization_tolerance) continue;
        paths.push_back(to_block(input, groups[i].representative, groups[i].members));
        if (i < single_groups) single_paths = paths.size();
    }
    // Shortest first; at equal length single scattering before the multiple-scattering paths.
    std::vector<std::size_t> order(paths.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::vector<double> reff(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) reff[i] = half_path_length(paths[i]);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (reff[a] != reff[b]) return reff[a] < reff[b];
        return paths[a].nleg() < paths[b].nleg();
    });

    // Weak multiple-scattering paths are dropped against the leading path, as a full code would by
    // its plane-wave estimate; single scattering shells are always kept.
    std::vector<PathBlock> kept;
    const auto k = make_k_grid(input.kmax);
    double leading_strength = 0.0;
    for (std::size_t position : order) {
        PathBlock& path = paths[position];
        if (!kept.empty() && position >= single_paths && leading_strength > 0.0) {
            const double ratio = 100.0 * path_strength(compute_path_signal(path, input, k)) / leading_strength;
            if (ratio < input.criterion_pw) continue;
        }
        if (kept.empty()) leading_strength = path_strength(compute_path_signal(path, input, k));
        kept.push_back(std::move(path));
        kept.back().index = static_cast<int>(kept.size());
    }
    if (kept.empty()) throw StandinError("no neighbour of the absorber within the path radius");
    return kept;
}

}  // namespace feff_standin
