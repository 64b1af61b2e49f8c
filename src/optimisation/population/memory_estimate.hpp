#pragma once

#include <cstddef>
#include <cstdint>

struct Calculation;
struct State;

// Bytes that a state's record and every table it owns hold.
std::size_t state_bytes(const State& state);

// The memory of the machine: physical (or the process's limit, when lower), what can be had now
// without taking it from others, and what the process already holds. 0 where it cannot be told.
struct MachineMemory {
    std::uint64_t physical = 0;
    std::uint64_t available = 0;
    std::uint64_t resident = 0;
};
MachineMemory machine_memory();

// Bytes the three populations will hold: a state made as allocate_states makes them, three times per state.
std::uint64_t population_bytes(Calculation& calc);
// Bytes the states add to the path tables once they are bound to the edges (one cluster per path, as at
// the start), with each state's record of the displacements its sums were made at.
std::uint64_t state_path_table_bytes(const Calculation& calc);
// Bytes of the tables the run holds besides for all states: every thread's scratch for the sums, and
// the clustering check's table of the members' signals (not with -skipcheck).
std::uint64_t shared_bytes(const Calculation& calc);

// Ends the run with an ERROR naming both numbers when `needed` (on top of what the process holds) does not
// fit in the machine's memory; warns when it fits but not in what is free now.
void check_memory_need(std::uint64_t needed, const MachineMemory& machine, const char* what);
// Before the populations are allocated, and again once the paths are known (before the states are bound
// to them and the long stages begin).
void check_population_memory(Calculation& calc);
void check_path_table_memory(const Calculation& calc);
