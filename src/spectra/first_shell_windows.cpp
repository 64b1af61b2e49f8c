#include "spectra/first_shell_windows.hpp"

#include "control/record_parameters.hpp"
#include "spectra/residuals.hpp"
#include "spectra/signal.hpp"
#include "spectra/spectrum_context.hpp"

#include <cstddef>

namespace {

void zero_point(SignalArray& window, std::size_t i) {
    window.re[i] = 0.0;
    window.im[i] = 0.0;
    window.mod[i] = 0.0;
}

double reference_norm(const SignalArray& signal, const SignalArray& window, std::int32_t norm_code) {
    return norm_code == norm_L1 ? weighted_abs_norm(signal, window, true) : weighted_squared_norm(signal, window, true);
}

}  // namespace

void set_up_first_shell_windows(SpectrumContext& context, double r_cut) {
    const SpectrumParameters& p = *context.parameters;
    const double r_min = p.doubles[SpectrumDoubleKey::R_min];
    const int nk = p.nk;
    // Starting again from weight 1 makes the set-up independent of an earlier fit of the same spectrum.
    set_signal_ones(context.window_r_first_shell);
    set_signal_ones(context.window_w_first_shell);
    for (int i = 0; i < nk; ++i) {
        const double r = r_grid_value(p, i);
        if (!(r > r_cut || r < r_min)) continue;
        zero_point(context.window_r_first_shell, static_cast<std::size_t>(i));
        for (int k = 0; k < nk; ++k) zero_point(context.window_w_first_shell, static_cast<std::size_t>(i * nk + k));
    }
    context.norm_r_first_shell = reference_norm(context.exp_ft, context.window_r_first_shell, p.norm_code);
    context.norm_w_first_shell = reference_norm(context.exp_wt, context.window_w_first_shell, p.norm_code);
}

double first_shell_reference(const SpectrumContext& context) {
    switch (context.parameters->space_code) {
        case space_q: return context.norm_q;
        case space_r: return context.norm_r_first_shell;
        case space_w: return context.norm_w_first_shell;
        default: return context.norm_k;
    }
}
