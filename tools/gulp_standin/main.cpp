// A stand-in for the atomistic simulation code Talq drives for its force-field modes: it reads the same
// input.gin on standard input and writes the trajectories Talq reads back ("gulp.gmc" from Monte Carlo,
// the xyz movie from molecular dynamics), from Lennard-Jones pair potentials summed over explicit
// lattice translations. It is meant for tests and for trying the workflow on a machine without the real
// program; its log goes to standard output.

#include "input.hpp"
#include "runs.hpp"
#include "system.hpp"

#include <exception>
#include <iostream>

namespace gulp_standin {
namespace {

void run() {
    std::cout << "  gulp_standin: Lennard-Jones Monte Carlo and molecular dynamics" << '\n';
    const GulpInput input = parse_gulp_input(std::cin);
    PeriodicSystem system = build_system(input);
    std::cout << "  " << system.positions.size() << " atoms in a " << input.supercell[0] << " x " << input.supercell[1]
              << " x " << input.supercell[2] << " supercell, " << input.pairs.size() << " pair terms, cutoff "
              << system.cutoff << " A" << '\n';
    if (input.kind == RunKind::monte_carlo)
        run_monte_carlo(input, system, std::cout);
    else
        run_dynamics(input, system, std::cout);
    std::cout << "  Job Finished" << '\n';
}

}  // namespace
}  // namespace gulp_standin

int main(int argc, char**) {
    if (argc > 1) {
        std::cerr << "usage: gulp_standin < input.gin > gulp.log (writes its trajectory in the current folder)\n";
        return 2;
    }
    try {
        gulp_standin::run();
    } catch (const std::exception& error) {
        std::cout << "!! ERROR : " << error.what() << std::endl;
        std::cerr << "gulp_standin: ERROR: " << error.what() << '\n';
        return 1;
    }
    return 0;
}
