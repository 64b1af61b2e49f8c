// Sweeps of moves on fcc copper (paths of up to three legs within 5 angstrom, 32 states): the time per
// sweep and per move with one-atom moves (evaluated through the chains of the moved atom) and with
// every atom moved (each moved state evaluated in full), on 1 and 8 threads, in k and in W space; and
// one full evaluation of a state for comparison.
#include "copper_bench_model.hpp"
#include "optimisation/population/moves.hpp"
#include "theory/incremental_sums.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>

namespace {

// Arguments: supercell edge (3 or 4), threads, one-atom moves (1) or all atoms (0), W space (1) or k (0).
Calculation& copper_model(int cells, int threads, bool one_atom, bool wavelet) {
    static std::map<std::tuple<int, int, bool, bool>, std::unique_ptr<Calculation>> models;
    std::unique_ptr<Calculation>& calc = models[{cells, threads, one_atom, wavelet}];
    if (calc) return *calc;
    const std::string name = "talq-bench-sweep-" + std::to_string(cells) + "-" + std::to_string(threads) + "-" +
                             std::to_string(one_atom) + std::to_string(wavelet);
    calc = copper_bench_model(name, cells,
                              std::string("Maximal_displacement 5\nMove_type ") + (one_atom ? "one" : "move_all") +
                                  "\nSpace " + (wavelet ? "w" : "k") + "\nNumber_of_threads " + std::to_string(threads) + "\n");
    return *calc;
}

void BM_Sweep(benchmark::State& state) {
    Calculation& calc = copper_model(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
                                     state.range(2) != 0, state.range(3) != 0);
    for (auto _ : state) {
        run_metropolis_sweep(calc);
        ++calc.iteration;
    }
    state.SetItemsProcessed(state.iterations() * 32);  // moves
}
BENCHMARK(BM_Sweep)
    ->ArgNames({"cells", "threads", "one_atom", "W"})
    ->ArgsProduct({{3, 4}, {1, 8}, {1, 0}, {0}})
    ->Args({3, 1, 1, 1})
    ->Args({3, 8, 1, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

// One state evaluated from scratch, for the ratio of a one-atom move to a whole state.
void BM_FullStateEvaluation(benchmark::State& state) {
    Calculation& calc = copper_model(static_cast<int>(state.range(0)), 1, true, false);
    for (auto _ : state) {
        for (int e = 0; e < calc.absorber_edge_count; ++e) forget_state_tables(calc.edges[static_cast<std::size_t>(e)].pathfinder, 5);
        calc.current_states[5].needs_evaluation = true;
        evaluation_work(calc, 1);
        evaluate_moved_state(calc, 5, 0);
    }
}
BENCHMARK(BM_FullStateEvaluation)->ArgNames({"cells"})->Arg(3)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
