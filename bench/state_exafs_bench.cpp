// One state's EXAFS by the cluster route on fcc copper 3x3x3 (108 absorbers, paths of up to three legs
// within 5 angstrom, 32 states with the default starting disorder): one state with its sums split over
// the threads, the whole population spread over the threads, next to a bare sine-and-cosine loop over
// the same number of members and points, and to the exact signal of the same state with every member
// run through the FEFF stand-in.
#include "copper_bench_model.hpp"
#include "control/threads.hpp"
#include "spectra/residuals.hpp"
#include "theory/cluster_sums.hpp"
#include "theory/clustering.hpp"
#include "theory/pathfinder.hpp"
#include "theory/path_update.hpp"

#include <benchmark/benchmark.h>

#include <map>
#include <vector>

namespace {

struct Model {
    std::unique_ptr<Calculation> calc;
    long long members = 0;
};

Model& copper_model(int threads) {
    static std::map<int, Model> models;
    Model& model = models[threads];
    if (model.calc) return model;
    model.calc = copper_bench_model("talq-bench-exafs-" + std::to_string(threads), 3,
                                    "Number_of_threads " + std::to_string(threads) + "\n");
    for (const Path& path : model.calc->edges[0].pathfinder.paths) model.members += static_cast<long long>(path.members.size());
    return model;
}

// One state from scratch with its sums split over the threads: the geometry of its chains, the sums of
// its members, its model chi and its residual.
void BM_OneStateEvaluation(benchmark::State& state) {
    Model& model = copper_model(static_cast<int>(state.range(0)));
    Calculation& calc = *model.calc;
    AbsorberEdge& edge = calc.edges[0];
    for (auto _ : state) {
        apply_state_to_edge(calc, edge, 5);
        for (Path& path : edge.pathfinder.paths) reset_cluster_counts(path);
        launch_cluster_chi_threads(edge.pathfinder, 5, -1.0, false);
        compute_state_exafs(calc, calc.spectra[0], 5, false, nullptr);
        state_exafs_error(calc.spectra[0], 5);
    }
    state.counters["members"] = static_cast<double>(model.members);
    state.counters["ns_per_member_point"] = benchmark::Counter(
        static_cast<double>(model.members) * 401 * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_OneStateEvaluation)->ArgName("threads")->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();

// Every state of the population from scratch (no FEFF, no re-clustering), the states shared out
// between the threads.
void BM_PopulationEvaluation(benchmark::State& state) {
    Model& model = copper_model(static_cast<int>(state.range(0)));
    for (auto _ : state) evaluate_states(*model.calc, false, false, true, true, true, -1, -1);
    state.SetItemsProcessed(state.iterations() * 32);  // states
}
BENCHMARK(BM_PopulationEvaluation)->ArgName("threads")->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();

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
        static_cast<double>(model.members) * 401 * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_BareSineCosineLoop)->Unit(benchmark::kMillisecond)->UseRealTime();

// A full pass: re-clustering, sums, FEFF for every cluster, chi and residuals of every state.
void BM_FullPassWithFeff(benchmark::State& state) {
    Model& model = copper_model(8);
    std::ostringstream quiet;
    auto* previous = std::cout.rdbuf(quiet.rdbuf());
    for (auto _ : state) evaluate_states(*model.calc, true, true, true, true, true, -1, -1);
    std::cout.rdbuf(previous);
}
BENCHMARK(BM_FullPassWithFeff)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

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

void BM_ForkJoinEmpty(benchmark::State& state) {
    for (auto _ : state) fork_join(static_cast<std::int32_t>(state.range(0)), [](std::int32_t) {});
}
BENCHMARK(BM_ForkJoinEmpty)->ArgName("threads")->Arg(1)->Arg(8)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
