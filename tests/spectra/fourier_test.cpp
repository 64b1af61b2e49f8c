#include "spectra/fourier.hpp"
#include "spectra_fixture.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

TEST(KWindow, GaussianIsOneTenthAtTheRangeEnds) {
    const SpectrumParameters p = spectrum_with_range(0.05, 19.0);
    EXPECT_NEAR(k_window_value(p, 0.05), 0.1, 1e-12);
    EXPECT_NEAR(k_window_value(p, 19.0), 0.1, 1e-12);
    EXPECT_DOUBLE_EQ(k_window_value(p, 9.525), 1.0);
}

TEST(KWindow, FlatTopHasCosineSills) {
    SpectrumParameters p = spectrum_with_range(3.0, 15.0);
    p.doubles[SpectrumDoubleKey::FT_window_type] = 2.0;
    EXPECT_NEAR(k_window_value(p, 4.0), 0.5, 1e-12);
    EXPECT_NEAR(k_window_value(p, 3.0), 0.0, 1e-12);
    EXPECT_EQ(k_window_value(p, 9.0), 1.0);
    const double beyond = k_window_value(p, 15.1);
    EXPECT_GT(beyond, 0.0);
    EXPECT_LT(beyond, 0.01);

    p.doubles[SpectrumDoubleKey::FT_window_type] = 0.0;
    EXPECT_EQ(k_window_value(p, 3.0), 1.0) << "without sills the window is a box with its ends";
    EXPECT_EQ(k_window_value(p, 2.9), 0.0);
}

TEST(KWindow, EmptyRangeGivesOnesNotNumbers) {
    const SpectrumParameters p = spectrum_with_range(5.0, 5.0);
    EXPECT_EQ(k_window_value(p, 5.0), 1.0);
    EXPECT_EQ(k_window_value(p, 7.0), 1.0);
    SignalArray chi = single_shell_chi(p, 1.0, 2.0), ft, bft;
    alloc_signal(ft, p, signal_line);
    alloc_signal(bft, p, signal_line);
    fourier_transform(chi, "", false, ft);
    SignalArray window;
    alloc_signal(window, p, signal_line);
    set_signal_ones(window);
    back_fourier_transform(ft, window, "", false, bft);
    EXPECT_TRUE(std::isfinite(ft.re[0]));
    EXPECT_TRUE(std::isfinite(ft.im[0]));
    EXPECT_TRUE(std::isfinite(bft.re[0]));
}

TEST(FourierTransform, SingleShellPeaksAtItsDistanceWithItsAmplitude) {
    const SpectrumParameters p = spectrum_with_range(2.0, 14.0);
    const int shell = 79;  // an R grid point near 2.1 angstrom
    const double r = r_grid_value(p, shell);
    const SignalArray chi = single_shell_chi(p, 0.7, r);
    SignalArray ft;
    alloc_signal(ft, p, signal_line);
    fourier_transform(chi, "", false, ft);
    int peak = 0;
    for (int j = 0; j < ft.n; ++j) {
        if (ft.mod[j] > ft.mod[peak]) peak = j;
    }
    EXPECT_EQ(peak, shell);
    EXPECT_NEAR(ft.im[shell], 0.7, 1e-12) << "the imaginary part is normalised by its own sum";

    SpectrumParameters flat = p;
    flat.doubles[SpectrumDoubleKey::FT_window_type] = 1.0;
    SignalArray flat_chi = single_shell_chi(flat, 0.7, r), flat_ft;
    alloc_signal(flat_ft, flat, signal_line);
    fourier_transform(flat_chi, "", false, flat_ft);
    EXPECT_NEAR(flat_ft.im[shell], 0.7 * (14.0 - 2.0 - 1.0) / (2 * std::sqrt(std::numbers::pi)), 1e-12);

    SignalArray zero;
    alloc_signal(zero, p, signal_line);
    fourier_transform(zero, "", false, ft);
    for (int j = 0; j < ft.n; ++j) EXPECT_EQ(ft.mod[j], 0.0);
}

TEST(FourierTransform, BackTransformRecoversTheWindowedSignal) {
    SpectrumParameters p = spectrum_with_range(2.0, 14.0);
    p.doubles[SpectrumDoubleKey::FT_window_type] = 1.0;
    const SignalArray chi = single_shell_chi(p, 1.0, 2.2);
    SignalArray ft, bft, window;
    alloc_signal(ft, p, signal_line);
    alloc_signal(bft, p, signal_line);
    alloc_signal(window, p, signal_line);
    set_signal_ones(window);
    fourier_transform(chi, "", false, ft);
    back_fourier_transform(ft, window, "", false, bft);
    // Inside the flat part of the window the back-transform follows chi's oscillation.
    double dot = 0.0, chi_norm = 0.0, bft_norm = 0.0;
    for (int i = 0; i < chi.n; ++i) {
        const double k = k_grid_value(p, i);
        if (k < 4.0 || k > 12.0) continue;
        dot += chi.re[i] * bft.re[i];
        chi_norm += chi.re[i] * chi.re[i];
        bft_norm += bft.re[i] * bft.re[i];
    }
    EXPECT_GT(dot / std::sqrt(chi_norm * bft_norm), 0.99);
}
