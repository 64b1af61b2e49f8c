#include "spectra/wavelet.hpp"

#include "control/record_parameters.hpp"
#include "control/threads.hpp"
#include "spectra/signal.hpp"
#include "spectra/signal_files.hpp"

#include <cmath>
#include <cstddef>
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

void wavelet_transform(const SignalArray& input, const std::string& file_name, bool write, SignalArray& output) {
    const SpectrumParameters& parameters = *input.parameters;
    std::vector<WorkRange> records = split_work(input.n, parameters.thread_count);
    for (WorkRange& record : records) {
        // The record's slot is untyped and mutable; the worker only reads the parameters through it.
        record.data = const_cast<SpectrumParameters*>(&parameters);
        record.output_re = output.re.data();
        record.output_im = output.im.data();
        record.output_mod = output.mod.data();
        record.input = input.re.data();
    }
    run_work_range_threads(records.data(), parameters.thread_count, wavelet_transform_worker);
    if (write) write_signal_file(output, file_name, signal_file_wt);
}

void wavelet_transform_worker(WorkRange& range) {
    const SpectrumParameters& parameters = *static_cast<const SpectrumParameters*>(range.data);
    const int nk = parameters.nk;
    const int n = wavelet_fft_size(nk);
    const double dk = parameters.doubles[SpectrumDoubleKey::dk];
    const bool fixed_width = parameters.ints[SpectrumIntKey::WT_type] == 0;

    // Each thread transforms chi itself, even with an empty slice, so that threads share nothing they write.
    std::vector<std::complex<double>> spectrum(static_cast<std::size_t>(n));
    std::vector<std::complex<double>> row(static_cast<std::size_t>(n));
    for (int i = 0; i < nk; ++i) spectrum[static_cast<std::size_t>(i)] = {range.input[i], 0.0};
    fft_forward(spectrum.data(), n);

    const double two_pi = 2.0 * pi;
    const double period = n * dk;  // length in k that the transform treats as one period
    const double gauss_scale = std::sqrt(10.0 * pi);
    for (int j = range.first; j < range.end; ++j) {
        const double r = r_grid_value(parameters, j);
        const double r0 = fixed_width ? r : parameters.doubles[SpectrumDoubleKey::R0_for_WT];
        const double x = fixed_width ? 1.0 : r / r0;
        // In the unscaled frequency the Gaussian sits at 2 r0 x = 2 R with a width proportional to x, so a
        // wavelet row widens with R and a fixed-width row does not.
        for (int m = 0; m < n; ++m) {
            const double omega = two_pi * m / period / x;
            const double offset = 2.0 * r0 - omega;
            const double g = std::exp(-(offset * offset) / 0.4) * gauss_scale / dk;
            const std::complex<double> value = spectrum[static_cast<std::size_t>(m)];
            row[static_cast<std::size_t>(m)] = {value.real() * g, value.imag() * g};
        }
        fft_inverse(row.data(), n, true);
        const double root_x = std::sqrt(x);
        const std::ptrdiff_t base = static_cast<std::ptrdiff_t>(j) * nk;
        for (int i = 0; i < nk; ++i) {
            const double re = row[static_cast<std::size_t>(i)].real() / root_x;
            const double im = row[static_cast<std::size_t>(i)].imag() / root_x;
            range.output_re[base + i] = re;
            range.output_im[base + i] = im;
            range.output_mod[base + i] = std::sqrt(re * re + im * im);
        }
    }
}
