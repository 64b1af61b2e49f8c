#include "control/mt.hpp"
#include "optimisation/copper_model.hpp"
#include "optimisation/population/energy_terms.hpp"
#include "optimisation/population/evaluation.hpp"
#include "optimisation/population/evolution.hpp"
#include "optimisation/run/main_loop.hpp"
#include "optimisation/population/memory_estimate.hpp"
#include "optimisation/population/moves.hpp"
#include "theory/clustering.hpp"
#include "theory/cluster_sums.hpp"
#include "theory/member_terms.hpp"
#include "theory/shared_refresh.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Number of uniform draws that took the generator from `before` to `after`.
int draws_between(const MersenneTwister& before, const MersenneTwister& after) {
    for (int n = 0; n < 100000; ++n) {
        MersenneTwister probe = before;
        for (int k = 0; k < n; ++k) probe.genrand_real2();
        MersenneTwister target = after;
        bool same = true;
        for (int k = 0; k < 4 && same; ++k) same = probe.genrand_int32() == target.genrand_int32();
        if (same) return n;
    }
    return -1;
}

void full_pass(CopperModel& model) {
    CaptureStdout quiet;
    evaluate_states(*model.calc, true, true, true, true, true, -1, -1);
}

// A model after its first full pass, at iteration 1 of the main loop.
void start_main_loop(CopperModel& model) {
    full_pass(model);
    model.calc->iteration = 1;
}

std::vector<double> population_numbers(CopperModel& model) {
    std::vector<double> numbers;
    for (const State& state : model.calc->current_states) {
        numbers.insert(numbers.end(), state.spectra[0].chi_grid.begin(), state.spectra[0].chi_grid.end());
        numbers.push_back(state.residual);
        numbers.push_back(state.energy);
        for (int k = 0; k < state.atom_count; ++k) {
            numbers.push_back(state.atoms[static_cast<std::size_t>(k)].x);
            numbers.push_back(state.atoms[static_cast<std::size_t>(k)].y);
        }
    }
    numbers.push_back(model.calc->objective_normaliser);
    return numbers;
}

// The running means and spectrum weights as a sweep in which every move was kept should have left them,
// replayed from the changes between the current and the backup states; each state's residual must be
// weighed with the spectrum weights as they stood before its move.
struct Means {
    double normaliser = 0.0;
    std::vector<double> spectrum_means;
    std::vector<double> weights;
};

Means replay_kept_moves(const Calculation& calc, Means means, long long first_move) {
    for (std::size_t i = 0; i < calc.current_states.size(); ++i) {
        const State& now = calc.current_states[i];
        const State& before = calc.backup_states[i];
        double weighted = 0.0;
        for (std::size_t s = 0; s < means.weights.size(); ++s) weighted += now.spectra[s].residual * means.weights[s];
        EXPECT_NEAR(now.residual, weighted, 1e-12 * weighted) << "state " << i;
        const long long n = first_move + static_cast<long long>(i);
        const double change = std::abs(now.residual - before.residual);
        means.normaliser = (n == 0 || means.normaliser == 0) ? change : ((n - 1) * means.normaliser + change) / n;
        double inverse_sum = 0.0;
        for (std::size_t s = 0; s < means.weights.size(); ++s) {
            const double c = std::abs(now.spectra[s].residual - before.spectra[s].residual);
            means.spectrum_means[s] = n == 0 ? c : ((n - 1) * means.spectrum_means[s] + c) / n;
            inverse_sum += 1.0 / means.spectrum_means[s];
        }
        if (n == 0) continue;
        for (std::size_t s = 0; s < means.weights.size(); ++s) means.weights[s] = (1.0 / means.spectrum_means[s]) / inverse_sum;
    }
    return means;
}

void expect_means(const Calculation& calc, const Means& expected) {
    EXPECT_NEAR(calc.objective_normaliser, expected.normaliser, 1e-12 * expected.normaliser);
    for (std::size_t s = 0; s < expected.weights.size(); ++s) {
        EXPECT_NEAR(calc.spectra[s].mean_residual_change, expected.spectrum_means[s], 1e-12 * expected.spectrum_means[s]) << s;
        EXPECT_NEAR(calc.spectrum_parameters[s].doubles[SpectrumDoubleKey::Spectrum_weight], expected.weights[s], 1e-12) << s;
    }
}

std::string fixed(double value, int precision = 6) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(precision) << value;
    return text.str();
}

}  // namespace

TEST(Annealing, TheLogFactorFallsFromTheRateToFrozeInAlsoForRatesOfOneAndAbove) {
    CopperModel model("Move_type one\nMaximal_displacement 5\nMaximal_step_length 0.05\nadjust_acceptance 1\n");
    start_main_loop(model);
    Calculation& calc = *model.calc;
    struct Case {
        double rate;
        int t;
        double log_factor;
    };
    for (const Case& c : {Case{0.8, 1, std::log(0.8 - 0.8 / 1500)}, Case{1.0, 750, std::log(0.5)}, Case{2.0, 750, 0.0},
                          Case{1.0, 1499, std::log(1.0 / 1500)}, Case{1.0, 1500, -1e100}, Case{0.8, 2000, -1e100},
                          Case{0.0, 1, -1e100}, Case{-0.5, 1, -1e100}}) {
        calc.parameters.doubles[DoubleKey::Acceptance_rate] = c.rate;
        calc.iteration = c.t;
        run_metropolis_sweep(calc);
        EXPECT_NEAR(calc.log_acceptance, c.log_factor, 1e-9) << c.rate << " at " << c.t;
    }
    // Halfway to Froze_in with a rate of 1 a worse move passes the test with probability 0.5^dO.
    calc.parameters.doubles[DoubleKey::Acceptance_rate] = 1.0;
    calc.accepted_by_test = 0;
    for (int sweep = 0; sweep < 5; ++sweep) {
        calc.iteration = 750;
        run_metropolis_sweep(calc);
    }
    EXPECT_GT(calc.accepted_by_test, 0);
}

TEST(MetropolisSweep, OneAtomMovesDrawFourNumbersPerStructureAndOneToAccept) {
    CopperModel model("Move_type one\nMaximal_displacement 5\n");
    start_main_loop(model);
    const MersenneTwister before = model.calc->random;
    run_metropolis_sweep(*model.calc);
    EXPECT_EQ(draws_between(before, model.calc->random), 4 * (4 + 1));

    model.calc->parameters.bools[BoolKey::adjust_weights] = true;
    const MersenneTwister again = model.calc->random;
    run_metropolis_sweep(*model.calc);
    EXPECT_EQ(draws_between(again, model.calc->random), 4 * (5 + 1));
    for (const State& state : model.calc->current_states) EXPECT_DOUBLE_EQ(state.weights[0], 1.0);
}

TEST(MetropolisSweep, AStateLeftOutsideItsBoxDrawsNoAcceptanceNumberAndGoesBack) {
    // A box of 0 admits no displacement at all: every move is pulled back 100 times and stays outside.
    CopperModel model("Move_type one\nMaximal_displacement 0\nInitial_displacement 0\n");
    start_main_loop(model);
    const std::vector<double> before = population_numbers(model);
    const MersenneTwister generator = model.calc->random;
    run_metropolis_sweep(*model.calc);
    EXPECT_EQ(draws_between(generator, model.calc->random), 4 * 4);
    EXPECT_EQ(population_numbers(model), before);
    EXPECT_EQ(model.calc->objective_normaliser, 0.0) << "no move was evaluated";
}

TEST(MetropolisSweep, WithoutAcceptanceOnlyBetterOrEqualMovesAreKept) {
    CopperModel model("Move_type one\nMaximal_displacement 5\nAcceptance_rate 0\nadjust_acceptance 0\n"
                      "Maximal_step_length 0.05\n");
    start_main_loop(model);
    EXPECT_EQ(model.calc->log_acceptance, -1e100);
    run_metropolis_sweep(*model.calc);  // sets the objective normaliser from the first move
    ASSERT_GT(model.calc->objective_normaliser, 0.0);
    for (int sweep = 0; sweep < 5; ++sweep) {
        ++model.calc->iteration;
        std::vector<double> before;
        for (const State& state : model.calc->current_states) before.push_back(state.residual);
        run_metropolis_sweep(*model.calc);
        for (int i = 0; i < 4; ++i) EXPECT_LE(model.state(i).residual, before[static_cast<std::size_t>(i)]) << sweep;
    }
    EXPECT_EQ(model.calc->accepted_by_test, 0);
    EXPECT_GT(model.calc->accepted_without_test, 0);
}

// Every state's tables on every edge made from scratch by the next pass.
void forget_all_tables(CopperModel& model) {
    for (int e = 0; e < model.calc->absorber_edge_count; ++e) {
        for (int s = 0; s < static_cast<int>(model.calc->current_states.size()); ++s) forget_state_tables(model.finder(e), s);
    }
}

// What a pass leaves in the tables of every state: member clusters and counts, statistics and sums.
struct PassTables {
    std::vector<std::int32_t> clusters;
    std::vector<double> statistics;
    std::vector<double> sums;
    std::vector<double> chi;
    std::vector<DescriptorSum> descriptor_sums;  // exact, whatever the order of the additions
};

PassTables pass_tables(CopperModel& model) {
    PassTables tables;
    for (const Path& path : model.finder().paths) {
        for (const PathSums& sums : path.sums) {
            tables.clusters.insert(tables.clusters.end(), sums.member_cluster.begin(), sums.member_cluster.end());
            tables.clusters.insert(tables.clusters.end(), sums.counts.begin(), sums.counts.end());
            tables.descriptor_sums.insert(tables.descriptor_sums.end(), sums.descriptor_sums.begin(),
                                          sums.descriptor_sums.end());
            for (const ClusterStateStatistics& found : sums.statistics) {
                tables.statistics.insert(tables.statistics.end(), {found.spread, found.smallest_distance,
                                                                   found.largest_distance, found.nearest[0],
                                                                   found.farthest[0]});
                tables.clusters.insert(tables.clusters.end(), {found.nearest_member, found.farthest_member});
            }
            tables.sums.insert(tables.sums.end(), sums.sine.begin(), sums.sine.end());
            tables.sums.insert(tables.sums.end(), sums.cosine.begin(), sums.cosine.end());
        }
    }
    for (const State& state : model.calc->current_states)
        tables.chi.insert(tables.chi.end(), state.spectra[0].chi_grid.begin(), state.spectra[0].chi_grid.end());
    return tables;
}

// Tables made two ways that must hold the same numbers, bit for bit.
void expect_identical_tables(const PassTables& a, const PassTables& b, const std::string& label) {
    EXPECT_EQ(a.clusters, b.clusters) << label;
    EXPECT_EQ(a.statistics, b.statistics) << label;
    EXPECT_TRUE(a.descriptor_sums == b.descriptor_sums) << label;
    EXPECT_EQ(a.sums, b.sums) << label;
    EXPECT_EQ(a.chi, b.chi) << label;
}

std::vector<double> flat(const std::vector<Vec3>& points) {
    std::vector<double> numbers;
    for (const Vec3& p : points) numbers.insert(numbers.end(), {p.x, p.y, p.z});
    return numbers;
}

// Kept tables against tables made from scratch: the same clusters and statistics (the distances are the
// same numbers), sums and chi the same up to the order of the additions.
void expect_same_as_from_scratch(CopperModel& model, bool full) {
    CaptureStdout quiet;
    for (State& state : model.calc->current_states) state.needs_evaluation = true;
    evaluate_states(*model.calc, false, false, true, true, true, -1, -1);
    const PassTables kept = pass_tables(model);
    forget_all_tables(model);
    for (State& state : model.calc->current_states) state.needs_evaluation = true;
    evaluate_states(*model.calc, false, false, true, true, true, -1, -1);
    const PassTables made = pass_tables(model);
    EXPECT_EQ(kept.clusters, made.clusters);
    EXPECT_EQ(kept.statistics, made.statistics);
    EXPECT_TRUE(kept.descriptor_sums == made.descriptor_sums) << "descriptor sums kept through moves are exact";
    for (const auto& [a, b] : {std::pair{&kept.sums, &made.sums}, std::pair{&kept.chi, &made.chi}}) {
        ASSERT_EQ(a->size(), b->size());
        double largest = 0.0, gap = 0.0;
        for (std::size_t i = 0; i < a->size(); ++i) {
            largest = std::max(largest, std::abs((*b)[i]));
            gap = std::max(gap, std::abs((*a)[i] - (*b)[i]));
        }
        if (full) {
            EXPECT_EQ(gap, 0.0);
        } else {
            EXPECT_LT(gap, 1e-12 * largest);
        }
    }
}

// Thousands of one-atom moves, each evaluated through the chains of its atom only, against evaluations
// of the same states from scratch.
TEST(MetropolisSweep, IncrementalEvaluationsAgreeWithFullOnes) {
    CopperModel model("Move_type one\nMaximal_displacement 5\nMaximal_step_length 0.05\n");
    start_main_loop(model);
    for (int sweep = 0; sweep < 500; ++sweep) {
        run_metropolis_sweep(*model.calc);
        ++model.calc->iteration;
    }
    std::vector<std::array<double, 403>> incremental;
    std::vector<double> residuals;
    for (const State& state : model.calc->current_states) {
        incremental.push_back(state.spectra[0].chi_grid);
        residuals.push_back(state.residual);
    }
    CaptureStdout quiet;
    forget_all_tables(model);
    evaluate_states(*model.calc, false, false, true, true, true, -1, -1);
    for (int i = 0; i < 4; ++i) {
        double largest = 0.0, gap = 0.0;
        for (std::size_t j = 0; j < 403; ++j) {
            largest = std::max(largest, std::abs(incremental[i][j]));
            gap = std::max(gap, std::abs(incremental[i][j] - model.state(i).spectra[0].chi_grid[j]));
        }
        EXPECT_LT(gap / largest, 1e-10) << "state " << i;
        EXPECT_NEAR(residuals[static_cast<std::size_t>(i)], model.state(i).residual, 1e-10 * residuals[static_cast<std::size_t>(i)]);
    }
}

TEST(KeptTables, AStateCopiedToAnotherSlotTakesItsTablesAndANearOneIsUpdatedFromThem) {
    CopperModel model("Move_type one\nMaximal_displacement 5\nMaximal_step_length 0.05\n");
    start_main_loop(model);
    Calculation& calc = *model.calc;
    Pathfinder& finder = model.finder();
    copy_state(model.state(0), model.state(1));
    copy_state(model.state(0), model.state(2));
    model.state(2).atoms[3].x += 0.01;
    adopt_matching_tables(calc);
    ASSERT_TRUE(finder.set_aside.empty());
    for (const Path& path : finder.paths) {
        EXPECT_EQ(path.sums[1].sine, path.sums[0].sine) << "an equal state's tables, copied";
        EXPECT_EQ(path.sums[2].member_cluster, path.sums[0].member_cluster);
    }
    EXPECT_EQ(flat(finder.state_tables[2].displacements), flat(finder.state_tables[0].displacements))
        << "the tables of the state one atom away, to be updated";
    expect_same_as_from_scratch(model, false);

    // Tables set aside (a slot taken by a child) serve the state that comes back to another slot.
    const std::vector<Vec3> displacements = finder.state_tables[3].displacements;
    const std::vector<double> sine = finder.paths[0].sums[3].sine;
    const State kept = model.state(3);
    set_aside_state_tables(calc, 3);
    copy_state(model.state(0), model.state(3));
    copy_state(kept, model.state(1));
    adopt_matching_tables(calc);
    EXPECT_EQ(flat(finder.state_tables[1].displacements), flat(displacements));
    EXPECT_EQ(finder.paths[0].sums[1].sine, sine);
    expect_same_as_from_scratch(model, false);

    // Tables set aside that two states take go to both (moved to neither).
    set_aside_state_tables(calc, 1);
    copy_state(model.state(0), model.state(1));
    {
        CaptureStdout quiet;
        evaluate_states(calc, false, false, true, true, true, 1, -1);
    }
    copy_state(kept, model.state(2));
    copy_state(kept, model.state(3));
    adopt_matching_tables(calc);
    for (const std::size_t s : {2, 3}) {
        EXPECT_EQ(flat(finder.state_tables[s].displacements), flat(displacements)) << s;
        EXPECT_EQ(finder.paths[0].sums[s].sine, sine) << s;
    }
    expect_same_as_from_scratch(model, false);

    // Two states that change slots take each other's tables (each slot's tables go to one slot only and
    // the slot is given others: they move instead of being copied).
    model.state(3).atoms[5].y += 0.02;
    adopt_matching_tables(calc);
    expect_same_as_from_scratch(model, false);
    const std::vector<Vec3> first = finder.state_tables[1].displacements;
    const std::vector<Vec3> fourth = finder.state_tables[3].displacements;
    const std::vector<double> first_sine = finder.paths[0].sums[1].sine;
    const State state_1 = model.state(1);
    copy_state(model.state(3), model.state(1));
    copy_state(state_1, model.state(3));
    adopt_matching_tables(calc);
    EXPECT_EQ(flat(finder.state_tables[1].displacements), flat(fourth));
    EXPECT_EQ(flat(finder.state_tables[3].displacements), flat(first));
    EXPECT_EQ(finder.paths[0].sums[3].sine, first_sine);
    expect_same_as_from_scratch(model, false);

    // A slot whose state stays keeps its tables when one other slot takes them.
    const std::vector<double> third_sine = finder.paths[0].sums[2].sine;
    copy_state(model.state(2), model.state(1));
    adopt_matching_tables(calc);
    EXPECT_EQ(finder.paths[0].sums[2].sine, third_sine);
    EXPECT_EQ(finder.paths[0].sums[1].sine, third_sine);
    EXPECT_TRUE(state_tables_hold(finder, 2, finder.state_tables[1].displacements));
}

TEST(KeptTables, SelectionsAndFullPassesKeepTablesThatAgreeWithTablesMadeFromScratch) {
    for (const char* competition : {"0", "1"}) {
        CopperModel model(std::string("Move_type one\nMaximal_displacement 5\nMaximal_step_length 0.05\n"
                                      "parent_children_competion ") + competition + "\n");
        start_main_loop(model);
        for (int iteration = 0; iteration < 6; ++iteration) {
            CaptureStdout quiet;
            select_parents_roulette(*model.calc);
            run_metropolis_sweep(*model.calc);
            ++model.calc->iteration;
        }
        expect_same_as_from_scratch(model, false);
    }
}

TEST(KeptTables, APassAfterNewCentroidsMovesTheMembersThatChangeClusterAsAPassFromScratchPlacesThem) {
    CopperModel model("Move_type one\nMaximal_displacement 5\n");
    start_main_loop(model);
    // Every cluster split in two: the next pass moves members into the copies.
    for (Path& path : model.finder().paths) {
        path.clustering_precision = 0.0;
        split_wide_clusters(path);
    }
    {
        CaptureStdout quiet;
        evaluate_states(*model.calc, false, true, true, true, true, -1, -1);
    }
    int moved = 0;
    for (const Path& path : model.finder().paths) {
        for (const PathSums& sums : path.sums)
            moved += static_cast<int>(std::count_if(sums.member_cluster.begin(), sums.member_cluster.end(),
                                                    [&path](std::int32_t u) { return u >= path.cluster_count / 2; }));
    }
    EXPECT_GT(moved, 0) << "members moved to the copies";
    expect_same_as_from_scratch(model, false);
}

// The two children of a crossed pair, each updated from its own parent's tables, are updated together
// (the chains they both have, the other way round, walked and their terms made once): each child's tables
// are those its own update gives, bit for bit, with one cluster per path or several.
TEST(KeptTables, CrossedChildrenUpdatedTogetherHoldTheTablesEachGetsUpdatedAlone) {
    for (const bool split : {false, true}) {
        const auto crossed_pair = [split](bool together) {
            CopperModel model("Move_type one\nMaximal_displacement 5\n");
            start_main_loop(model);
            Calculation& calc = *model.calc;
            CaptureStdout quiet;
            if (split) {
                for (Path& path : model.finder().paths) {
                    path.clustering_precision = 0.0;
                    split_wide_clusters(path);
                }
                evaluate_states(calc, false, true, true, true, true, -1, -1);
            }
            // Parents six atoms apart, their tables made.
            copy_state(model.state(0), model.state(1));
            for (const int k : {1, 3, 5, 7, 9, 11}) {
                model.state(1).atoms[static_cast<std::size_t>(k)].x += 0.04;
                model.state(1).atoms[static_cast<std::size_t>(k)].z -= 0.03;
            }
            evaluate_states(calc, false, false, true, true, true, -1, -1);
            // Children that swap three of those atoms: chains of these only are swapped, chains that also hold
            // one of the other three are the children's own.
            State first = model.state(0), second = model.state(1);
            for (const int k : {1, 5, 9}) std::swap(first.atoms[static_cast<std::size_t>(k)], second.atoms[static_cast<std::size_t>(k)]);
            copy_state(first, model.state(0));
            copy_state(second, model.state(1));
            if (together) {
                evaluate_states(calc, false, false, true, true, true, -1, -1);
            } else {
                evaluate_states(calc, false, false, true, true, true, 0, -1);
                evaluate_states(calc, false, false, true, true, true, 1, -1);
            }
            evaluate_states(calc, false, false, true, true, true, -1, -1);
            return pass_tables(model);
        };
        expect_identical_tables(crossed_pair(true), crossed_pair(false), split ? "split" : "one cluster per path");
    }
}

// States whose tables follow new centroids together (each member placed once for all the states that
// have its atoms where they are) hold the tables each gets when refreshed alone, bit for bit: with the
// direct sums and with the series (which every state makes alone), the members changing cluster or not.
TEST(KeptTables, StatesRefreshedTogetherHoldTheTablesEachGetsRefreshedAlone) {
    for (const char* accuracy : {"-1", "6"}) {
        const auto refreshed = [accuracy](bool together) {
            CopperModel model(std::string("Move_type one\nMaximal_displacement 5\nExpansion_accuracy ") + accuracy + "\n");
            start_main_loop(model);
            Calculation& calc = *model.calc;
            Pathfinder& finder = model.finder();
            CaptureStdout quiet;
            for (Path& path : finder.paths) {
                path.clustering_precision = 0.0;
                split_wide_clusters(path);
            }
            // Copies of state 0 that moved two atoms each: most of their chains are state 0's.
            for (int s = 1; s < 4; ++s) {
                copy_state(model.state(0), model.state(s));
                for (const int k : {s, 2 * s + 3}) model.state(s).atoms[static_cast<std::size_t>(k)].y += 0.02 * s;
            }
            evaluate_states(calc, false, true, true, true, true, -1, -1);
            // New centroids on every path but the first: the first two clusters trade places, so that their
            // members change cluster.
            for (std::size_t p = 1; p < finder.paths.size(); ++p) {
                Path& path = finder.paths[p];
                if (path.clusters.size() >= 2) std::swap(path.clusters[0].centroid, path.clusters[1].centroid);
                ++path.centroids;
            }
            // The first path's statistics out of date, as a sweep leaves them.
            for (int s = 0; s < 4; ++s) finder.paths[0].sums[static_cast<std::size_t>(s)].statistics_current = false;
            const double expansion_accuracy = std::stod(accuracy);
            SumsScratch scratch;
            if (together) {
                SharedRefresh plan;
                plan_shared_refresh(finder, {0, 1, 2, 3}, expansion_accuracy, plan);
                PlacingScratch placing;
                for (std::size_t c = 0; c < plan.chunks.size(); ++c) place_members_of_chunk(finder, plan, c, placing);
                // Slots finished three side by side and one alone.
                for (const auto& [first, end] : {std::pair<std::size_t, std::size_t>{0, 3}, {3, 4}}) {
                    for (std::size_t p = 0; p < finder.paths.size(); ++p)
                        finish_path_refresh(finder, plan, first, end, static_cast<std::int32_t>(p), expansion_accuracy, scratch);
                }
            } else {
                for (int s = 0; s < 4; ++s) {
                    for (Path& path : finder.paths) refresh_path_sums(finder, path, s, expansion_accuracy, scratch);
                }
            }
            return pass_tables(model);
        };
        expect_identical_tables(refreshed(true), refreshed(false), accuracy);
    }
}

// The rest is made in pieces of the grid on the threads, with the direct sums and with the series.
TEST(KeptTables, SumsOnThePointsInUseAreThoseOfTheWholeGridAndTheRestIsMadeWhenAsked) {
    for (const auto& [accuracy, threads] : {std::pair<const char*, const char*>{"-1", "2"}, {"-1", "5"}, {"6", "3"}}) {
        SCOPED_TRACE(std::string("accuracy ") + accuracy + ", threads " + threads);
        CopperModel model(std::string("Move_type one\nMaximal_displacement 5\nExpansion_accuracy ") + accuracy +
                          "\nNumber_of_threads " + threads + "\n");
        start_main_loop(model);
        Calculation& calc = *model.calc;
        const PassTables whole = pass_tables(model);
        forget_all_tables(model);
        keep_sums_on_points_in_use(calc);
        ASSERT_EQ(model.finder().first_point, 38) << "k 2..12 leaves the points below k 1.9 out";
        ASSERT_EQ(model.finder().end_point, 243) << "and those above k 12.1";
        for (State& state : calc.current_states) state.needs_evaluation = true;
        {
            CaptureStdout quiet;
            evaluate_states(calc, false, false, true, true, true, -1, -1);
        }
        const std::array<double, 403>& chi = model.state(1).spectra[0].chi_grid;
        const int first = model.finder().first_point;
        const int end = model.finder().end_point;
        for (int i = 0; i < path_chi_points; ++i) {
            const double expected = whole.chi[403 + static_cast<std::size_t>(i) + 1];
            if (i >= first && i < end) {
                EXPECT_EQ(chi[static_cast<std::size_t>(i) + 1], expected) << i;
            } else {
                EXPECT_TRUE(std::isnan(chi[static_cast<std::size_t>(i) + 1])) << i << ": no number where none was made";
            }
        }
        complete_state_chi(calc, 1);
        for (int i = 0; i < path_chi_points; ++i)
            EXPECT_EQ(chi[static_cast<std::size_t>(i) + 1], whole.chi[403 + static_cast<std::size_t>(i) + 1]) << i;
        keep_sums_on_whole_grid(calc);
        EXPECT_EQ(pass_tables(model).sums, whole.sums) << "every state completed, the same numbers";
    }
}

// The full pass finds the new centroids from what each state's tables keep of its clusters; a walk over
// every member chain of every state finds the same numbers.
TEST(KeptTables, ReclusteringFromTheStatesSumsFindsTheCentroidsOfAWalkOverEveryMember) {
    std::vector<std::vector<double>> centroids;
    for (const bool walk : {false, true}) {
        CopperModel model("Move_type one\nMaximal_displacement 5\nMaximal_step_length 0.05\n");
        start_main_loop(model);
        for (int sweep = 0; sweep < 3; ++sweep) {
            run_metropolis_sweep(*model.calc);
            ++model.calc->iteration;
        }
        if (walk) forget_all_tables(model);
        {
            CaptureStdout quiet;
            evaluate_states(*model.calc, false, true, true, true, true, -1, -1);
        }
        std::vector<double> numbers;
        for (const Path& path : model.finder().paths) {
            for (const Cluster& cluster : path.clusters) {
                numbers.insert(numbers.end(), cluster.centroid.begin(), cluster.centroid.end());
                numbers.push_back(cluster.member_count);
                numbers.push_back(cluster.spread);
            }
        }
        ASSERT_FALSE(numbers.empty());
        centroids.push_back(numbers);
    }
    EXPECT_EQ(centroids[0], centroids[1]);
}

// Sweeps, and selections whose crossed children are updated or rebuilt path by path on the threads, with
// a re-clustering pass every other iteration.
TEST(MetropolisSweep, SweepsSelectionsAndPassesAreTheSameForEveryThreadCount) {
    std::vector<std::vector<double>> results;
    for (const char* threads : {"1", "3", "8"}) {
        for (const char* moves : {"one", "move_all"}) {
            CopperModel model(std::string("Number_of_threads ") + threads + "\nMove_type " + moves +
                              "\nMaximal_displacement 5\nMaximal_step_length 0.05\n");
            start_main_loop(model);
            for (int sweep = 0; sweep < 4; ++sweep) {
                CaptureStdout quiet;
                select_parents_roulette(*model.calc);
                run_metropolis_sweep(*model.calc);
                if (sweep % 2 == 1) evaluate_states(*model.calc, false, true, true, true, true, -1, -1);
                ++model.calc->iteration;
            }
            results.push_back(population_numbers(model));
            for (const Path& path : model.finder().paths) {
                for (const Cluster& cluster : path.clusters)
                    results.back().insert(results.back().end(), cluster.centroid.begin(), cluster.centroid.end());
            }
        }
    }
    for (std::size_t r = 2; r < results.size(); ++r) EXPECT_EQ(results[r], results[r % 2]) << r;
}

TEST(RunningMeans, AnEvaluatedMoveAfterViolatedOnesStillSetsTheNormaliser) {
    CopperModel model("Move_type one\nMaximal_displacement 5\nMaximal_step_length 0.05\n");
    start_main_loop(model);
    model.calc->iteration = 7;  // the first evaluated move is not move 0 of the run
    run_metropolis_sweep(*model.calc);
    EXPECT_GT(model.calc->objective_normaliser, 0.0);
    EXPECT_GT(model.calc->spectra[0].mean_residual_change, 0.0);
    EXPECT_DOUBLE_EQ(model.calc->spectrum_parameters[0].doubles[SpectrumDoubleKey::Spectrum_weight], 1.0);
}

TEST(RunningMeans, SpectrumWeightsFollowTheMeanResidualChangesFromTheSecondMoveOfTheRun) {
    // An acceptance rate of 2 makes L positive early in the run and keeps every move, so that each
    // change can be read off afterwards.
    CopperModel model("Number_of_spectra 2\nk_min 2 3\nMove_type one\nMaximal_displacement 5\nMaximal_step_length 0.05\n"
                      "adjust_acceptance 1\nAcceptance_rate 2\n");
    start_main_loop(model);
    Calculation& calc = *model.calc;
    Means expected{0.0, {0.0, 0.0}, {0.5, 0.5}};
    for (int sweep = 0; sweep < 2; ++sweep) {
        run_metropolis_sweep(calc);
        ASSERT_EQ(calc.accepted_without_test + calc.accepted_by_test, 4 * (sweep + 1)) << "a move was not kept";
        // The first move of the run (n = 0) only starts the means: state 1 is still weighed (0.5, 0.5).
        expected = replay_kept_moves(calc, expected, 4 * sweep);
        expect_means(calc, expected);
        ++calc.iteration;
    }
    EXPECT_GT(std::abs(expected.weights[0] - 0.5), 0.01) << "the spectra must differ for the weights to tell";

    // The first evaluated move comes late (the earlier ones broke a constraint, say): at n = 24 the
    // means of the spectra start from 0 as ((n - 1) 0 + c) / n, the normaliser from that move's change.
    calc.objective_normaliser = 0.0;
    for (int s = 0; s < 2; ++s) calc.spectra[static_cast<std::size_t>(s)].mean_residual_change = 0.0;
    calc.iteration = 7;
    run_metropolis_sweep(calc);
    expected = replay_kept_moves(calc, Means{0.0, {0.0, 0.0}, expected.weights}, 24);
    expect_means(calc, expected);
}

TEST(StepAdaptation, GrowsByATenthUpToTheMaximalStepAndShrinksBelowATenthOfMovesAccepted) {
    auto calc = std::make_unique<Calculation>();
    set_parameter_defaults(*calc);
    calc->parameters.bools[BoolKey::adjust_step] = true;
    calc->parameters.ints[IntKey::time1] = 10;
    calc->parameters.ints[IntKey::Number_of_states] = 4;
    calc->parameters.doubles[DoubleKey::Maximal_step_length] = 0.01;
    calc->iteration = 10;
    const auto adapted = [&](double step, int good, int bad) {
        calc->step_length = step;
        calc->accepted_without_test = good;
        calc->accepted_by_test = bad;
        adapt_step(*calc);
        EXPECT_EQ(calc->accepted_without_test + calc->accepted_by_test, 0);
        return calc->step_length;
    };
    EXPECT_DOUBLE_EQ(adapted(0.005, 3, 1), 0.0055) << "4 of 40 moves";
    EXPECT_DOUBLE_EQ(adapted(0.0095, 40, 0), 0.01);
    EXPECT_DOUBLE_EQ(adapted(0.01, 40, 0), 0.01);
    EXPECT_DOUBLE_EQ(adapted(0.0055, 2, 1), 0.005) << "3 of 40 moves";
    calc->iteration = 0;
    EXPECT_DOUBLE_EQ(adapted(0.005, 0, 0), 0.005) << "the report of the starting states";
    calc->iteration = 10;
    calc->parameters.bools[BoolKey::adjust_step] = false;
    EXPECT_DOUBLE_EQ(adapted(0.005, 0, 0), 0.005);
}

TEST(Objective, EnergyCountsOnlyWithAPositiveEnergyWeightAndNoNormaliserGivesAThousand) {
    auto calc = std::make_unique<Calculation>();
    set_parameter_defaults(*calc);
    calc->parameters.ints[IntKey::Number_of_states] = 2;
    calc->current_states.resize(2);
    calc->current_states[0].residual = 0.3;
    calc->current_states[0].energy = 2.0;
    calc->current_states[1].residual = 0.4;
    calc->current_states[1].energy = 0.0;
    const State& state = calc->current_states[0];
    double& energy_weight = calc->parameters.doubles[DoubleKey::Energy_weight];
    calc->objective_normaliser = 0.5;
    energy_weight = 0.1;
    EXPECT_DOUBLE_EQ(state_objective(*calc, state), 1.0);
    EXPECT_EQ(find_best_state(*calc), 1) << "the lower residual carries the higher energy";
    energy_weight = 0.0;
    EXPECT_DOUBLE_EQ(state_objective(*calc, state), 0.6);
    EXPECT_EQ(find_best_state(*calc), 0);
    energy_weight = -1.0;
    EXPECT_DOUBLE_EQ(state_objective(*calc, state), 0.6);
    energy_weight = 0.1;
    for (const double normaliser : {0.0, -1.0}) {
        calc->objective_normaliser = normaliser;
        EXPECT_EQ(state_objective(*calc, state), 1000.0);
    }
}

TEST(Hypermutation, AStateWorseThanItsNearestNeighbourTakesAWorseMoveThatTheTestRefuses) {
    for (const bool hypermutation : {false, true}) {
        CopperModel model(std::string("Number_of_states 2\nMove_type one\nMaximal_displacement 5\nAcceptance_rate 0\n") +
                          "hypermutation " + (hypermutation ? "1" : "0") + "\n");
        start_main_loop(model);
        Calculation& calc = *model.calc;
        calc.iteration = 2;
        calc.objective_normaliser = 1.0;
        // Both states look better than any small move leaves them, and state 0 worse than state 1, its
        // nearest (and only) neighbour.
        const double lowest = std::min(model.state(0).residual, model.state(1).residual);
        model.state(0).residual = 0.5 * lowest;
        model.state(1).residual = 0.25 * lowest;
        run_metropolis_sweep(calc);
        EXPECT_EQ(calc.accepted_by_test, 0);
        EXPECT_EQ(calc.accepted_without_test, hypermutation ? 1 : 0) << "a forced move counts as good";
        EXPECT_EQ(model.state(0).residual != 0.5 * lowest, hypermutation);
        EXPECT_EQ(model.state(1).residual, 0.25 * lowest);
    }
}

TEST(BestState, NoStateWithAUsableObjectiveKeepsThePreviousBest) {
    CopperModel model("");
    full_pass(model);
    model.calc->objective_normaliser = 1.0;
    model.calc->best_state_index = 2;
    for (State& state : model.calc->current_states) state.residual = std::nan("");
    EXPECT_EQ(find_best_state(*model.calc), -1);
    EXPECT_EQ(model.calc->best_state_index, 2);
    model.state(3).residual = 0.5;
    model.state(1).residual = 0.5;
    EXPECT_EQ(find_best_state(*model.calc), 1) << "ties keep the lower index";
}

TEST(NearestState, WorseThanTheNearestNeighbourIsForcedButAloneItIsNot) {
    CopperModel single("Number_of_states 1\n");
    full_pass(single);
    backup_all_states(*single.calc);
    EXPECT_FALSE(find_nearest_state(*single.calc, 0));

    CopperModel model("");
    full_pass(model);
    model.calc->objective_normaliser = 1.0;
    for (int i = 0; i < 4; ++i) model.state(i).residual = 0.1 * (i + 1);
    backup_all_states(*model.calc);
    // State 3 is the worst; every state is nearest to some other, so the worst of a pair is forced.
    EXPECT_TRUE(find_nearest_state(*model.calc, 3));
    EXPECT_FALSE(find_nearest_state(*model.calc, 0));
}

TEST(Evolution, RouletteAndTournamentDrawThreeAndFourNumbersPerPairBeforeTheCrossover) {
    for (const char* tournament : {"0", "1"}) {
        CopperModel model(std::string("crossoverT ") + tournament + "\n");
        start_main_loop(model);
        // With a = b every pair draws one crossover number; the objectives are equal (m = 0), so the
        // tournament keeps its first candidate. Count the draws of one generation.
        const MersenneTwister before = model.calc->random;
        CaptureStdout quiet;
        if (tournament[0] == '1') {
            select_parents_tournament(*model.calc);
        } else {
            select_parents_roulette(*model.calc);
        }
        const int draws = draws_between(before, model.calc->random);
        const int per_pair = tournament[0] == '1' ? 4 : 3;
        // Each crossed pair adds one draw per atom record (32 here); a pair not crossed adds none.
        EXPECT_EQ((draws - 2 * (per_pair + 1)) % 32, 0) << draws;
        EXPECT_GE(draws, 2 * (per_pair + 1));
    }
}

TEST(Evolution, TheFirstRouletteOfARunSharesTheWheelEqually) {
    CopperModel model("Number_of_states 8\ncrossoverT 0\n");
    start_main_loop(model);
    ASSERT_EQ(model.calc->objective_normaliser, 0.0) << "every objective is 1000";
    // With every share equal the pairs' parents spread over the population instead of one state.
    std::vector<std::array<double, 3>> before;
    for (const State& state : model.calc->current_states) before.push_back({state.atoms[0].x, state.atoms[0].y, state.atoms[0].z});
    CaptureStdout quiet;
    select_parents_roulette(*model.calc);
    int kept = 0;
    for (const State& state : model.calc->current_states) {
        const std::array<double, 3> first{state.atoms[0].x, state.atoms[0].y, state.atoms[0].z};
        for (const auto& parent : before) kept += parent == first;
    }
    EXPECT_GT(kept, 0);
    std::vector<std::array<double, 3>> after;
    for (const State& state : model.calc->current_states) after.push_back({state.atoms[0].x, state.atoms[0].y, state.atoms[0].z});
    std::sort(after.begin(), after.end());
    EXPECT_GT(std::unique(after.begin(), after.end()) - after.begin(), 1) << "not one parent for every child";
}

TEST(Evolution, TheCompetitionKeepsTheTwoBestOfParentsAndChildren) {
    CopperModel model("parent_children_competion 1\n");
    start_main_loop(model);
    Calculation& calc = *model.calc;
    calc.objective_normaliser = 1.0;
    for (int slot = 0; slot < 2; ++slot) {
        copy_state(calc.current_states[static_cast<std::size_t>(slot)], calc.backup_states[static_cast<std::size_t>(slot)]);
        copy_state(calc.current_states[static_cast<std::size_t>(slot)], calc.offspring_states[static_cast<std::size_t>(slot)]);
        calc.offspring_states[static_cast<std::size_t>(slot)].needs_evaluation = false;
    }
    calc.backup_states[0].residual = 0.4;
    calc.backup_states[1].residual = 0.1;
    calc.offspring_states[0].residual = 0.3;
    calc.offspring_states[1].residual = 0.2;
    for (int slot = 2; slot < 4; ++slot) {
        copy_state(calc.current_states[static_cast<std::size_t>(slot)], calc.backup_states[static_cast<std::size_t>(slot)]);
        copy_state(calc.current_states[static_cast<std::size_t>(slot)], calc.offspring_states[static_cast<std::size_t>(slot)]);
        calc.offspring_states[static_cast<std::size_t>(slot)].needs_evaluation = false;
    }
    // Nothing is crossed: every candidate keeps the residual it was given through the final evaluation.
    for (auto* population : {&calc.current_states, &calc.backup_states, &calc.offspring_states}) {
        for (State& state : *population) state.needs_evaluation = false;
    }
    CaptureStdout quiet;
    compete_parents_children(calc);
    EXPECT_EQ(calc.current_states[0].residual, 0.1);
    EXPECT_EQ(calc.current_states[1].residual, 0.2);
}

TEST(Evolution, CrossedChildrenCompeteWithTheirOwnResiduals) {
    CopperModel model("parent_children_competion 1\n");
    start_main_loop(model);
    Calculation& calc = *model.calc;
    calc.objective_normaliser = 1.0;
    for (State& state : calc.current_states) state.needs_evaluation = false;
    for (int p = 0; p < 2; ++p) {
        const std::size_t first = static_cast<std::size_t>(2 * p);
        {
            // The next draw decides the crossover: let it be one above one half.
            MersenneTwister probe = calc.random;
            while (probe.genrand_real2() <= 0.5) uniform_random(calc);
        }
        copy_state(calc.current_states[first], calc.offspring_states[first]);
        copy_state(calc.current_states[first + 1], calc.offspring_states[first + 1]);
        crossover_states(calc, p, 2 * p, 2 * p + 1);
        ASSERT_TRUE(calc.offspring_states[first].needs_evaluation);
    }
    CaptureStdout quiet;
    compete_parents_children(calc);
    for (std::size_t first = 0; first < 4; first += 2) {
        std::vector<double> candidates;
        for (std::size_t slot = first; slot < first + 2; ++slot) {
            EXPECT_NE(calc.offspring_states[slot].residual, calc.backup_states[slot].residual) << "evaluated, not the parent's";
            candidates.push_back(calc.backup_states[slot].residual);
            candidates.push_back(calc.offspring_states[slot].residual);
        }
        std::sort(candidates.begin(), candidates.end());
        EXPECT_NEAR(calc.current_states[first].residual, candidates[0], 1e-9 * candidates[0]);
        EXPECT_NEAR(calc.current_states[first + 1].residual, candidates[1], 1e-9 * candidates[1]);
    }
}

TEST(ProgressReport, TheConsoleBlockListsEverySpectrumStructureEnergyStepAndAcceptanceFigure) {
    CopperModel model("Number_of_spectra 2\nk_min 2 3\nNumber_of_structures 2\nFile_with_structure cu.p1 cu.p1\n"
                      "Supercell 2x2x2 1x1x1\nadjust_step 1\ntime1 10\n");
    full_pass(model);
    Calculation& calc = *model.calc;
    calc.structure_parameters[0].strings[StructureStringKey::Potential_type] = "file";
    calc.iteration = 30;
    calc.objective_normaliser = 0.5;
    calc.mean_energy_change = 0.25;
    calc.step_length = 0.004;
    calc.log_acceptance = std::log(0.5);
    calc.accepted_without_test = 30;  // of time1 x 4 states = 40 moves
    calc.accepted_by_test = 2;
    calc.spectrum_parameters[0].doubles[SpectrumDoubleKey::Spectrum_weight] = 0.4;
    calc.spectrum_parameters[1].doubles[SpectrumDoubleKey::Spectrum_weight] = 0.6;
    State& best = model.state(calc.best_state_index);
    best.weights[0] = 0.25;
    best.weights[1] = 0.75;
    best.energy = 1.5;
    const double residual = best.residual;
    const std::string spectra = fixed(best.spectra[0].residual) + "\t" + fixed(best.spectra[1].residual) + "\t";
    const std::string objective = fixed(residual / 0.5, 4);
    const std::string diversity = fixed(compute_population_diversity(calc));

    std::ostringstream progress;
    CaptureStdout capture;
    report_progress(calc, progress);
    const std::string text = capture.text();
    EXPECT_TRUE(std::regex_search(text, std::regex("^-{19}\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d-{21}\n\tGENERATION:")))
        << text;
    // The best state's residual in the four spaces, each left in ten places, its own (W) as it stands.
    const std::string labels = "\t\tK         Q         R         [W]       \n";
    const std::size_t residuals = text.find(labels);
    ASSERT_NE(residuals, std::string::npos) << text;
    const std::string values = text.substr(residuals + labels.size() + 2, 40);
    for (int space = 0; space < 4; ++space) EXPECT_NO_THROW(std::stod(values.substr(static_cast<std::size_t>(10 * space), 10)));
    EXPECT_EQ(values.substr(30), (fixed(residual) + "          ").substr(0, 10));
    const std::string block = std::string("\t\t") + values + "\n"
                              "\t\tCu K-edge\tCu K-edge\t\n"
                              "\t\t" + spectra + "\n"
                              "\t\tResidual_weights:\n\t\t0.400000\t0.600000\t\n"
                              "\tStructure_weights:\n\t\tSTRUCTURE #0\tSTRUCTURE #1\t\n\t\t25.000000 %\t\t75.000000 %\t\t\n"
                              "\tBEST-STATE ENERGY:\n\t\t1.500000\n"
                              "\tSTATS:\n\t\tObjective:\t\tEA_stddev:\tDelta:\tDelta E:\n"
                              "\t\t" + objective + "\t" + diversity + "\t0.500000\t0.250000\n"
                              "\tSTEP:\n\t\t0.004000\n"
                              "\tANNEALING ACCEPTANCE:\n\t\tTarget      Actual      Good_moves  Accepted_bad\n"
                              "\t\t0.500000    0.800000    0.750000    0.050000    \n"
                              "-----------------------------------------------------------\n";
    EXPECT_EQ(text.substr(residuals + labels.size()), block);
    EXPECT_NE(text.find("\tGENERATION:\n\t\t30\n\tBEST-STATE RESIDUAL:\n\t\tK "), std::string::npos);
    EXPECT_DOUBLE_EQ(calc.step_length, 0.0044) << "adapted after the block";
    EXPECT_EQ(progress.str().substr(0, 3), "30 ");
}

TEST(StartingStates, WithoutAnAmplitudeTheScanTriesEveryTwentiethBelowTheBoxAndKeepsTheFirstLowest) {
    for (const double box : {0.4, 0.15}) {
        CopperModel model("Initial_displacement 0\nMaximal_displacement " + std::to_string(box) + "\n", false);
        Calculation& calc = *model.calc;
        std::ostringstream progress;
        CaptureStdout capture;
        ASSERT_EQ(exit_code_of([&] { prepare_initial_states(calc, progress); }), -1);
        const std::string text = capture.text();
        std::vector<std::string> amplitudes;
        std::vector<double> residuals;
        const std::regex line("\tDispl\\. = ([0-9.]+)(;?)\t residual = (\\S+)\n");
        for (auto match = std::sregex_iterator(text.begin(), text.end(), line); match != std::sregex_iterator(); ++match) {
            EXPECT_EQ((*match)[2] == ";", !amplitudes.empty()) << "only the first amplitude goes without a semicolon";
            amplitudes.push_back((*match)[1]);
            residuals.push_back(std::stod((*match)[3]));
        }
        if (box < 0.2) {
            EXPECT_EQ(amplitudes, std::vector<std::string>{"0.1"});
            EXPECT_EQ(calc.structure_parameters[0].doubles[StructureDoubleKey::Initial_displacement], 0.1);
            continue;
        }
        // The last amplitude is 0.15 plus five additions of 0.05, just below 0.4.
        EXPECT_EQ(amplitudes, (std::vector<std::string>{"0.1", "0.15", "0.2", "0.25", "0.3", "0.35", "0.4"}));
        std::vector<double> tried{0.1};
        for (double amplitude = 0.15; amplitude < box; amplitude += 0.05) tried.push_back(amplitude);
        ASSERT_EQ(tried.size(), 7u);
        const std::size_t best = static_cast<std::size_t>(std::min_element(residuals.begin(), residuals.end()) - residuals.begin());
        const double chosen = calc.structure_parameters[0].doubles[StructureDoubleKey::Initial_displacement];
        EXPECT_EQ(chosen, tried[best]);
        EXPECT_LT(text.find("\tDispl. = 0.4;"), text.find("      1st real EXAFS calculation...\n"));
        for (const State& state : calc.current_states) {
            for (const Atom& d : state.atoms) {
                for (const double x : {d.x, d.y, d.z}) EXPECT_LE(std::abs(x), chosen / std::sqrt(2.0));
            }
        }
        EXPECT_EQ(calc.iteration, 1);
    }
}

TEST(StartingStates, StatesOutsideTheBoxAreDrawnAgainWithOneWarningAndEndTheRunWhenTheDrawsRunOut) {
    {
        // Each coordinate within 0.2 / sqrt(2), the box 0.2: about two states in three break it at first.
        CopperModel model("Initial_displacement 0.2\nMaximal_displacement 0.2\n", false);
        Calculation& calc = *model.calc;
        int redrawn = 0;
        MersenneTwister replay = calc.random;
        for (int state = 0; state < 4; ++state) {
            for (int draw = 0;; ++draw) {
                bool inside = true;
                for (int a = 0; a < calc.structures[0].atom_count; ++a) {
                    double square = 0.0;
                    for (int axis = 0; axis < 3; ++axis) {
                        const double x = (2 * replay.genrand_real2() - 1) * 0.2 / std::sqrt(2.0);
                        square += x * x;
                    }
                    inside = inside && std::sqrt(square) <= 0.2;
                }
                if (inside) break;
                if (draw == 0) ++redrawn;
            }
        }
        ASSERT_GT(redrawn, 0);
        std::ostringstream progress;
        CaptureStdout capture;
        ASSERT_EQ(exit_code_of([&] { prepare_initial_states(calc, progress); }), -1);
        const std::string text = capture.text();
        const std::string warning = "WARNING: " + std::to_string(redrawn) +
                                    " OF 4 STARTING STATES VIOLATED THE IMPOSED CONSTRAINTS AND WERE DRAWN AGAIN!\n";
        EXPECT_NE(text.find(warning), std::string::npos) << text;
        EXPECT_EQ(text.find("WARNING"), text.rfind("WARNING"));
        EXPECT_EQ(text.find("Displ. = "), std::string::npos) << "no scan with a given amplitude";
        for (State& state : calc.current_states) EXPECT_TRUE(check_constraints(calc, state));
    }
    CopperModel model("Initial_displacement 1\nMaximal_displacement 0.01\n", false);
    std::ostringstream progress;
    CaptureStdout capture;
    EXPECT_EQ(exit_code_of([&] { prepare_initial_states(*model.calc, progress); }), 8);
    EXPECT_EQ(capture.text(), "ERROR: initial geometry violates the imposed constraints!\n");
}

TEST(EnergyTerms, MaxlikeWeighsTheMembersOfItsPathAndRefusesPathsThatDoNotExist) {
    CopperModel model("");
    full_pass(model);
    Calculation& calc = *model.calc;
    Structure& structure = calc.structures[0];
    structure.energy_terms = {EnergyTerm{energy_type_maxlike, 0, 0, {2.5, 0.01}}};
    const Path& path = model.finder().paths[0];
    // The members' R at state 2's geometry, from the whole tree brought to that state.
    apply_state_to_edge(calc, calc.edges[0], 2);
    double expected = 0.0;
    for (const std::int32_t member : path.members) {
        const double d = model.finder().current[static_cast<std::size_t>(member)].R - 2.5;
        expected += d * d / 0.01;
    }
    apply_state_to_edge(calc, calc.edges[0], 0);
    EXPECT_NEAR(state_energy(calc, model.state(2)), expected, 1e-9 * expected) << "whichever state the tree holds";

    structure.energy_terms = {EnergyTerm{energy_type_maxlike, 0, 999, {2.5, 0.01}}};
    CaptureStdout capture;
    EXPECT_EQ(exit_code_of([&] { state_energy(calc, model.state(0)); }), 1);
    EXPECT_EQ(capture.text().substr(0, 6), "ERROR:");
}

TEST(EnergyTerms, InvertIsZeroWhenEveryAbsorberSeesTheSameEnvironment) {
    CopperModel model("Initial_displacement 0\n");
    full_pass(model);
    Structure& structure = model.calc->structures[0];
    structure.energy_terms = {EnergyTerm{energy_type_invert, 0, 0, {1.0}}};
    EXPECT_NEAR(state_energy(*model.calc, model.state(0)), 0.0, 1e-12);
    model.randomise_and_bind();
    EXPECT_GT(state_energy(*model.calc, model.state(0)), 0.0);
}

TEST(EnergyConstraints, TheCheckAfterAMoveAgreesWithTheFullCheck) {
    CopperModel model("Potential_type hardsphere\nMaximal_displacement 2.2\n");
    Calculation& calc = *model.calc;
    State& state = model.state(0);
    ASSERT_TRUE(check_constraints(calc, state));
    int violated = 0;
    for (int trial = 0; trial < 200; ++trial) {
        const int atom = trial % calc.structures[0].atom_count;
        const Atom before = get_structure_atom(state, 0, atom);
        Atom moved = before;
        moved.x += 0.8 * std::sin(1.7 * trial);
        moved.y += 0.8 * std::cos(2.3 * trial);
        set_structure_atom(state, moved, 0, atom);
        const bool incremental = check_constraints_after_move(calc, state, {{atom}});
        const bool full = check_constraints(calc, state);
        EXPECT_EQ(incremental, full) << trial;
        violated += !full;
        set_structure_atom(state, before, 0, atom);
    }
    EXPECT_GT(violated, 0);
    EXPECT_LT(violated, 200);
}

namespace {

template <class T>
std::size_t held(const std::vector<T>& values) {
    return values.capacity() * sizeof(T);
}

}  // namespace

TEST(MemoryEstimate, FollowsTheSizesOfTheTablesTheStatesHold) {
    CopperModel model("Number_of_states 6\n", false);
    Calculation& calc = *model.calc;
    // A fit in W space (the default) gives every state a wavelet map, which makes most of it; the map is
    // made with the state's first transform.
    const std::size_t nk = static_cast<std::size_t>(calc.spectrum_parameters[0].nk);
    const std::size_t map = 3 * nk * nk * sizeof(double);
    EXPECT_EQ(population_bytes(calc), 3 * 6 * (state_bytes(calc.current_states[0]) + map));
    EXPECT_LT(state_bytes(calc.current_states[0]), map);

    const std::uint64_t estimated = state_path_table_bytes(calc);
    model.randomise_and_bind();
    std::uint64_t tables = 0;
    for (const Path& path : model.finder().paths) {
        std::size_t path_tables = 0;
        for (const PathSums& sums : path.sums) {
            path_tables += sizeof(PathSums) + held(sums.member_cluster) + held(sums.member_distance) + held(sums.counts) +
                           held(sums.statistics) + held(sums.sine) + held(sums.cosine) +
                           held(sums.descriptor_sums);
        }
        tables += path_tables;
        EXPECT_EQ(path_bytes_per_state(path, path.cluster_count, true) * 6, path_tables);
    }
    // The estimate adds the records of the sums and of their undoing to the path tables.
    EXPECT_GT(estimated, tables);
    EXPECT_LT(estimated, 3 * tables);
}

TEST(MemoryEstimate, ANeedBeyondTheMachineEndsTheRunNamingBothNumbers) {
    const MachineMemory machine{4'000'000'000, 1'000'000'000, 500'000'000};
    {
        CaptureStdout capture;
        EXPECT_EQ(exit_code_of([&] { check_memory_need(3'600'000'000, machine, "three populations of states"); }), 1);
        EXPECT_EQ(capture.text(), "ERROR: THE RUN NEEDS ABOUT 4.10 GB OF MEMORY (three populations of states), BUT THE "
                                  "MACHINE HAS 4.00 GB! Use fewer states (Number_of_states).\n");
    }
    {
        CaptureStdout capture;
        EXPECT_EQ(exit_code_of([&] { check_memory_need(2'000'000'000, machine, "paths"); }), -1);
        EXPECT_EQ(capture.text(), "WARNING: the run needs about 2.50 GB of memory (paths), more than the 1.50 GB it can "
                                  "have now: it may slow to a crawl or be stopped\n");
    }
    CaptureStdout capture;
    EXPECT_EQ(exit_code_of([&] { check_memory_need(900'000'000, machine, "paths"); }), -1);
    EXPECT_EQ(capture.text(), "");
    const MachineMemory here = machine_memory();
    EXPECT_GT(here.physical, 0u);
    EXPECT_GT(here.resident, 0u);
}

namespace {

TEST(StateMemory, OnlyAFitInWaveletSpaceGivesTheStatesWaveletMaps) {
    for (const char* space : {"k", "w"}) {
        CopperModel model(std::string("Space ") + space + "\n");
        start_main_loop(model);
        for (const State& state : model.calc->current_states) {
            const SignalArray& map = state.spectra[0].wt;
            if (space[0] == 'k') {
                EXPECT_TRUE(map.re.empty()) << "no map in k space";
            } else {
                const int nk = model.calc->spectrum_parameters[0].nk;
                EXPECT_EQ(map.n, nk * nk);
                EXPECT_EQ(map.re.size(), static_cast<std::size_t>(nk * nk));
            }
        }
        EXPECT_GT(model.state(0).residual, 0.0) << space;
    }
}

}  // namespace
