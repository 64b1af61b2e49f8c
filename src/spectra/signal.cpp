#include "spectra/signal.hpp"

#include "control/record_parameters.hpp"

#include <algorithm>

void alloc_signal(SignalArray& signal, const SpectrumParameters& parameters, int kind) {
    signal.parameters = &parameters;
    signal.n = kind == signal_map ? parameters.nk * parameters.nk : parameters.nk;
    const auto size = static_cast<std::size_t>(signal.n);
    signal.re.assign(size, 0.0);
    signal.im.assign(size, 0.0);
    signal.mod.assign(size, 0.0);
}

void copy_signal(const SignalArray& source, SignalArray& destination) {
    const auto count = static_cast<std::ptrdiff_t>(source.n);
    std::copy_n(source.re.begin(), count, destination.re.begin());
    std::copy_n(source.im.begin(), count, destination.im.begin());
    std::copy_n(source.mod.begin(), count, destination.mod.begin());
}

void free_signal(SignalArray& signal) {
    signal.re = {};
    signal.im = {};
    signal.mod = {};
}

void set_signal_ones(SignalArray& signal) {
    std::fill(signal.re.begin(), signal.re.end(), 1.0);
    std::fill(signal.im.begin(), signal.im.end(), 0.0);
    std::fill(signal.mod.begin(), signal.mod.end(), 1.0);
}

double k_grid_value(const SpectrumParameters& parameters, std::int32_t i) {
    return parameters.doubles[SpectrumDoubleKey::k_min] + i * parameters.doubles[SpectrumDoubleKey::dk];
}

double r_grid_value(const SpectrumParameters& parameters, std::int32_t i) { return (i + 1) * parameters.dR; }
