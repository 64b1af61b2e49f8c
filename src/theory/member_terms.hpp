#pragma once

#include <array>
#include <cstddef>

// The terms sin(0.1 i R) / R^2 and cos(0.1 i R) / R^2 that a member of half length R adds to its
// cluster's sums at the points i = 0 .. 400 of the path grid (2k = 0.1 i).
//
// They are made in fixed blocks of points, so that any range of blocks can be made alone and every
// point's value is the same whichever blocks are made with it. Within a block the sine and cosine of
// 0.1 i R follow by turning the previous pair through 0.1 R; block b starts from the turn through 5 R
// raised to the power b, so no rounding is carried over more than a few dozen steps.
constexpr int term_block_points = 50;
constexpr int term_block_count = 8;  // the last block runs to the end of the grid, point 400

inline int term_block_begin(int block) { return block * term_block_points; }
int term_block_end(int block);
// The block that holds point i.
inline int term_block_of(int i) { return i / term_block_points < term_block_count ? i / term_block_points : term_block_count - 1; }

// The two turns of one member: through 0.1 R (point to point) and through 5 R (block to block).
struct MemberTurns {
    double step_cos = 1.0, step_sin = 0.0;
    double block_cos = 1.0, block_sin = 0.0;
};
MemberTurns member_turns(double R);

// Adds weight times the member's terms at the points first_point .. end_point - 1, point by point in order,
// to sine[i] and cosine[i]. The blocks that hold them are made from their first points, and only the
// points asked for are written, each the number a pass over the whole grid gives it.
void add_member_terms(double* sine, double* cosine, const MemberTurns& turns, double weight, int first_point,
                      int end_point);

// One member's share of add_members_terms: its rows (indexed as for add_member_terms), turns and weight.
struct MemberTermsJob {
    double* sine = nullptr;
    double* cosine = nullptr;
    MemberTurns turns;
    double weight = 0.0;
};
// add_member_terms for each job in turn, the same numbers, made for several members side by side.
void add_members_terms(const MemberTermsJob* jobs, int count, int first_point, int end_point);

// Members' terms on the points [first_point, end_point) that wait to be made four side by side, in the
// order they were added (the numbers of a member-by-member loop). Whoever adds must flush at the end.
struct MemberTermsBatch {
    int first_point = 0;
    int end_point = 0;
    std::array<MemberTermsJob, 4> jobs{};
    int waiting = 0;

    void add(double* sine, double* cosine, const MemberTurns& turns, double weight) {
        jobs[static_cast<std::size_t>(waiting++)] = {sine, cosine, turns, weight};
        if (waiting == 4) flush();
    }
    void flush() {
        add_members_terms(jobs.data(), waiting, first_point, end_point);
        waiting = 0;
    }
};

// The terms of two states' updates made together where the two share them: the children of a crossed
// pair, each updated from its own parent's tables by the same atoms. A member chain whose atoms the
// children swapped has the first child's old and new terms as the second child's new and old ones: each
// such term is made once and goes into both children's rows, into each in that child's own order (the old
// term out, then the new one in), so each child's rows get the additions of its own update. Members that
// only one child has as they are come in as a pair of terms of that child's.
struct PairedTermsBatch {
    enum Kind : char { swapped, first_only, second_only };
    struct Rows {
        double* sine = nullptr;
        double* cosine = nullptr;
    };
    int first_point = 0;
    int end_point = 0;
    // Up to two pairs of terms (an old and a new one each), in the order the members come.
    std::array<Kind, 2> kinds{};
    std::array<MemberTurns, 4> turns{};
    std::array<double, 4> weights{};  // the weight the first child adds with (or, second_only, the second)
    std::array<Rows, 4> first_rows{};   // where the first child adds term j
    std::array<Rows, 4> second_rows{};  // where the second child adds term j
    int pairs = 0;

    // A member that both children have, its old term in the first child's `old_rows` (the second's
    // `second_new_rows`) and its new one in `new_rows` (the second's `second_old_rows`).
    void add_swapped(Rows old_rows, Rows new_rows, Rows second_old_rows, Rows second_new_rows, const MemberTurns& old_turns,
                     double old_weight, const MemberTurns& new_turns, double new_weight) {
        add({swapped, old_rows, new_rows, second_new_rows, second_old_rows, old_turns, old_weight, new_turns, new_weight});
    }
    // A member of one child only (`second` says which): its old and new terms with their own weights.
    void add_one(bool second, Rows old_rows, Rows new_rows, const MemberTurns& old_turns, double old_weight,
                 const MemberTurns& new_turns, double new_weight) {
        if (second) {
            add({second_only, {}, {}, old_rows, new_rows, old_turns, old_weight, new_turns, new_weight});
        } else {
            add({first_only, old_rows, new_rows, {}, {}, old_turns, old_weight, new_turns, new_weight});
        }
    }
    void flush();

private:
    struct Pair {
        Kind kind;
        Rows first_old, first_new, second_a, second_b;  // second_a/b: the second child's rows of terms 0/1
        MemberTurns old_turns;
        double old_weight;
        MemberTurns new_turns;
        double new_weight;
    };
    void add(const Pair& pair);
};
