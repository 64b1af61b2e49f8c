#include "optimisation/population/memory_estimate.hpp"

#include "control/calculation.hpp"
#include "control/process_end.hpp"
#include "optimisation/population/state.hpp"
#include "spectra/signal.hpp"
#include "structure/structure.hpp"
#include "theory/absorber_edge.hpp"
#include "theory/cluster_feff.hpp"
#include "theory/cluster_sums.hpp"
#include "theory/clustering.hpp"
#include "theory/incremental_sums.hpp"
#include "theory/pathfinder.hpp"
#include "theory/shared_refresh.hpp"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include <unistd.h>

namespace {

template <class T>
std::size_t vector_bytes(const std::vector<T>& values) {
    return values.capacity() * sizeof(T);
}

std::size_t signal_bytes(const SignalArray& signal) {
    return vector_bytes(signal.re) + vector_bytes(signal.im) + vector_bytes(signal.mod);
}

// A text's own heap block, when it is too long for the text's inner buffer.
std::size_t text_bytes(const std::string& text) { return text.capacity() > 15 ? text.capacity() + 1 : 0; }

// The value of a "/proc/meminfo" line in bytes, 0 without it.
std::uint64_t meminfo_value(const std::string& key) {
    std::ifstream in("/proc/meminfo");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key + ":", 0) != 0) continue;
        std::istringstream fields(line.substr(key.size() + 1));
        std::uint64_t kilobytes = 0;
        fields >> kilobytes;
        return kilobytes * 1024;
    }
    return 0;
}

// A limit set for the process's group of processes (containers), 0 without one.
std::uint64_t group_limit() {
    std::ifstream in("/sys/fs/cgroup/memory.max");
    std::string text;
    if (!(in >> text) || text == "max") return 0;
    try {
        return std::stoull(text);
    } catch (...) {
        return 0;
    }
}

std::string gigabytes(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f GB", static_cast<double>(bytes) / 1e9);
    return text;
}

}  // namespace

std::size_t state_bytes(const State& state) {
    std::size_t bytes = sizeof(State) + vector_bytes(state.atoms) + vector_bytes(state.atom_index) +
                        vector_bytes(state.edge_links);
    for (const Atom& atom : state.atoms) bytes += text_bytes(atom.label);
    for (const auto& index : state.atom_index) bytes += vector_bytes(index);
    for (const StateSpectrum& block : state.spectra) {
        bytes += signal_bytes(block.chi) + signal_bytes(block.ft) + signal_bytes(block.bft) + signal_bytes(block.wt);
    }
    return bytes;
}

MachineMemory machine_memory() {
    MachineMemory machine;
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page_size > 0) machine.physical = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
    const std::uint64_t limit = group_limit();
    if (limit > 0 && (machine.physical == 0 || limit < machine.physical)) machine.physical = limit;
    machine.available = meminfo_value("MemAvailable");
    std::ifstream statm("/proc/self/statm");
    std::uint64_t size = 0, resident = 0;
    if (statm >> size >> resident && page_size > 0) machine.resident = resident * static_cast<std::uint64_t>(page_size);
    return machine;
}

std::uint64_t population_bytes(Calculation& calc) {
    State sample;
    init_state(sample, calc.parameters.ints[IntKey::Number_of_spectra], calc.parameters.ints[IntKey::Number_of_structures],
               calc.structures.data());
    sample.edge_links.assign(static_cast<std::size_t>(std::max(calc.absorber_edge_count, 0)), {});
    for (int s = 0; s < calc.parameters.ints[IntKey::Number_of_spectra]; ++s) {
        const SpectrumParameters& parameters = calc.spectrum_parameters[static_cast<std::size_t>(s)];
        StateSpectrum& block = sample.spectra[static_cast<std::size_t>(s)];
        init_state_spectrum_signals(block, parameters);
        // A fit in W space gives every state its wavelet map with its first residual.
        if (parameters.space_code == space_w) alloc_signal(block.wt, parameters, signal_map);
    }
    const auto states = static_cast<std::uint64_t>(std::max(calc.parameters.ints[IntKey::Number_of_states], 0));
    return 3 * states * state_bytes(sample);
}

std::uint64_t state_path_table_bytes(const Calculation& calc) {
    const bool complex_mode = calc.parameters.bools[BoolKey::use_effective_phase_amplitude];
    std::uint64_t per_state = 0;
    for (int e = 0; e < calc.absorber_edge_count; ++e) {
        const Pathfinder& finder = calc.edges[static_cast<std::size_t>(e)].pathfinder;
        for (const Path& path : finder.paths) per_state += path_bytes_per_state(path, path.cluster_count, complex_mode);
        per_state += state_sums_bytes(finder, complex_mode);
    }
    return per_state * static_cast<std::uint64_t>(std::max(calc.parameters.ints[IntKey::Number_of_states], 0));
}

std::uint64_t shared_bytes(const Calculation& calc) {
    // Every thread's scratch for the sums, over the edges, and the clustering check's table, which holds
    // the exact signal of every member of every edge at once.
    const auto threads = static_cast<std::uint64_t>(std::max(calc.parameters.ints[IntKey::Number_of_threads], 1));
    const auto states = static_cast<std::uint64_t>(std::max(calc.parameters.ints[IntKey::Number_of_states], 0));
    std::uint64_t bytes = 0;
    for (int e = 0; e < calc.absorber_edge_count; ++e) {
        const Pathfinder& finder = calc.edges[static_cast<std::size_t>(e)].pathfinder;
        bytes += threads * sums_scratch_bytes(finder);
        if (!calc.flags.skipcheck) bytes += member_chi_table_bytes(finder);
    }
    // Each thread's scratch for placing the members of all the states together, on one edge at a time.
    return bytes + threads * placing_scratch_bytes(states);
}

void check_memory_need(std::uint64_t needed, const MachineMemory& machine, const char* what) {
    const std::uint64_t total = machine.resident + needed;
    if (machine.physical > 0 && total > machine.physical) {
        std::cout << "ERROR: THE RUN NEEDS ABOUT " << gigabytes(total) << " OF MEMORY (" << what << "), BUT THE MACHINE HAS "
                  << gigabytes(machine.physical) << "! Use fewer states (Number_of_states)." << '\n';
        end_process(1);
    }
    if (machine.available > 0 && needed > machine.available) {
        std::cout << "WARNING: the run needs about " << gigabytes(total) << " of memory (" << what << "), more than the "
                  << gigabytes(machine.resident + machine.available) << " it can have now: it may slow to a crawl or be stopped" << '\n';
    }
}

void check_population_memory(Calculation& calc) {
    check_memory_need(population_bytes(calc), machine_memory(), "three populations of states");
}

void check_path_table_memory(const Calculation& calc) {
    check_memory_need(state_path_table_bytes(calc) + shared_bytes(calc), machine_memory(),
                      "the tables of the states' paths");
}
