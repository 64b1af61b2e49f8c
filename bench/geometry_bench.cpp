// The geometry stage (stage 4) on fcc copper supercells with every atom absorbing, up to the largest
// supercell the program accepts: structure and periodic images, absorber edges, the states, and the xyz
// snapshots with the partial RDF, which compares every absorber with every working atom.
#include "control/calculation.hpp"
#include "optimisation/population/state.hpp"
#include "optimisation/output/xyz_output.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/geometry.hpp"
#include "structure/structure.hpp"
#include "structure/supercell.hpp"
#include "theory/absorber_edge.hpp"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

namespace {

void BM_GeometryStageCopper(benchmark::State& state) {
    const auto cells = static_cast<int>(state.range(0));
    const auto previous_folder = std::filesystem::current_path();
    const auto folder = std::filesystem::temp_directory_path() / "talq-bench-geometry";
    std::filesystem::create_directories(folder);
    std::filesystem::current_path(folder);
    std::ofstream("cu.p1") << "Cu\n1.0\n3.61 0 0\n0 3.61 0\n0 0 3.61\nCu\n4\nDirect\n"
                              "0 0 0 Cu\n0.5 0.5 0 Cu\n0.5 0 0.5 Cu\n0 0.5 0.5 Cu\n";
    std::ostringstream quiet;
    auto* previous = std::cout.rdbuf(quiet.rdbuf());
    for (auto _ : state) {
        auto calc = std::make_unique<Calculation>();
        set_parameter_defaults(*calc);
        const std::string size = std::to_string(cells);
        calc->structure_parameters[0].strings[StructureStringKey::File_with_structure] = "cu.p1";
        calc->structure_parameters[0].strings[StructureStringKey::Supercell] = size + "x" + size + "x" + size;
        calc->spectrum_parameters[0].strings[SpectrumStringKey::Edge] = "Cu";
        init_spectrum_context(calc->spectra[0], calc->spectrum_parameters[0], calc->edges.data());
        build_geometry(*calc, "");
        setup_absorber_edges(*calc);
        allocate_states(*calc);
        write_state_xyz_files(*calc);
        state.counters["atoms"] = calc->structures[0].atom_count;
        state.counters["working"] = calc->structures[0].working_count;
    }
    std::cout.rdbuf(previous);
    std::filesystem::current_path(previous_folder);
    std::filesystem::remove_all(folder);
}
// 4 atoms per cell: 2048, 16384 and 48668 atoms, the last just below max_supercell_atoms.
BENCHMARK(BM_GeometryStageCopper)->Arg(8)->Arg(16)->Arg(23)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
