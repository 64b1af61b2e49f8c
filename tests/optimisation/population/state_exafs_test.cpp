#include "control/mt.hpp"
#include "optimisation/copper_model.hpp"
#include "optimisation/output/diagnostics.hpp"
#include "optimisation/population/evaluation.hpp"
#include "theory/cluster_sums.hpp"
#include "theory/clustering.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Largest difference between two signals relative to the larger signal's largest value.
double relative_gap(const std::vector<double>& a, const std::vector<double>& b) {
    double gap = 0.0, largest = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        gap = std::max(gap, std::abs(a[i] - b[i]));
        largest = std::max({largest, std::abs(a[i]), std::abs(b[i])});
    }
    return largest > 0 ? gap / largest : gap;
}

std::vector<double> model_chi(CopperModel& model, int state) {
    const SignalArray& chi = model.state(state).spectra[0].chi;
    return {chi.re.begin(), chi.re.begin() + chi.n};
}

void full_pass(CopperModel& model) {
    CaptureStdout quiet;
    evaluate_states(*model.calc, true, true, true, true, true, -1, -1);
}

// The state's chi by the cluster route after a full pass, and by sending every member through FEFF.
struct Routes {
    std::vector<double> clusters;
    std::vector<double> members;
};

Routes both_routes(CopperModel& model, int state) {
    full_pass(model);
    Routes routes{model_chi(model, state), {}};
    std::vector<MemberChiTable> tables(static_cast<std::size_t>(model.calc->absorber_edge_count));
    CaptureStdout quiet;
    compute_state_exafs(*model.calc, model.calc->spectra[0], state, true, &tables);
    routes.members = model_chi(model, state);
    return routes;
}

}  // namespace

// FEFF's files carry six decimals; the stand-in prints more here so that the comparison sees the
// arithmetic of the two routes rather than the rounding of the files.
TEST(StateExafs, WithoutDisorderTheClusterRouteReproducesTheMemberRoute) {
    ScopedEnvironment digits("FEFF_STANDIN_DIGITS", "15");
    CopperModel model("Initial_displacement 0\n");
    const Routes routes = both_routes(model, 1);
    EXPECT_LT(relative_gap(routes.clusters, routes.members), 1e-10);
    EXPECT_GT(*std::max_element(routes.members.begin(), routes.members.end()), 0.01);
}

TEST(StateExafs, SmallDisorderKeepsTheRoutesWithinAPartInAHundredThousand) {
    ScopedEnvironment digits("FEFF_STANDIN_DIGITS", "15");
    CopperModel model("Initial_displacement 1e-6\n");
    const Routes routes = both_routes(model, 2);
    EXPECT_LT(relative_gap(routes.clusters, routes.members), 1e-5);
}

TEST(StateExafs, EffectivePhasesFollowDisorderBetterThanCountsAndSplittingHelps) {
    ScopedEnvironment digits("FEFF_STANDIN_DIGITS", "15");
    CopperModel complex_mode("Initial_displacement 0.1\n");
    const Routes complex_routes = both_routes(complex_mode, 3);
    const double complex_gap = relative_gap(complex_routes.clusters, complex_routes.members);
    EXPECT_LT(complex_gap, 0.05);

    CopperModel count_mode("Initial_displacement 0.1\nuse_effective_phase_amplitude 0\n");
    const Routes count_routes = both_routes(count_mode, 3);
    EXPECT_LT(complex_gap, relative_gap(count_routes.clusters, count_routes.members));

    // Splitting every cluster of every path into its two halves brings the cluster route closer.
    for (Path& path : complex_mode.finder().paths) {
        path.clustering_precision = 0.0;
        split_wide_clusters(path);
    }
    full_pass(complex_mode);
    full_pass(complex_mode);
    const Routes split_routes = both_routes(complex_mode, 3);
    EXPECT_LT(relative_gap(split_routes.clusters, split_routes.members), complex_gap);
}

TEST(StateExafs, ResultsAndExactSignalsAreTheSameForEveryThreadCountAndDrawNoRandomNumber) {
    std::vector<std::vector<double>> grids;
    for (const char* threads : {"1", "3", "8"}) {
        CopperModel model(std::string("Number_of_threads ") + threads + "\n");
        MersenneTwister before = model.calc->random;
        full_pass(model);
        full_pass(model);
        EXPECT_EQ(model.calc->random.genrand_int32(), before.genrand_int32()) << "the evaluation draws no random number";
        std::vector<double> all;
        for (int s = 0; s < 4; ++s) {
            const auto& grid = model.state(s).spectra[0].chi_grid;
            all.insert(all.end(), grid.begin(), grid.end());
            all.push_back(model.state(s).residual);
        }
        // The exact signal, every member through FEFF: the folders' shares of the members differ.
        std::vector<MemberChiTable> tables(1);
        model.state(1).needs_evaluation = true;
        {
            CaptureStdout quiet;
            compute_state_exafs(*model.calc, model.calc->spectra[0], 1, true, &tables);
        }
        const auto& exact = model.state(1).spectra[0].chi_grid;
        all.insert(all.end(), exact.begin(), exact.end());
        grids.push_back(all);
        // Read once, the member files are gone (the leading path's stays); what later runs and modes read stays.
        for (const auto& entry : std::filesystem::recursive_directory_iterator(".")) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(name.substr(0, 4) != "chip" || name == "chip0001.dat") << entry.path();
        }
        EXPECT_TRUE(std::filesystem::exists("feff_0_0/feff.inp"));
    }
    for (std::size_t t = 1; t < grids.size(); ++t) {
        ASSERT_EQ(grids[t].size(), grids[0].size());
        for (std::size_t i = 0; i < grids[0].size(); ++i) ASSERT_EQ(grids[t][i], grids[0][i]) << "thread set " << t << " at " << i;
    }
}

TEST(StateExafs, AStateThatNeedsNoEvaluationKeepsItsChi) {
    CopperModel model("");
    full_pass(model);
    State& state = model.state(0);
    const auto before = state.spectra[0].chi_grid;
    state.needs_evaluation = false;
    state.weights[0] = 0.5;
    EXPECT_EQ(compute_state_exafs(*model.calc, model.calc->spectra[0], 0, false, nullptr), 0.0);
    EXPECT_EQ(state.spectra[0].chi_grid, before);
    state.needs_evaluation = true;
    compute_state_exafs(*model.calc, model.calc->spectra[0], 0, false, nullptr);
    for (std::size_t j = 1; j + 1 < before.size(); ++j) EXPECT_NEAR(state.spectra[0].chi_grid[j], 0.5 * before[j], 1e-15);
}

TEST(StateExafs, TwoStructuresOfOneSpectrumAddTheirAbsorberAveragesByWeight) {
    CopperModel model("Number_of_structures 2\nFile_with_structure cu.p1 cu.p1\nSupercell 2x2x2 1x1x1\n");
    full_pass(model);
    Calculation& calc = *model.calc;
    ASSERT_EQ(calc.spectra[0].edge_count, 2);
    State& state = model.state(1);
    const auto grid_with = [&](double first, double second) {
        state.weights[0] = first;
        state.weights[1] = second;
        state.needs_evaluation = true;
        compute_state_exafs(calc, calc.spectra[0], 1, false, nullptr);
        return std::vector<double>(state.spectra[0].chi_grid.begin(), state.spectra[0].chi_grid.end());
    };
    const std::vector<double> first = grid_with(1, 0), second = grid_with(0, 1), mixed = grid_with(0.3, 0.7);
    EXPECT_GT(relative_gap(first, second), 0.01);
    for (std::size_t j = 0; j < mixed.size(); ++j) EXPECT_NEAR(mixed[j], 0.3 * first[j] + 0.7 * second[j], 1e-12) << j;

    // Each edge gives the sum of its path signals over its absorbing atoms (32 and 4 here), k-weighted.
    for (int e = 0; e < 2; ++e) {
        const Pathfinder& finder = model.finder(e);
        const std::vector<double>& alone = e == 0 ? first : second;
        std::vector<double> sum(path_chi_points, 0.0), chi(path_chi_points);
        for (const Path& path : finder.paths) {
            class_chi_of_path(path, 1, chi.data());
            for (int i = 0; i < path_chi_points; ++i) sum[static_cast<std::size_t>(i)] += chi[static_cast<std::size_t>(i)];
        }
        EXPECT_EQ(finder.absorber_count, e == 0 ? 32 : 4);
        for (int i = 20; i < path_chi_points; i += 60) {
            const double expected = sum[static_cast<std::size_t>(i)] / finder.absorber_count * 0.05 * i;  // k^(k_power - 1)
            EXPECT_NEAR(alone[static_cast<std::size_t>(i + 1)], expected, 1e-12 * std::abs(expected)) << e << " at " << i;
        }
    }
}

TEST(StateExafs, ARepresentativeOfNoLengthIsAnEmptyCluster) {
    CopperModel model("");
    full_pass(model);
    Path& path = model.finder().paths[0];
    for (Atom& atom : path.clusters[0].representative_atoms) atom = {"Cu", 0, 0, 0};
    CaptureStdout capture;
    EXPECT_EQ(exit_code_of([&] { write_cluster_paths_and_run_feff(model.calc->edges[0], false); }), 1);
    EXPECT_NE(capture.text().find("ERROR: empty cluster!"), std::string::npos);
}

TEST(StateExafs, EveryStateIsLinkedToThePathTableOfEveryEdge) {
    CopperModel model("");
    for (auto* population : {&model.calc->current_states, &model.calc->offspring_states, &model.calc->backup_states}) {
        for (const State& state : *population) {
            ASSERT_EQ(state.edge_links.size(), 1u);
            EXPECT_EQ(state.edge_links[0].paths, &model.finder());
            EXPECT_EQ(state.edge_links[0].path_count, static_cast<int>(model.finder().paths.size()));
        }
    }
    // The single starting cluster of a path is the mean over every member of every state.
    const Path& path = model.finder().paths[0];
    EXPECT_EQ(path.cluster_count, 1);
    EXPECT_EQ(path.clusters[0].member_count, 4 * path.degeneracy);
    EXPECT_NEAR(path.clusters[0].centroid[0], 3.61 / std::sqrt(2.0), 0.05);
}

TEST(StateExafs, TheExperimentalAmplitudeAndPhaseReplaceFeffsForTheFirstPathOnly) {
    CopperModel model("");
    AbsorberEdge& edge = model.calc->edges[0];
    edge.use_experimental_amplitude_phase = true;
    for (int i = 0; i < 403; ++i) {
        edge.experimental_amplitude[static_cast<std::size_t>(i)] = 0.25 + i;
        edge.experimental_phase[static_cast<std::size_t>(i)] = -0.5;
    }
    full_pass(model);
    const Path& first = model.finder().paths[0];
    const Path& second = model.finder().paths[1];
    EXPECT_EQ(first.cluster_amplitude[10], 10.25);
    EXPECT_EQ(first.cluster_phase[10], -0.5);
    EXPECT_NE(second.cluster_phase[10], -0.5);
    // FEFF's third column times k reff^2: at k = 0 the amplitude vanishes.
    EXPECT_EQ(second.cluster_amplitude[0], 0.0);
    EXPECT_GT(second.cluster_amplitude[100], 0.0);
}

TEST(StateExafs, OnlyClustersWhoseRepresentativeMovedGoThroughFeffAgainAndAFailedRunNamesItsFile) {
    CopperModel model("Number_of_threads 3\n");
    full_pass(model);
    const auto before = model.state(1).spectra[0].chi_grid;
    // Every folder's program is replaced by one that ends at once.
    for (const auto& entry : std::filesystem::directory_iterator(".")) {
        const auto program = entry.path() / "feff_win.exe";
        if (entry.is_directory() && std::filesystem::exists(program)) {
            std::filesystem::remove(program);
            std::ofstream(program) << "#!/bin/sh\nexit 0\n";
            std::filesystem::permissions(program, std::filesystem::perms::owner_all);
        }
    }
    // Nothing has moved, so no cluster has a new representative: no FEFF run, the same signals.
    EXPECT_EQ(exit_code_of([&] { full_pass(model); }), -1);
    EXPECT_EQ(model.state(1).spectra[0].chi_grid, before);

    Path& path = model.finder().paths[1];
    path.clusters[0].representative_atoms[1].x += 0.01;
    CaptureStdout capture;
    EXPECT_EQ(exit_code_of([&] { write_cluster_paths_and_run_feff(model.calc->edges[0], false); }), 1);
    EXPECT_NE(capture.text().find("ERROR: FEFF OUTPUT feff_0_0/chip0002.dat NOT FOUND!"), std::string::npos)
        << capture.text();
    const std::string list = file_text("feff_0_0/paths.dat");
    const std::size_t moved = list.find("     2    2   1.000000  index, nleg");
    EXPECT_NE(moved, std::string::npos);
    EXPECT_EQ(list.find("index, nleg", moved + 40), std::string::npos) << "the moved representative alone:\n" << list;
}

namespace {

// The clustering check of Calculation::Number_of_states - 1 with the given precision and cluster limit,
// its console output, and whether every state came back as it was.
struct Check {
    std::string output;
    bool states_restored = true;
};

Check check_clustering(CopperModel& model, double precision, int maximal_clusters) {
    Calculation& calc = *model.calc;
    calc.spectrum_parameters[0].doubles[SpectrumDoubleKey::Clustering_precision] = precision;
    calc.parameters.ints[IntKey::Maximal_number_of_clusters] = maximal_clusters;
    std::vector<State> before(calc.current_states.size());
    for (std::size_t i = 0; i < before.size(); ++i) before[i] = calc.current_states[i];
    Check check;
    {
        CaptureStdout capture;
        check_clustering_precision(calc, true);
        check.output = capture.text();
    }
    for (std::size_t i = 0; i < before.size(); ++i) {
        const State& state = calc.current_states[i];
        check.states_restored = check.states_restored && state.residual == before[i].residual &&
                                state.spectra[0].chi_grid == before[i].spectra[0].chi_grid;
    }
    return check;
}

std::size_t count_of(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

}  // namespace

TEST(ClusteringCheck, SplitsOnlyWhatIsNotPreciseEnoughWarnsAtTheLimitAndPutsTheStatesBack) {
    CopperModel model("Initial_displacement 0.1\n");
    full_pass(model);
    const int paths = static_cast<int>(model.finder().paths.size());
    ASSERT_EQ(paths, 3);
    const std::string warning = "\tWARNING! Clustering precision may be insufficient!\n";

    // A spectrum that has its limit already runs no pass at all.
    Check check = check_clustering(model, 1e-9, paths);
    EXPECT_EQ(check.output.find("\tTotal number of clusters: "), std::string::npos) << check.output;
    EXPECT_EQ(count_of(check.output, warning), 1u);
    EXPECT_EQ(count_clusters(model.finder()), paths);
    EXPECT_TRUE(check.states_restored);

    // Precise enough: one pass, nothing split, no warning, every path examined.
    check = check_clustering(model, 1.0, 10000);
    EXPECT_EQ(count_of(check.output, "\tTotal number of clusters: "), 1u) << check.output;
    EXPECT_EQ(check.output.find(warning), std::string::npos);
    EXPECT_EQ(count_clusters(model.finder()), paths);
    for (const Path& path : model.finder().paths) {
        EXPECT_TRUE(path.check) << "marked again for the next check";
        EXPECT_GE(path.largest_exafs_error, 0.0);
        EXPECT_LE(path.largest_exafs_error, 1.0);
    }

    // Never precise enough: every pass splits the clusters wider than the narrowest failing one, until
    // the limit ends the check with the warning.
    check = check_clustering(model, 1e-12, 4 * paths);
    EXPECT_NE(check.output.find("\tTotal number of clusters: 3\n"), std::string::npos) << check.output;
    EXPECT_GE(count_of(check.output, "\tTotal number of clusters: "), 2u);
    EXPECT_EQ(count_of(check.output, warning), 1u);
    EXPECT_GE(count_clusters(model.finder()), 4 * paths);
    EXPECT_TRUE(check.states_restored);

    // The cluster file holds the clusters the check left, edge by edge and path by path.
    const std::vector<std::string> lines = lines_of("restartClusters.dat");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "PATHLENGTH: 3");
    std::size_t line = 1;
    for (const Path& path : model.finder().paths) {
        ASSERT_LT(line + 2, lines.size());
        EXPECT_EQ(lines[line], "\tCLUSTERLENGTH: " + std::to_string(path.cluster_count));
        EXPECT_EQ(lines[line + 1].rfind("\tMax. geom. error: ", 0), 0u);
        EXPECT_EQ(lines[line + 2].rfind("\tMax. EXAFS error: ", 0), 0u);
        line += 3;
        for (const Cluster& cluster : path.clusters) {
            ASSERT_LT(line, lines.size());
            std::istringstream values(lines[line++]);
            std::vector<double> numbers;
            for (double value; values >> value;) numbers.push_back(value);
            ASSERT_EQ(numbers.size(), static_cast<std::size_t>(path.descriptor_length) + 4) << lines[line - 1];
            EXPECT_NEAR(numbers[0], cluster.centroid[0], 1e-5 * std::abs(cluster.centroid[0]));
            EXPECT_EQ(numbers[static_cast<std::size_t>(path.descriptor_length)], cluster.member_count);
            EXPECT_EQ(numbers[static_cast<std::size_t>(path.descriptor_length) + 2], 0.0) << "the reserved error";
        }
    }
    EXPECT_EQ(line, lines.size());
}
