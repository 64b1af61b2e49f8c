#include "spectra/fourier.hpp"

#include "control/record_parameters.hpp"
#include "spectra/signal.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace {

// Exponent of the Gaussian window; 0 for an empty k range, where the window is flat.
double gaussian_exponent(const SpectrumParameters& p) {
    const double width = p.doubles[SpectrumDoubleKey::k_max] - p.doubles[SpectrumDoubleKey::k_min];
    if (!(width > 0)) return 0.0;
    return -std::log(0.1) * 4 / (width * width);
}

// A term of the back-transform's sum whose R weight is zero adds a signed zero, which leaves the sum as it
// is (the sum starts at +0 and so never is -0), unless the transform there is too large or no number and
// the term becomes no number.
bool term_vanishes(double weight, double re, double im) {
    constexpr double safe = 1e300;  // re cos + im sin stays finite below this
    return weight == 0 && std::abs(re) < safe && std::abs(im) < safe;
}

}  // namespace

double k_window_value(const SpectrumParameters& p, double k) {
    const double k_min = p.doubles[SpectrumDoubleKey::k_min];
    const double k_max = p.doubles[SpectrumDoubleKey::k_max];
    const double sill = p.doubles[SpectrumDoubleKey::FT_window_type];
    if (sill < 0) {
        const double k_mid = (k_min + k_max) / 2;
        return std::exp(-gaussian_exponent(p) * (k - k_mid) * (k - k_mid));
    }
    if (k_min + sill < k && k < k_max - sill) return 1.0;
    // Without sills the window is a plain box over [k_min, k_max].
    if (sill == 0) return (k >= k_min && k <= k_max) ? 1.0 : 0.0;
    const double d = k <= k_min + sill ? k - k_min : k_max - k;
    const double c = std::cos((d / sill - 1) * std::numbers::pi / 2);
    return c * c;
}

void prepare_fourier_tables(FourierTables& tables, const SpectrumParameters& p, int n) {
    const double k_min = p.doubles[SpectrumDoubleKey::k_min];
    const double k_max = p.doubles[SpectrumDoubleKey::k_max];
    const double dk = p.doubles[SpectrumDoubleKey::dk];
    const double sill = p.doubles[SpectrumDoubleKey::FT_window_type];
    if (tables.built && tables.n == n && tables.k_min == k_min && tables.k_max == k_max && tables.dk == dk &&
        tables.dR == p.dR && tables.sill == sill) {
        return;
    }
    tables = FourierTables{};
    const auto size = static_cast<std::size_t>(std::max(n, 0));
    tables.window.resize(size);
    for (std::size_t i = 0; i < size; ++i) tables.window[i] = k_window_value(p, k_grid_value(p, static_cast<int>(i)));
    tables.factor = sill < 0 ? 1.0 : (k_max - k_min - sill) / (2 * std::sqrt(std::numbers::pi));
    const double a = gaussian_exponent(p);
    tables.gaussian = sill < 0 && a > 0;
    tables.back_divisor.resize(size);
    for (std::size_t i = 0; i < size; ++i) {
        const double m = std::max(tables.window[i], 0.1);
        tables.back_divisor[i] = tables.gaussian ? std::sqrt(std::numbers::pi * a) * m : m;
    }
    tables.n = n;
    tables.k_min = k_min;
    tables.k_max = k_max;
    tables.dk = dk;
    tables.dR = p.dR;
    tables.sill = sill;
    tables.built = true;
}

namespace {

// cos and sin of x = 2 k R for one k point over every R point, and for one R point over every k point.
void trig_over_r(const SpectrumParameters& p, std::size_t i, std::size_t size, double* c, double* s) {
    const double k = k_grid_value(p, static_cast<int>(i));
    for (std::size_t j = 0; j < size; ++j) {
        const double x = 2 * k * r_grid_value(p, static_cast<int>(j));
        c[j] = std::cos(x);
        s[j] = std::sin(x);
    }
}

void trig_over_k(const SpectrumParameters& p, std::size_t j, std::size_t size, double* c, double* s) {
    const double r = r_grid_value(p, static_cast<int>(j));
    for (std::size_t i = 0; i < size; ++i) {
        const double x = 2 * k_grid_value(p, static_cast<int>(i)) * r;
        c[i] = std::cos(x);
        s[i] = std::sin(x);
    }
}

// Adds k point i's terms w cos^2 and w sin^2 to the normalisers of every R point.
void add_squares(double w, const double* c, const double* s, std::size_t size, double* a, double* b) {
    for (std::size_t j = 0; j < size; ++j) {
        a[j] += w * c[j] * c[j];
        b[j] += w * s[j] * s[j];
    }
}

void build_forward_half(FourierTables& tables, const SpectrumParameters& p) {
    if (tables.forward_built) return;
    const auto size = static_cast<std::size_t>(std::max(tables.n, 0));
    tables.cos_by_k.resize(size * size);
    tables.sin_by_k.resize(size * size);
    tables.cos_squares.assign(size, 0.0);
    tables.sin_squares.assign(size, 0.0);
    for (std::size_t i = 0; i < size; ++i) {
        double* c = tables.cos_by_k.data() + i * size;
        double* s = tables.sin_by_k.data() + i * size;
        trig_over_r(p, i, size, c, s);
        add_squares(tables.window[i], c, s, size, tables.cos_squares.data(), tables.sin_squares.data());
    }
    tables.forward_built = true;
}

void build_back_half(FourierTables& tables, const SpectrumParameters& p) {
    if (tables.back_built) return;
    const auto size = static_cast<std::size_t>(std::max(tables.n, 0));
    tables.cos_by_r.resize(size * size);
    tables.sin_by_r.resize(size * size);
    for (std::size_t j = 0; j < size; ++j) {
        trig_over_k(p, j, size, tables.cos_by_r.data() + j * size, tables.sin_by_r.data() + j * size);
    }
    tables.back_built = true;
}

// The forward sums run over k in order for every R point at once, so each R point adds the same terms in
// the same order as a loop of its own would. Without the forward half the rows of cos and sin are made
// as the sums need them.
void forward_sums(const SignalArray& input, const FourierTables& tables, SignalArray& output) {
    const SpectrumParameters& p = *input.parameters;
    const auto size = static_cast<std::size_t>(std::max(tables.n, 0));
    const bool tabulated = tables.forward_built;
    std::vector<double> sc(size, 0.0), ss(size, 0.0);
    std::vector<double> c_row, s_row, a, b;
    if (!tabulated) {
        c_row.resize(size);
        s_row.resize(size);
        a.assign(size, 0.0);
        b.assign(size, 0.0);
    }
    for (std::size_t i = 0; i < size; ++i) {
        const double* c = tabulated ? tables.cos_by_k.data() + i * size : c_row.data();
        const double* s = tabulated ? tables.sin_by_k.data() + i * size : s_row.data();
        if (!tabulated) {
            trig_over_r(p, i, size, c_row.data(), s_row.data());
            add_squares(tables.window[i], c, s, size, a.data(), b.data());
        }
        const double weighted = input.re[i] * tables.window[i];
        // Two R points per step, loads before stores, so that the compiler can pair their operations.
        std::size_t j = 0;
        for (; j + 1 < size; j += 2) {
            const double c0 = c[j], c1 = c[j + 1], s0 = s[j], s1 = s[j + 1];
            const double sc0 = sc[j], sc1 = sc[j + 1], ss0 = ss[j], ss1 = ss[j + 1];
            sc[j] = sc0 + weighted * c0;
            sc[j + 1] = sc1 + weighted * c1;
            ss[j] = ss0 + weighted * s0;
            ss[j + 1] = ss1 + weighted * s1;
        }
        for (; j < size; ++j) {
            sc[j] += weighted * c[j];
            ss[j] += weighted * s[j];
        }
    }
    const double* cos_squares = tabulated ? tables.cos_squares.data() : a.data();
    const double* sin_squares = tabulated ? tables.sin_squares.data() : b.data();
    for (std::size_t j = 0; j < size; ++j) {
        // A component whose normaliser vanishes carries no information; it is 0 rather than no number.
        output.re[j] = cos_squares[j] != 0 ? tables.factor * sc[j] / cos_squares[j] : 0.0;
        output.im[j] = sin_squares[j] != 0 ? tables.factor * ss[j] / sin_squares[j] : 0.0;
        output.mod[j] = std::sqrt(output.re[j] * output.re[j] + output.im[j] * output.im[j]);
    }
}

// Every k point's sum runs over R in order; the R points outside the window add nothing and are left out.
void back_sums(const SignalArray& input, const SignalArray& r_window, const FourierTables& tables,
               SignalArray& output) {
    const SpectrumParameters& p = *input.parameters;
    const auto size = static_cast<std::size_t>(std::max(tables.n, 0));
    const bool tabulated = tables.back_built;
    std::vector<double> q(size, 0.0);
    std::vector<double> c_row(tabulated ? 0 : size), s_row(tabulated ? 0 : size);
    for (std::size_t j = 0; j < size; ++j) {
        const double weight = r_window.re[j];
        const double re = input.re[j];
        const double im = input.im[j];
        if (term_vanishes(weight, re, im)) continue;
        const double* c = tabulated ? tables.cos_by_r.data() + j * size : c_row.data();
        const double* s = tabulated ? tables.sin_by_r.data() + j * size : s_row.data();
        if (!tabulated) trig_over_k(p, j, size, c_row.data(), s_row.data());
        std::size_t i = 0;
        for (; i + 1 < size; i += 2) {  // paired as in the forward sums
            const double c0 = c[i], c1 = c[i + 1], s0 = s[i], s1 = s[i + 1], q0 = q[i], q1 = q[i + 1];
            q[i] = q0 + weight * (re * c0 + im * s0);
            q[i + 1] = q1 + weight * (re * c1 + im * s1);
        }
        for (; i < size; ++i) q[i] += weight * (re * c[i] + im * s[i]);
    }
    for (std::size_t i = 0; i < size; ++i) {
        output.re[i] = tables.gaussian ? p.dR * q[i] / tables.back_divisor[i] : q[i] * p.dR / tables.back_divisor[i];
    }
}

}  // namespace

void fourier_transform(const SignalArray& input, SignalArray& output) {
    // A single transform makes its cos and sin as it goes rather than tabulating n^2 of them for nothing.
    FourierTables tables;
    prepare_fourier_tables(tables, *input.parameters, input.n);
    forward_sums(input, tables, output);
}

void fourier_transform(const SignalArray& input, FourierTables& tables, SignalArray& output) {
    prepare_fourier_tables(tables, *input.parameters, input.n);
    build_forward_half(tables, *input.parameters);
    forward_sums(input, tables, output);
}

void back_fourier_transform(const SignalArray& input, const SignalArray& r_window, SignalArray& output) {
    FourierTables tables;
    prepare_fourier_tables(tables, *input.parameters, input.n);
    back_sums(input, r_window, tables, output);
}

void back_fourier_transform(const SignalArray& input, const SignalArray& r_window, FourierTables& tables,
                            SignalArray& output) {
    prepare_fourier_tables(tables, *input.parameters, input.n);
    build_back_half(tables, *input.parameters);
    back_sums(input, r_window, tables, output);
}
