#include "random.hpp"

#include <cmath>
#include <numbers>

namespace gulp_standin {
namespace {

std::uint64_t rotate_left(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

std::uint64_t next(RandomState& r) {
    std::uint64_t* s = r.s;
    const std::uint64_t result = rotate_left(s[1] * 5, 7) * 9;
    const std::uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotate_left(s[3], 45);
    return result;
}

// Gamma(shape >= 1, scale 1) by Marsaglia and Tsang's squeeze method.
double gamma_draw(RandomState& r, double shape) {
    const double d = shape - 1.0 / 3.0;
    const double c = 1.0 / std::sqrt(9.0 * d);
    for (;;) {
        double x = 0.0, v = 0.0;
        do {
            x = normal(r);
            v = 1.0 + c * x;
        } while (v <= 0.0);
        v = v * v * v;
        const double u = uniform(r);
        if (u < 1.0 - 0.0331 * x * x * x * x) return d * v;
        if (u > 0.0 && std::log(u) < 0.5 * x * x + d * (1.0 - v + std::log(v))) return d * v;
    }
}

}  // namespace

RandomState seeded_random(std::uint64_t seed) {
    RandomState r;
    for (std::uint64_t& word : r.s) {
        seed += 0x9e3779b97f4a7c15ULL;
        std::uint64_t z = seed;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        word = z ^ (z >> 31);
    }
    return r;
}

double uniform(RandomState& r) { return static_cast<double>(next(r) >> 11) * 0x1.0p-53; }

double normal(RandomState& r) {
    if (r.has_spare) {
        r.has_spare = false;
        return r.spare;
    }
    const double u1 = 1.0 - uniform(r);  // in (0, 1], so the logarithm is finite
    const double u2 = uniform(r);
    const double radius = std::sqrt(-2.0 * std::log(u1));
    r.spare = radius * std::sin(2.0 * std::numbers::pi * u2);
    r.has_spare = true;
    return radius * std::cos(2.0 * std::numbers::pi * u2);
}

double chi_squared(RandomState& r, long long k) {
    if (k <= 0) return 0.0;
    if (k == 1) {
        const double x = normal(r);
        return x * x;
    }
    return 2.0 * gamma_draw(r, 0.5 * static_cast<double>(k));
}

}  // namespace gulp_standin
