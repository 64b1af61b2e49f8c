#include "optimisation/forcefield/force_field_fit.hpp"

#include "control/calculation.hpp"
#include "control/console_log.hpp"
#include "control/mt.hpp"
#include "control/process_end.hpp"
#include "optimisation/forcefield/force_field_evaluation.hpp"
#include "optimisation/forcefield/gulp_input.hpp"
#include "optimisation/forcefield/trajectory_average.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <fstream>
#include <iostream>
#include <numeric>

namespace {

constexpr double unranked_range = 1000000.0;
constexpr double fitted_default = 0.1;  // starting epsilon of the fitted pair lines

std::size_t at(int i) { return static_cast<std::size_t>(i); }

// Strictly better: a value that is not a number is worse than any number.
bool better(double a, double b) { return !std::isnan(a) && (std::isnan(b) || a < b); }

std::vector<double> combine(const std::vector<double>& origin, double factor, const std::vector<double>& towards) {
    std::vector<double> v(origin.size());
    for (std::size_t j = 0; j < v.size(); ++j) v[j] = origin[j] + factor * (towards[j] - origin[j]);
    return v;
}

void print_best(const ForceFieldBest& best) {
    std::cout << "\t[BEST STATE : ";
    for (const double p : best.parameters) std::cout << p << ' ';
    std::cout << "]" << '\n';
    std::cout << "\t[BEST STATE RESIDUAL: " << best.residual << " ]" << '\n';
}

// One pass: the worst vertex is replaced by a reflected, expanded or contracted point, or the simplex
// shrinks towards its best vertex.
void move_simplex(ForceFieldSimplex& simplex, int n, const ForceFieldObjective& objective) {
    std::vector<std::vector<double>>& x = simplex.vertices;
    std::vector<double>& f = simplex.values;
    const int best = simplex.order[0];
    const int second_worst = simplex.order[at(n - 1)];
    const int worst = simplex.order[at(n)];

    std::vector<double> g(at(n), 0.0);
    for (int k = 0; k < n; ++k) {
        for (int j = 0; j < n; ++j) g[at(j)] += x[at(simplex.order[at(k)])][at(j)] / n;
    }
    const std::vector<double> r = combine(g, -1.0, x[at(worst)]);
    const double f_r = objective(r);
    if (f_r < f[at(second_worst)]) {
        if (f_r <= f[at(best)]) {
            std::cout << "\tTrying expansion..." << '\n';
            std::vector<double> e = combine(g, 2.0, r);
            const double f_e = objective(e);
            if (f_r <= f_e) {
                x[at(worst)] = r;
                f[at(worst)] = f_r;
            } else {
                x[at(worst)] = std::move(e);
                f[at(worst)] = f_e;
            }
        } else {
            x[at(worst)] = r;
            f[at(worst)] = f_r;
        }
        return;
    }
    std::cout << "\tTrying contraction..." << '\n';
    std::vector<double> h = combine(g, 0.5, x[at(worst)]);
    const double f_h = objective(h);
    if (f_h < f[at(worst)]) {
        x[at(worst)] = std::move(h);
        f[at(worst)] = f_h;
        return;
    }
    std::cout << "Shrinking..." << '\n';
    for (int k = 1; k <= n; ++k) {
        const int v = simplex.order[at(k)];
        x[at(v)] = combine(x[at(best)], 0.5, x[at(v)]);
        f[at(v)] = objective(x[at(v)]);
    }
}

[[noreturn]] void reject_template(const char* message) {
    std::cout << message << '\n';
    end_process(5);
}

}  // namespace

std::vector<int> rank_force_field_vertices(const std::vector<double>& values) {
    std::vector<int> order(values.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return better(values[at(a)], values[at(b)]); });
    return order;
}

ForceFieldSimplex run_force_field_simplex(Calculation& calc, int n, bool fitting, const ForceFieldObjective& objective,
                                          const ForceFieldBest& best) {
    ForceFieldSimplex simplex;
    simplex.vertices.assign(at(n + 1), std::vector<double>(at(n), 1.0));
    simplex.values.assign(at(n + 1), 0.0);
    for (int v = 0; v <= n; ++v) {
        if (v >= 1) simplex.vertices[at(v)][at(v - 1)] = 1.0 + (2.0 * uniform_random(calc) - 1.0) * 0.5;
        simplex.values[at(v)] = objective(simplex.vertices[at(v)]);
    }
    simplex.order = rank_force_field_vertices(simplex.values);
    simplex.range = unranked_range;
    while (fitting) {
        simplex.order = rank_force_field_vertices(simplex.values);
        simplex.range = std::abs(simplex.values[at(simplex.order[at(n)])] - simplex.values[at(simplex.order[0])]);
        move_simplex(simplex, n, objective);
        print_best(best);
        // A range that is not a number (a vertex without a numeric value) is no convergence.
        if (simplex.range <= force_field_tolerance) break;
    }
    std::cout << "CONVERGED: stddev = " << simplex.range << '\n';
    return simplex;
}

void fit_force_field(Calculation& calc) {
    write_gulp_template(calc, fitted_default);
    print_separator_line();
    std::vector<double> defaults;
    {
        std::ifstream in(gulp_template_name, std::ios::binary);
        if (!in) {
            std::cout << "ERROR: FILE GULP TEMPLATE CANNOT BE OPENED!" << open_failure_note(gulp_template_name) << '\n';
            end_process(4);
        }
        defaults = read_gulp_template_defaults(in);
    }
    // The external force field (-useFF, also set by -guessFF) decides the template and the work: its
    // starting vertices are evaluated, and a -fitFF given with it does not turn that into a fit.
    const bool external = calc.flags.useFF || calc.flags.guessFF;
    const bool fitting = calc.flags.fitFF && !external;
    if (calc.flags.fitFF && external) {
        std::cout << "WARNING: -fitFF has no effect together with -useFF or -guessFF: the force field is evaluated, "
                     "not fitted."
                  << '\n';
    }
    if (defaults.size() > at(max_force_field_parameters))
        reject_template("ERROR: Check GULP template! More than 256 fitted parameters (&)");
    // The simplex needs a second-worst vertex to compare with.
    if (fitting && defaults.empty()) reject_template("ERROR: Check GULP template! No fitted parameters (&) to fit");
    const int n = static_cast<int>(defaults.size());

    std::cout << "\tDEFAULTS: ";
    for (const double value : defaults) std::cout << value << ' ';
    std::cout << '\n';
    ForceFieldBest best;
    best.parameters.assign(at(n), 1.0);
    print_separator_line();
    std::cout << "Starting Nelder-Mead" << '\n';

    const ForceFieldObjective objective = [&](std::span<const double> multipliers) {
        return calc.flags.gulpmd ? evaluate_force_field_md(calc, multipliers, best)
                                 : evaluate_force_field_mc(calc, multipliers, best);
    };
    const ForceFieldSimplex simplex = run_force_field_simplex(calc, n, fitting, objective, best);
    if (fitting) objective(simplex.vertices[at(simplex.order[0])]);
    print_separator_line();
}
