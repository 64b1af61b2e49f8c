#pragma once

#include "control/record_parameters.hpp"
#include "spectra/signal.hpp"

#include <array>

// Points of a state's chi on the fixed grid k = 0.05 (j - 1), j = 0..402; points 0 and 402 are guards.
constexpr int state_chi_grid_points = 403;

// A state's model signal for one spectrum.
struct StateSpectrum {
    const SpectrumParameters* parameters = nullptr;
    SignalArray chi;  // on the spectrum's k grid
    SignalArray ft;
    SignalArray bft;
    SignalArray wt;
    std::array<double, state_chi_grid_points> chi_grid{};
    double residual = 0.0;
};

