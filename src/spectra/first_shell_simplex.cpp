#include "spectra/first_shell_simplex.hpp"

#include "control/mt.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iostream>
#include <numeric>

namespace {

std::size_t at(int i) { return static_cast<std::size_t>(i); }

// Strictly better: a value that is not a number is worse than any number (infinities included), so a
// model that breaks down numerically can never be taken for the best.
bool better(double a, double b) { return !std::isnan(a) && (std::isnan(b) || a < b); }

SimplexVertex combine(const SimplexVertex& origin, double factor, const SimplexVertex& towards) {
    SimplexVertex v{};
    for (std::size_t j = 0; j < v.size(); ++j) v[j] = origin[j] + factor * (towards[j] - origin[j]);
    return v;
}

}  // namespace

std::array<int, simplex_vertex_count> rank_simplex_vertices(const std::array<double, simplex_vertex_count>& values) {
    std::array<int, simplex_vertex_count> order{};
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return better(values[at(a)], values[at(b)]); });
    return order;
}

SimplexResult run_first_shell_simplex(Calculation& calc, const std::function<double(const SimplexVertex&)>& objective,
                                      int iteration_limit) {
    std::array<SimplexVertex, simplex_vertex_count> v{};
    for (int i = 1; i < simplex_vertex_count; ++i) v[at(i)][at(i - 1)] = (2.0 * uniform_random(calc) - 1.0) * 0.5;
    std::array<double, simplex_vertex_count> f{};
    for (int i = 0; i < simplex_vertex_count; ++i) f[at(i)] = objective(v[at(i)]);

    SimplexResult result;
    while (true) {
        const auto order = rank_simplex_vertices(f);
        const std::size_t b = at(order[0]), sw = at(order[3]), w = at(order[4]);
        result.best = v[b];
        result.best_value = f[b];
        if (!std::isfinite(f[b])) return result;
        if (result.iterations == iteration_limit) {
            result.stopped_at_limit = true;
            std::cout << "WARNING: the first-shell simplex did not converge in " << iteration_limit
                      << " iterations; the best vertex found is kept" << '\n';
            return result;
        }
        ++result.iterations;
        // A worst value that is not a number leaves the spread undefined: the simplex has not converged.
        const double spread = std::abs(f[w] - f[b]);

        SimplexVertex m{};
        for (int r = 0; r < 4; ++r) {
            for (std::size_t j = 0; j < m.size(); ++j) m[j] += 0.25 * v[at(order[at(r)])][j];
        }
        const SimplexVertex reflected = combine(m, -1.0, v[w]);
        const double f_reflected = objective(reflected);
        if (!better(f_reflected, f[sw])) {
            const SimplexVertex contracted = combine(m, 0.5, v[w]);
            const double f_contracted = objective(contracted);
            if (better(f_contracted, f[w])) {
                v[w] = contracted;
                f[w] = f_contracted;
            } else {
                for (int r = 1; r < simplex_vertex_count; ++r) {
                    const std::size_t i = at(order[at(r)]);
                    v[i] = combine(v[b], 0.5, v[i]);
                    f[i] = objective(v[i]);
                }
            }
        } else if (!better(f[b], f_reflected)) {
            const SimplexVertex expanded = combine(m, 2.0, reflected);
            const double f_expanded = objective(expanded);
            if (!better(f_expanded, f_reflected)) {
                v[w] = reflected;
                f[w] = f_reflected;
            } else {
                v[w] = expanded;
                f[w] = f_expanded;
            }
        } else {
            v[w] = reflected;
            f[w] = f_reflected;
        }
        if (spread <= simplex_tolerance) return result;
    }
}
