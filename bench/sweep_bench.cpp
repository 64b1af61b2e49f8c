// Sweeps of moves on fcc copper (paths of up to three legs within 5 angstrom, 32 states): the time per
// sweep and per move with one-atom moves (evaluated through the chains of the moved atom) and with
// every atom moved (each moved state evaluated in full), on 1 and 8 threads, in k and in W space; and
// one full evaluation of a state for comparison.
#include "app/driver.hpp"
#include "control/calculation.hpp"
#include "optimisation/evaluation.hpp"
#include "optimisation/moves.hpp"
#include "optimisation/starting_states.hpp"
#include "optimisation/state.hpp"
#include "optimisation/state_exafs.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/structure.hpp"
#include "theory/absorber_edge.hpp"
#include "theory/pathfinder.hpp"

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

namespace fs = std::filesystem;

// Arguments: supercell edge (3 or 4), threads, one-atom moves (1) or all atoms (0), W space (1) or k (0).
Calculation& copper_model(int cells, int threads, bool one_atom, bool wavelet) {
    static std::map<std::tuple<int, int, bool, bool>, std::unique_ptr<Calculation>> models;
    std::unique_ptr<Calculation>& calc = models[{cells, threads, one_atom, wavelet}];
    if (calc) return *calc;
    const std::string name = "talq-bench-sweep-" + std::to_string(cells) + "-" + std::to_string(threads) + "-" +
                             std::to_string(one_atom) + std::to_string(wavelet);
    const fs::path folder = fs::temp_directory_path() / name;
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
                                  "Columns_in_input 2\nColumn_for_k 1\nColumn_for_chi 2\nEdge Cu\nSupercell "
                               << cells << "x" << cells << "x" << cells
                               << "\nk_min 2\nk_max 12\nNumber_of_states 32\nN_legs 3\nR_max_for_FEFF 5.0\n"
                                  "Maximal_displacement 5\nMove_type "
                               << (one_atom ? "one" : "move_all") << "\nSpace " << (wavelet ? "w" : "k")
                               << "\nNumber_of_threads " << threads << "\nEND\n";
    calc = std::make_unique<Calculation>();
    std::ostringstream quiet;
    auto* previous = std::cout.rdbuf(quiet.rdbuf());
    prepare_calculation_through_paths(*calc, "input.dat", "");
    for (State& state : calc->current_states) randomise_state(*calc, state);
    bind_states_to_absorber_edges(*calc);
    evaluate_states(*calc, true, true, true, true, true, -1, -1);
    calc->iteration = 1;
    std::cout.rdbuf(previous);
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
        for (int e = 0; e < calc.absorber_edge_count; ++e) calc.edges[static_cast<std::size_t>(e)].pathfinder.sums_displacements.clear();
        calc.current_states[5].needs_evaluation = true;
        evaluation_work(calc, 1);
        evaluate_moved_state(calc, 5, 0);
    }
}
BENCHMARK(BM_FullStateEvaluation)->ArgNames({"cells"})->Arg(3)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
