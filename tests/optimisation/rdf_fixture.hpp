#pragma once

#include "test_support.hpp"
#include "optimisation/population/state.hpp"
#include "structure/geometry.hpp"
#include "optimisation/population/partial_rdf.hpp"
#include "structure/structure_fixture.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/structure.hpp"
#include "theory/absorber_edge.hpp"

#include <vector>

// Structure 0 from the P1 text, one edge (spectrum 0, Edge Cu), two states. Call in a ScopedWorkFolder.
inline std::unique_ptr<Calculation> run_with_edge(const std::string& p1_text, const std::string& supercell, bool pbc) {
    auto calc = calculation_with_p1(p1_text, supercell);
    calc->structure_parameters[0].bools[StructureBoolKey::pbc] = pbc;
    calc->parameters.ints[IntKey::Number_of_states] = 2;
    calc->spectrum_parameters[0].strings[SpectrumStringKey::Edge] = "Cu";
    CaptureStdout quiet;
    build_geometry(*calc, "");
    calc->edges[0].spectrum = &calc->spectrum_parameters[0];
    calc->edges[0].structure = &calc->structures[0];
    calc->absorber_edge_count = calc->spectra[0].edge_count = 1;  // edge_indices[0] is edge 0
    init_spectrum_context(calc->spectra[0], calc->spectrum_parameters[0], calc->edges.data());
    allocate_states(*calc);
    init_absorber_rdf(calc->edges[0], calc->current_states.data());
    return calc;
}

