#include "spectra/wavelet.hpp"

#include "control/record_parameters.hpp"
#include "spectra/signal.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
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
        wavelet_transform(chi, "", false, map);
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
