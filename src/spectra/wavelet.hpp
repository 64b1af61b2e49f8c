#pragma once

#include <complex>
#include <cstdint>
#include <memory>
#include <vector>

struct SignalArray;
struct SpectrumParameters;
struct WorkRange;

// In-place radix-2 transforms of n complex values, X_m = sum_j x_j exp(-+2 pi i j m / n). Both refuse,
// returning false and leaving the data untouched, when data is null or n is not a positive power of two.
bool fft_forward(std::complex<double>* data, int n);
// With normalise set, every value is then scaled by 1/n, so that it undoes fft_forward.
bool fft_inverse(std::complex<double>* data, int n, bool normalise);

// Transform size for a k grid of nk points: the smallest power of two that is at least nk and at least 512.
int wavelet_fft_size(int nk);

// What every map of one spectrum's grids repeats: the filter gain of each row, the bit-reversed order and
// the twiddles of the inverse transform, and each row's sqrt(x). A map of a refinement is made for every
// moved state, so the spectrum keeps these once rather than recomputing them per map and per thread.
// Every value is the one the direct computation gives, so the maps do not change.
struct WaveletTables {
    // The grid and filter keys the tables were built from; a map on other values rebuilds them.
    bool built = false;
    std::int32_t nk = 0;
    std::int32_t size = 0;  // FFT size N
    double dk = 0.0;
    double dR = 0.0;
    double r0 = 0.0;
    std::int32_t wt_type = 0;

    std::vector<std::int32_t> bit_reversed;  // element m of the input lands at bit_reversed[m]
    // The twiddles of the butterfly pass of span s at [s, 2s), as the pass's recurrence produces them.
    std::vector<double> twiddle_re;
    std::vector<double> twiddle_im;
    // Row j's gain at frequency m is gains[j][m - gain_first[j]] for m in [gain_first[j], gain_first[j] +
    // gains[j].size()) and zero_gain elsewhere: outside that span the Gaussian underflows, and the gain,
    // whose exp would return 0, is zero_gain exactly. The first map on the tables fills the rows.
    bool gains_built = false;
    std::vector<std::int32_t> gain_first;
    std::vector<std::vector<double>> gains;
    double zero_gain = 0.0;
    std::vector<double> root_x;  // sqrt(R / R0) of every row (1 for the fixed-width filter)
};

// Sets the tables to the spectrum's grids and filter unless they were set for the same values; the rows'
// gains then come with the first map made on them. From then on maps only read the tables, so several may
// share them at once; the first one may not run beside another.
void prepare_wavelet_tables(WaveletTables& tables, const SpectrumParameters& parameters);

// Fills the map output (a map signal of the same spectrum) with the wavelet transform of the line input,
// one row per R of the R grid, on the spectrum's thread_count worker threads. The map does not depend on
// the thread count; writing it is the caller's business (write_signal_file with signal_file_wt).
void wavelet_transform(const SignalArray& input, SignalArray& output);
// The same with the spectrum's own tables, prepared first when needed. Once the tables hold every row's
// gains, only the rows [first_row, end_row) are made (the others are left as they were); until then every
// row is, so that the gains are made whole.
void wavelet_transform(const SignalArray& input, WaveletTables& tables, SignalArray& output, int first_row = 0,
                       int end_row = -1);

// What the threads of one map share: the spectrum's tables and the forward transform of the zero-padded
// chi(k) that every row filters, computed once per map before the threads start, and the threads'
// working rows. The thread of record k works in its own 2 N values of rows, from 2 N k; all else is
// read-only to the threads, except that on the first map of fresh tables each thread fills its own rows'
// gains.
struct WaveletSection {
    WaveletTables* tables = nullptr;
    bool build_gains = false;
    std::vector<double> spectrum_re;
    std::vector<double> spectrum_im;
    std::unique_ptr<double[]> rows;
};

// Computes the map rows [range.first, range.end) of the section that wavelet_transform starts: reads the
// spectrum's SpectrumParameters behind range.data and the WaveletSection behind range.context, works in
// the section's rows of record range.extra, and writes only its own rows of output_re, output_im and
// output_mod (and of the tables' gains, when it fills them).
void wavelet_transform_worker(WorkRange& range);
