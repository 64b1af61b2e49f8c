#include "spectra/fourier.hpp"
#include "spectra_fixture.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>
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
    fourier_transform(chi, ft);
    SignalArray window;
    alloc_signal(window, p, signal_line);
    set_signal_ones(window);
    back_fourier_transform(ft, window, bft);
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
    fourier_transform(chi, ft);
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
    fourier_transform(flat_chi, flat_ft);
    EXPECT_NEAR(flat_ft.im[shell], 0.7 * (14.0 - 2.0 - 1.0) / (2 * std::sqrt(std::numbers::pi)), 1e-12);

    SignalArray zero;
    alloc_signal(zero, p, signal_line);
    fourier_transform(zero, ft);
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
    fourier_transform(chi, ft);
    back_fourier_transform(ft, window, bft);
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

namespace {

// The transforms as they were first written, with cos and sin called in the sums; the tabulated
// transforms must give the same bits.
void reference_fourier(const SignalArray& input, SignalArray& output) {
    const SpectrumParameters& p = *input.parameters;
    const int n = input.n;
    const double sill = p.doubles[SpectrumDoubleKey::FT_window_type];
    const double width = p.doubles[SpectrumDoubleKey::k_max] - p.doubles[SpectrumDoubleKey::k_min];
    const double factor = sill < 0 ? 1.0 : (width - sill) / (2 * std::sqrt(std::numbers::pi));
    for (int j = 0; j < n; ++j) {
        const double r = r_grid_value(p, j);
        double sc = 0.0, ss = 0.0, a = 0.0, b = 0.0;
        for (int i = 0; i < n; ++i) {
            const double w = k_window_value(p, k_grid_value(p, i));
            const double x = 2 * k_grid_value(p, i) * r;
            const double c = std::cos(x);
            const double s = std::sin(x);
            sc += input.re[i] * w * c;
            ss += input.re[i] * w * s;
            a += w * c * c;
            b += w * s * s;
        }
        output.re[j] = a != 0 ? factor * sc / a : 0.0;
        output.im[j] = b != 0 ? factor * ss / b : 0.0;
        output.mod[j] = std::sqrt(output.re[j] * output.re[j] + output.im[j] * output.im[j]);
    }
}

void reference_back_fourier(const SignalArray& input, const SignalArray& r_window, SignalArray& output) {
    const SpectrumParameters& p = *input.parameters;
    const int n = input.n;
    const double width = p.doubles[SpectrumDoubleKey::k_max] - p.doubles[SpectrumDoubleKey::k_min];
    const double a = width > 0 ? -std::log(0.1) * 4 / (width * width) : 0.0;
    const bool gaussian = p.doubles[SpectrumDoubleKey::FT_window_type] < 0 && a > 0;
    for (int i = 0; i < n; ++i) {
        const double k = k_grid_value(p, i);
        double q = 0.0;
        for (int j = 0; j < n; ++j) {
            const double x = 2 * k * r_grid_value(p, j);
            q += r_window.re[j] * (input.re[j] * std::cos(x) + input.im[j] * std::sin(x));
        }
        const double m = std::max(k_window_value(p, k), 0.1);
        output.re[i] = gaussian ? p.dR * q / (std::sqrt(std::numbers::pi * a) * m) : q * p.dR / m;
    }
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

}  // namespace

TEST(FourierTransform, TablesGiveTheBitsOfTheDirectSums) {
    std::vector<SpectrumParameters> grids = {spectrum_with_range(0.05, 19.0), spectrum_with_range(2.0, 14.0),
                                             spectrum_with_range(3.0, 15.0, 0.1), spectrum_with_range(5.0, 5.0)};
    grids[2].doubles[SpectrumDoubleKey::FT_window_type] = 2.0;
    FourierTables shared;  // used for every grid in turn, so it must follow them
    for (const SpectrumParameters& p : grids) {
        SignalArray chi = single_shell_chi(p, 0.9, 2.3);
        for (int i = 0; i < chi.n; ++i) {
            chi.re[i] += 0.2 * std::cos(7.1 * k_grid_value(p, i)) * (i % 5 == 0 ? -0.0 : 1.0);
        }
        SignalArray window, expected_ft, expected_bft, ft, bft;
        for (SignalArray* s : {&window, &expected_ft, &expected_bft, &ft, &bft}) alloc_signal(*s, p, signal_line);
        // An R window with zeros of both signs and one point of no weight where the transform is huge.
        for (int j = 0; j < window.n; ++j) {
            window.re[j] = r_grid_value(p, j) < 4.0 ? 0.5 + 0.001 * j : (j % 2 ? 0.0 : -0.0);
        }
        reference_fourier(chi, expected_ft);
        fourier_transform(chi, shared, ft);
        EXPECT_TRUE(same_bits(ft.re, expected_ft.re) && same_bits(ft.im, expected_ft.im) &&
                    same_bits(ft.mod, expected_ft.mod))
            << p.nk;
        reference_back_fourier(ft, window, expected_bft);
        back_fourier_transform(ft, window, shared, bft);
        EXPECT_TRUE(same_bits(bft.re, expected_bft.re)) << p.nk;

        // Terms of no weight drop out only while they are finite.
        if (ft.n < 2) continue;
        ft.re[ft.n - 1] = std::numeric_limits<double>::infinity();
        ft.im[ft.n - 2] = std::nan("");
        reference_back_fourier(ft, window, expected_bft);
        back_fourier_transform(ft, window, bft);
        EXPECT_TRUE(same_bits(bft.re, expected_bft.re)) << p.nk;
    }
}
