#include "spectra/wavelet.hpp"

#include "control/record_parameters.hpp"
#include "spectra/signal.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>
#include <numeric>
#include <vector>

namespace {

using Values = std::vector<std::complex<double>>;

double dft_error(const Values& x, const Values& y, double sign) {
    const std::size_t n = x.size();
    const double step = sign * 2 * std::numbers::pi / n;
    double worst = 0;
    for (std::size_t m = 0; m < n; ++m) {
        std::complex<double> sum;
        for (std::size_t j = 0; j < n; ++j) sum += x[j] * std::polar(1.0, step * (j * m % n));
        worst = std::max(worst, std::abs(y[m] - sum));
    }
    return worst;
}

// chi(k) = sin(2 k R) on the default grid and its map.
struct Shell {
    SpectrumParameters p;
    SignalArray chi, map;
    int ridge;
    double falloff;  // ten rows up, relative to the ridge
    Shell(double distance, int wt_type, int threads) {
        set_spectrum_parameter_defaults(p);
        validate_k_and_r_ranges(p);
        p.ints[SpectrumIntKey::WT_type] = wt_type;
        p.thread_count = threads;
        alloc_signal(chi, p, signal_line);
        alloc_signal(map, p, signal_map);
        for (int i = 0; i < chi.n; ++i) chi.re[i] = std::sin(2.0 * k_grid_value(p, i) * distance);
        wavelet_transform(chi, map);
        std::vector<double> weight;  // modulus summed over k
        for (auto row = map.mod.begin(); row != map.mod.end(); row += p.nk)
            weight.push_back(std::accumulate(row, row + p.nk, 0.0));
        ridge = int(std::max_element(weight.begin(), weight.end()) - weight.begin());
        falloff = weight[ridge + 10] / weight[ridge];
    }
};

}  // namespace

TEST(Fft, MatchesTheDirectSumAndInvertsItself) {
    for (int n : {8, 512}) {
        Values input(n);
        for (int i = 0; i < n; ++i) input[i] = {std::sin(1.7 * i * i), std::cos(0.9 * i * i * i)};
        Values forward = input, inverse = input;
        ASSERT_TRUE(fft_forward(forward.data(), n) && fft_inverse(inverse.data(), n, false));
        EXPECT_LT(dft_error(input, forward, -1.0), 1e-11 * n);
        EXPECT_LT(dft_error(input, inverse, +1.0), 1e-11 * n);
        fft_inverse(forward.data(), n, true);
        for (int i = 0; i < n; ++i) EXPECT_LT(std::abs(forward[i] - input[i]), 1e-14 * n);
    }
}

TEST(Fft, RefusesSizesThatAreNotPowersOfTwo) {
    Values data{{1, 2}, {3, 4}, {5, 6}, {7, 8}, {9, 1}, {2, 3}};
    const Values before = data;
    for (int n : {6, 0}) EXPECT_FALSE(fft_forward(data.data(), n) || fft_inverse(data.data(), n, true));
    EXPECT_EQ(data, before);
}

TEST(Wavelet, FftSizeIsAtLeast512AndCoversTheGrid) {
    EXPECT_EQ(wavelet_fft_size(380), 512);
    EXPECT_EQ(wavelet_fft_size(512), 512);
    EXPECT_EQ(wavelet_fft_size(513), 1024);
}

TEST(Wavelet, MapIsTheSameForAnyThreadCount) {
    const Shell a(2.0, 1, 1), b(2.0, 1, 7), c(2.0, 1, 256);
    EXPECT_TRUE(a.map.re == b.map.re && a.map.im == b.map.im && a.map.re == c.map.re && a.map.im == c.map.im);
}

// R(75) = 2 A. Mid-k on the ridge half of sin passes at the peak gain sqrt(10 pi) / dk, over sqrt(x).
TEST(Wavelet, RidgeFollowsTheShellAndTheFilterShape) {
    const Shell fixed2(2.0, 0, 4), fixed4(4.0, 0, 4), wavelet2(2.0, 1, 4);
    const double gain = 0.5 * std::sqrt(10 * std::numbers::pi) / 0.05;
    EXPECT_TRUE(fixed2.ridge == 75 && wavelet2.ridge == 75);
    EXPECT_NEAR(fixed2.map.mod[75 * 380 + 190], gain, 0.01 * gain);
    EXPECT_NEAR(wavelet2.map.mod[75 * 380 + 190], gain / std::sqrt(2.0 / 2.5), 0.01 * gain);
    EXPECT_NEAR(fixed4.falloff, fixed2.falloff, 0.02);  // one width at any R
}

namespace {

// The map as it was first written: every row filters its own copy of the forward transform, computing each
// gain with exp, and transforms back with the library's FFT. The fast map must give the same bits.
void reference_wavelet_map(const SignalArray& chi, SignalArray& map) {
    const SpectrumParameters& p = *chi.parameters;
    const int nk = p.nk;
    const int n = wavelet_fft_size(nk);
    const double dk = p.doubles[SpectrumDoubleKey::dk];
    const bool fixed_width = p.ints[SpectrumIntKey::WT_type] == 0;
    Values spectrum(n), row(n);
    for (int i = 0; i < nk; ++i) spectrum[i] = {chi.re[i], 0.0};
    fft_forward(spectrum.data(), n);
    const double two_pi = 2.0 * std::numbers::pi;
    const double period = n * dk;
    const double gauss_scale = std::sqrt(10.0 * std::numbers::pi);
    for (int j = 0; j < nk; ++j) {
        const double r = r_grid_value(p, j);
        const double r0 = fixed_width ? r : p.doubles[SpectrumDoubleKey::R0_for_WT];
        const double x = fixed_width ? 1.0 : r / r0;
        for (int m = 0; m < n; ++m) {
            const double omega = two_pi * m / period / x;
            const double offset = 2.0 * r0 - omega;
            const double g = std::exp(-(offset * offset) / 0.4) * gauss_scale / dk;
            row[m] = {spectrum[m].real() * g, spectrum[m].imag() * g};
        }
        fft_inverse(row.data(), n, true);
        const double root_x = std::sqrt(x);
        for (int i = 0; i < nk; ++i) {
            const double re = row[i].real() / root_x;
            const double im = row[i].imag() / root_x;
            map.re[j * nk + i] = re;
            map.im[j * nk + i] = im;
            map.mod[j * nk + i] = std::sqrt(re * re + im * im);
        }
    }
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

SpectrumParameters wavelet_grid(double k_min, double k_max, double dk, int wt_type, double r0) {
    SpectrumParameters p;
    set_spectrum_parameter_defaults(p);
    p.doubles[SpectrumDoubleKey::k_min] = k_min;
    p.doubles[SpectrumDoubleKey::k_max] = k_max;
    p.doubles[SpectrumDoubleKey::dk] = dk;
    p.doubles[SpectrumDoubleKey::R0_for_WT] = r0;
    p.ints[SpectrumIntKey::WT_type] = wt_type;
    validate_k_and_r_ranges(p);
    return p;
}

// Damped shells with a phase, as a model chi looks; and two signals that test the corners: zeros of
// both signs, and a chi with a point that is no number.
std::vector<SignalArray> test_signals(const SpectrumParameters& p) {
    std::vector<SignalArray> signals(3);
    for (SignalArray& s : signals) alloc_signal(s, p, signal_line);
    for (int i = 0; i < p.nk; ++i) {
        const double k = k_grid_value(p, i);
        signals[0].re[i] = 0.8 * std::sin(2 * k * 2.05 + 0.3) * std::exp(-0.01 * k * k) +
                           0.3 * std::sin(2 * k * 3.61 - 1.1) * std::exp(-0.02 * k * k) + 1e-3 * std::cos(17.0 * k);
        signals[1].re[i] = i % 3 == 0 ? -0.0 : 0.0;
        signals[2].re[i] = signals[0].re[i];
    }
    signals[2].re[static_cast<std::size_t>(p.nk / 2)] = std::nan("");
    return signals;
}

}  // namespace

TEST(Wavelet, MapHasTheBitsOfTheDirectComputationForEveryThreadCount) {
    const std::vector<SpectrumParameters> grids = {
        wavelet_grid(0.05, 19.0, 0.05, 1, -1.0),  // the defaults: nk 380, N 512
        wavelet_grid(2.0, 14.0, 0.05, 1, 1.2),    // nk 241
        wavelet_grid(2.0, 14.0, 0.05, 0, -1.0),   // fixed width
        wavelet_grid(0.05, 12.0, 0.02, 1, 4.5),   // nk 599, N 1024; rows wider than the transform
        wavelet_grid(3.0, 3.1, 0.05, 1, 0.5),     // a grid of 3 points
    };
    for (const SpectrumParameters& grid : grids) {
        for (const SignalArray& chi : test_signals(grid)) {
            SignalArray expected;
            alloc_signal(expected, grid, signal_map);
            reference_wavelet_map(chi, expected);
            for (int threads : {1, 3, 8}) {
                SpectrumParameters p = grid;
                p.thread_count = threads;
                SignalArray input = chi, map;
                input.parameters = &p;
                alloc_signal(map, p, signal_map);
                wavelet_transform(input, map);
                EXPECT_TRUE(same_bits(map.re, expected.re) && same_bits(map.im, expected.im) &&
                            same_bits(map.mod, expected.mod))
                    << "nk " << p.nk << " WT_type " << p.ints[SpectrumIntKey::WT_type] << " threads " << threads;
            }
        }
    }
}

TEST(Wavelet, TablesFollowTheGridTheyAreUsedWith) {
    SpectrumParameters wide = wavelet_grid(0.05, 19.0, 0.05, 1, -1.0);
    SpectrumParameters narrow = wavelet_grid(2.0, 14.0, 0.05, 0, -1.0);
    narrow.thread_count = 0;  // makes no row, so the next map must still fill the gains
    WaveletTables tables;
    SignalArray untouched;
    alloc_signal(untouched, narrow, signal_map);
    wavelet_transform(test_signals(narrow)[0], tables, untouched);
    wide.thread_count = narrow.thread_count = 3;
    for (SpectrumParameters* p : {&narrow, &wide, &narrow, &wide}) {
        SignalArray chi = test_signals(*p)[0], map, expected;
        alloc_signal(map, *p, signal_map);
        alloc_signal(expected, *p, signal_map);
        reference_wavelet_map(chi, expected);
        wavelet_transform(chi, tables, map);
        EXPECT_TRUE(same_bits(map.re, expected.re) && same_bits(map.im, expected.im)) << p->nk;
    }
    // A changed key of the same grid is seen too.
    wide.doubles[SpectrumDoubleKey::R0_for_WT] = 3.3;
    SignalArray chi = test_signals(wide)[0], map, expected;
    alloc_signal(map, wide, signal_map);
    alloc_signal(expected, wide, signal_map);
    reference_wavelet_map(chi, expected);
    wavelet_transform(chi, tables, map);
    EXPECT_TRUE(same_bits(map.re, expected.re) && same_bits(map.im, expected.im));
}
