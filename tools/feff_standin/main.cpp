// A stand-in for the ab-initio scattering code that Talq drives: it reads the same feff.inp and
// paths.dat, and writes pot.bin, paths.dat, chi.dat, chipNNNN.dat and list.dat in the layouts of
// FEFF 8.5L, from a deterministic plane-wave model instead of a real calculation. It is meant for
// tests and for trying the workflow on a machine without FEFF.

#include "input.hpp"
#include "model.hpp"
#include "path_list.hpp"
#include "writers.hpp"

#include <cstdio>
#include <exception>
#include <iostream>
#include <vector>

namespace feff_standin {
namespace {

void run() {
    const FeffInput input = read_feff_inp("feff.inp");
    const bool potentials = input.control[0] != 0;
    const bool path_search = input.control[3] != 0;
    const bool genfmt = input.control[4] != 0;
    const bool ff2chi = input.control[5] != 0;

    if (potentials || path_search) check_cluster(input);
    if (potentials) {
        write_pot_bin(input);
        std::cout << " potentials: " << input.potentials.size() << " written to pot.bin\n";
    }
    if (path_search) {
        const std::vector<PathBlock> paths = build_path_list(input);
        write_paths_dat(input, paths, path_radius(input));
        std::cout << " path search: " << paths.size() << " paths written to paths.dat\n";
    }
    if (!genfmt && !ff2chi) return;

    const PathsFile paths_file = read_paths_dat("paths.dat");
    const std::vector<double> k = make_k_grid(input.kmax);
    std::vector<ComputedPath> computed;
    computed.reserve(paths_file.blocks.size());
    // Every signal is computed before anything is written, so that a bad block leaves no partial output.
    for (const PathBlock& block : paths_file.blocks) computed.push_back({&block, compute_path_signal(block, input, k)});

    const double leading = computed.empty() ? 0.0 : path_strength(computed.front().signal);
    for (ComputedPath& p : computed) {
        p.ratio = leading > 0.0 ? 100.0 * path_strength(p.signal) / leading : 100.0;
        p.used = p.ratio >= input.criterion_cw;
    }
    if (genfmt) write_list_dat(input, paths_file, computed);
    if (!ff2chi) return;
    // A path run exists to get the single paths back, so their files are written whatever PRINT says.
    const bool path_run = !potentials && !path_search;
    if (path_run || input.print[5] >= 2)
        for (const ComputedPath& p : computed)
            if (p.used) write_chip_file(input, paths_file, p, k);
    write_chi_dat(input, paths_file, computed, k);
    int used = 0;
    for (const ComputedPath& p : computed) used += p.used ? 1 : 0;
    std::cout << " chi: " << used << " of " << computed.size() << " paths summed into chi.dat\n";
}

}  // namespace
}  // namespace feff_standin

int main(int argc, char**) {
    if (argc > 1) {
        std::cerr << "usage: feff_standin (no arguments; reads feff.inp in the current folder)\n";
        return 2;
    }
    try {
        feff_standin::run();
    } catch (const std::exception& error) {
        std::cout.flush();
        std::cerr << "feff_standin: ERROR: " << error.what() << '\n';
        return 1;
    }
    return 0;
}
