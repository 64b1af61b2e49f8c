#include "theory/member_terms.hpp"

#include <cmath>
#include <cstring>

namespace {

constexpr int last_point = 400;

struct Turn {
    double c = 1.0;
    double s = 0.0;
};

inline Turn operator*(const Turn& a, const Turn& b) { return {a.c * b.c - a.s * b.s, a.c * b.s + a.s * b.c}; }

// Four consecutive points of one member, one per lane.
using Quad = double __attribute__((vector_size(4 * sizeof(double))));

// Adds s * w to the four values from `to` on (the values need not be aligned). Vectors are passed by
// reference so that no function returns one: that would tie the calling convention to the instruction set.
inline void add_product(double* to, const Quad& s, const Quad& w) {
    Quad value;
    std::memcpy(&value, to, sizeof value);
    value += s * w;
    std::memcpy(to, &value, sizeof value);
}

// Adds the terms of `count` points from sine[0] and cosine[0] on, starting from the turn `start` at the
// first point and turning by `step` from point to point. Four consecutive points are turned from the
// same pair (start times step^0 .. step^3, one per lane), so the dependent chain advances four points per
// product; each lane does the products a point-by-point loop would do for its point.
__attribute__((always_inline)) inline void add_terms(double* sine, double* cosine, int count, Turn start,
                                                     const Turn& step, double weight) {
    const Turn step2 = step * step;
    const Turn step3 = step2 * step;
    const Turn step4 = step2 * step2;
    const Quad power_cos{1.0, step.c, step2.c, step3.c};
    const Quad power_sin{0.0, step.s, step2.s, step3.s};
    const Quad w{weight, weight, weight, weight};
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        const Quad start_cos{start.c, start.c, start.c, start.c};
        const Quad start_sin{start.s, start.s, start.s, start.s};
        const Quad c = start_cos * power_cos - start_sin * power_sin;
        const Quad s = start_cos * power_sin + start_sin * power_cos;
        add_product(sine + i, s, w);
        add_product(cosine + i, c, w);
        start = start * step4;
    }
    for (; i < count; ++i) {
        sine[i] += start.s * weight;
        cosine[i] += start.c * weight;
        start = start * step;
    }
}

// The same for N members at once, each member's numbers made by exactly the operations add_terms makes
// for it; the members' dependent chains are independent, so they run side by side. At every point the
// members add in their order, so rows that two of them share get the additions of a member-by-member
// loop.
// With `shared` every member adds to the same rows: the rows are then read once and written once per
// four points, the members adding to them in their order in between (the same additions).
template <int N, bool shared>
__attribute__((always_inline)) inline void add_terms_of(double* const* sine, double* const* cosine, int offset,
                                                        int count, Turn* start, const Turn* step,
                                                        const double* weight) {
    // The lanes' powers of the step and the weights, kept as plain numbers (arrays of vectors draw false
    // warnings of values used before they are set) and read into vectors where they are used.
    double power_cos[N][4], power_sin[N][4], w[N][4];
    Turn step4[N];
    for (int j = 0; j < N; ++j) {
        const Turn step2 = step[j] * step[j];
        const Turn step3 = step2 * step[j];
        step4[j] = step2 * step2;
        const double cosines[4] = {1.0, step[j].c, step2.c, step3.c};
        const double sines[4] = {0.0, step[j].s, step2.s, step3.s};
        for (int lane = 0; lane < 4; ++lane) {
            power_cos[j][lane] = cosines[lane];
            power_sin[j][lane] = sines[lane];
            w[j][lane] = weight[j];
        }
    }
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        Quad sine_row{}, cosine_row{};
        if constexpr (shared) {
            std::memcpy(&sine_row, sine[0] + offset + i, sizeof sine_row);
            std::memcpy(&cosine_row, cosine[0] + offset + i, sizeof cosine_row);
        }
        for (int j = 0; j < N; ++j) {
            Quad power_c, power_s, weights;
            std::memcpy(&power_c, power_cos[j], sizeof power_c);
            std::memcpy(&power_s, power_sin[j], sizeof power_s);
            std::memcpy(&weights, w[j], sizeof weights);
            const Quad start_cos{start[j].c, start[j].c, start[j].c, start[j].c};
            const Quad start_sin{start[j].s, start[j].s, start[j].s, start[j].s};
            const Quad c = start_cos * power_c - start_sin * power_s;
            const Quad s = start_cos * power_s + start_sin * power_c;
            if constexpr (shared) {
                sine_row += s * weights;
                cosine_row += c * weights;
            } else {
                add_product(sine[j] + offset + i, s, weights);
                add_product(cosine[j] + offset + i, c, weights);
            }
            start[j] = start[j] * step4[j];
        }
        if constexpr (shared) {
            std::memcpy(sine[0] + offset + i, &sine_row, sizeof sine_row);
            std::memcpy(cosine[0] + offset + i, &cosine_row, sizeof cosine_row);
        }
    }
    for (; i < count; ++i) {
        for (int j = 0; j < N; ++j) {
            sine[j][offset + i] += start[j].s * weight[j];
            cosine[j][offset + i] += start[j].c * weight[j];
            start[j] = start[j] * step[j];
        }
    }
}

template <int N, bool shared>
__attribute__((always_inline)) inline void add_members_terms_of(const MemberTermsJob* jobs, int first_block,
                                                                int end_block) {
    double* sine[N];
    double* cosine[N];
    Turn step[N], block_step[N], block_start[N];
    double weight[N];
    for (int j = 0; j < N; ++j) {
        sine[j] = jobs[j].sine;
        cosine[j] = jobs[j].cosine;
        step[j] = {jobs[j].turns.step_cos, jobs[j].turns.step_sin};
        block_step[j] = {jobs[j].turns.block_cos, jobs[j].turns.block_sin};
        weight[j] = jobs[j].weight;
        block_start[j] = Turn{};
        for (int block = 0; block < first_block; ++block) block_start[j] = block_start[j] * block_step[j];
    }
    const int base = term_block_begin(first_block);
    for (int block = first_block; block < end_block; ++block) {
        Turn start[N];
        for (int j = 0; j < N; ++j) {
            if (block > first_block) block_start[j] = block_start[j] * block_step[j];
            start[j] = block_start[j];
        }
        add_terms_of<N, shared>(sine, cosine, term_block_begin(block) - base, term_block_end(block) - term_block_begin(block),
                        start, step, weight);
    }
}

}  // namespace

int term_block_end(int block) { return block + 1 == term_block_count ? last_point + 1 : (block + 1) * term_block_points; }

MemberTurns member_turns(double R) {
    // The turn through a whole block comes from the functions too, not from powers of the single step, so
    // that no block start inherits fifty products of rounding.
    constexpr double block_turn = 0.1 * term_block_points;
    return {std::cos(0.1 * R), std::sin(0.1 * R), std::cos(block_turn * R), std::sin(block_turn * R)};
}

// Made for the processors' wider vectors where they have them; every version does the same operations
// in the same order (no contraction into fused multiply-adds), so the numbers do not depend on it.
__attribute__((target_clones("avx2", "default"))) void add_member_terms(double* sine, double* cosine,
                                                                         const MemberTurns& turns, double weight,
                                                                         int first_block, int end_block) {
    const Turn step{turns.step_cos, turns.step_sin};
    const Turn block_step{turns.block_cos, turns.block_sin};
    Turn start;
    for (int block = 0; block < first_block; ++block) start = start * block_step;
    const int base = term_block_begin(first_block);
    for (int block = first_block; block < end_block; ++block) {
        if (block > first_block) start = start * block_step;
        const int first = term_block_begin(block) - base;
        add_terms(sine + first, cosine + first, term_block_end(block) - term_block_begin(block), start, step, weight);
    }
}

__attribute__((target_clones("avx2", "default"))) void add_members_terms(const MemberTermsJob* jobs, int count,
                                                                          int first_block, int end_block) {
    for (; count >= 4; count -= 4, jobs += 4) {
        bool shared = true;
        for (int j = 1; j < 4; ++j) shared = shared && jobs[j].sine == jobs[0].sine && jobs[j].cosine == jobs[0].cosine;
        if (shared) {
            add_members_terms_of<4, true>(jobs, first_block, end_block);
        } else {
            add_members_terms_of<4, false>(jobs, first_block, end_block);
        }
    }
    if (count == 3) add_members_terms_of<3, false>(jobs, first_block, end_block);
    if (count == 2) add_members_terms_of<2, false>(jobs, first_block, end_block);
    if (count == 1) add_members_terms_of<1, false>(jobs, first_block, end_block);
}
