#pragma once

#include "control/calculation.hpp"
#include "test_support.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/structure.hpp"
#include "theory/absorber_edge.hpp"
#include "optimisation/population/state.hpp"

#include <fstream>
#include <memory>
#include <string>

// A calculation with default parameters (absorber Cu) whose structure 0 reads the given P1 text from "model.p1".
inline std::unique_ptr<Calculation> calculation_with_p1(const std::string& p1_text, const std::string& supercell) {
    auto calc = std::make_unique<Calculation>();
    set_parameter_defaults(*calc);
    std::ofstream("model.p1") << p1_text;
    StructureParameters& parameters = calc->structure_parameters[0];
    parameters.strings[StructureStringKey::File_with_structure] = "model.p1";
    parameters.strings[StructureStringKey::Supercell] = supercell;
    // The geometry stage pairs spectra with structures holding their absorber; most tests build copper.
    calc->spectrum_parameters[0].strings[SpectrumStringKey::Edge] = "Cu";
    return calc;
}

inline const char* const fcc_copper_p1 =
    "Cu fcc\n1.0\n3.61 0 0\n0 3.61 0\n0 0 3.61\nCu\n4\nDirect\n"
    "0 0 0 Cu\n0.5 0.5 0 Cu\n0.5 0 0.5 Cu\n0 0.5 0.5 Cu\n";

// Neighbours of working entry `centre` between the two distances, images included.
inline int neighbours_between(const Structure& structure, int centre, double from, double to) {
    int count = 0;
    for (int j = 0; j < structure.working_count; ++j) {
        const double d = atom_distance(structure.working_atoms[j], structure.working_atoms[centre]);
        if (j != centre && d > from && d < to) ++count;
    }
    return count;
}
