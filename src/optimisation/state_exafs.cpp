#include "optimisation/state_exafs.hpp"

#include "control/calculation.hpp"
#include "optimisation/state.hpp"
#include "spectra/experimental_spectrum.hpp"
#include "spectra/signal.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/structure.hpp"
#include "theory/absorber_edge.hpp"
#include "theory/cluster_sums.hpp"
#include "theory/clustering.hpp"
#include "theory/path_update.hpp"
#include "theory/pathfinder.hpp"

#include <array>
#include <cmath>
#include <cstddef>

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

}  // namespace

void apply_state_to_edge(Calculation& calc, AbsorberEdge& edge, int state_index) {
    const State& state = calc.current_states[at(state_index)];
    launch_path_update_threads(edge.pathfinder, state.atoms, state.atom_index[at(structure_index(calc, edge))]);
}

void add_path_chi_to_state(Calculation& calc, AbsorberEdge& edge, int state_index) {
    State& state = calc.current_states[at(state_index)];
    const Pathfinder& finder = edge.pathfinder;
    const double weight = state.weights[at(structure_index(calc, edge))];
    const double absorbers = static_cast<double>(finder.absorber_count);
    std::array<double, state_chi_grid_points>& grid = state.spectra[at(edge.spectrum->index)].chi_grid;
    // Each path's chi is made here rather than in the path's own array, so that states evaluated at the
    // same time on different threads do not share it; the numbers are those of the path chi threads.
    std::array<double, path_chi_points> chi{};
    for (const Path& path : finder.paths) {
        class_chi_of_path(path, state_index, chi.data());
        for (int i = 0; i < path_chi_points; ++i) grid[at(i + 1)] += weight * chi[at(i)] / absorbers;
    }
}

double compute_state_exafs(Calculation& calc, SpectrumContext& context, int state_index, bool feff_per_member,
                           std::vector<MemberChiTable>* member_tables) {
    State& state = calc.current_states[at(state_index)];
    if (!state.needs_evaluation) return 0.0;
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
            add_path_chi_to_state(calc, edge, state_index);
        }
    }
    grid[0] = grid[1];
    grid[state_chi_grid_points - 1] = grid[state_chi_grid_points - 2];

    interpolate_to_grid(block.chi, state_grid_k(), grid);
    const SpectrumParameters& p = *context.parameters;
    const double k_power = p.doubles[SpectrumDoubleKey::k_power];
    const double w = feff_per_member ? k_power : k_power - 1.0;
    for (int i = 0; i < block.chi.n; ++i) block.chi.re[at(i)] *= k_weight(k_grid_value(p, i), w);
    for (int j = 1; j < state_chi_grid_points - 1; ++j) grid[at(j)] *= k_weight(0.05 * (j - 1), w);

    double sum = 0.0;
    for (int i = 0; i < path_chi_points; ++i) {
        const double value = grid[at(i + 1)];
        sum += std::pow(0.05 * i, 2.0 * k_power) * value * value;
    }
    return sum;
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
