// The calculation record holds the records of every subsystem; it is built and released here, on top
// of the program, where all of them are complete.
#include "control/calculation.hpp"

#include "optimisation/population/evaluation.hpp"
#include "optimisation/population/state.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/structure.hpp"
#include "theory/absorber_edge.hpp"

Calculation::Calculation()
    : spectra(max_spectra), structures(max_structures), edges(max_absorber_edges) {}

Calculation::~Calculation() = default;
