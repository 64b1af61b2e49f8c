#include "control/calculation.hpp"
#include "spectra/first_shell_simplex.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();
constexpr SimplexVertex centre{0.3, -0.2, 0.1, 0.25};

double squared_distance_to_centre(const SimplexVertex& p) {
    double sum = 0.0;
    for (std::size_t j = 0; j < p.size(); ++j) sum += (p[j] - centre[j]) * (p[j] - centre[j]);
    return sum;
}

}  // namespace

TEST(FirstShellSimplex, RankingIsAPermutationWithTiesInVertexOrderAndNonNumbersLast) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(rank_simplex_vertices({1.0, 1.0, not_a_number, 0.0, inf}), (std::array<int, 5>{3, 0, 1, 4, 2}));
    const double n = not_a_number;
    EXPECT_EQ(rank_simplex_vertices({n, n, n, n, n}), (std::array<int, 5>{0, 1, 2, 3, 4}));
    EXPECT_EQ(rank_simplex_vertices({2.0, 2.0, 2.0, 2.0, 2.0}), (std::array<int, 5>{0, 1, 2, 3, 4}));
}

TEST(FirstShellSimplex, DrawsFourNumbersInVertexOrderBeforeTheFirstEvaluation) {
    auto calc = std::make_unique<Calculation>();
    MersenneTwister expected = calc->random;
    std::vector<SimplexVertex> evaluated;
    const SimplexResult result = run_first_shell_simplex(*calc, [&](const SimplexVertex& p) {
        evaluated.push_back(p);
        return squared_distance_to_centre(p);
    });
    ASSERT_GE(evaluated.size(), 5u);
    EXPECT_EQ(evaluated[0], (SimplexVertex{0, 0, 0, 0}));
    for (std::size_t i = 1; i < 5; ++i) {
        SimplexVertex vertex{0, 0, 0, 0};
        vertex[i - 1] = (2.0 * expected.genrand_real2() - 1.0) * 0.5;
        EXPECT_EQ(evaluated[i], vertex) << "vertex " << i;
    }
    EXPECT_EQ(calc->random.genrand_int32(), expected.genrand_int32()) << "no draw beyond the four of the start";
    EXPECT_FALSE(result.stopped_at_limit);
    EXPECT_LT(result.best_value, 1e-5);
}

// Half of the parameter space gives no number (a model that breaks down): those vertices rank last and
// the simplex still walks to the minimum next to the border instead of stopping at once.
TEST(FirstShellSimplex, VerticesWithoutANumberRankWorstAndTheSimplexGoesOn) {
    auto calc = std::make_unique<Calculation>();
    const SimplexResult result = run_first_shell_simplex(*calc, [](const SimplexVertex& p) {
        return p[0] > 0.32 || p[1] < -0.25 ? not_a_number : squared_distance_to_centre(p);
    });
    for (std::size_t j = 0; j < centre.size(); ++j) EXPECT_NEAR(result.best[j], centre[j], 2e-3) << j;
    EXPECT_GT(result.iterations, 20);
}

TEST(FirstShellSimplex, ASimplexThatNeverClosesInStopsAtTheIterationLimitWithAWarning) {
    EXPECT_EQ(first_shell_iteration_limit, 100000);
    auto calc = std::make_unique<Calculation>();
    int evaluations = 0;
    CaptureStdout capture;
    // Every other evaluation is far off, so the values never settle.
    const SimplexResult result = run_first_shell_simplex(
        *calc, [&](const SimplexVertex& p) { return ++evaluations % 2 ? 10.0 : squared_distance_to_centre(p); }, 50);
    EXPECT_TRUE(result.stopped_at_limit);
    EXPECT_EQ(result.iterations, 50);
    EXPECT_TRUE(std::isfinite(result.best_value));
    EXPECT_EQ(capture.text(),
              "WARNING: the first-shell simplex did not converge in 50 iterations; the best vertex found is kept\n");
}
