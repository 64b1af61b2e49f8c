#include "theory/member_terms.hpp"

#include <algorithm>
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

// The same for the lanes [lo, hi) only: each lane's number is the one add_product makes for it.
inline void add_product_lanes(double* to, const Quad& s, const Quad& w, int lo, int hi) {
    for (int lane = lo; lane < hi; ++lane) to[lane] += s[lane] * w[lane];
}

// Adds s * w and c * w to a member's own rows at the four points from at_point on (only the lanes
// [lo, hi) unless the group is whole).
__attribute__((always_inline)) inline void add_to_rows(double* sine, double* cosine, int at_point, const Quad& s,
                                                        const Quad& c, const Quad& w, bool whole, int lo, int hi) {
    if (whole) {
        add_product(sine + at_point, s, w);
        add_product(cosine + at_point, c, w);
    } else {
        add_product_lanes(sine + at_point, s, w, lo, hi);
        add_product_lanes(cosine + at_point, c, w, lo, hi);
    }
}

// Reads the four points of rows that the members share, from at_point on.
__attribute__((always_inline)) inline void load_shared_rows(const double* sine, const double* cosine, int at_point,
                                                            Quad& sine_row, Quad& cosine_row) {
    std::memcpy(&sine_row, sine + at_point, sizeof sine_row);
    std::memcpy(&cosine_row, cosine + at_point, sizeof cosine_row);
}

// Writes back the four points of rows that the members share (only the lanes [lo, hi) unless whole).
__attribute__((always_inline)) inline void store_shared_rows(double* sine, double* cosine, int at_point,
                                                             const Quad& sine_row, const Quad& cosine_row, bool whole,
                                                             int lo, int hi) {
    if (whole) {
        std::memcpy(sine + at_point, &sine_row, sizeof sine_row);
        std::memcpy(cosine + at_point, &cosine_row, sizeof cosine_row);
    } else {
        for (int lane = lo; lane < hi; ++lane) {
            sine[at_point + lane] = sine_row[lane];
            cosine[at_point + lane] = cosine_row[lane];
        }
    }
}

// Adds the terms of N members at the points [lo, hi) of a block of `count` points, sine[j][offset] and
// cosine[j][offset] being member j's rows at the block's first point, each member turning from `start` at
// that point by `step` from point to point. Four consecutive points are turned from the same pair (start
// times step^0 .. step^3, one per lane), so the dependent chain advances four points per product; the
// members' chains are independent, so they run side by side. Every lane does the products a
// point-by-point loop would do for its point, whichever points are written: groups of four before `lo`
// only turn on. At every point the members add in their order, so rows that two of them share get the
// additions of a member-by-member loop.
// With `shared` every member adds to the same rows: the rows are then read once and written once per
// four points, the members adding to them in their order in between (the same additions).
template <int N, bool shared>
__attribute__((always_inline)) inline void add_terms_of(double* const* sine, double* const* cosine, int offset,
                                                        int count, int lo, int hi, Turn* start, const Turn* step,
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
    for (; i + 4 <= count && i + 4 <= lo; i += 4) {
        for (int j = 0; j < N; ++j) start[j] = start[j] * step4[j];
    }
    for (; i + 4 <= count && i < hi; i += 4) {
        const bool whole = i >= lo && i + 4 <= hi;
        const int first_lane = std::max(lo - i, 0);
        const int end_lane = std::min(hi - i, 4);
        Quad sine_row{}, cosine_row{};
        if constexpr (shared) load_shared_rows(sine[0], cosine[0], offset + i, sine_row, cosine_row);
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
                add_to_rows(sine[j], cosine[j], offset + i, s, c, weights, whole, first_lane, end_lane);
            }
            start[j] = start[j] * step4[j];
        }
        if constexpr (shared)
            store_shared_rows(sine[0], cosine[0], offset + i, sine_row, cosine_row, whole, first_lane, end_lane);
    }
    for (; i < count && i < hi; ++i) {
        for (int j = 0; j < N; ++j) {
            if (i >= lo) {
                sine[j][offset + i] += start[j].s * weight[j];
                cosine[j][offset + i] += start[j].c * weight[j];
            }
            start[j] = start[j] * step[j];
        }
    }
}

// Four members made together, their turns kept side by side (one member per lane), so that the four
// dependent chains advance in one product instead of four. Every lane still does the products
// add_terms_of does for its point: a group's start is the previous group's times the member's step^4,
// each point is its group's start times step^0 .. step^3, and a block's start is the previous block's
// times the member's block step.

struct TurnLanes {
    Quad c, s;
};

// a = a * b lane by lane, as Turn's operator* makes each product.
__attribute__((always_inline)) inline void turn_lanes(TurnLanes& a, const TurnLanes& b) {
    const Quad c = a.c * b.c - a.s * b.s;
    const Quad s = a.c * b.s + a.s * b.c;
    a.c = c;
    a.s = s;
}

// What the four members' points are made from, made once for all blocks.
struct FourMembers {
    Quad power_c[4], power_s[4], weight[4];  // member j: step^0 .. step^3 and its weight, one per lane
    TurnLanes step, step4;                     // member j's step and step^4 in lane j
    Quad lane_weight;                          // member j's weight in lane j
};

__attribute__((always_inline)) inline void prepare_four(const Turn* step, const double* weight, FourMembers& four) {
    double step4_c[4], step4_s[4];
    for (int j = 0; j < 4; ++j) {
        const Turn step2 = step[j] * step[j];
        const Turn step3 = step2 * step[j];
        const Turn step4 = step2 * step2;
        step4_c[j] = step4.c;
        step4_s[j] = step4.s;
        const double cosines[4] = {1.0, step[j].c, step2.c, step3.c};
        const double sines[4] = {0.0, step[j].s, step2.s, step3.s};
        const double weights[4] = {weight[j], weight[j], weight[j], weight[j]};
        std::memcpy(&four.power_c[j], cosines, sizeof(Quad));
        std::memcpy(&four.power_s[j], sines, sizeof(Quad));
        std::memcpy(&four.weight[j], weights, sizeof(Quad));
    }
    std::memcpy(&four.step4.c, step4_c, sizeof(Quad));
    std::memcpy(&four.step4.s, step4_s, sizeof(Quad));
    for (int j = 0; j < 4; ++j) {
        four.step.c[j] = step[j].c;
        four.step.s[j] = step[j].s;
        four.lane_weight[j] = weight[j];
    }
}

// Member J's four points of one group, the lanes [lo, hi) of them written.
template <int J, bool shared>
__attribute__((always_inline)) inline void add_four(double* const* sine, double* const* cosine, int at_point,
                                                     const TurnLanes& group, const FourMembers& four, bool whole,
                                                     int lo, int hi, Quad& sine_row, Quad& cosine_row) {
    const Quad start_cos = __builtin_shufflevector(group.c, group.c, J, J, J, J);
    const Quad start_sin = __builtin_shufflevector(group.s, group.s, J, J, J, J);
    const Quad c = start_cos * four.power_c[J] - start_sin * four.power_s[J];
    const Quad s = start_cos * four.power_s[J] + start_sin * four.power_c[J];
    if constexpr (shared) {
        sine_row += s * four.weight[J];
        cosine_row += c * four.weight[J];
    } else {
        add_to_rows(sine[J], cosine[J], at_point, s, c, four.weight[J], whole, lo, hi);
    }
}

// Four terms side by side over the points [first_point, end_point), block by block as add_terms_of
// makes them: adder.group(at_point, turns, four, whole, lo, hi) for each group of four points (the lanes
// [lo, hi) of it written unless whole), adder.point(at_point, s, c) for each point after a block's last
// group (the terms' values in lanes). `block_start` holds each term's start at the first block.
template <class Adder>
__attribute__((always_inline)) inline void walk_four_terms(const Turn* step, const Turn* block_step,
                                                           const Turn* block_start, const double* weight,
                                                           int first_point, int end_point, Adder& adder) {
    FourMembers four{};
    prepare_four(step, weight, four);
    TurnLanes block_steps, block_starts;
    for (int j = 0; j < 4; ++j) {
        block_steps.c[j] = block_step[j].c;
        block_steps.s[j] = block_step[j].s;
        block_starts.c[j] = block_start[j].c;
        block_starts.s[j] = block_start[j].s;
    }
    const int first_block = term_block_of(first_point);
    const int end_block = term_block_of(end_point - 1) + 1;
    for (int block = first_block; block < end_block; ++block) {
        if (block > first_block) turn_lanes(block_starts, block_steps);
        const int offset = term_block_begin(block);
        const int count = term_block_end(block) - offset;
        const int lo = first_point - offset;
        const int hi = end_point - offset;
        TurnLanes turns = block_starts;
        int i = 0;
        for (; i + 4 <= count && i + 4 <= lo; i += 4) turn_lanes(turns, four.step4);
        while (i + 4 <= count && i < hi) {
            adder.group(offset + i, turns, four, i >= lo && i + 4 <= hi, std::max(lo - i, 0), std::min(hi - i, 4));
            turn_lanes(turns, four.step4);
            i += 4;
        }
        // The points after the last group of four, one by one.
        for (; i < count && i < hi; ++i) {
            if (i >= lo) adder.point(offset + i, turns.s * four.lane_weight, turns.c * four.lane_weight);
            turn_lanes(turns, four.step);
        }
    }
}

// Four members, each to its own rows (or all to the same rows, `shared`).
template <bool shared>
struct FourMembersAdder {
    double* const* sine;
    double* const* cosine;

    __attribute__((always_inline)) void group(int at_point, const TurnLanes& turns, const FourMembers& four, bool whole,
                                              int lo, int hi) const {
        Quad sine_row{}, cosine_row{};
        if constexpr (shared) load_shared_rows(sine[0], cosine[0], at_point, sine_row, cosine_row);
        add_four<0, shared>(sine, cosine, at_point, turns, four, whole, lo, hi, sine_row, cosine_row);
        add_four<1, shared>(sine, cosine, at_point, turns, four, whole, lo, hi, sine_row, cosine_row);
        add_four<2, shared>(sine, cosine, at_point, turns, four, whole, lo, hi, sine_row, cosine_row);
        add_four<3, shared>(sine, cosine, at_point, turns, four, whole, lo, hi, sine_row, cosine_row);
        if constexpr (shared) store_shared_rows(sine[0], cosine[0], at_point, sine_row, cosine_row, whole, lo, hi);
    }
    __attribute__((always_inline)) void point(int at_point, const Quad& s, const Quad& c) const {
        for (int j = 0; j < 4; ++j) {
            sine[j][at_point] += s[j];
            cosine[j][at_point] += c[j];
        }
    }
};

template <int N, bool shared, bool lanes = false>
__attribute__((always_inline)) inline void add_members_terms_of(const MemberTermsJob* jobs, int first_point,
                                                                int end_point) {
    double* sine[N];
    double* cosine[N];
    Turn step[N], block_step[N], block_start[N];
    double weight[N];
    const int first_block = term_block_of(first_point);
    const int end_block = term_block_of(end_point - 1) + 1;
    for (int j = 0; j < N; ++j) {
        sine[j] = jobs[j].sine;
        cosine[j] = jobs[j].cosine;
        step[j] = {jobs[j].turns.step_cos, jobs[j].turns.step_sin};
        block_step[j] = {jobs[j].turns.block_cos, jobs[j].turns.block_sin};
        weight[j] = jobs[j].weight;
        block_start[j] = Turn{};
        for (int block = 0; block < first_block; ++block) block_start[j] = block_start[j] * block_step[j];
    }
    if constexpr (N == 4 && lanes) {
        FourMembersAdder<shared> adder{sine, cosine};
        walk_four_terms(step, block_step, block_start, weight, first_point, end_point, adder);
        return;
    }
    for (int block = first_block; block < end_block; ++block) {
        Turn start[N];
        for (int j = 0; j < N; ++j) {
            if (block > first_block) block_start[j] = block_start[j] * block_step[j];
            start[j] = block_start[j];
        }
        const int begin = term_block_begin(block);
        add_terms_of<N, shared>(sine, cosine, begin, term_block_end(block) - begin, first_point - begin,
                                end_point - begin, start, step, weight);
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
// in the same order (no contraction into fused multiply-adds), so the numbers do not depend on it. The
// version is chosen by a resolver that the dynamic linker runs before the thread sanitizer's runtime has
// started; instrumented, it crashes that start, so a thread-sanitizer build has the default version only.
#if defined(__SANITIZE_THREAD__)
#define WIDE_VERSIONS
#else
#define WIDE_VERSIONS __attribute__((target_clones("avx2", "default")))
#endif
WIDE_VERSIONS void add_member_terms(double* sine, double* cosine, const MemberTurns& turns, double weight,
                                    int first_point, int end_point) {
    if (first_point >= end_point) return;
    const MemberTermsJob job{sine, cosine, turns, weight};
    add_members_terms_of<1, false>(&job, first_point, end_point);
}

namespace {

// The chains side by side where the processor has the wide vectors; without them the lanes would go
// through memory, and the members are made with their chains one by one.
template <bool lanes>
__attribute__((always_inline)) inline void members_terms(const MemberTermsJob* jobs, int count, int first_point,
                                                         int end_point) {
    for (; count >= 4; count -= 4, jobs += 4) {
        bool shared = true;
        for (int j = 1; j < 4; ++j) shared = shared && jobs[j].sine == jobs[0].sine && jobs[j].cosine == jobs[0].cosine;
        if (shared) {
            add_members_terms_of<4, true, lanes>(jobs, first_point, end_point);
        } else {
            add_members_terms_of<4, false, lanes>(jobs, first_point, end_point);
        }
    }
    if (count == 3) add_members_terms_of<3, false>(jobs, first_point, end_point);
    if (count == 2) add_members_terms_of<2, false>(jobs, first_point, end_point);
    if (count == 1) add_members_terms_of<1, false>(jobs, first_point, end_point);
}

__attribute__((target("avx2"))) void members_terms_wide(const MemberTermsJob* jobs, int count, int first_point,
                                                       int end_point) {
    members_terms<true>(jobs, count, first_point, end_point);
}

}  // namespace

void add_members_terms(const MemberTermsJob* jobs, int count, int first_point, int end_point) {
    if (first_point >= end_point) return;
    if (__builtin_cpu_supports("avx2")) {
        members_terms_wide(jobs, count, first_point, end_point);
    } else {
        members_terms<false>(jobs, count, first_point, end_point);
    }
}

namespace {

using Kind = PairedTermsBatch::Kind;

constexpr bool adds_first(Kind kind) { return kind != PairedTermsBatch::second_only; }
constexpr bool adds_second(Kind kind) { return kind != PairedTermsBatch::first_only; }

// The rows of two pairs of terms (terms 0, 1 and 2, 3), each child's rows by term.
struct PairedRows {
    double* first_sine[4];
    double* first_cosine[4];
    double* second_sine[4];
    double* second_cosine[4];
};

// One child's share of a point after the last group of four (the terms' values in lanes), in the
// child's order as in add_pair_group.
template <Kind A, Kind B, bool second>
__attribute__((always_inline)) inline void add_child_point(double* const* sine, double* const* cosine, int point,
                                                            const Quad& s, const Quad& c) {
    constexpr Kind kinds[2] = {A, B};
    for (int pair = 0; pair < 2; ++pair) {
        const Kind kind = kinds[pair];
        const int j = 2 * pair;
        if (!second) {
            if (!adds_first(kind)) continue;
            for (const int term : {j, j + 1}) {
                sine[term][point] += s[term];
                cosine[term][point] += c[term];
            }
        } else if (kind == PairedTermsBatch::swapped) {
            for (const int term : {j + 1, j}) {
                sine[term][point] -= s[term];
                cosine[term][point] -= c[term];
            }
        } else if (kind == PairedTermsBatch::second_only) {
            for (const int term : {j, j + 1}) {
                sine[term][point] += s[term];
                cosine[term][point] += c[term];
            }
        }
    }
}

// Term J's values at the four points of a group (its weight included), as add_four makes them.
template <int J>
__attribute__((always_inline)) inline void term_values(const TurnLanes& group, const FourMembers& four, Quad* value_s,
                                                        Quad* value_c) {
    const Quad start_cos = __builtin_shufflevector(group.c, group.c, J, J, J, J);
    const Quad start_sin = __builtin_shufflevector(group.s, group.s, J, J, J, J);
    const Quad c = start_cos * four.power_c[J] - start_sin * four.power_s[J];
    const Quad s = start_cos * four.power_s[J] + start_sin * four.power_c[J];
    value_s[J] = s * four.weight[J];
    value_c[J] = c * four.weight[J];
}

// One group of four points of a batch: where its values go (the children's shared rows, held in
// registers, or each term's own rows in memory).
struct PairedGroup {
    const PairedRows& rows;
    int at_point;
    bool whole;
    int lo, hi;
    Quad& first_sine;
    Quad& first_cosine;
    Quad& second_sine;
    Quad& second_cosine;
};

// Adds (or takes away) one term's values to a child's rows: the shared ones held in `sine_row` and
// `cosine_row`, or the term's own in memory.
template <bool shared>
__attribute__((always_inline)) inline void add_to_child(double* sine, double* cosine, const PairedGroup& group,
                                                         const Quad& value_s, const Quad& value_c, bool take_away,
                                                         Quad& sine_row, Quad& cosine_row) {
    Quad s_row = sine_row, c_row = cosine_row;
    if constexpr (!shared) load_shared_rows(sine, cosine, group.at_point, s_row, c_row);
    if (take_away) {
        s_row -= value_s;
        c_row -= value_c;
    } else {
        s_row += value_s;
        c_row += value_c;
    }
    if constexpr (shared) {
        sine_row = s_row;
        cosine_row = c_row;
    } else {
        store_shared_rows(sine, cosine, group.at_point, s_row, c_row, group.whole, group.lo, group.hi);
    }
}

// The two terms of pair P of one group, in each child's order: the first child adds the old term, then
// the new; the second child takes away the first's new term (its old one), then the first's old one, or
// adds its own old and new terms.
template <Kind K, int P, bool shared>
__attribute__((always_inline)) inline void add_pair_group(PairedGroup& group, const TurnLanes& turns,
                                                          const FourMembers& four) {
    constexpr int j = 2 * P;
    Quad value_s[4], value_c[4];
    term_values<j>(turns, four, value_s, value_c);
    term_values<j + 1>(turns, four, value_s, value_c);
    const PairedRows& rows = group.rows;
    if constexpr (adds_first(K)) {
        add_to_child<shared>(rows.first_sine[j], rows.first_cosine[j], group, value_s[j], value_c[j], false,
                             group.first_sine, group.first_cosine);
        add_to_child<shared>(rows.first_sine[j + 1], rows.first_cosine[j + 1], group, value_s[j + 1], value_c[j + 1],
                             false, group.first_sine, group.first_cosine);
    }
    if constexpr (K == PairedTermsBatch::swapped) {
        add_to_child<shared>(rows.second_sine[j + 1], rows.second_cosine[j + 1], group, value_s[j + 1], value_c[j + 1],
                             true, group.second_sine, group.second_cosine);
        add_to_child<shared>(rows.second_sine[j], rows.second_cosine[j], group, value_s[j], value_c[j], true,
                             group.second_sine, group.second_cosine);
    } else if constexpr (K == PairedTermsBatch::second_only) {
        add_to_child<shared>(rows.second_sine[j], rows.second_cosine[j], group, value_s[j], value_c[j], false,
                             group.second_sine, group.second_cosine);
        add_to_child<shared>(rows.second_sine[j + 1], rows.second_cosine[j + 1], group, value_s[j + 1], value_c[j + 1],
                             false, group.second_sine, group.second_cosine);
    }
}

// Two pairs of terms that go to two children's rows.
template <Kind A, Kind B, bool shared>
struct PairedAdder {
    const PairedRows& rows;

    __attribute__((always_inline)) void group(int at_point, const TurnLanes& turns, const FourMembers& four, bool whole,
                                              int lo, int hi) const {
        Quad first_sine{}, first_cosine{}, second_sine{}, second_cosine{};
        constexpr int first_row = adds_first(A) ? 0 : 2;
        constexpr int second_row = adds_second(A) ? 0 : 2;
        constexpr bool first_adds = adds_first(A) || adds_first(B);
        constexpr bool second_adds = adds_second(A) || adds_second(B);
        if constexpr (shared && first_adds)
            load_shared_rows(rows.first_sine[first_row], rows.first_cosine[first_row], at_point, first_sine, first_cosine);
        if constexpr (shared && second_adds)
            load_shared_rows(rows.second_sine[second_row], rows.second_cosine[second_row], at_point, second_sine,
                             second_cosine);
        PairedGroup group{rows, at_point, whole, lo, hi, first_sine, first_cosine, second_sine, second_cosine};
        add_pair_group<A, 0, shared>(group, turns, four);
        add_pair_group<B, 1, shared>(group, turns, four);
        if constexpr (shared && first_adds)
            store_shared_rows(rows.first_sine[first_row], rows.first_cosine[first_row], at_point, first_sine,
                              first_cosine, whole, lo, hi);
        if constexpr (shared && second_adds)
            store_shared_rows(rows.second_sine[second_row], rows.second_cosine[second_row], at_point, second_sine,
                              second_cosine, whole, lo, hi);
    }
    __attribute__((always_inline)) void point(int at_point, const Quad& s, const Quad& c) const {
        add_child_point<A, B, false>(rows.first_sine, rows.first_cosine, at_point, s, c);
        add_child_point<A, B, true>(rows.second_sine, rows.second_cosine, at_point, s, c);
    }
};

template <Kind A, Kind B, bool shared>
__attribute__((always_inline)) inline void add_paired_terms_of(const PairedRows& rows, const MemberTurns* turns,
                                                               const double* weights, int first_point, int end_point) {
    Turn step[4], block_step[4], block_start[4];
    const int first_block = term_block_of(first_point);
    for (int j = 0; j < 4; ++j) {
        step[j] = {turns[j].step_cos, turns[j].step_sin};
        block_step[j] = {turns[j].block_cos, turns[j].block_sin};
        block_start[j] = Turn{};
        for (int block = 0; block < first_block; ++block) block_start[j] = block_start[j] * block_step[j];
    }
    PairedAdder<A, B, shared> adder{rows};
    walk_four_terms(step, block_step, block_start, weights, first_point, end_point, adder);
}

template <Kind A, Kind B>
__attribute__((always_inline)) inline void add_paired_kinds(const PairedRows& rows, bool shared, const MemberTurns* turns,
                                                            const double* weights, int first_point, int end_point) {
    if (shared) {
        add_paired_terms_of<A, B, true>(rows, turns, weights, first_point, end_point);
    } else {
        add_paired_terms_of<A, B, false>(rows, turns, weights, first_point, end_point);
    }
}

// The kinds that follow one another: a member of one child only brings the first child's pair, then the
// second child's.
__attribute__((target("avx2"))) void paired_terms_wide(Kind a, Kind b, const PairedRows& rows, bool shared,
                                                       const MemberTurns* turns, const double* weights, int first_point,
                                                       int end_point) {
    constexpr Kind S = PairedTermsBatch::swapped, F = PairedTermsBatch::first_only, T = PairedTermsBatch::second_only;
    if (a == S && b == S) add_paired_kinds<S, S>(rows, shared, turns, weights, first_point, end_point);
    else if (a == S && b == F) add_paired_kinds<S, F>(rows, shared, turns, weights, first_point, end_point);
    else if (a == F && b == T) add_paired_kinds<F, T>(rows, shared, turns, weights, first_point, end_point);
    else if (a == T && b == S) add_paired_kinds<T, S>(rows, shared, turns, weights, first_point, end_point);
    else if (a == T && b == F) add_paired_kinds<T, F>(rows, shared, turns, weights, first_point, end_point);
    else if (a == S && b == T) add_paired_kinds<S, T>(rows, shared, turns, weights, first_point, end_point);
    else if (a == F && b == S) add_paired_kinds<F, S>(rows, shared, turns, weights, first_point, end_point);
    else if (a == F && b == F) add_paired_kinds<F, F>(rows, shared, turns, weights, first_point, end_point);
    else add_paired_kinds<T, T>(rows, shared, turns, weights, first_point, end_point);
}

}  // namespace

void PairedTermsBatch::add(const Pair& pair) {
    const std::size_t j = static_cast<std::size_t>(2 * pairs);
    kinds[static_cast<std::size_t>(pairs)] = pair.kind;
    turns[j] = pair.old_turns;
    weights[j] = pair.old_weight;
    turns[j + 1] = pair.new_turns;
    weights[j + 1] = pair.new_weight;
    first_rows[j] = pair.first_old;
    first_rows[j + 1] = pair.first_new;
    second_rows[j] = pair.second_a;
    second_rows[j + 1] = pair.second_b;
    if (++pairs == 2) flush();
}

void PairedTermsBatch::flush() {
    if (pairs == 0 || first_point >= end_point) {
        pairs = 0;
        return;
    }
    if (pairs == 2 && __builtin_cpu_supports("avx2")) {
        PairedRows rows{};
        // Each child's rows are shared when all its terms go to one row (one cluster, say).
        bool shared = true;
        const Rows* first = nullptr;
        const Rows* second = nullptr;
        for (std::size_t j = 0; j < 4; ++j) {
            rows.first_sine[j] = first_rows[j].sine;
            rows.first_cosine[j] = first_rows[j].cosine;
            rows.second_sine[j] = second_rows[j].sine;
            rows.second_cosine[j] = second_rows[j].cosine;
            const Kind kind = kinds[j / 2];
            if (adds_first(kind)) {
                if (first == nullptr) first = &first_rows[j];
                shared = shared && first_rows[j].sine == first->sine && first_rows[j].cosine == first->cosine;
            }
            if (adds_second(kind)) {
                if (second == nullptr) second = &second_rows[j];
                shared = shared && second_rows[j].sine == second->sine && second_rows[j].cosine == second->cosine;
            }
        }
        paired_terms_wide(kinds[0], kinds[1], rows, shared, turns.data(), weights.data(), first_point, end_point);
        pairs = 0;
        return;
    }
    // Each child's terms on their own, in its order; a term's value does not depend on what is made with it,
    // and a term the second child takes away is the one it would add with the opposite weight.
    std::array<MemberTermsJob, 4> first_jobs{}, second_jobs{};
    int first_count = 0, second_count = 0;
    for (std::size_t pair = 0; pair < static_cast<std::size_t>(pairs); ++pair) {
        const std::size_t j = 2 * pair;
        if (adds_first(kinds[pair])) {
            for (const std::size_t term : {j, j + 1})
                first_jobs[static_cast<std::size_t>(first_count++)] = {first_rows[term].sine, first_rows[term].cosine,
                                                                      turns[term], weights[term]};
        }
        if (kinds[pair] == swapped) {
            for (const std::size_t term : {j + 1, j})
                second_jobs[static_cast<std::size_t>(second_count++)] = {second_rows[term].sine, second_rows[term].cosine,
                                                                        turns[term], -weights[term]};
        } else if (kinds[pair] == second_only) {
            for (const std::size_t term : {j, j + 1})
                second_jobs[static_cast<std::size_t>(second_count++)] = {second_rows[term].sine, second_rows[term].cosine,
                                                                        turns[term], weights[term]};
        }
    }
    add_members_terms(first_jobs.data(), first_count, first_point, end_point);
    add_members_terms(second_jobs.data(), second_count, first_point, end_point);
    pairs = 0;
}
