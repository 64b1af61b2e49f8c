#pragma once

#include <cstdint>

struct SpectrumParameters;

// The working record of one spectrum; the driver binds it to its parameter record after reading.
struct SpectrumContext {
    std::int32_t index = 0;
    SpectrumParameters* parameters = nullptr;
};

void bind_spectrum_context(SpectrumContext& context, SpectrumParameters& parameters);
