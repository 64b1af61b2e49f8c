#pragma once

// An fcc copper model run through the path stages with the FEFF stand-in, its 32 states randomised
// with the default starting disorder, bound to the edges and evaluated once: the ground the refinement
// benchmarks measure on. Each model works in a folder of its own under the temporary folder.
#include "app/driver.hpp"
#include "control/calculation.hpp"
#include "optimisation/population/evaluation.hpp"
#include "optimisation/run/starting_states.hpp"
#include "optimisation/population/state.hpp"
#include "optimisation/population/state_exafs.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/structure.hpp"
#include "theory/absorber_edge.hpp"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

inline std::unique_ptr<Calculation> copper_bench_model(const std::string& folder_name, int cells,
                                                       const std::string& parameters, int legs = 3,
                                                       double r_max = 5.0) {
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / folder_name;
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
                               << "\nk_min 2\nk_max 12\nNumber_of_states 32\nN_legs " << legs
                               << "\nR_max_for_FEFF " << r_max << "\n"
                               << parameters << "END\n";
    auto calc = std::make_unique<Calculation>();
    std::ostringstream quiet;
    auto* previous = std::cout.rdbuf(quiet.rdbuf());
    prepare_calculation_through_paths(*calc, "input.dat", "");
    for (State& state : calc->current_states) randomise_state(*calc, state);
    bind_states_to_absorber_edges(*calc);
    evaluate_states(*calc, true, true, true, true, true, -1, -1);
    calc->iteration = 1;
    std::cout.rdbuf(previous);
    return calc;
}
