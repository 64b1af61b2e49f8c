#include "control/mt.hpp"
#include "optimisation/copper_model.hpp"
#include "optimisation/output/diagnostics.hpp"
#include "optimisation/population/evaluation.hpp"
#include "optimisation/population/evolution.hpp"
#include "optimisation/run/main_loop.hpp"
#include "optimisation/population/one_dimensional.hpp"
#include "optimisation/population/partial_rdf.hpp"
#include "optimisation/output/restart_file.hpp"
#include "structure/energy_term.hpp"
#include "theory/path_lengths.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

// fcc copper, 32 absorbers, three single-scattering shells (12, 6 and 24 neighbours).
const std::string three_shells = "N_legs 2\nR_max_for_FEFF 4.5\n";
const std::string one_shell = "N_legs 2\nR_max_for_FEFF 3.0\n";

// True when the generator went exactly n draws on from `before`.
bool drew(const MersenneTwister& before, MersenneTwister now, int n) {
    MersenneTwister probe = before;
    for (int k = 0; k < n; ++k) probe.genrand_real2();
    return probe.genrand_int32() == now.genrand_int32();
}

std::string set_up(CopperModel& model) {
    model.calc->flags.oneD = true;
    CaptureStdout capture;
    setup_oned_mode(*model.calc);
    model.calc->iteration = 1;
    return capture.text();
}

std::vector<double> counted_lengths(CopperModel& model) {
    std::vector<double> lengths;
    for (const Path& path : model.finder().paths) {
        for (int j = 0; j < path.degeneracy; ++j) lengths.push_back(get_path_length(model.finder(), path, j));
    }
    return lengths;
}

double rdf_integral(const std::vector<double>& histogram) {
    double sum = 0.0;
    for (const double value : histogram) sum += value * 0.01;
    return sum;
}

}  // namespace

TEST(OneDimensionalSetup, DefaultsSpreadTheAbsorbersOverThePathsAndStartEveryCountedMemberAtR) {
    CopperModel model(three_shells);
    Pathfinder& finder = model.finder();
    ASSERT_EQ(finder.paths.size(), 3u);
    finder.paths[1].members.resize(20);  // fewer chains than the 32 absorbers: a warning, 20 saved lengths
    finder.paths[1].degeneracy = 20;
    const std::string output = set_up(model);
    EXPECT_NE(output.find("oneD flag was specified! Setting things for calculations in 1D.\nWARNING: FILE 'oneD.dat' "
                          "WITH PARAMETERS FOR 1D CALCULATION CANNOT BE OPENED. WILL ATTEMPT TO USE DEFAULT VALUES!\n"
                          "              Following parameters for 1D calculation will be used:\n"
                          "                 Spectrum #0\n                    Path #0 Coord_number: 12"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("-\nWARNING: NUMBER OF ABSORBERS LARGER THAN NUMBER OF PATHS! EXPECT PROBLEMS!\n"
                          "                    Path #2 Coord_number: 24"),
              std::string::npos)
        << output;
    const std::vector<int> degeneracies = {10, 10, 12};  // the last path takes the remainder
    const std::vector<std::size_t> saved = {32, 20, 32};
    for (std::size_t p = 0; p < 3; ++p) {
        const Path& path = finder.paths[p];
        EXPECT_EQ(path.degeneracy, degeneracies[p]);
        EXPECT_EQ(path.members.size(), static_cast<std::size_t>(path.degeneracy));
        EXPECT_EQ(path.saved_lengths.size(), saved[p]);
        EXPECT_EQ(path.initial_distance, path.R);
        for (const std::int32_t member : path.members) EXPECT_EQ(finder.current[static_cast<std::size_t>(member)].R, path.R);
    }
    EXPECT_EQ(finder.paths[1].scale, 20.0 / 32);

    // Path p's histogram counts its counted members times Coord_number per absorbing atom, a row per path.
    compute_rdf_histograms(*model.calc, 0);
    ASSERT_EQ(model.calc->edges[0].rdf_histograms.size(), 3u);
    EXPECT_NEAR(rdf_integral(model.calc->edges[0].rdf_histograms[2]), 24.0 * 12 / 32, 1e-9);
    std::string header;
    std::getline(std::ifstream("rdf.dat"), header);
    EXPECT_EQ(header, "R Cu-Cu_p0 Cu-Cu_p1 Cu-Cu_p2 ");
}

TEST(OneDimensionalSetup, AShortFileGivesItsValuesAndDefaultsForTheRest) {
    CopperModel model(three_shells);
    std::ofstream("oneD.dat") << "6 2.5\n  3\n";
    const std::string output = set_up(model);
    EXPECT_NE(output.find("              Parameters for 1D calculation are found.\nWARNING: FILE 'oneD.dat' HOLDS FEWER "
                          "VALUES THAN THE PATHS NEED. DEFAULT VALUES WILL BE USED FOR THE REST!\n"),
              std::string::npos)
        << output;
    const std::vector<Path>& paths = model.finder().paths;
    EXPECT_EQ(std::vector<double>({paths[0].scale, paths[0].initial_distance, paths[1].scale, paths[1].initial_distance,
                                   paths[2].scale}),
              std::vector<double>({6.0, 2.5, 3.0, paths[1].R, 24.0}));
}

TEST(OneDimensionalSetup, APathWithFewerChainsThanItsDegeneracyIsRefused) {
    CopperModel model(one_shell);
    model.finder().paths[0].members.resize(20);
    model.calc->flags.oneD = true;
    CaptureStdout capture;
    EXPECT_EQ(exit_code_of([&] { setup_oned_mode(*model.calc); }), 1);
    EXPECT_NE(capture.text().find("ERROR: PATH #0 OF SPECTRUM #0 HAS 20 MEMBER CHAINS, TOO FEW FOR ITS 1D DEGENERACY 32!\n"),
              std::string::npos)
        << capture.text();
}

TEST(OneDimensionalSetup, LongerPathsStandInAsOneLegAtTheirLength) {
    CopperModel model("R_max_for_FEFF 4.5\n");  // triangles whose last atom lies beside the absorber
    model.calc->flags.oneD = true;
    CaptureStdout capture;
    // The starting states are evaluated before the lengths are set, at the geometry of the atoms.
    ASSERT_EQ(exit_code_of([&] {
                  evaluate_states(*model.calc, true, true, true, true, true, -1, -1);
                  setup_oned_mode(*model.calc);
              }),
              -1)
        << capture.text();
    int blocks = 0;
    std::ifstream list("feff_0_0/paths.dat");
    for (std::string line; std::getline(list, line);) {
        if (line.find("index, nleg") == std::string::npos) continue;
        int index = 0, legs = 0;
        std::istringstream(line) >> index >> legs;
        EXPECT_EQ(legs, 2) << line;
        ++blocks;
    }
    EXPECT_GT(blocks, 1);
}

// A continued run (-restart -oneD) goes on from the lengths its restart file kept, to the last bit.
TEST(OneDimensionalSetup, AContinuedRunTakesUpTheLengthsItsRestartFileKept) {
    CopperModel model(three_shells);
    set_up(model);
    for (const Path& path : model.finder().paths) {
        for (int j = 0; j < path.degeneracy; ++j) {
            shift_path_length(model.finder(), path, j, 0.01 * std::sin(j + path.R));
        }
    }
    const std::vector<double> kept = counted_lengths(model);
    {
        CaptureStdout quiet;
        write_restart_file(*model.calc);
    }
    const std::string name = restart_file_name(*model.calc);
    const auto continued = [](const std::string& file_name, std::string& output) {
        auto calc = std::make_unique<Calculation>();
        calc->flags.restart = calc->flags.oneD = true;
        CaptureStdout capture;
        const int code = exit_code_of([&] {
            prepare_calculation_through_paths(*calc, file_name, "");
            bind_states_to_absorber_edges(*calc);
            setup_oned_mode(*calc);
        });
        output = capture.text();
        std::vector<double> lengths;
        const Pathfinder& finder = calc->edges[0].pathfinder;
        for (const Path& path : finder.paths) {
            for (int j = 0; j < path.degeneracy; ++j) lengths.push_back(get_path_length(finder, path, j));
        }
        return std::pair(code, lengths);
    };
    std::string output;
    EXPECT_EQ(continued(name, output), std::pair(-1, kept)) << output;
    EXPECT_NE(output.find("              Path lengths of the restart file will be used.\n"), std::string::npos);

    // A file without them (of the older layout) starts every length at its path's R, and says so.
    const std::string text = file_text(name);
    std::ofstream("older") << text.substr(0, text.find("PATH_LENGTHS\n"));
    const auto [code, lengths] = continued("older", output);
    EXPECT_EQ(code, -1) << output;
    EXPECT_EQ(lengths[0], model.finder().paths[0].R);
    EXPECT_NE(output.find("WARNING: THE RESTART FILE KEEPS NO 1D PATH LENGTHS. EVERY LENGTH STARTS AT ITS PATH'S R!\n"),
              std::string::npos);

    // Lengths of another path table are refused rather than spread over the wrong members.
    const std::size_t first_path = text.find("PATH_LENGTHS\n3\n") + 15;
    const std::size_t second_value = text.find(' ', text.find(' ', first_path) + 1);
    const int count = std::stoi(text.substr(first_path));
    std::ofstream("other") << text.substr(0, first_path) << count - 1 << text.substr(second_value);
    EXPECT_EQ(continued("other", output).first, 4);
    EXPECT_NE(output.find("ERROR: THE 1D PATH LENGTHS OF THE RESTART FILE DO NOT FIT THE PATHS OF SPECTRUM #0!\n"),
              std::string::npos)
        << output;
}

TEST(OneDimensionalSweep, ARejectedMoveTakesEveryLengthBackToTheStartOfTheSweep) {
    CopperModel model(one_shell + "Number_of_states 2\n");
    Calculation& calc = *model.calc;
    set_up(model);
    // Any length away from R costs more than any residual gains, so the second state's move is worse for
    // sure; the first is taken, as there is no objective scale yet and every objective is equal.
    calc.structures[0].energy_terms = {EnergyTerm{energy_type_maxlike, 0, 0, {model.finder().paths[0].R, 1e-6}}};
    calc.parameters.doubles[DoubleKey::Energy_weight] = 1e6;
    calc.parameters.bools[BoolKey::adjust_acceptance] = false;
    calc.log_acceptance = -1e100;
    calc.move_all = true;
    const double first = model.state(0).residual, second = model.state(1).residual;
    run_oned_metropolis_sweep(calc);
    EXPECT_EQ(std::pair(calc.accepted_by_test, calc.accepted_without_test), std::pair(1, 0));
    EXPECT_NE(model.state(0).residual, first);
    EXPECT_EQ(model.state(1).residual, second);
    EXPECT_EQ(counted_lengths(model), std::vector<double>(32, model.finder().paths[0].R));
}

TEST(OneDimensionalSweep, AViolatedMoveDrawsNoAcceptanceNumberAndTheScheduleFollowsFrozeIn) {
    CopperModel model(three_shells + "Move_type one\nMaximal_displacement 1e-9\nadjust_step 1\nMaximal_step_length 0.005\n");
    Calculation& calc = *model.calc;
    set_up(model);
    const std::vector<double> lengths = counted_lengths(model);
    calc.iteration = 750;
    MersenneTwister before = calc.random;
    run_oned_metropolis_sweep(calc);
    EXPECT_TRUE(drew(before, calc.random, 4 * 3 * 2));  // a member and a shift per path and state
    EXPECT_EQ(counted_lengths(model), lengths);
    EXPECT_DOUBLE_EQ(calc.log_acceptance, std::log(0.5));
    EXPECT_DOUBLE_EQ(calc.step_length, 0.0075);

    calc.move_all = true;  // the first member of each path already leaves the range
    calc.iteration = 1500;
    before = calc.random;
    run_oned_metropolis_sweep(calc);
    EXPECT_TRUE(drew(before, calc.random, 4 * 3));
    EXPECT_EQ(calc.log_acceptance, -1e100);
    EXPECT_DOUBLE_EQ(calc.step_length, 0.01);
    EXPECT_EQ(calc.objective_normaliser, 0.0) << "nothing was evaluated";
    calc.parameters.ints[IntKey::Froze_in] = 0;  // no schedule: the step stays
    run_oned_metropolis_sweep(calc);
    EXPECT_DOUBLE_EQ(calc.step_length, 0.01);
}

TEST(OneDimensionalLoop, ChildrenAreEvaluatedOnTheSharedLengthsAndTheResidualFallsOverFiftyIterations) {
    CopperModel model(one_shell + "parent_children_competion 1\ntime1 50\n");
    Calculation& calc = *model.calc;
    set_up(model);
    const double start = model.state(0).residual;
    // Every state sees the same lengths, so a crossed child (other atoms) has its parents' residual.
    int children = 0;
    for (int round = 0; round < 4 && children == 0; ++round) {
        select_parents_roulette(calc);
        for (const State& child : calc.offspring_states) {
            if (!child.needs_evaluation) continue;
            ++children;
            EXPECT_NEAR(child.residual, start, 1e-9 * start);
        }
    }
    EXPECT_GT(children, 0);
    std::ostringstream progress;
    CaptureStdout quiet;
    for (int t = 1; t <= 50; ++t) ASSERT_FALSE(run_main_loop_iteration(calc, progress));
    EXPECT_LT(model.state(calc.best_state_index).residual, 0.97 * start);
}

TEST(OneDimensionalLoop, TheClusteringCheckMeasuresTheLengthsAndLeavesThemAlone) {
    CopperModel model(one_shell);
    set_up(model);
    shift_path_length(model.finder(), model.finder().paths[0], 3, 0.05);
    const std::vector<double> lengths = counted_lengths(model);
    CaptureStdout quiet;
    check_clustering_precision(*model.calc, true);
    EXPECT_EQ(counted_lengths(model), lengths);
}

TEST(PathRdf, WithoutTheOneDimensionalModelEveryMemberCountsAtTheGivenState) {
    CopperModel model(three_shells);
    const AbsorberEdge& edge = model.calc->edges[0];
    compute_rdf_histograms(*model.calc, 0);
    const std::vector<std::vector<double>> first = edge.rdf_histograms;
    EXPECT_NEAR(rdf_integral(first[0]) + 10 * rdf_integral(first[1]) + 100 * rdf_integral(first[2]), 2472.0, 1e-9);
    compute_rdf_histograms(*model.calc, 2);
    EXPECT_NE(edge.rdf_histograms[0], first[0]) << "another state, other displacements";
}
