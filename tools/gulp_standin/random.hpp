#pragma once

#include <cstdint>

namespace gulp_standin {

// xoshiro256** seeded through splitmix64: the same seed gives the same numbers on every platform, which
// the standard library's distributions do not promise.
struct RandomState {
    std::uint64_t s[4]{};
    bool has_spare = false;
    double spare = 0.0;
};

RandomState seeded_random(std::uint64_t seed);
// Uniform in [0, 1).
double uniform(RandomState& random);
// Standard normal (Box-Muller, two at a time).
double normal(RandomState& random);
// Chi-squared with k degrees of freedom.
double chi_squared(RandomState& random, long long k);

}  // namespace gulp_standin
