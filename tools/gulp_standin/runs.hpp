#pragma once

#include "input.hpp"
#include "system.hpp"

#include <ostream>

namespace gulp_standin {

// The seed of every run: the same input always gives the same trajectory.
inline constexpr unsigned long long run_seed = 20240611ULL;

inline constexpr const char* monte_carlo_trajectory_name = "gulp.gmc";

// NVT Metropolis Monte Carlo, one randomly chosen atom displaced per trial. Writes a frame to gulp.gmc
// after every mcsample-th trial: "trial <n>", a line of 12 words, N, then N lines "Z 1 x y z".
void run_monte_carlo(const GulpInput& input, PeriodicSystem& system, std::ostream& log);

// Velocity Verlet with a stochastic velocity-rescaling thermostat (velocities rescaled to the target
// temperature every tscale during equilibration). Writes production frames to the movie file: N, a line
// of 3 words, then N lines "label x y z".
void run_dynamics(const GulpInput& input, PeriodicSystem& system, std::ostream& log);

}  // namespace gulp_standin
