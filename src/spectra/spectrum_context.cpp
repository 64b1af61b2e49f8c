#include "spectra/spectrum_context.hpp"

void bind_spectrum_context(SpectrumContext& context, SpectrumParameters& parameters) {
    context.parameters = &parameters;
}
