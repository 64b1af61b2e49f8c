#include "optimisation/population/evolution.hpp"

#include "control/calculation.hpp"
#include "control/mt.hpp"
#include "control/threads.hpp"
#include "optimisation/population/energy_terms.hpp"
#include "optimisation/population/evaluation.hpp"
#include "optimisation/population/state.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace {

std::size_t at(std::int64_t i) { return static_cast<std::size_t>(i); }

int state_count(const Calculation& calc) { return calc.parameters.ints[IntKey::Number_of_states]; }

// The weights of a child divided by their sum; a sum of 0 leaves them as they are.
void normalise_weights(State& state) {
    double sum = 0.0;
    for (int j = 0; j < state.structure_count; ++j) sum += state.weights[at(j)];
    if (!(sum > 0) || !std::isfinite(sum)) return;
    for (int j = 0; j < state.structure_count; ++j) state.weights[at(j)] /= sum;
}

// Evaluates the crossed children (their residuals and energies are still their parents') so that the
// competition compares what they are: each is put in its current slot, evaluated there and copied back.
// The current slots are free: every pair has been crossed, and the survivors are copied over them.
void evaluate_crossed_children(Calculation& calc) {
    const int pairs = state_count(calc) / 2;
    std::vector<int> crossed;
    for (int slot = 0; slot < 2 * pairs; ++slot) {
        if (!calc.offspring_states[at(slot)].needs_evaluation) continue;
        // The slot's tables may serve a state that survives the competition.
        set_aside_state_tables(calc, slot);
        copy_state(calc.offspring_states[at(slot)], calc.current_states[at(slot)]);
        crossed.push_back(slot);
    }
    if (crossed.empty()) return;
    if (calc.flags.oneD) {
        // The path lengths, which all states share, make the signal, not the crossed atoms: each child is
        // evaluated on them the plain way.
        for (const int slot : crossed) evaluate_states(calc, false, false, true, true, true, slot, -1);
    } else {
        const int threads = std::max(1, std::min(calc.parameters.ints[IntKey::Number_of_threads], static_cast<int>(crossed.size())));
        evaluation_work(calc, threads);
        share_out(threads, 0, static_cast<std::int32_t>(crossed.size()),
                  [&](std::int32_t n, std::int32_t slot) { evaluate_moved_state(calc, crossed[at(n)], slot); });
    }
    for (const int slot : crossed) {
        State& child = calc.current_states[at(slot)];
        weigh_state_residual(calc, child);
        copy_state(child, calc.offspring_states[at(slot)]);
    }
}

}  // namespace

void select_parents_roulette(Calculation& calc) {
    const int n = state_count(calc);
    std::vector<double> objective(at(n));
    double worst = -1e6;
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        objective[at(i)] = state_objective(calc, calc.current_states[at(i)]);
        sum += objective[at(i)];
        if (objective[at(i)] > worst) worst = objective[at(i)];
    }
    const double denominator = n * worst - sum;
    // Equal objectives (every state at 1000 before the first move, say) leave no share to weigh: every
    // state then gets the same share rather than 0/0.
    const bool shares = denominator != 0.0 && std::isfinite(denominator);
    std::vector<double> cumulative(at(n) + 1, 0.0);
    for (int i = 0; i + 1 < n; ++i) {
        cumulative[at(i) + 1] =
            cumulative[at(i)] + (shares ? (worst - objective[at(i)]) / denominator : 1.0 / n);
    }
    cumulative[at(n)] = 1.0;
    for (State& state : calc.current_states) state.needs_evaluation = false;
    const auto pick = [&](double u) {
        for (int i = 0; i < n; ++i) {
            if (u <= cumulative[at(i) + 1]) return i;
        }
        return n - 1;
    };
    for (int p = 0; p < n / 2; ++p) {
        const int a = pick(uniform_random(calc));
        const int b = pick(uniform_random(calc));
        uniform_random(calc);  // the third draw of a pair is part of the stream but not used
        copy_state(calc.current_states[at(a)], calc.offspring_states[at(2 * p)]);
        copy_state(calc.current_states[at(b)], calc.offspring_states[at(2 * p + 1)]);
        crossover_states(calc, p, a, b);
    }
    compete_parents_children(calc);
}

void select_parents_tournament(Calculation& calc) {
    const int n = state_count(calc);
    const auto choose = [&] {
        const int first = std::min(n - 1, static_cast<int>(std::floor(n * uniform_random(calc))));
        const int second = std::min(n - 1, static_cast<int>(std::floor(n * uniform_random(calc))));
        return state_objective(calc, calc.current_states[at(first)]) > state_objective(calc, calc.current_states[at(second)])
                   ? second
                   : first;
    };
    for (int p = 0; p < n / 2; ++p) {
        const int a = choose();
        copy_state(calc.current_states[at(a)], calc.offspring_states[at(2 * p)]);
        const int b = choose();
        copy_state(calc.current_states[at(b)], calc.offspring_states[at(2 * p + 1)]);
        crossover_states(calc, p, a, b);
    }
    compete_parents_children(calc);
}

void crossover_states(Calculation& calc, int p, int a, int b) {
    const double decision = uniform_random(calc);
    State& first = calc.offspring_states[at(2 * p)];
    State& second = calc.offspring_states[at(2 * p + 1)];
    copy_state(first, calc.backup_states[at(2 * p)]);
    copy_state(second, calc.backup_states[at(2 * p + 1)]);
    const bool adjust_weights = calc.parameters.bools[BoolKey::adjust_weights];
    if (decision > 0.5 && a != b) {
        first.needs_evaluation = true;
        second.needs_evaluation = true;
        const State& parent_a = calc.current_states[at(a)];
        const State& parent_b = calc.current_states[at(b)];
        for (int k = 0; k < first.atom_count; ++k) {
            if (uniform_random(calc) > 0.5) {
                first.atoms[at(k)] = parent_b.atoms[at(k)];
                second.atoms[at(k)] = parent_a.atoms[at(k)];
            }
        }
        if (adjust_weights) {
            for (int j = 0; j < first.structure_count; ++j) {
                if (uniform_random(calc) > 0.5) {
                    first.weights[at(j)] = parent_b.weights[at(j)];
                    second.weights[at(j)] = parent_a.weights[at(j)];
                }
            }
        }
    }
    if (adjust_weights) {
        normalise_weights(first);
        normalise_weights(second);
    }
}

void compete_parents_children(Calculation& calc) {
    const int n = state_count(calc);
    if (n < 2) {
        evaluate_states(calc, false, false, true, true, true, -1, -1);
        return;
    }
    const bool competition = calc.parameters.bools[BoolKey::parent_children_competion];
    if (competition) evaluate_crossed_children(calc);
    for (int p = 0; p < n / 2; ++p) {
        State& first_child = calc.offspring_states[at(2 * p)];
        State& second_child = calc.offspring_states[at(2 * p + 1)];
        // In a competition the children's objectives count: an evaluated child already knows its
        // constraints (checked with its energy), and a child equal to its parent keeps the parent's
        // energy through the check, which would otherwise set it to 0.
        for (State* child : {&first_child, &second_child}) {
            if (competition && child->needs_evaluation) continue;
            const double energy = child->energy;
            check_constraints(calc, *child);
            if (competition) child->energy = energy;
        }
        if (competition) {
            State* candidates[4] = {&calc.backup_states[at(2 * p)], &calc.backup_states[at(2 * p + 1)], &first_child,
                                    &second_child};
            const auto best_of = [&](int excluded) {
                int best = -1;
                double lowest = 1e6;
                for (int c = 0; c < 4; ++c) {
                    if (c == excluded || candidates[c]->violated) continue;
                    const double objective = state_objective(calc, *candidates[c]);
                    if (objective < lowest) {
                        lowest = objective;
                        best = c;
                    }
                }
                return best;
            };
            // Without a survivor (all violated, or no objective below 1e6) the parents stay.
            const int first = best_of(-1);
            const int second = first < 0 ? -1 : best_of(first);
            copy_state(*candidates[first < 0 ? 0 : first], calc.current_states[at(2 * p)]);
            copy_state(*candidates[second < 0 ? (first == 1 ? 0 : 1) : second], calc.current_states[at(2 * p + 1)]);
        } else {
            copy_state(first_child.violated ? calc.backup_states[at(2 * p)] : first_child, calc.current_states[at(2 * p)]);
            copy_state(second_child.violated ? calc.backup_states[at(2 * p + 1)] : second_child,
                       calc.current_states[at(2 * p + 1)]);
        }
    }
    // A survivor keeps the tables that hold it (a child equal to its parent, its parent's), wherever its
    // slot had been.
    adopt_matching_tables(calc);
    evaluate_states(calc, false, false, true, true, true, -1, -1);
}
