// Iterations of the main loop (stage 13) on fcc copper 4x4x4, every atom an absorber, 32 states, one-atom
// moves, after the set-up of a run: the starting states evaluated in full and the clustering check of
// stage 12. Each benchmark iteration is one main-loop iteration with everything it does at its periods
// (the evolutionary step, the sweep, a progress report every 10 iterations, a full pass every 2), except
// the checkpoint every time2 iterations, which is set beyond the run. Reported: wall and process CPU time
// per iteration, moves per second, and the process's memory after the set-up and at its peak.
//
// One model lives at a time, so each benchmark's memory figures are its own when it runs in a process of
// its own: --benchmark_filter='BM_MainLoop/cells:4/legs:3/r:5/threads:8/W:0'.
// Repetitions (--benchmark_repetitions=3) go on with the same run: the first holds iterations 1-40 after
// the set-up, while the population is still spread out (crossed children far from their parents), the
// next ones 41-80 and 81-120, nearer a long run's usual iteration.
//
// The run's folder is made under TMPDIR (/tmp by default), and the file system there is part of the
// figures: every full pass starts FEFF, whose one file per path the run reads and deletes. On an ext4
// without a journal, making a file passes over every inode deleted in the last minutes, which makes the
// serial FEFF run of a pass, and with it the scaling over threads, worse than on a journaled one
// (TMPDIR=/some/journaled/folder to compare).
#include "copper_bench_model.hpp"
#include "optimisation/output/diagnostics.hpp"
#include "optimisation/run/main_loop.hpp"
#include "theory/clustering.hpp"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <unistd.h>

namespace {

constexpr int state_count = 32;

double process_cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

double resident_megabytes() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

double peak_resident_megabytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

struct LoopModel {
    std::tuple<int, int, int, int, int> key{};
    std::unique_ptr<Calculation> calc;
    std::ofstream progress;
    double resident_after_setup = 0.0;
    int clusters = 0;
    long long members = 0;
};

// Arguments: supercell edge, N_legs, R_max_for_FEFF, threads, W space (1) or k (0).
LoopModel& loop_model(int cells, int legs, int r_max, int threads, bool wavelet) {
    static LoopModel model;
    const std::tuple<int, int, int, int, int> key{cells, legs, r_max, threads, wavelet};
    if (model.calc && model.key == key) return model;
    model.progress.close();
    model.calc.reset();
    model.key = key;
    const std::string name = "talq-bench-main-loop-" + std::to_string(cells) + "-" + std::to_string(legs) + "-" +
                             std::to_string(r_max) + "-" + std::to_string(threads) + "-" + std::to_string(wavelet);
    model.calc = copper_bench_model(name, cells,
                                    std::string("Maximal_displacement 5\nMove_type one\ntime2 1000000\nSpace ") +
                                        (wavelet ? "w" : "k") + "\nNumber_of_threads " + std::to_string(threads) + "\n",
                                    legs, r_max);
    Calculation& calc = *model.calc;
    std::ostringstream quiet;
    auto* previous = std::cout.rdbuf(quiet.rdbuf());
    check_clustering_precision(calc, true);
    model.progress.open("output.dat");
    write_progress_header(calc, model.progress);
    std::cout.rdbuf(previous);
    model.clusters = 0;
    model.members = 0;
    for (int e = 0; e < calc.absorber_edge_count; ++e) {
        const Pathfinder& finder = calc.edges[static_cast<std::size_t>(e)].pathfinder;
        model.clusters += count_clusters(finder);
        for (const Path& path : finder.paths) model.members += static_cast<long long>(path.members.size());
    }
    model.resident_after_setup = resident_megabytes();
    return model;
}

void BM_MainLoop(benchmark::State& state) {
    LoopModel& model = loop_model(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
                                  static_cast<int>(state.range(2)), static_cast<int>(state.range(3)), state.range(4) != 0);
    Calculation& calc = *model.calc;
    std::ostringstream quiet;
    auto* previous = std::cout.rdbuf(quiet.rdbuf());
    const double cpu_before = process_cpu_seconds();
    for (auto _ : state) run_main_loop_iteration(calc, model.progress);
    const double cpu = process_cpu_seconds() - cpu_before;
    std::cout.rdbuf(previous);
    const double iterations = static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations() * state_count);  // moves
    state.counters["cpu_s_per_iteration"] = cpu / iterations;
    state.counters["cpu_ms_per_move"] = 1e3 * cpu / (iterations * state_count);
    state.counters["clusters"] = model.clusters;
    state.counters["member_chains"] = static_cast<double>(model.members);
    state.counters["rss_setup_MB"] = model.resident_after_setup;
    state.counters["rss_peak_MB"] = peak_resident_megabytes();
    // What one state's tables take on every edge (its slot's share of the sums tables).
    double table_bytes = 0.0;
    for (int e = 0; e < calc.absorber_edge_count; ++e) {
        const Pathfinder& finder = calc.edges[static_cast<std::size_t>(e)].pathfinder;
        for (const Path& path : finder.paths) {
            if (path.sums.empty()) continue;
            const PathSums& sums = path.sums[0];
            table_bytes += static_cast<double>(sums.member_cluster.capacity() * sizeof(std::int32_t) +
                                               sums.member_distance.capacity() * sizeof(double) +
                                               sums.counts.capacity() * sizeof(std::int32_t) +
                                               (sums.sine.capacity() + sums.cosine.capacity()) * sizeof(double) +
                                               sums.statistics.capacity() * sizeof(ClusterStateStatistics));
        }
        if (!finder.state_tables.empty()) table_bytes += static_cast<double>(finder.state_tables[0].displacements.capacity() * sizeof(Vec3));
    }
    state.counters["tables_MB_per_state"] = table_bytes / (1024.0 * 1024.0);
}
BENCHMARK(BM_MainLoop)
    ->ArgNames({"cells", "legs", "r", "threads", "W"})
    ->ArgsProduct({{4}, {3}, {5}, {1, 8}, {0, 1}})
    ->Args({4, 4, 6, 1, 0})
    ->Args({4, 4, 6, 8, 0})
    ->Iterations(40)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
