#include "spectra/spectrum_context.hpp"

void init_spectrum_context(SpectrumContext& context, SpectrumParameters& parameters, AbsorberEdge* edges) {
    context.parameters = &parameters;
    context.edges = edges;
    alloc_signal(context.exp_chi, parameters, signal_line);
    alloc_signal(context.exp_ft, parameters, signal_line);
    alloc_signal(context.exp_bft, parameters, signal_line);
    alloc_signal(context.exp_wt, parameters, signal_map);
    alloc_signal(context.window_k, parameters, signal_line);
    alloc_signal(context.window_r, parameters, signal_line);
    alloc_signal(context.window_r_first_shell, parameters, signal_line);
    alloc_signal(context.window_q, parameters, signal_line);
    alloc_signal(context.window_w, parameters, signal_map);
    alloc_signal(context.window_w_first_shell, parameters, signal_map);
}
