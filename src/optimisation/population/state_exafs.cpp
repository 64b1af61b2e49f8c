#include "optimisation/population/state_exafs.hpp"

#include "control/calculation.hpp"
#include "control/threads.hpp"
#include "optimisation/population/state.hpp"
#include "spectra/experimental_spectrum.hpp"
#include "spectra/signal.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/structure.hpp"
#include "theory/absorber_edge.hpp"
#include "theory/cluster_sums.hpp"
#include "theory/clustering.hpp"
#include "theory/incremental_sums.hpp"
#include "theory/member_terms.hpp"
#include "theory/path_update.hpp"
#include "theory/pathfinder.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

namespace {

std::size_t at(std::int64_t i) { return static_cast<std::size_t>(i); }

// Abscissae of the state's fixed grid: k = -0.05 + 0.05 j, with a guard point at each end.
const std::array<double, state_chi_grid_points>& state_grid_k() {
    static const std::array<double, state_chi_grid_points> grid = [] {
        std::array<double, state_chi_grid_points> k{};
        for (int j = 0; j < state_chi_grid_points; ++j) k[at(j)] = 0.05 * (j - 1);
        return k;
    }();
    return grid;
}

// k^w, taken as 0 at k = 0 for a negative w: the cluster route's signals carry a factor k, so the
// weighted value there is the limit of a vanishing signal rather than 0 times infinity.
double k_weight(double k, double w) {
    if (k == 0.0 && w < 0.0) return 0.0;
    return std::pow(k, w);
}

int structure_index(const Calculation& calc, const AbsorberEdge& edge) {
    return static_cast<int>(edge.structure - calc.structures.data());
}


// The points [first, end) of the path grid on which the cluster route makes the spectrum's chi: those
// its edges keep their sums up to date on.
std::array<int, 2> points_in_use(const Calculation& calc, const SpectrumContext& context) {
    int first = path_chi_points, end = 0;
    for (int n = 0; n < context.edge_count; ++n) {
        const Pathfinder& finder = calc.edges[at(context.edge_indices[at(n)])].pathfinder;
        first = std::min(first, static_cast<int>(finder.first_point));
        end = std::max(end, static_cast<int>(finder.end_point));
    }
    if (first >= end) return {0, path_chi_points};
    return {first, end};
}

// The state's chi for the spectrum made on the path-grid points [first, end) (the rest of the fixed grid
// is left without a number), then put on the spectrum's grid, which reads no point outside them.
double state_exafs_on_points(Calculation& calc, SpectrumContext& context, int state_index, bool feff_per_member,
                             std::vector<MemberChiTable>* member_tables, int first, int end) {
    State& state = calc.current_states[at(state_index)];
    StateSpectrum& block = state.spectra[at(context.index)];
    std::array<double, state_chi_grid_points>& grid = block.chi_grid;
    grid.fill(0.0);
    for (int n = 0; n < context.edge_count; ++n) {
        AbsorberEdge& edge = calc.edges[at(context.edge_indices[at(n)])];
        if (feff_per_member) {
            // In the one-dimensional model the tree's lengths are the model itself, not a state's atoms.
            if (!calc.flags.oneD) apply_state_to_edge(calc, edge, state_index);
            MemberChiTable scratch;
            MemberChiTable& table = member_tables != nullptr ? (*member_tables)[at(edge.index)] : scratch;
            compute_member_chi_with_feff(edge, grid.data(), state.weights[at(structure_index(calc, edge))], table,
                                         calc.flags.oneD);
        } else {
            add_path_chi_to_state(calc, edge, state_index, first, end);
        }
    }
    // A point outside the range that some reader took for a number would show as no number.
    for (int i = 0; i < path_chi_points; ++i) {
        if (i < first || i >= end) grid[at(i + 1)] = std::numeric_limits<double>::quiet_NaN();
    }
    grid[0] = grid[1];
    grid[state_chi_grid_points - 1] = grid[state_chi_grid_points - 2];

    interpolate_to_grid(block.chi, state_grid_k(), grid);
    const SpectrumParameters& p = *context.parameters;
    const double k_power = p.doubles[SpectrumDoubleKey::k_power];
    const double w = feff_per_member ? k_power : k_power - 1.0;
    for (int i = 0; i < block.chi.n; ++i) block.chi.re[at(i)] *= k_weight(k_grid_value(p, i), w);
    for (int j = first + 1; j < end + 1; ++j) grid[at(j)] *= k_weight(0.05 * (j - 1), w);

    double sum = 0.0;
    for (int i = first; i < end; ++i) {
        const double value = grid[at(i + 1)];
        sum += std::pow(0.05 * i, 2.0 * k_power) * value * value;
    }
    return sum;
}

// The path-grid points [first, end) that a spectrum's chi on its own k grid reads, with the interpolation's
// neighbours on either side and a point to spare.
std::array<int, 2> points_read_by(const SpectrumParameters& p) {
    const double step = 0.05;
    const double k_first = k_grid_value(p, 0);
    const double k_last = k_grid_value(p, std::max(p.nk - 1, 0));
    const int first = std::clamp(static_cast<int>(std::floor(k_first / step)) - 2, 0, path_chi_points - 1);
    const int last = std::clamp(static_cast<int>(std::ceil(k_last / step)) + 2, 0, path_chi_points - 1);
    if (!(k_first >= 0) || !(k_last >= k_first)) return {0, path_chi_points};
    return {first, last + 1};
}

}  // namespace

void apply_state_to_edge(Calculation& calc, AbsorberEdge& edge, int state_index) {
    const State& state = calc.current_states[at(state_index)];
    launch_path_update_threads(edge.pathfinder, state.atoms, state.atom_index[at(structure_index(calc, edge))]);
}

void add_path_chi_to_state(Calculation& calc, AbsorberEdge& edge, int state_index, int first, int end) {
    State& state = calc.current_states[at(state_index)];
    const Pathfinder& finder = edge.pathfinder;
    const double weight = state.weights[at(structure_index(calc, edge))];
    const double absorbers = static_cast<double>(finder.absorber_count);
    std::array<double, state_chi_grid_points>& grid = state.spectra[at(edge.spectrum->index)].chi_grid;
    // Each path's chi is made here rather than in the path's own array, so that states evaluated at the
    // same time on different threads do not share it; the numbers are those of the path chi threads.
    std::array<double, path_chi_points> chi{};
    for (const Path& path : finder.paths) {
        class_chi_of_path(path, state_index, chi.data(), first, end);
        for (int i = first; i < end; ++i) grid[at(i + 1)] += weight * chi[at(i)] / absorbers;
    }
}

void add_path_chi_to_state(Calculation& calc, AbsorberEdge& edge, int state_index) {
    add_path_chi_to_state(calc, edge, state_index, 0, path_chi_points);
}

double compute_state_exafs(Calculation& calc, SpectrumContext& context, int state_index, bool feff_per_member,
                           std::vector<MemberChiTable>* member_tables) {
    if (!calc.current_states[at(state_index)].needs_evaluation) return 0.0;
    const std::array<int, 2> points = feff_per_member ? std::array<int, 2>{0, path_chi_points} : points_in_use(calc, context);
    return state_exafs_on_points(calc, context, state_index, feff_per_member, member_tables, points[0], points[1]);
}

void complete_state_chi(Calculation& calc, int state_index) {
    const double expansion_accuracy = calc.parameters.doubles[DoubleKey::Expansion_accuracy];
    bool complete = true;
    for (int e = 0; e < calc.absorber_edge_count; ++e) {
        Pathfinder& finder = calc.edges[at(e)].pathfinder;
        if (!state_tables_made(finder, state_index)) {
            complete = false;
            continue;
        }
        complete_state_sums(finder, state_index, expansion_accuracy);
    }
    // Tables that hold no state (before the first evaluation) have nothing to complete the chi from.
    if (!complete) return;
    for (int p = 0; p < calc.parameters.ints[IntKey::Number_of_spectra]; ++p) {
        SpectrumContext& context = calc.spectra[at(p)];
        if (points_in_use(calc, context) == std::array<int, 2>{0, path_chi_points}) continue;
        state_exafs_on_points(calc, context, state_index, false, nullptr, 0, path_chi_points);
    }
}

void keep_sums_on_points_in_use(Calculation& calc) {
    for (int e = 0; e < calc.absorber_edge_count; ++e) {
        AbsorberEdge& edge = calc.edges[at(e)];
        const std::array<int, 2> points = points_read_by(*edge.spectrum);
        edge.pathfinder.first_point = points[0];
        edge.pathfinder.end_point = points[1];
    }
}

void keep_sums_on_whole_grid(Calculation& calc) {
    bool narrowed = false;
    for (int e = 0; e < calc.absorber_edge_count; ++e) {
        const Pathfinder& finder = calc.edges[at(e)].pathfinder;
        narrowed = narrowed || !sums_on_whole_grid(finder);
    }
    if (!narrowed) return;
    for (int e = 0; e < calc.absorber_edge_count; ++e) prepare_member_chains(calc.edges[at(e)].pathfinder);
    const int states = static_cast<int>(calc.current_states.size());
    const int threads = std::max(1, std::min(calc.parameters.ints[IntKey::Number_of_threads], states));
    fork_join(threads, [&](std::int32_t k) {
        for (int s = k; s < states; s += threads) complete_state_chi(calc, s);
    });
    for (int e = 0; e < calc.absorber_edge_count; ++e) {
        Pathfinder& finder = calc.edges[at(e)].pathfinder;
        finder.first_point = 0;
        finder.end_point = path_chi_points;
    }
}

void bind_states_to_absorber_edges(Calculation& calc) {
    const int states = calc.parameters.ints[IntKey::Number_of_states];
    const bool complex_mode = calc.parameters.bools[BoolKey::use_effective_phase_amplitude];
    for (int e = 0; e < calc.absorber_edge_count; ++e) {
        AbsorberEdge& edge = calc.edges[at(e)];
        for (auto* population : {&calc.current_states, &calc.offspring_states, &calc.backup_states}) {
            for (State& state : *population) {
                if (state.edge_links.size() < at(calc.absorber_edge_count)) state.edge_links.resize(at(calc.absorber_edge_count));
                state.edge_links[at(e)] = {static_cast<std::int32_t>(edge.pathfinder.paths.size()), &edge.pathfinder};
            }
        }
        set_state_count_on_paths(edge.pathfinder, states);
        for (Path& path : edge.pathfinder.paths) init_path_clusters(path, 1, states, complex_mode);
    }
    for (int e = 0; e < calc.absorber_edge_count; ++e) {
        AbsorberEdge& edge = calc.edges[at(e)];
        for (int s = 0; s < states; ++s) {
            apply_state_to_edge(calc, edge, s);
            single_cluster_for_all_paths(edge.pathfinder);
        }
        launch_cluster_update_threads(edge.pathfinder);
    }
}
