#pragma once

#include "input.hpp"
#include "types.hpp"

#include <optional>
#include <vector>

namespace feff_standin {

// k = 0, 0.05, ... up to kmax (inclusive within rounding).
std::vector<double> make_k_grid(double kmax);

// Half the closed length: absorber -> atoms[0] -> ... -> absorber.
double half_path_length(const PathBlock& path);

// Leg lengths in file order: leg i ends at atoms[i] (leg 0 starts at the absorber).
std::vector<double> leg_lengths(const PathBlock& path);

// Deflection angle (radians) at atoms[i]: 0 for straight-through, pi for backscattering.
double deflection_angle(const PathBlock& path, int i);

// 3 (e.r_first)(e.r_last) for a unit polarization e, with r_first and r_last the directions from the
// absorber to the first and last scatterer; 1 without polarization (the orientational average).
double polarization_factor(const PathBlock& path, const std::optional<Vec3>& polarization);

struct PathSignal {
    double reff = 0.0;
    std::vector<double> chi;
    std::vector<double> mag;
    std::vector<double> phase;          // 2 k reff + phi_eff, continuous in k
    std::vector<double> phase_minus_2kr;  // phi_eff
};

// Throws when a potential index of the path has no POTENTIALS entry.
PathSignal compute_path_signal(const PathBlock& path, const FeffInput& input, const std::vector<double>& k);

// A single number for ranking paths against each other: the sum of mag over the grid.
double path_strength(const PathSignal& signal);

}  // namespace feff_standin
