#pragma once

#include "control/calculation.hpp"
#include "theory/pathfinder.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct Calculation;
struct SpectrumParameters;
struct State;
struct Structure;

// The stored head of FEFF's path list: two title lines and the leading path's block (at most 4 legs).
constexpr int max_path_header_lines = 8;

// One (spectrum, structure) pair whose structure holds atoms of the spectrum's absorbing element. It owns
// the FEFF folder "feff_N", the head of FEFF's path list and the partial RDF around its absorbers.
struct AbsorberEdge {
    std::int32_t index = 0;
    SpectrumParameters* spectrum = nullptr;
    Structure* structure = nullptr;
    State* states = nullptr;                       // the current population
    std::vector<std::vector<double>> rdf_histograms;  // one per species of the structure, rdf_bin_count + 1 bins
    bool rdf_per_path = false;                     // the histograms hold path lengths, one per path
    Pathfinder pathfinder;
    std::array<double, 402> reference_chi{};       // chi of the leading path on k = 0.05 i
    std::vector<std::string> path_header_lines;
    std::int32_t leading_path_legs = 0;
    std::int32_t worker_count = 0;                 // worker folders "feff_N_M"
    std::int32_t rdf_bin_count = 0;
    // Experimental amplitude and phase on the fixed grid; used only in edge 0 and only when
    // use_experimental_amplitude_phase is set.
    std::array<double, 403> experimental_phase{};
    std::array<double, 403> experimental_amplitude{};
    bool use_experimental_amplitude_phase = false;
};

// Pairs every spectrum with every structure holding atoms labelled with its Edge: edges are numbered
// spectrum-major, structure-minor. Ends the run when a spectrum gets no edge.
void setup_absorber_edges(Calculation& calc);
// Stage 6 for one edge: the path search around its absorbers (only `centre_atom` when it is 0 or more).
void run_pathfinder_stage(AbsorberEdge& edge, int centre_atom);
// Gives every path node of the edge its FEFF potential index from the structure's species.
void mark_absorber_potentials(AbsorberEdge& edge);
