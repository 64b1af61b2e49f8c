// The transforms every model evaluation runs, on the default grid (k 0.05..19, 380 points): the
// Fourier and back-Fourier direct sums and the threaded wavelet map.
#include "control/record_parameters.hpp"
#include "spectra/fourier.hpp"
#include "spectra/signal.hpp"
#include "spectra/wavelet.hpp"

#include <benchmark/benchmark.h>

#include <cmath>

namespace {

SpectrumParameters default_grid(int threads) {
    SpectrumParameters p;
    set_spectrum_parameter_defaults(p);
    p.thread_count = threads;
    validate_k_and_r_ranges(p);
    return p;
}

SignalArray two_shell_chi(const SpectrumParameters& p) {
    SignalArray chi;
    alloc_signal(chi, p, signal_line);
    for (int i = 0; i < chi.n; ++i) {
        const double k = k_grid_value(p, i);
        chi.re[i] = std::sin(2 * k * 2.5) + 0.5 * std::sin(2 * k * 3.7);
    }
    return chi;
}

void BM_FourierTransform(benchmark::State& state) {
    const SpectrumParameters p = default_grid(1);
    const SignalArray chi = two_shell_chi(p);
    SignalArray ft;
    alloc_signal(ft, p, signal_line);
    for (auto _ : state) fourier_transform(chi, "", false, ft);
}
BENCHMARK(BM_FourierTransform)->Unit(benchmark::kMillisecond);

void BM_BackFourierTransform(benchmark::State& state) {
    const SpectrumParameters p = default_grid(1);
    const SignalArray chi = two_shell_chi(p);
    SignalArray ft, bft, window;
    alloc_signal(ft, p, signal_line);
    alloc_signal(bft, p, signal_line);
    alloc_signal(window, p, signal_line);
    set_signal_ones(window);
    fourier_transform(chi, "", false, ft);
    for (auto _ : state) back_fourier_transform(ft, window, "", false, bft);
}
BENCHMARK(BM_BackFourierTransform)->Unit(benchmark::kMillisecond);

void BM_WaveletTransform(benchmark::State& state) {
    const SpectrumParameters p = default_grid(static_cast<int>(state.range(0)));
    const SignalArray chi = two_shell_chi(p);
    SignalArray wt;
    alloc_signal(wt, p, signal_map);
    for (auto _ : state) wavelet_transform(chi, "", false, wt);
}
BENCHMARK(BM_WaveletTransform)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
