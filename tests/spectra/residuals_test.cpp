#include "optimisation/population/state.hpp"
#include "spectra/fourier.hpp"
#include "spectra/residuals.hpp"
#include "spectra/spectrum_context.hpp"
#include "spectra/wavelet.hpp"
#include "spectra_fixture.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace {

// A spectrum context holding A sin(2kR) as experiment, its transforms and squared or absolute norms,
// with unit windows and an R box, and one state whose model chi the test sets.
struct Comparison {
    SpectrumParameters p;
    SpectrumContext context;
    State state;

    Comparison(int space, int norm_code) : p(spectrum_with_range(3.0, 12.0, 0.1)) {
        p.space_code = space;
        p.norm_code = norm_code;
        init_spectrum_context(context, p, nullptr);
        for (SignalArray* w : {&context.window_k, &context.window_r, &context.window_r_first_shell, &context.window_q,
                               &context.window_w, &context.window_w_first_shell}) {
            set_signal_ones(*w);
        }
        for (int j = 0; j < p.nk; ++j) {
            if (r_grid_value(p, j) > 3.0) context.window_r.re[j] = 0.0;
            if (r_grid_value(p, j) > 2.5) context.window_r_first_shell.re[j] = 0.0;
        }
        context.exp_chi = single_shell_chi(p, 1.0, 2.2);
        fourier_transform(context.exp_chi, context.exp_ft);
        back_fourier_transform(context.exp_ft, context.window_r, context.exp_bft);
        wavelet_transform(context.exp_chi, context.exp_wt);
        const auto norm = [norm_code](const SignalArray& s, const SignalArray& w, bool complex) {
            return norm_code == norm_L1 ? weighted_abs_norm(s, w, complex) : weighted_squared_norm(s, w, complex);
        };
        context.norm_k = norm(context.exp_chi, context.window_k, false);
        context.norm_q = norm(context.exp_bft, context.window_q, false);
        context.norm_r = norm(context.exp_ft, context.window_r, true);
        context.norm_r_first_shell = norm(context.exp_ft, context.window_r_first_shell, true);
        context.norm_w = norm(context.exp_wt, context.window_w, true);
        context.norm_w_first_shell = norm(context.exp_wt, context.window_w_first_shell, true);
        init_state_spectrum_signals(state.spectra[0], p);
        state.spectrum_count = 1;
        context.states = &state;
    }

    double error_with_model(double scale, bool first_shell = false) {
        for (int i = 0; i < p.nk; ++i) state.spectra[0].chi.re[i] = scale * context.exp_chi.re[i];
        return compute_exafs_error(context, state.spectra[0], first_shell);
    }
};

}  // namespace

TEST(Residuals, EqualSignalsGiveZeroInEverySpaceAndNorm) {
    for (int space : {space_k, space_q, space_r, space_w}) {
        for (int norm : {norm_squared, norm_L1, norm_scalar}) {
            Comparison c(space, norm);
            EXPECT_NEAR(c.error_with_model(1.0), 0.0, 1e-6) << space << " " << norm;
            EXPECT_EQ(c.state.spectra[0].residual, c.error_with_model(1.0));
        }
    }
}

TEST(Residuals, ZeroModelGivesOneAndDoublingTheDifferenceDoublesTheError) {
    for (int space : {space_k, space_q, space_r, space_w}) {
        Comparison squared(space, norm_squared);
        EXPECT_NEAR(squared.error_with_model(0.0), 1.0, 1e-12) << space;
        EXPECT_NEAR(squared.error_with_model(-1.0), 2 * squared.error_with_model(0.0), 1e-12) << space;
        Comparison absolute(space, norm_L1);
        EXPECT_NEAR(absolute.error_with_model(0.0), 1.0, 1e-12) << space;
        EXPECT_NEAR(absolute.error_with_model(-1.0), 2.0, 1e-12) << space;
    }
}

TEST(Residuals, ScalarNormMeasuresTheAngle) {
    Comparison c(space_k, norm_scalar);
    EXPECT_NEAR(c.error_with_model(-1.0), std::sqrt(std::numbers::pi / c.context.norm_k), 1e-12);
    EXPECT_NEAR(c.error_with_model(0.0), std::sqrt(std::numbers::pi / 2 / c.context.norm_k), 1e-12)
        << "a zero model counts as orthogonal, not as no number";
    EXPECT_NEAR(c.error_with_model(2.5), 0.0, 1e-4) << "the angle ignores the scale of the model";
}

TEST(Residuals, FirstShellWindowsApplyOnlyInRAndW) {
    Comparison k(space_k, norm_squared);
    EXPECT_EQ(k.error_with_model(0.5, true), k.error_with_model(0.5, false));
    Comparison r(space_r, norm_squared);
    r.context.norm_r_first_shell *= 4;
    EXPECT_NEAR(r.error_with_model(0.0, true) * 2, 1.0, 1e-12);
}

TEST(Residuals, EmptyWindowLeavesTheResidualFinite) {
    Comparison c(space_k, norm_squared);
    for (double& w : c.context.window_k.re) w = 0.0;
    c.context.norm_k = 0.0;
    EXPECT_TRUE(std::isfinite(c.error_with_model(0.3)));
}

TEST(Residuals, SumsOverNoPointsAreZero) {
    SignalArray empty;
    EXPECT_EQ(weighted_squared_norm(empty, empty, true), 0.0);
    EXPECT_EQ(inner_product_magnitude(empty, empty, false), 0.0);
}

// A map's rows outside the window weigh nothing: once the windows' rows are known, a weighted residual
// makes and reads only the rows they reach, and gives the number the whole map gives, bit for bit (no
// number too); the scalar norm still reads every row.
TEST(Residuals, WaveletResidualsReadOnlyTheRowsTheWindowReaches) {
    for (int norm : {norm_squared, norm_L1, norm_scalar}) {
        Comparison c(space_w, norm);
        for (int row = 0; row < c.p.nk; ++row) {
            const double r = r_grid_value(c.p, row);
            for (int k = 0; k < c.p.nk; ++k) {
                const auto point = static_cast<std::size_t>(row * c.p.nk + k);
                if (r < 1.5 || r > 3.0) c.context.window_w.re[point] = 0.0;
                if (r < 2.0 || r > 2.5) c.context.window_w_first_shell.re[point] = 0.0;
            }
        }
        std::vector<double> whole;
        for (const double scale : {0.5, -0.7, std::nan("")}) {
            for (const bool first_shell : {false, true}) whole.push_back(c.error_with_model(scale, first_shell));
        }
        prepare_transform_tables(c.context);
        ASSERT_TRUE(c.context.window_rows_known);
        EXPECT_LT(c.context.window_w_rows[1] - c.context.window_w_rows[0], c.p.nk / 2);
        std::size_t n = 0;
        for (const double scale : {0.5, -0.7, std::nan("")}) {
            for (const bool first_shell : {false, true}) {
                const double error = c.error_with_model(scale, first_shell);
                if (std::isnan(whole[n])) {
                    EXPECT_TRUE(std::isnan(error)) << norm << ' ' << first_shell;
                } else {
                    EXPECT_EQ(error, whole[n]) << norm << ' ' << scale << ' ' << first_shell;
                }
                ++n;
            }
        }
    }
}
