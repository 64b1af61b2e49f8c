#pragma once

#include <functional>
#include <span>
#include <vector>

struct Calculation;
struct ForceFieldBest;

// The objective of a vertex: the residual of the force field with these multipliers.
using ForceFieldObjective = std::function<double(std::span<const double>)>;

inline constexpr double force_field_tolerance = 1e-6;
inline constexpr int max_force_field_parameters = 256;

struct ForceFieldSimplex {
    std::vector<std::vector<double>> vertices;  // n + 1 vectors of n multipliers
    std::vector<double> values;
    std::vector<int> order;  // best to worst at the last ranking
    double range = 0.0;      // |worst - best| at the last ranking
};

// Vertex numbers from best to worst: lower values first, a value that is not a number after every
// number, ties in vertex order.
std::vector<int> rank_force_field_vertices(const std::vector<double>& values);

// Nelder-Mead over n multipliers. Vertex 0 is all 1.0 (the template's defaults); vertex v >= 1 has
// multiplier v-1 drawn in [0.5, 1.5), each draw made just before its vertex is evaluated. Without
// `fitting` only the starting vertices are evaluated and the range is 1e6; otherwise the simplex moves
// until the range of a ranking is at most force_field_tolerance, printing the `best` record after every
// pass. Ends with the "CONVERGED" line.
ForceFieldSimplex run_force_field_simplex(Calculation& calc, int n, bool fitting, const ForceFieldObjective& objective,
                                          const ForceFieldBest& best);

// Stage 13 of -fitFF (fitting) and of -useFF / -guessFF (the starting vertices only, also when -fitFF
// is given with them, which a warning says): writes the GULP template, reads its fitted parameters and
// runs the simplex on the force-field evaluation (molecular dynamics with -gulpmd, Monte Carlo
// otherwise). A fit evaluates its best vertex once more at the end, so that the run's spectrum files
// hold it. Ends the process with exit code 5 when a fit's template has no fitted parameter, or any
// template more than max_force_field_parameters.
void fit_force_field(Calculation& calc);
