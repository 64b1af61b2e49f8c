#pragma once

#include "input.hpp"
#include "types.hpp"

#include <vector>

namespace feff_standin {

// Checks what the path search and the potentials need from feff.inp: an ATOMS list, potential 0 for
// the absorber, a POTENTIALS entry for every ATOMS row, and no second atom claiming potential 0.
void check_cluster(const FeffInput& input);

// The path radius: RPATH when given, else 2.2 nearest-neighbour distances.
double path_radius(const FeffInput& input);

// The path list of the cluster around the first ATOMS row: every single-scattering shell and, when
// NLEGS allows three legs, every triangle path within the path radius, sorted by half length and
// numbered from 1. Coordinates are shifted so that the absorber sits at the origin.
std::vector<PathBlock> build_path_list(const FeffInput& input);

}  // namespace feff_standin
