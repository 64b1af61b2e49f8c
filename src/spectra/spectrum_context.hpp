#pragma once

#include "spectra/fourier.hpp"
#include "spectra/signal.hpp"
#include "spectra/wavelet.hpp"

#include <array>
#include <cstdint>

struct SpectrumParameters;
struct AbsorberEdge;
struct State;

// The working record of one spectrum: the experiment, its transforms, the windows and the reference
// norms against which model signals are measured.
struct SpectrumContext {
    std::int32_t index = 0;
    SignalArray exp_chi;  // experimental chi(k) on the k grid
    SignalArray exp_ft;   // its Fourier transform on the R grid
    SignalArray exp_bft;  // back-transform of exp_ft (q space)
    SignalArray exp_wt;   // wavelet map
    SignalArray window_k;
    SignalArray window_r;
    SignalArray window_r_first_shell;
    SignalArray window_q;
    SignalArray window_w;
    SignalArray window_w_first_shell;
    double norm_k = 0.0;
    double norm_r = 0.0;
    double norm_r_first_shell = 0.0;
    double norm_q = 0.0;
    double norm_w = 0.0;
    double norm_w_first_shell = 0.0;
    // The map rows [first, end) where window_w and window_w_first_shell weigh anything, found once the
    // windows are set (until then every row): rows past them add nothing to a weighted residual.
    bool window_rows_known = false;
    std::array<std::int32_t, 2> window_w_rows{};
    std::array<std::int32_t, 2> window_w_first_shell_rows{};
    double mean_residual_change = 0.0;
    State* states = nullptr;  // the current population
    SpectrumParameters* parameters = nullptr;
    AbsorberEdge* edges = nullptr;
    std::array<std::int32_t, 10> edge_indices{};  // edges contributing to this spectrum, in creation order
    std::int32_t edge_count = 0;
    // Built on the first transform on this spectrum's grids and reused by every later one.
    FourierTables fourier_tables;
    WaveletTables wavelet_tables;
};

// Links the context to its spectrum and the edges and allocates its ten signals.
void init_spectrum_context(SpectrumContext& context, SpectrumParameters& parameters, AbsorberEdge* edges);
