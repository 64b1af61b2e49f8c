#pragma once

#include "app/driver.hpp"
#include "control/calculation.hpp"
#include "optimisation/run/starting_states.hpp"
#include "optimisation/population/state.hpp"
#include "optimisation/population/state_exafs.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/structure.hpp"
#include "test_support.hpp"
#include "theory/absorber_edge.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

// An fcc copper model run through the path stages with the FEFF stand-in in a fresh folder: its states
// randomised (Initial_displacement of the parameters) and bound to the edges. `parameters` adds to or
// overrides the defaults below.
struct CopperModel {
    ScopedWorkFolder folder;
    std::unique_ptr<Calculation> calc = std::make_unique<Calculation>();
    std::string output;

    explicit CopperModel(const std::string& parameters, bool bind = true) {
        std::ofstream("cu.p1") << "Cu\n1\n3.61 0 0\n0 3.61 0\n0 0 3.61\nCu\n4\nDirect\n"
                                  "0 0 0 Cu\n0.5 0.5 0 Cu\n0.5 0 0.5 Cu\n0 0.5 0.5 Cu\n";
        {
            std::ofstream spectrum("exp.dat");
            for (int i = 1; i <= 300; ++i) spectrum << 0.05 * i << ' ' << std::sin(0.1 * i * 2.55) << '\n';
        }
        std::filesystem::copy_file(FEFF_STANDIN, "feff85L.exe");
        std::ofstream("input.dat") << "BEGIN\nFile_with_structure cu.p1\nFile_with_experimental_EXAFS_signal exp.dat\n"
                                      "Columns_in_input 2\nColumn_for_k 1\nColumn_for_chi 2\n"
                                      "Edge Cu\nSupercell 2x2x2\nk_min 2\nk_max 12\nNumber_of_states 4\n"
                                      "Number_of_threads 2\nN_legs 3\nR_max_for_FEFF 4.0\n"
                                   << parameters << "END\n";
        CaptureStdout capture;
        const int code = exit_code_of([&] { prepare_calculation_through_paths(*calc, "input.dat", ""); });
        output = capture.text();
        if (code != -1) throw std::runtime_error("the path stages ended with code " + std::to_string(code) + ":\n" + output);
        if (bind) randomise_and_bind();
    }

    void randomise_and_bind() {
        for (State& state : calc->current_states) randomise_state(*calc, state);
        CaptureStdout quiet;
        bind_states_to_absorber_edges(*calc);
    }

    Pathfinder& finder(int edge = 0) { return calc->edges[static_cast<std::size_t>(edge)].pathfinder; }
    State& state(int i) { return calc->current_states[static_cast<std::size_t>(i)]; }
};

// Sets an environment variable for the lifetime of the object.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value) : name_(name) { setenv(name, value, 1); }
    ~ScopedEnvironment() { unsetenv(name_); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* name_;
};
