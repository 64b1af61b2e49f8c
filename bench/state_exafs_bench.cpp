// One state's EXAFS by the cluster route on fcc copper 3x3x3 (108 absorbers, paths of up to three legs
// within 5 angstrom, 32 states with the default starting disorder), next to a bare sine-and-cosine
// loop over the same number of members and points, and to the exact signal of the same state with
// every member run through the FEFF stand-in.
#include "app/driver.hpp"
#include "control/calculation.hpp"
#include "optimisation/evaluation.hpp"
#include "optimisation/starting_states.hpp"
#include "optimisation/state.hpp"
#include "optimisation/state_exafs.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/structure.hpp"
#include "theory/absorber_edge.hpp"
#include "theory/pathfinder.hpp"
#include "theory/cluster_sums.hpp"
#include "control/threads.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>

namespace {

namespace fs = std::filesystem;

struct Model {
    std::unique_ptr<Calculation> calc;
    long long members = 0;
};

// The run folder of a model with the given thread count, built once per thread count.
Model& copper_model(int threads) {
    static std::map<int, Model> models;
    Model& model = models[threads];
    if (model.calc) return model;
    const fs::path folder = fs::temp_directory_path() / ("talq-bench-exafs-" + std::to_string(threads));
    fs::remove_all(folder);
    fs::create_directories(folder);
    fs::current_path(folder);
    std::ofstream("cu.p1") << "Cu\n1\n3.61 0 0\n0 3.61 0\n0 0 3.61\nCu\n4\nDirect\n"
                              "0 0 0 Cu\n0.5 0.5 0 Cu\n0.5 0 0.5 Cu\n0 0.5 0.5 Cu\n";
    {
        std::ofstream spectrum("exp.dat");
        for (int i = 1; i <= 300; ++i) spectrum << 0.05 * i << ' ' << std::sin(0.1 * i * 2.55) << '\n';
    }
    fs::copy_file(FEFF_STANDIN, "feff85L.exe");
    std::ofstream("input.dat") << "BEGIN\nFile_with_structure cu.p1\nFile_with_experimental_EXAFS_signal exp.dat\n"
                                  "Columns_in_input 2\nColumn_for_k 1\nColumn_for_chi 2\nEdge Cu\nSupercell 3x3x3\n"
                                  "k_min 2\nk_max 12\nNumber_of_states 32\nN_legs 3\nR_max_for_FEFF 5.0\n"
                                  "Number_of_threads "
                               << threads << "\nEND\n";
    model.calc = std::make_unique<Calculation>();
    std::ostringstream quiet;
    auto* previous = std::cout.rdbuf(quiet.rdbuf());
    prepare_calculation_through_paths(*model.calc, "input.dat", "");
    for (State& state : model.calc->current_states) randomise_state(*model.calc, state);
    bind_states_to_absorber_edges(*model.calc);
    evaluate_states(*model.calc, true, true, true, true, true, -1, -1);
    std::cout.rdbuf(previous);
    for (const Path& path : model.calc->edges[0].pathfinder.paths) model.members += static_cast<long long>(path.members.size());
    return model;
}

// One move's evaluation of one state: cluster sums, path chi, model chi and residual.
void BM_StateEvaluationClusterRoute(benchmark::State& state) {
    Model& model = copper_model(static_cast<int>(state.range(0)));
    for (auto _ : state) evaluate_states(*model.calc, false, false, true, true, true, 5, -1);
    state.counters["members"] = static_cast<double>(model.members);
    state.counters["ns_per_member_point"] = benchmark::Counter(
        static_cast<double>(model.members) * 401, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_StateEvaluationClusterRoute)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();

// The floor the sums are measured against: one sine and one cosine per member and point.
void BM_BareSineCosineLoop(benchmark::State& state) {
    const Model& model = copper_model(8);
    std::vector<double> R(static_cast<std::size_t>(model.members));
    for (std::size_t m = 0; m < R.size(); ++m) R[m] = 2.5 + 0.001 * static_cast<double>(m % 1000);
    std::vector<double> sine(401), cosine(401);
    for (auto _ : state) {
        for (const double r : R) {
            for (int i = 0; i < 401; ++i) {
                sine[static_cast<std::size_t>(i)] += std::sin(0.1 * i * r);
                cosine[static_cast<std::size_t>(i)] += std::cos(0.1 * i * r);
            }
        }
        benchmark::DoNotOptimize(sine.data());
        benchmark::DoNotOptimize(cosine.data());
    }
    state.counters["ns_per_member_point"] = benchmark::Counter(
        static_cast<double>(model.members) * 401, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_BareSineCosineLoop)->Unit(benchmark::kMillisecond)->UseRealTime();

// A full pass over the population: re-clustering, sums, FEFF for every cluster, chi and residuals.
void BM_FullPassOfThePopulation(benchmark::State& state) {
    Model& model = copper_model(static_cast<int>(state.range(0)));
    std::ostringstream quiet;
    auto* previous = std::cout.rdbuf(quiet.rdbuf());
    for (auto _ : state) evaluate_states(*model.calc, true, true, true, true, true, -1, -1);
    std::cout.rdbuf(previous);
}
BENCHMARK(BM_FullPassOfThePopulation)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

// The exact signal of the same state, every member run through the FEFF stand-in.
void BM_StateEvaluationMemberRoute(benchmark::State& state) {
    Model& model = copper_model(8);
    std::ostringstream quiet;
    auto* previous = std::cout.rdbuf(quiet.rdbuf());
    for (auto _ : state) {
        std::vector<MemberChiTable> tables(static_cast<std::size_t>(model.calc->absorber_edge_count));
        compute_state_exafs(*model.calc, model.calc->spectra[0], 5, true, &tables);
    }
    std::cout.rdbuf(previous);
}
BENCHMARK(BM_StateEvaluationMemberRoute)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
namespace {
void BM_Steps(benchmark::State& state) {
    Model& model = copper_model(static_cast<int>(state.range(0)));
    Calculation& calc = *model.calc;
    const int step = static_cast<int>(state.range(1));
    for (auto _ : state) {
        if (step == 0) apply_state_to_edge(calc, calc.edges[0], 5);
        if (step == 1) launch_cluster_chi_threads(calc.edges[0].pathfinder, 5, -1.0, false);
        if (step == 2) compute_state_exafs(calc, calc.spectra[0], 5, false, nullptr);
        if (step == 3) state_exafs_error(calc.spectra[0], 5);
    }
}
BENCHMARK(BM_Steps)->ArgsProduct({{1, 8}, {0, 1, 2, 3}})->Unit(benchmark::kMillisecond)->UseRealTime();
}
namespace {
void BM_ForkJoinEmpty(benchmark::State& state) {
    for (auto _ : state) fork_join(static_cast<std::int32_t>(state.range(0)), [](std::int32_t) {});
}
BENCHMARK(BM_ForkJoinEmpty)->Arg(1)->Arg(8)->UseRealTime();
}
