#pragma once

#include "control/record_parameters.hpp"
#include "spectra/signal.hpp"

#include <cmath>
#include <fstream>
#include <string>

// Spectrum parameters with the defaults and the given k range, checked as the reader checks them.
inline SpectrumParameters spectrum_with_range(double k_min, double k_max, double dk = 0.05) {
    SpectrumParameters p;
    set_spectrum_parameter_defaults(p);
    p.doubles[SpectrumDoubleKey::k_min] = k_min;
    p.doubles[SpectrumDoubleKey::k_max] = k_max;
    p.doubles[SpectrumDoubleKey::dk] = dk;
    p.thread_count = 4;
    if (k_min == k_max) {
        // Refused when read, but the transforms must stay finite on such a range all the same.
        p.nk = 1;
        p.dR = 10.0;
        p.doubles[SpectrumDoubleKey::R0_for_WT] = 2.5;
        return p;
    }
    validate_k_and_r_ranges(p);
    return p;
}

// A line signal of the spectrum holding A sin(2 k R).
inline SignalArray single_shell_chi(const SpectrumParameters& p, double amplitude, double r) {
    SignalArray chi;
    alloc_signal(chi, p, signal_line);
    for (int i = 0; i < chi.n; ++i) chi.re[i] = amplitude * std::sin(2 * k_grid_value(p, i) * r);
    return chi;
}

// Writes "chi k" rows on the given k points, k-weighted by 2 as the default input expects.
inline void write_chi_file(const std::string& name, double k_first, double k_step, int rows, double r) {
    std::ofstream out(name);
    for (int i = 0; i < rows; ++i) {
        const double k = k_first + i * k_step;
        out << std::sin(2 * k * r) << ' ' << k << '\n';
    }
}
