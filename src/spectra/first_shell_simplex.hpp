#pragma once

#include <array>
#include <functional>

struct Calculation;

// The four parameters of the first-shell model, each scaled so that a step of 1 is a large change.
using SimplexVertex = std::array<double, 4>;
constexpr int simplex_vertex_count = 5;
constexpr double simplex_tolerance = 1e-6;
// A simplex that keeps moving without closing in (a flat or noisy objective) stops here.
constexpr int first_shell_iteration_limit = 100000;

struct SimplexResult {
    SimplexVertex best{};     // the best vertex of the last ranking
    double best_value = 0.0;  // its objective value; not finite when no vertex had a finite value
    int iterations = 0;
    bool stopped_at_limit = false;
};

// Vertex numbers from best to worst: lower values first, a value that is not a number after every
// number, ties in vertex order, so the result is always a permutation of the vertices.
std::array<int, simplex_vertex_count> rank_simplex_vertices(const std::array<double, simplex_vertex_count>& values);

// Nelder-Mead minimisation from the first-shell start: vertex 0 at the origin, vertex i (1..4) with
// parameter i-1 at (2u - 1) / 2, the four uniform draws made in vertex order before any evaluation.
// Stops when the spread between the worst and the best value is at most simplex_tolerance, at once when
// no starting vertex has a finite value, and after iteration_limit iterations with a warning.
SimplexResult run_first_shell_simplex(Calculation& calc, const std::function<double(const SimplexVertex&)>& objective,
                                      int iteration_limit = first_shell_iteration_limit);
