// Path search on a 4x4x4 fcc copper supercell (256 atoms, every one an absorber), paths of up to four
// legs within 6 angstrom: the size of a typical refinement model.
#include "control/calculation.hpp"
#include "structure/geometry.hpp"
#include "theory/pathfinder.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/structure.hpp"
#include "theory/absorber_edge.hpp"
#include "optimisation/population/state.hpp"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

namespace {

std::unique_ptr<Calculation> copper_supercell() {
    auto calc = std::make_unique<Calculation>();
    set_parameter_defaults(*calc);
    const auto folder = std::filesystem::temp_directory_path() / "talq-bench";
    std::filesystem::create_directories(folder);
    const auto p1 = folder / "cu.p1";
    std::ofstream(p1) << "Cu\n1.0\n3.61 0 0\n0 3.61 0\n0 0 3.61\nCu\n4\nDirect\n"
                         "0 0 0 Cu\n0.5 0.5 0 Cu\n0.5 0 0.5 Cu\n0 0.5 0.5 Cu\n";
    calc->structure_parameters[0].strings[StructureStringKey::File_with_structure] = p1.string();
    calc->structure_parameters[0].strings[StructureStringKey::Supercell] = "4x4x4";
    calc->spectrum_parameters[0].strings[SpectrumStringKey::Edge] = "Cu";
    std::ostringstream quiet;
    auto* previous = std::cout.rdbuf(quiet.rdbuf());
    build_geometry(*calc, "");
    std::cout.rdbuf(previous);
    return calc;
}

void BM_PathfinderCopper4x4x4(benchmark::State& state) {
    const auto calc = copper_supercell();
    const Structure& s = calc->structures[0];
    std::ostringstream quiet;
    auto* previous = std::cout.rdbuf(quiet.rdbuf());
    for (auto _ : state) {
        Pathfinder finder;
        const int paths = setup_and_run_pathfinder(finder, "Cu", 4, 6.0, 0.5, s.atom_count, s.working_count,
                                                   s.working_atoms, s.working_source, 8, -1, {}, false);
        benchmark::DoNotOptimize(paths);
        state.counters["nodes"] = static_cast<double>(finder.nodes.size());
        state.counters["paths"] = paths;
    }
    std::cout.rdbuf(previous);
}
BENCHMARK(BM_PathfinderCopper4x4x4)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
