// The transforms every model evaluation runs, on the default grid (k 0.05..19, 380 points): the
// Fourier and back-Fourier direct sums and the threaded wavelet map, each once as a single call that
// builds its own tables ("Uncached") and once with the tables a spectrum keeps, as the residual uses
// them; then the residual of a model in every space, and the cost of a fork-join section by itself.
#include "control/record_parameters.hpp"
#include "control/threads.hpp"
#include "spectra/fourier.hpp"
#include "spectra/residuals.hpp"
#include "spectra/signal.hpp"
#include "spectra/spectrum_context.hpp"
#include "spectra/state_spectrum.hpp"
#include "spectra/wavelet.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <vector>

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

// An R window of weight 1 up to 5 angstrom, as the default R range gives.
SignalArray r_window(const SpectrumParameters& p) {
    SignalArray window;
    alloc_signal(window, p, signal_line);
    for (int j = 0; j < window.n; ++j) window.re[j] = r_grid_value(p, j) <= 5.0 ? 1.0 : 0.0;
    return window;
}

void BM_FourierTransformUncached(benchmark::State& state) {
    const SpectrumParameters p = default_grid(1);
    const SignalArray chi = two_shell_chi(p);
    SignalArray ft;
    alloc_signal(ft, p, signal_line);
    for (auto _ : state) fourier_transform(chi, ft);
}
BENCHMARK(BM_FourierTransformUncached)->Unit(benchmark::kMillisecond);

void BM_FourierTransform(benchmark::State& state) {
    const SpectrumParameters p = default_grid(1);
    const SignalArray chi = two_shell_chi(p);
    SignalArray ft;
    alloc_signal(ft, p, signal_line);
    FourierTables tables;
    for (auto _ : state) fourier_transform(chi, tables, ft);
}
BENCHMARK(BM_FourierTransform)->Unit(benchmark::kMicrosecond);

void BM_BackFourierTransformUncached(benchmark::State& state) {
    const SpectrumParameters p = default_grid(1);
    const SignalArray chi = two_shell_chi(p);
    const SignalArray window = r_window(p);
    SignalArray ft, bft;
    alloc_signal(ft, p, signal_line);
    alloc_signal(bft, p, signal_line);
    fourier_transform(chi, ft);
    for (auto _ : state) back_fourier_transform(ft, window, bft);
}
BENCHMARK(BM_BackFourierTransformUncached)->Unit(benchmark::kMillisecond);

void BM_BackFourierTransform(benchmark::State& state) {
    const SpectrumParameters p = default_grid(1);
    const SignalArray chi = two_shell_chi(p);
    const SignalArray window = r_window(p);
    SignalArray ft, bft;
    alloc_signal(ft, p, signal_line);
    alloc_signal(bft, p, signal_line);
    FourierTables tables;
    fourier_transform(chi, tables, ft);
    for (auto _ : state) back_fourier_transform(ft, window, tables, bft);
}
BENCHMARK(BM_BackFourierTransform)->Unit(benchmark::kMicrosecond);

void BM_WaveletTransformUncached(benchmark::State& state) {
    const SpectrumParameters p = default_grid(static_cast<int>(state.range(0)));
    const SignalArray chi = two_shell_chi(p);
    SignalArray wt;
    alloc_signal(wt, p, signal_map);
    for (auto _ : state) wavelet_transform(chi, wt);
}
BENCHMARK(BM_WaveletTransformUncached)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_WaveletTransform(benchmark::State& state) {
    const SpectrumParameters p = default_grid(static_cast<int>(state.range(0)));
    const SignalArray chi = two_shell_chi(p);
    SignalArray wt;
    alloc_signal(wt, p, signal_map);
    WaveletTables tables;
    for (auto _ : state) wavelet_transform(chi, tables, wt);
}
BENCHMARK(BM_WaveletTransform)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();

// compute_exafs_error of a moved state against a two-shell experiment, L2 norm, in the space given by the
// first argument (0 k, 1 q, 2 R, 3 W), on the number of threads given by the second.
void BM_Residual(benchmark::State& state) {
    SpectrumParameters p = default_grid(static_cast<int>(state.range(1)));
    p.space_code = static_cast<std::int32_t>(state.range(0));
    SpectrumContext context;
    init_spectrum_context(context, p, nullptr);
    for (SignalArray* w : {&context.window_k, &context.window_q, &context.window_w}) set_signal_ones(*w);
    context.window_r = r_window(p);
    context.exp_chi = two_shell_chi(p);
    fourier_transform(context.exp_chi, context.fourier_tables, context.exp_ft);
    back_fourier_transform(context.exp_ft, context.window_r, context.fourier_tables, context.exp_bft);
    wavelet_transform(context.exp_chi, context.wavelet_tables, context.exp_wt);
    context.norm_k = context.norm_q = context.norm_r = context.norm_w = 1.0;
    StateSpectrum model;
    for (SignalArray* s : {&model.chi, &model.ft, &model.bft}) alloc_signal(*s, p, signal_line);
    alloc_signal(model.wt, p, signal_map);
    for (int i = 0; i < p.nk; ++i) model.chi.re[i] = 0.9 * context.exp_chi.re[i];
    for (auto _ : state) benchmark::DoNotOptimize(compute_exafs_error(context, model, false));
}
BENCHMARK(BM_Residual)
    ->ArgNames({"space", "threads"})
    ->Args({space_k, 1})
    ->Args({space_q, 1})
    ->Args({space_r, 1})
    ->Args({space_w, 1})
    ->Args({space_w, 8})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// What a fork-join section costs before any work: starting and joining its threads.
void BM_ForkJoinEmpty(benchmark::State& state) {
    const auto threads = static_cast<std::int32_t>(state.range(0));
    for (auto _ : state) fork_join(threads, [](std::int32_t) {});
}
BENCHMARK(BM_ForkJoinEmpty)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Unit(benchmark::kMicrosecond)->UseRealTime();

// One inverse FFT of the wavelet's size, the unit of work of a map row.
void BM_InverseFft512(benchmark::State& state) {
    std::vector<std::complex<double>> input(512), data(512);
    for (int i = 0; i < 512; ++i) input[i] = {std::sin(0.1 * i), std::cos(0.3 * i)};
    for (auto _ : state) {
        data = input;
        fft_inverse(data.data(), 512, true);
        benchmark::DoNotOptimize(data.data());
    }
}
BENCHMARK(BM_InverseFft512)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
