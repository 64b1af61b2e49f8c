#pragma once

#include <array>
#include <cstdint>

constexpr int max_absorber_edges = 100;

// One (spectrum, structure) pair whose structure holds atoms of the spectrum's absorbing element.
struct AbsorberEdge {
    std::int32_t index = 0;
    // Experimental amplitude and phase on the fixed grid; used only in edge 0 and only when
    // use_experimental_amplitude_phase is set.
    std::array<double, 403> experimental_phase{};
    std::array<double, 403> experimental_amplitude{};
    bool use_experimental_amplitude_phase = false;
};
