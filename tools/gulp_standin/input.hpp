#pragma once

#include "types.hpp"

#include <array>
#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace gulp_standin {

enum class RunKind { monte_carlo, dynamics };

struct InputAtom {
    std::string label;
    Vec3 position;  // fractional or Cartesian, as the block it came from says
    bool fractional = true;
};

// One pair line of a "lennard" block, turned into E(r) = a / r^m - b / r^n for rmin <= r < rmax.
// "lennard epsilon" lines give epsilon and the distance of the minimum (depth -epsilon there); with
// "zero" as well, the distance where the energy crosses zero; plain "lennard" lines give a and b.
struct PairTerm {
    std::string label_a;
    std::string label_b;
    int m = 12;
    int n = 6;
    double a = 0.0;
    double b = 0.0;
    double rmin = 0.0;
    double rmax = 0.0;
};

struct GulpInput {
    RunKind kind = RunKind::monte_carlo;
    std::optional<std::array<double, 6>> cell;  // a, b, c in angstrom; alpha, beta, gamma in degrees
    std::vector<InputAtom> atoms;
    std::vector<PairTerm> pairs;
    std::array<int, 3> supercell{1, 1, 1};
    double temperature = 0.0;

    // Monte Carlo.
    std::int64_t mc_trials = 0;
    std::int64_t mc_sample = 10;

    // Molecular dynamics, times in ps.
    double timestep = 0.001;
    double equilibration = 0.0;
    double production = 0.0;
    double write_interval = 0.0;    // 0: every step
    double rescale_interval = 0.0;  // velocity rescaling during equilibration; 0: none
    double thermostat_time = 0.1;   // relaxation time of the thermostat; 0: constant energy
    std::string movie_file;         // "output movie xyz <file>"; empty: no movie
};

// Reads the keyword line, then the cell, atom, species, lennard and run keywords; other keywords are
// ignored. Throws StandinError for a missing or unreadable cell, atoms, potential or run length, for
// charged species and for shells, none of which this model can honour.
GulpInput parse_gulp_input(std::istream& in);

}  // namespace gulp_standin
