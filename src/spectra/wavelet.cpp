#include "spectra/wavelet.hpp"

#include "control/record_parameters.hpp"
#include "control/threads.hpp"
#include "spectra/signal.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <numbers>
#include <utility>
#include <vector>

namespace {

constexpr double pi = std::numbers::pi;

bool is_transform_size(const std::complex<double>* data, int n) {
    return data != nullptr && n > 0 && (n & (n - 1)) == 0;
}

// Iterative decimation in time. The butterflies are spelled out on the real and imaginary parts: the
// library's complex product may take a NaN-recovery path and does not promise this operation order, and
// the maps must come out the same on every run.
void transform(std::complex<double>* data, int n, bool inverse) {
    int j = 0;
    for (int i = 0; i < n; ++i) {
        if (j > i) std::swap(data[i], data[j]);
        // Add n/2 to the bit-reversed counter: clear leading ones from the top, then set the first zero.
        int bit = n / 2;
        while (bit >= 1 && j >= bit) {
            j -= bit;
            bit /= 2;
        }
        j += bit;
    }
    for (int m = 1; m < n; m *= 2) {
        const double theta = (inverse ? pi : -pi) / m;
        // The twiddle advances by a recurrence rather than a sine and cosine per offset; wpr is written as
        // -2 sin^2(theta/2) instead of cos(theta) - 1 to keep the small increment accurate.
        const double half_sine = std::sin(theta / 2.0);
        const double wpr = -2.0 * half_sine * half_sine;
        const double wpi = std::sin(theta);
        double wr = 1.0;
        double wi = 0.0;
        for (int r = 0; r < m; ++r) {
            for (int i = r; i < n; i += 2 * m) {
                const int k = i + m;
                const double ar = data[i].real();
                const double ai = data[i].imag();
                const double br = data[k].real();
                const double bi = data[k].imag();
                const double tr = wr * br - wi * bi;
                const double ti = wr * bi + wi * br;
                data[k] = {ar - tr, ai - ti};
                data[i] = {ar + tr, ai + ti};
            }
            const double old_wr = wr;
            wr += old_wr * wpr - wi * wpi;
            wi += wi * wpr + old_wr * wpi;
        }
    }
}

}  // namespace

bool fft_forward(std::complex<double>* data, int n) {
    if (!is_transform_size(data, n)) return false;
    transform(data, n, false);
    return true;
}

bool fft_inverse(std::complex<double>* data, int n, bool normalise) {
    if (!is_transform_size(data, n)) return false;
    transform(data, n, true);
    if (normalise) {
        const double scale = 1.0 / n;
        for (int i = 0; i < n; ++i) data[i] = {data[i].real() * scale, data[i].imag() * scale};
    }
    return true;
}

int wavelet_fft_size(int nk) {
    int n = 512;
    while (n < nk) n *= 2;
    return n;
}

namespace {

// The recurrence of transform() run on its own, keeping every twiddle it produces for the inverse passes.
void build_inverse_twiddles(WaveletTables& tables, int n) {
    tables.twiddle_re.assign(static_cast<std::size_t>(n), 0.0);
    tables.twiddle_im.assign(static_cast<std::size_t>(n), 0.0);
    for (int m = 1; m < n; m *= 2) {
        const double theta = pi / m;
        const double half_sine = std::sin(theta / 2.0);
        const double wpr = -2.0 * half_sine * half_sine;
        const double wpi = std::sin(theta);
        double wr = 1.0;
        double wi = 0.0;
        for (int r = 0; r < m; ++r) {
            tables.twiddle_re[static_cast<std::size_t>(m + r)] = wr;
            tables.twiddle_im[static_cast<std::size_t>(m + r)] = wi;
            const double old_wr = wr;
            wr += old_wr * wpr - wi * wpi;
            wi += wi * wpr + old_wr * wpi;
        }
    }
}

// The counter walk of transform(), recorded: element m moves to bit_reversed[m].
void build_bit_reversal(WaveletTables& tables, int n) {
    std::vector<std::int32_t>& order = tables.bit_reversed;
    order.resize(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) order[static_cast<std::size_t>(i)] = i;
    int j = 0;
    for (int i = 0; i < n; ++i) {
        if (j > i) std::swap(order[static_cast<std::size_t>(i)], order[static_cast<std::size_t>(j)]);
        int bit = n / 2;
        while (bit >= 1 && j >= bit) {
            j -= bit;
            bit /= 2;
        }
        j += bit;
    }
}

// Past this exponent exp gives exactly 0 (its smallest result, 2^-1074, is exp(-744.4)), and so does the
// gain that multiplies it.
constexpr double underflow_exponent = -750.0;

// Row j's gains, root of x and the span outside of which its gains underflow, as the row's filter is
// defined; only the thread that computes row j calls this for it.
void build_row_gains(WaveletTables& tables, const SpectrumParameters& parameters, int j) {
    const int n = tables.size;
    const double dk = parameters.doubles[SpectrumDoubleKey::dk];
    const bool fixed_width = parameters.ints[SpectrumIntKey::WT_type] == 0;
    const double two_pi = 2.0 * pi;
    const double period = n * dk;  // length in k that the transform treats as one period
    const double gauss_scale = std::sqrt(10.0 * pi);
    const double r = r_grid_value(parameters, j);
    const double r0 = fixed_width ? r : parameters.doubles[SpectrumDoubleKey::R0_for_WT];
    const double x = fixed_width ? 1.0 : r / r0;
    // In the unscaled frequency the Gaussian sits at 2 r0 x = 2 R with a width proportional to x, so a
    // wavelet row widens with R and a fixed-width row does not.
    const auto exponent_at = [&](int m) {
        const double omega = two_pi * m / period / x;
        const double offset = 2.0 * r0 - omega;
        return -(offset * offset) / 0.4;
    };
    int first = 0;
    while (first < n && exponent_at(first) < underflow_exponent) ++first;
    int end = n;
    while (end > first && exponent_at(end - 1) < underflow_exponent) --end;
    const auto row = static_cast<std::size_t>(j);
    std::vector<double>& gains = tables.gains[row];
    gains.resize(static_cast<std::size_t>(end - first));
    for (int m = first; m < end; ++m) {
        gains[static_cast<std::size_t>(m - first)] = std::exp(exponent_at(m)) * gauss_scale / dk;
    }
    tables.gain_first[row] = first;
    tables.root_x[row] = std::sqrt(x);
}

// One butterfly of transform(): t = w b; b = a - t; a = a + t.
inline void butterfly(double& ar, double& ai, double& br, double& bi, double wr, double wi) {
    const double tr = wr * br - wi * bi;
    const double ti = wr * bi + wi * br;
    const double a_re = ar;
    const double a_im = ai;
    br = a_re - tr;
    bi = a_im - ti;
    ar = a_re + tr;
    ai = a_im + ti;
}

// The inverse passes of transform() on split real and imaginary parts, already in bit-reversed order,
// with the twiddles read from the table. The butterflies of one pass touch disjoint pairs, so walking
// them block by block instead of offset by offset gives every value the same operations.
void inverse_passes(double* re, double* im, int n, const WaveletTables& tables) {
    // Spans 1 and 2 together on blocks of four: each value still meets its two butterflies in order.
    const double w1r = tables.twiddle_re[1], w1i = tables.twiddle_im[1];
    const double w2r = tables.twiddle_re[2], w2i = tables.twiddle_im[2];
    const double w3r = tables.twiddle_re[3], w3i = tables.twiddle_im[3];
    for (int block = 0; block < n; block += 4) {
        double* r4 = re + block;
        double* i4 = im + block;
        butterfly(r4[0], i4[0], r4[1], i4[1], w1r, w1i);
        butterfly(r4[2], i4[2], r4[3], i4[3], w1r, w1i);
        butterfly(r4[0], i4[0], r4[2], i4[2], w2r, w2i);
        butterfly(r4[1], i4[1], r4[3], i4[3], w3r, w3i);
    }
    for (int m = 4; m < n; m *= 2) {
        const double* wr = tables.twiddle_re.data() + m;
        const double* wi = tables.twiddle_im.data() + m;
        for (int block = 0; block < n; block += 2 * m) {
            double* are = re + block;
            double* aim = im + block;
            double* bre = are + m;
            double* bim = aim + m;
            // Two offsets per step, written side by side so that the compiler can pair them.
            for (int r = 0; r < m; r += 2) {
                const double ar0 = are[r], ar1 = are[r + 1];
                const double ai0 = aim[r], ai1 = aim[r + 1];
                const double br0 = bre[r], br1 = bre[r + 1];
                const double bi0 = bim[r], bi1 = bim[r + 1];
                const double wr0 = wr[r], wr1 = wr[r + 1];
                const double wi0 = wi[r], wi1 = wi[r + 1];
                const double tr0 = wr0 * br0 - wi0 * bi0;
                const double tr1 = wr1 * br1 - wi1 * bi1;
                const double ti0 = wr0 * bi0 + wi0 * br0;
                const double ti1 = wr1 * bi1 + wi1 * br1;
                bre[r] = ar0 - tr0;
                bre[r + 1] = ar1 - tr1;
                bim[r] = ai0 - ti0;
                bim[r + 1] = ai1 - ti1;
                are[r] = ar0 + tr0;
                are[r + 1] = ar1 + tr1;
                aim[r] = ai0 + ti0;
                aim[r + 1] = ai1 + ti1;
            }
        }
    }
}

}  // namespace

void prepare_wavelet_tables(WaveletTables& tables, const SpectrumParameters& parameters) {
    const int nk = parameters.nk;
    const int n = wavelet_fft_size(nk);
    const double dk = parameters.doubles[SpectrumDoubleKey::dk];
    const double r0 = parameters.doubles[SpectrumDoubleKey::R0_for_WT];
    const std::int32_t wt_type = parameters.ints[SpectrumIntKey::WT_type];
    if (tables.built && tables.nk == nk && tables.size == n && tables.dk == dk && tables.dR == parameters.dR &&
        tables.r0 == r0 && tables.wt_type == wt_type) {
        return;
    }
    tables = WaveletTables{};
    build_bit_reversal(tables, n);
    build_inverse_twiddles(tables, n);
    tables.zero_gain = 0.0 * std::sqrt(10.0 * pi) / dk;
    // The rows' gains are filled by the threads of the first map, each for its own rows.
    const auto rows = static_cast<std::size_t>(std::max(nk, 0));
    tables.gain_first.assign(rows, 0);
    tables.gains.assign(rows, {});
    tables.root_x.assign(rows, 1.0);
    tables.nk = nk;
    tables.size = n;
    tables.dk = dk;
    tables.dR = parameters.dR;
    tables.r0 = r0;
    tables.wt_type = wt_type;
    tables.built = true;
}

void wavelet_transform(const SignalArray& input, SignalArray& output) {
    WaveletTables tables;
    wavelet_transform(input, tables, output);
}

void wavelet_transform(const SignalArray& input, WaveletTables& tables, SignalArray& output, int first_row,
                       int end_row) {
    const SpectrumParameters& parameters = *input.parameters;
    // A map is made where it is first asked for: states of a fit in another space never hold one.
    if (output.n != parameters.nk * parameters.nk || output.re.size() != static_cast<std::size_t>(output.n))
        alloc_signal(output, parameters, signal_map);
    prepare_wavelet_tables(tables, parameters);
    const int n = tables.size;

    // Every row filters the same spectrum of chi, so it is transformed once here rather than per thread.
    std::vector<std::complex<double>> spectrum(static_cast<std::size_t>(n));
    for (std::size_t i = 0; i < static_cast<std::size_t>(parameters.nk); ++i) spectrum[i] = {input.re[i], 0.0};
    fft_forward(spectrum.data(), n);
    WaveletSection section;
    section.tables = &tables;
    section.build_gains = !tables.gains_built;
    section.spectrum_re.resize(static_cast<std::size_t>(n));
    section.spectrum_im.resize(static_cast<std::size_t>(n));
    for (std::size_t m = 0; m < spectrum.size(); ++m) {
        section.spectrum_re[m] = spectrum[m].real();
        section.spectrum_im[m] = spectrum[m].imag();
    }

    if (!tables.gains_built || end_row < 0 || end_row > input.n) end_row = input.n;
    if (!tables.gains_built || first_row < 0 || first_row > end_row) first_row = 0;
    std::vector<WorkRange> records = split_work(end_row - first_row, parameters.thread_count);
    // The rows' working space is allocated here: a first allocation on a fresh thread costs it an arena.
    // Left unset: each thread writes its rows before it reads them, and an empty slice never touches its own.
    section.rows = std::make_unique_for_overwrite<double[]>(records.size() * 2 * static_cast<std::size_t>(n));
    for (std::size_t k = 0; k < records.size(); ++k) {
        WorkRange& record = records[k];
        // The record's slots are untyped and mutable; the worker only reads through them.
        record.data = const_cast<SpectrumParameters*>(&parameters);
        record.context = &section;
        record.first += first_row;
        record.end += first_row;
        record.extra = static_cast<std::int32_t>(k);
        record.output_re = output.re.data();
        record.output_im = output.im.data();
        record.output_mod = output.mod.data();
        record.input = input.re.data();
    }
    run_work_range_threads(records.data(), parameters.thread_count, wavelet_transform_worker);
    // Without a thread no row was made, and the gains are left to the next map. Maps of several states
    // run at once on tables built before them, so the flag is written only by the map that built them.
    if (section.build_gains && !records.empty()) tables.gains_built = true;
}

void wavelet_transform_worker(WorkRange& range) {
    WaveletSection& section = *static_cast<WaveletSection*>(range.context);
    WaveletTables& tables = *section.tables;
    const int nk = tables.nk;
    const int n = tables.size;
    const double* x_re = section.spectrum_re.data();
    const double* x_im = section.spectrum_im.data();
    const std::int32_t* order = tables.bit_reversed.data();
    const double zero_gain = tables.zero_gain;
    const double scale = 1.0 / n;

    double* y_re = section.rows.get() + static_cast<std::size_t>(range.extra) * 2 * static_cast<std::size_t>(n);
    double* y_im = y_re + n;
    for (int j = range.first; j < range.end; ++j) {
        const auto row = static_cast<std::size_t>(j);
        if (section.build_gains) build_row_gains(tables, *static_cast<const SpectrumParameters*>(range.data), j);
        const int first = tables.gain_first[row];
        const int end = first + static_cast<int>(tables.gains[row].size());
        const double* gains = tables.gains[row].data();
        // Underflowed gains still multiply, so that a row of zeros keeps the signs of its zeros and a
        // spectrum that is no number stays one.
        for (int m = 0; m < first; ++m) {
            y_re[order[m]] = x_re[m] * zero_gain;
            y_im[order[m]] = x_im[m] * zero_gain;
        }
        for (int m = first; m < end; ++m) {
            y_re[order[m]] = x_re[m] * gains[m - first];
            y_im[order[m]] = x_im[m] * gains[m - first];
        }
        for (int m = end; m < n; ++m) {
            y_re[order[m]] = x_re[m] * zero_gain;
            y_im[order[m]] = x_im[m] * zero_gain;
        }
        inverse_passes(y_re, y_im, n, tables);
        const double root_x = tables.root_x[row];
        const std::ptrdiff_t base = static_cast<std::ptrdiff_t>(j) * nk;
        for (int i = 0; i < nk; ++i) {
            const double re = y_re[i] * scale / root_x;
            const double im = y_im[i] * scale / root_x;
            range.output_re[base + i] = re;
            range.output_im[base + i] = im;
            range.output_mod[base + i] = std::sqrt(re * re + im * im);
        }
    }
}
