#include "spectra/residuals.hpp"

#include "control/record_parameters.hpp"
#include "spectra/state_spectrum.hpp"
#include "spectra/fourier.hpp"
#include "spectra/signal.hpp"
#include "spectra/spectrum_context.hpp"
#include "spectra/wavelet.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cmath>
#include <numbers>

double weighted_squared_residual(const SignalArray& a, const SignalArray& b, const SignalArray& window, bool complex,
                                 std::size_t first, std::size_t end) {
    double sum = 0.0;
    end = std::min(end, static_cast<std::size_t>(std::max(a.n, 0)));
    for (std::size_t i = first; i < end; ++i) {
        const double w = window.re[i];
        double d = (a.re[i] - b.re[i]) * (a.re[i] - b.re[i]);
        if (complex) d += (a.im[i] - b.im[i]) * (a.im[i] - b.im[i]);
        sum += w * w * d;
    }
    return sum;
}

double weighted_squared_norm(const SignalArray& a, const SignalArray& window, bool complex) {
    double sum = 0.0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(std::max(a.n, 0)); ++i) {
        const double w = window.re[i];
        double v = a.re[i] * a.re[i];
        if (complex) v += a.im[i] * a.im[i];
        sum += w * w * v;
    }
    return sum;
}

double weighted_abs_residual(const SignalArray& a, const SignalArray& b, const SignalArray& window, bool complex,
                             std::size_t first, std::size_t end) {
    double sum = 0.0;
    end = std::min(end, static_cast<std::size_t>(std::max(a.n, 0)));
    for (std::size_t i = first; i < end; ++i) {
        const double dre = a.re[i] - b.re[i];
        const double dim = complex ? a.im[i] - b.im[i] : 0.0;
        sum += window.re[i] * (complex ? std::sqrt(dre * dre + dim * dim) : std::abs(dre));
    }
    return sum;
}

double weighted_abs_norm(const SignalArray& a, const SignalArray& window, bool complex) {
    double sum = 0.0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(std::max(a.n, 0)); ++i) {
        sum += window.re[i] * (complex ? std::sqrt(a.re[i] * a.re[i] + a.im[i] * a.im[i]) : std::abs(a.re[i]));
    }
    return sum;
}

double inner_product_magnitude(const SignalArray& a, const SignalArray& b, bool complex) {
    double real = 0.0, imaginary = 0.0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(std::max(a.n, 0)); ++i) {
        real += a.re[i] * b.re[i];
        if (complex) {
            real += a.im[i] * b.im[i];
            imaginary += a.im[i] * b.re[i] - a.re[i] * b.im[i];
        }
    }
    return complex ? std::sqrt(real * real + imaginary * imaginary) : real;
}

double compute_exafs_error(SpectrumContext& context, StateSpectrum& model, bool first_shell) {
    const SpectrumParameters& p = *context.parameters;
    const SignalArray* experiment = &context.exp_chi;
    const SignalArray* modelled = &model.chi;
    const SignalArray* window = &context.window_k;
    double reference = context.norm_k;
    double base = p.doubles[SpectrumDoubleKey::dk];
    bool complex = false;
    std::size_t first_point = 0;
    std::size_t end_point = SIZE_MAX;
    switch (p.space_code) {
        case space_q:
            fourier_transform(model.chi, context.fourier_tables, model.ft);
            back_fourier_transform(model.ft, context.window_r, context.fourier_tables, model.bft);
            experiment = &context.exp_bft;
            modelled = &model.bft;
            window = &context.window_q;
            reference = context.norm_q;
            break;
        case space_r:
            fourier_transform(model.chi, context.fourier_tables, model.ft);
            experiment = &context.exp_ft;
            modelled = &model.ft;
            window = first_shell ? &context.window_r_first_shell : &context.window_r;
            reference = first_shell ? context.norm_r_first_shell : context.norm_r;
            base = p.dR;
            complex = true;
            break;
        case space_w:
            // A weighted residual reads only the rows its window reaches; the scalar norm reads them all.
            if (context.window_rows_known && p.norm_code != norm_scalar) {
                const std::array<std::int32_t, 2>& rows =
                    first_shell ? context.window_w_first_shell_rows : context.window_w_rows;
                first_point = static_cast<std::size_t>(rows[0]) * static_cast<std::size_t>(p.nk);
                end_point = static_cast<std::size_t>(rows[1]) * static_cast<std::size_t>(p.nk);
                wavelet_transform(model.chi, context.wavelet_tables, model.wt, rows[0], rows[1]);
            } else {
                wavelet_transform(model.chi, context.wavelet_tables, model.wt);
            }
            experiment = &context.exp_wt;
            modelled = &model.wt;
            window = first_shell ? &context.window_w_first_shell : &context.window_w;
            reference = first_shell ? context.norm_w_first_shell : context.norm_w;
            base = p.doubles[SpectrumDoubleKey::dk] * p.dR;
            complex = true;
            break;
        default: break;
    }

    double d = 0.0;
    double exponent = 0.5;
    if (p.norm_code == norm_L1) {
        d = weighted_abs_residual(*experiment, *modelled, *window, complex, first_point, end_point);
        exponent = 1.0;
    } else if (p.norm_code == norm_scalar) {
        const double em = inner_product_magnitude(*experiment, *modelled, complex);
        const double ee = inner_product_magnitude(*experiment, *experiment, complex);
        const double mm = inner_product_magnitude(*modelled, *modelled, complex);
        // Rounding may push the cosine past +-1; a zero signal has no direction and counts as orthogonal.
        d = mm * ee > 0 ? std::acos(std::clamp(em / std::sqrt(mm * ee), -1.0, 1.0)) : std::numbers::pi / 2;
    } else {
        d = weighted_squared_residual(*experiment, *modelled, *window, complex, first_point, end_point);
    }

    // Without a positive reference (nothing of the experiment in the window) the residual is left
    // unnormalised rather than made infinite; the loader has warned about it.
    const double scale = reference > 0 ? std::pow(base * reference, exponent) : 1.0;
    const double error = std::pow(d * base, exponent) / scale;
    model.residual = error;
    return error;
}

namespace {

// The rows [first, end) of a map window (rows of row_length points) that hold a nonzero weight. A window
// that weighs nothing anywhere keeps every row, so that its residual reads what it always did.
std::array<std::int32_t, 2> weighted_rows(const SignalArray& window, int row_length) {
    const int rows = row_length > 0 ? window.n / row_length : 0;
    int first = rows;
    int end = 0;
    for (int row = 0; row < rows; ++row) {
        const auto from = window.re.begin() + static_cast<std::ptrdiff_t>(row) * row_length;
        if (std::any_of(from, from + row_length, [](double w) { return w != 0.0; })) {
            first = std::min(first, row);
            end = row + 1;
        }
    }
    if (first >= end) return {0, rows};
    return {first, end};
}

}  // namespace

void prepare_transform_tables(SpectrumContext& context) {
    const SpectrumParameters& p = *context.parameters;
    const int n = context.exp_chi.n;
    if (!context.window_rows_known && p.space_code == space_w && context.window_w.n == p.nk * p.nk &&
        context.window_w_first_shell.n == p.nk * p.nk) {
        context.window_w_rows = weighted_rows(context.window_w, p.nk);
        context.window_w_first_shell_rows = weighted_rows(context.window_w_first_shell, p.nk);
        context.window_rows_known = true;
    }
    prepare_fourier_tables(context.fourier_tables, p, n);
    prepare_wavelet_tables(context.wavelet_tables, p);
    if (context.fourier_tables.forward_built && context.fourier_tables.back_built && context.wavelet_tables.gains_built) return;
    // One transform of each kind builds what is missing; the results are thrown away.
    SignalArray ft, bft, wt;
    alloc_signal(ft, p, signal_line);
    alloc_signal(bft, p, signal_line);
    alloc_signal(wt, p, signal_map);
    fourier_transform(context.exp_chi, context.fourier_tables, ft);
    back_fourier_transform(ft, context.window_r, context.fourier_tables, bft);
    wavelet_transform(context.exp_chi, context.wavelet_tables, wt);
}
