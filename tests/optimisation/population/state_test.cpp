#include "control/calculation.hpp"
#include "control/mt.hpp"
#include "optimisation/population/evolution.hpp"
#include "optimisation/population/moves.hpp"
#include "optimisation/population/state.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/structure.hpp"
#include "theory/absorber_edge.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
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

// Moves and crossovers of the weights, on the two structures above (no constraint terms, so no halving).
TEST(MoveWeights, ANegativeWeightIsClippedToZeroBeforeTheWeightsAreScaledToOne) {
    auto calc = two_structure_run();
    calc->parameters.bools[BoolKey::adjust_weights] = true;
    calc->parameters.doubles[DoubleKey::Weight_increment] = 1.0;
    State& state = calc->current_states[0];
    int clipped = 0, all_clipped = 0;
    for (int trial = 0; trial < 40; ++trial) {
        const std::array<double, 2> start = trial % 2 ? std::array<double, 2>{0.02, 0.02} : std::array<double, 2>{0.3, 0.7};
        std::copy(start.begin(), start.end(), state.weights.begin());
        backup_all_states(*calc);
        MersenneTwister replay = calc->random;
        propose_move(*calc, 0);
        // Per structure: the atom draw and three displacement draws, then the weight draw.
        std::array<double, 2> expected{};
        for (std::size_t j = 0; j < 2; ++j) {
            for (int k = 0; k < 4; ++k) replay.genrand_real2();
            expected[j] = std::max(0.0, start[j] + (2 * replay.genrand_real2() - 1) * 1.0);
        }
        const double sum = expected[0] + expected[1];
        clipped += expected[0] == 0.0 || expected[1] == 0.0;
        all_clipped += sum == 0.0;
        for (std::size_t j = 0; j < 2; ++j) {
            // Weights that are all clipped have no proportion to keep: they stay as they were.
            EXPECT_DOUBLE_EQ(state.weights[j], sum > 0 ? expected[j] / sum : start[j]) << trial;
        }
    }
    EXPECT_GT(clipped, all_clipped);
    EXPECT_GT(all_clipped, 0);
}

TEST(Crossover, ChildrenSwapTheRecordsAndWeightsWhoseDrawsExceedOneHalfThenScaleTheirWeightsToOne) {
    auto calc = two_structure_run();
    Calculation& c = *calc;
    c.parameters.bools[BoolKey::adjust_weights] = true;
    for (std::size_t k = 0; k < 8; ++k) {
        c.current_states[0].atoms[k].x = 1.0 + k;
        c.current_states[1].atoms[k].x = -1.0 - k;
    }
    const std::array<double, 2> a{0.2, 0.8}, b{0.6, 0.4};
    std::copy(a.begin(), a.end(), c.current_states[0].weights.begin());
    std::copy(b.begin(), b.end(), c.current_states[1].weights.begin());
    {
        // The next draw decides the crossover: let it be one above one half.
        MersenneTwister probe = c.random;
        while (probe.genrand_real2() <= 0.5) uniform_random(c);
    }
    copy_state(c.current_states[0], c.offspring_states[0]);
    copy_state(c.current_states[1], c.offspring_states[1]);
    MersenneTwister replay = c.random;
    crossover_states(c, 0, 0, 1);
    ASSERT_GT(replay.genrand_real2(), 0.5);
    const State &first = c.offspring_states[0], &second = c.offspring_states[1];
    int swapped = 0;
    for (std::size_t k = 0; k < 8; ++k) {
        const bool swap = replay.genrand_real2() > 0.5;
        swapped += swap;
        EXPECT_EQ(first.atoms[k].x, swap ? -1.0 - k : 1.0 + k) << k;
        EXPECT_EQ(second.atoms[k].x, swap ? 1.0 + k : -1.0 - k) << k;
    }
    EXPECT_GT(swapped, 0);
    EXPECT_LT(swapped, 8);
    std::array<double, 2> one = a, other = b;
    for (std::size_t j = 0; j < 2; ++j) {
        if (replay.genrand_real2() > 0.5) std::swap(one[j], other[j]);
    }
    for (std::size_t j = 0; j < 2; ++j) {
        EXPECT_DOUBLE_EQ(first.weights[j], one[j] / (one[0] + one[1])) << j;
        EXPECT_DOUBLE_EQ(second.weights[j], other[j] / (other[0] + other[1])) << j;
    }
    EXPECT_TRUE(first.needs_evaluation && second.needs_evaluation);
    EXPECT_EQ(c.backup_states[0].atoms[0].x, 1.0) << "the parents are kept in the backup";
    EXPECT_EQ(c.backup_states[1].atoms[0].x, -1.0);
    EXPECT_EQ(c.random.genrand_int32(), replay.genrand_int32()) << "one draw per record and per weight";

    // A state crossed with itself draws only the decision and keeps its records; its weights are scaled.
    State& parent = c.current_states[2];
    parent.weights[0] = 1.0;
    parent.weights[1] = 3.0;
    parent.needs_evaluation = false;
    copy_state(parent, c.offspring_states[0]);
    copy_state(parent, c.offspring_states[1]);
    MersenneTwister before = c.random;
    crossover_states(c, 0, 2, 2);
    before.genrand_real2();
    EXPECT_EQ(c.random.genrand_int32(), before.genrand_int32());
    for (const State* child : {&c.offspring_states[0], &c.offspring_states[1]}) {
        EXPECT_FALSE(child->needs_evaluation);
        EXPECT_DOUBLE_EQ(child->weights[0], 0.25);
        EXPECT_EQ(xyz(child->atoms[5]), xyz(parent.atoms[5]));
    }
}
