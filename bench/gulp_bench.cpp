// The force-field modes: reading a Monte Carlo trajectory of a 4x4x4 copper supercell (256 atoms) and,
// when the stand-in is built, one run of it on a 2x2x2 copper supercell at 300 K.
#include "optimisation/forcefield/gulp_trajectory.hpp"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

fs::path bench_folder() {
    const fs::path folder = fs::temp_directory_path() / "talq-bench";
    fs::create_directories(folder);
    return folder;
}

constexpr int frame_count = 200;
constexpr int atoms_per_frame = 256;

void BM_ReadMonteCarloTrajectory(benchmark::State& state) {
    const fs::path file = bench_folder() / "gulp.gmc";
    {
        std::ofstream out(file);
        char line[96];
        for (int f = 1; f <= frame_count; ++f) {
            out << "trial " << f * 100 << "\n w1 w2 w3 w4 w5 w6 w7 w8 w9 w10 w11 w12\n" << atoms_per_frame << '\n';
            for (int a = 0; a < atoms_per_frame; ++a) {
                std::snprintf(line, sizeof line, "29 1 %.8f %.8f %.8f\n", 0.01 * a + 1e-4 * f, 0.02 * a, 0.03 * a);
                out << line;
            }
        }
    }
    for (auto _ : state) {
        TrajectoryReader reader;
        open_trajectory(reader, file.string(), TrajectoryLayout::gulp_mc, 1.0, atoms_per_frame);
        TrajectoryFrame frame;
        int frames = 0;
        while (read_trajectory_frame(reader, frame)) ++frames;
        benchmark::DoNotOptimize(frames);
    }
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(frame_count), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ReadMonteCarloTrajectory)->Unit(benchmark::kMillisecond);

#ifdef GULP_STANDIN
// 5000 single-atom trials with a 12 A cutoff, the pair sums over every lattice translation it reaches.
void BM_StandinMonteCarloCopper2x2x2(benchmark::State& state) {
    const fs::path folder = bench_folder();
    std::ofstream(folder / "input.gin")
        << "montecarlo\tconv\tcartesian\tfull\ncell\n3.61 3.61 3.61 90 90 90\nfractional\n"
           "Cu core 0 0 0\nCu core 0.5 0.5 0\nCu core 0.5 0 0.5\nCu core 0 0.5 0.5\n"
           "species \nCu 0 \nlennard epsilon 12 6 \nCu Cu 0.1 2.55266 12 \n"
           "supercell 2 2 2 \ntemperature 300 \nmctrial 5000 \nmcsample 50 \n";
    const std::string command = "cd \"" + folder.string() + "\" && \"" + GULP_STANDIN + "\" < input.gin > gulp.log";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) state.SkipWithError("the stand-in failed");
    }
}
BENCHMARK(BM_StandinMonteCarloCopper2x2x2)->Unit(benchmark::kMillisecond);
#endif

}  // namespace

BENCHMARK_MAIN();
