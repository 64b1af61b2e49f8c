#include "control/calculation.hpp"
#include "optimisation/state.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/structure.hpp"
#include "theory/absorber_edge.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <tuple>

namespace {

// Structures of 3 and 5 supercell atoms at (i, j, 0); structure 1 ends with an image of its atom 0 at x = 8.
std::unique_ptr<Calculation> two_structure_run(double first_weight = 0.25) {
    auto calc = std::make_unique<Calculation>();
    set_parameter_defaults(*calc);
    calc->parameters.ints[IntKey::Number_of_states] = 3;
    calc->parameters.ints[IntKey::Number_of_structures] = 2;
    calc->spectrum_parameters[0].nk = 3;
    for (int j = 0; j < 2; ++j) {
        Structure& structure = calc->structures[j];
        structure.atom_count = 3 + 2 * j;
        for (int i = 0; i < structure.atom_count; ++i) structure.working_atoms.push_back({j ? "Cu" : "O", 1.0 * i, 1.0 * j, 0});
        structure.working_source = {0, 1, 2, 3, 4, 0};
    }
    calc->structures[0].weight = first_weight;
    calc->structures[1].working_atoms.push_back({"Cu", 8, 1, 0});
    seed_random_generator(*calc);
    allocate_states(*calc);
    return calc;
}

auto xyz(const Atom& a) { return std::tuple(a.x, a.y, a.z); }

}  // namespace

TEST(StateAtoms, NumberedStructureByStructureAndImagesFollowTheirSupercellAtom) {
    auto calc = two_structure_run();
    State& state = calc->backup_states[2];
    EXPECT_EQ(state.atom_count, 8);
    EXPECT_EQ(state.atom_index[1][0], 3);
    set_atom_position(state, {"", 0.5, 1.25, -2}, 1, 0);
    EXPECT_EQ(get_state_atom(state, 3).label, "Cu");
    EXPECT_EQ(xyz(get_atom_position(state, 1, 0)), std::tuple(0.5, 1.25, -2.0));
    EXPECT_EQ(xyz(get_atom_position(state, 1, 5)), std::tuple(8.5, 1.25, -2.0));
    EXPECT_EQ(xyz(get_atom_position(state, 0, 0)), std::tuple(0.0, 0.0, 0.0));
}

TEST(StateWeights, NegativeWeightDrawsOneNumberPerStructureStateByStateAndNormalises) {
    auto calc = two_structure_run(-1.0);
    EXPECT_DOUBLE_EQ(calc->current_states[0].weights[0], 0.2485689006280154 / (0.2485689006280154 + 955945823.0 / 4294967296.0));
    seed_random_generator(*calc);
    for (const State& state : calc->current_states) {
        const double first = uniform_random(*calc);
        EXPECT_DOUBLE_EQ(state.weights[0], first / (first + uniform_random(*calc)));
        EXPECT_DOUBLE_EQ(state.weights[0] + state.weights[1], 1.0);
    }
    EXPECT_EQ(calc->offspring_states[0].weights[0], -1.0);
}

TEST(StateCopies, RestoreUndoesAMoveAfterBackup) {
    auto calc = two_structure_run();
    EXPECT_EQ(calc->spectra[0].states, calc->current_states.data());
    State& state = calc->current_states[1];
    state.residual = state.spectra[0].residual = state.spectra[0].chi_grid[8] = 0.5;
    backup_all_states(*calc);
    set_atom_position(state, {"", 9, 9, 9}, 0, 2);
    state.residual = state.spectra[0].residual = state.spectra[0].chi_grid[8] = 7;
    restore_state(*calc, 1);
    EXPECT_EQ(xyz(get_atom_position(state, 0, 2)), std::tuple(2.0, 0.0, 0.0));
    EXPECT_EQ(std::tuple(state.residual, state.spectra[0].residual, state.spectra[0].chi_grid[8]), std::tuple(0.5, 0.5, 0.5));
}

// The transforms are working arrays that every user makes afresh from chi, so copies leave them out.
TEST(StateCopies, SignalCopyFillsOnlyTheSourcePointsOfTheModel) {
    SpectrumParameters small, large;
    std::tie(small.nk, large.nk) = std::tuple(2, 3);
    StateSpectrum source, destination;
    init_state_spectrum_signals(source, small);
    init_state_spectrum_signals(destination, large);
    source.chi.re = source.chi.im = {1, 1};
    source.wt.re.assign(4, 1.0);
    destination.chi.re.assign(3, 7.0);
    destination.wt.re.assign(9, 7.0);
    copy_state_spectrum_arrays(source, destination);
    EXPECT_EQ(destination.chi.re, (std::vector<double>{1, 1, 7}));
    EXPECT_EQ(destination.chi.im[0], 0.0);
    EXPECT_EQ(destination.wt.re, (std::vector<double>(9, 7.0)));
}
