#include "optimisation/population/moves.hpp"

#include "control/calculation.hpp"
#include "control/mt.hpp"
#include "control/threads.hpp"
#include "optimisation/population/energy_terms.hpp"
#include "optimisation/population/evaluation.hpp"
#include "optimisation/population/state.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/structure.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace {

std::size_t at(std::int64_t i) { return static_cast<std::size_t>(i); }

constexpr int max_halvings = 100;

struct Proposal {
    MovedAtoms moved;
    bool violated = false;
    double draw = 0.0;  // the acceptance draw, made only for a state within its constraints
};

// The running mean of a change after move n of the run; the first move (n = 0) starts it.
double running_mean(double mean, double change, long long n) {
    if (n <= 0) return change;
    return ((n - 1) * mean + change) / n;
}

// ln(A - t A / Froze_in) before Froze_in; a factor that is not positive (A <= 0) has no logarithm, and
// from Froze_in on no worse move is accepted.
double annealed_log_acceptance(double rate, int t, int froze_in) {
    if (t >= froze_in) return -1e100;
    const double factor = rate - t * rate / froze_in;
    return factor > 0 ? std::log(factor) : -1e100;
}

}  // namespace

void add_atom_displacement(State& state, const Atom& d, int j, int i) {
    Atom& record = state.atoms[at(state.atom_index[at(j)][at(i)])];
    record.x += d.x;
    record.y += d.y;
    record.z += d.z;
}

void move_atom_halfway_back(State& state, const Atom& b, int j, int i) {
    Atom& record = state.atoms[at(state.atom_index[at(j)][at(i)])];
    record.x = (record.x + b.x) * 0.5;
    record.y = (record.y + b.y) * 0.5;
    record.z = (record.z + b.z) * 0.5;
}

MovedAtoms propose_move(Calculation& calc, int i) {
    State& state = calc.current_states[at(i)];
    const State& backup = calc.backup_states[at(i)];
    const bool adjust_weights = calc.parameters.bools[BoolKey::adjust_weights];
    const double increment = calc.parameters.doubles[DoubleKey::Weight_increment];
    MovedAtoms moved(at(state.structure_count));
    double weight_sum = 0.0;
    for (int j = 0; j < state.structure_count; ++j) {
        const int atoms = calc.structures[at(j)].atom_count;
        std::vector<std::int32_t>& list = moved[at(j)];
        if (calc.move_all) {
            for (int a = 0; a < atoms; ++a) list.push_back(a);
        } else {
            list.push_back(std::min(atoms - 1, static_cast<int>(std::floor(atoms * uniform_random(calc)))));
        }
        for (const std::int32_t a : list) {
            const double ux = uniform_random(calc);
            const double uy = uniform_random(calc);
            const double uz = uniform_random(calc);
            add_atom_displacement(state, Atom{"", (2 * ux - 1) * calc.step_length, (2 * uy - 1) * calc.step_length,
                                              (2 * uz - 1) * calc.step_length},
                                  j, a);
        }
        // The state was within its constraints before the move (its backup says so), so only the
        // moved atoms can break one; otherwise every term is checked.
        const auto check = [&] {
            MovedAtoms so_far(moved.begin(), moved.begin() + j + 1);
            so_far.resize(moved.size());
            return backup.violated ? check_constraints(calc, state) : check_constraints_after_move(calc, state, so_far);
        };
        check();
        for (int halving = 0; halving < max_halvings && state.violated; ++halving) {
            for (const std::int32_t a : list) move_atom_halfway_back(state, get_structure_atom(backup, j, a), j, a);
            check();
        }
        if (adjust_weights) {
            double& weight = state.weights[at(j)];
            weight += (2 * uniform_random(calc) - 1) * increment;
            if (weight < 0) weight = 0;
            weight_sum += weight;
        }
    }
    if (adjust_weights && weight_sum > 0) {
        // Weights that sum to 0 (every one clipped) have no proportion to keep; they stay as they were.
        for (int j = 0; j < state.structure_count; ++j) state.weights[at(j)] /= weight_sum;
    } else if (adjust_weights) {
        for (int j = 0; j < state.structure_count; ++j) state.weights[at(j)] = backup.weights[at(j)];
    }
    return moved;
}

bool find_nearest_state(Calculation& calc, int i) {
    const int states = calc.parameters.ints[IntKey::Number_of_states];
    const State& own = calc.backup_states[at(i)];
    int nearest = -1;
    double least = 1e6;
    for (int j = 0; j < states; ++j) {
        if (j == i) continue;
        const State& other = calc.backup_states[at(j)];
        double sum = 0.0;
        for (int k = 0; k < own.atom_count; ++k) {
            const Atom& a = own.atoms[at(k)];
            const Atom& b = other.atoms[at(k)];
            const double dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
            sum += std::sqrt(dx * dx + dy * dy + dz * dz);
        }
        if (sum < least) {
            least = sum;
            nearest = j;
        }
    }
    if (nearest < 0) return false;
    return state_objective(calc, own) > state_objective(calc, calc.backup_states[at(nearest)]);
}

void run_metropolis_sweep(Calculation& calc) {
    const int states = calc.parameters.ints[IntKey::Number_of_states];
    const int spectra = calc.parameters.ints[IntKey::Number_of_spectra];
    const int t = calc.iteration;
    if (calc.parameters.bools[BoolKey::adjust_acceptance]) {
        calc.log_acceptance = annealed_log_acceptance(calc.parameters.doubles[DoubleKey::Acceptance_rate], t,
                                                      calc.parameters.ints[IntKey::Froze_in]);
    }
    for (State& state : calc.current_states) state.needs_evaluation = true;
    backup_all_states(calc);

    // The moves and their draws, in state order; a state that stays outside its constraints goes back
    // at once and draws no acceptance number.
    std::vector<Proposal> proposals(at(states));
    std::vector<int> moved_states;
    for (int i = 0; i < states; ++i) {
        Proposal& proposal = proposals[at(i)];
        proposal.moved = propose_move(calc, i);
        proposal.violated = calc.current_states[at(i)].violated;
        if (proposal.violated) {
            restore_state(calc, i);
            continue;
        }
        proposal.draw = uniform_random(calc);
        moved_states.push_back(i);
    }

    // The evaluations of the moved states, all at once, each to whichever thread is free: a move's cost
    // goes with the chains of the atom it moves.
    const int threads = std::max(1, std::min(calc.parameters.ints[IntKey::Number_of_threads],
                                             static_cast<int>(moved_states.size())));
    evaluation_work(calc, threads);
    share_out(threads, 0, static_cast<std::int32_t>(moved_states.size()),
              [&](std::int32_t n, std::int32_t slot) { evaluate_moved_state(calc, moved_states[at(n)], slot); });

    // The decisions and the running means, in state order.
    const bool hypermutation = calc.parameters.bools[BoolKey::hypermutation];
    const bool adjust_spectra_weights = calc.parameters.bools[BoolKey::adjust_spectra_weights];
    for (const int i : moved_states) {
        State& current = calc.current_states[at(i)];
        const State& backup = calc.backup_states[at(i)];
        weigh_state_residual(calc, current);
        const double old_objective = state_objective(calc, backup);
        const double new_objective = state_objective(calc, current);
        const double d_objective = new_objective - old_objective;
        const double d_energy = current.energy - backup.energy;
        const bool forced = hypermutation && find_nearest_state(calc, i);
        bool accepted = true;
        if (!(new_objective > old_objective && !forced)) {
            ++calc.accepted_without_test;
        } else if (proposals[at(i)].draw > std::exp(d_objective * calc.log_acceptance)) {
            accepted = false;
        } else {
            ++calc.accepted_by_test;
        }

        const long long n = static_cast<long long>(t - 1) * states + i;
        const double m = calc.objective_normaliser;
        // While m is 0 every objective is 1000 and dO is 0, so the mean of |dO| m would stay 0 for good
        // (every later move accepted unseen) if the first move of the run was not evaluated: it starts
        // from the residual change of the first move that is.
        calc.objective_normaliser = (m > 0 && n > 0) ? ((n - 1) + std::abs(d_objective)) * m / n
                                                     : std::abs(current.residual - backup.residual);
        calc.mean_energy_change = running_mean(calc.mean_energy_change, std::abs(d_energy), n);
        bool every_mean_positive = true;
        double inverse_sum = 0.0;
        for (int p = 0; p < spectra; ++p) {
            SpectrumContext& context = calc.spectra[at(p)];
            const double change = std::abs(current.spectra[at(p)].residual - backup.spectra[at(p)].residual);
            context.mean_residual_change = running_mean(context.mean_residual_change, change, n);
            if (!(context.mean_residual_change > 0)) every_mean_positive = false;
            else inverse_sum += 1.0 / context.mean_residual_change;
        }
        // The first move of the run only starts the means; a spectrum whose residual has not changed yet
        // has no inverse mean to weigh it with.
        if (adjust_spectra_weights && n > 0 && every_mean_positive) {
            for (int p = 0; p < spectra; ++p) {
                calc.spectrum_parameters[at(p)].doubles[SpectrumDoubleKey::Spectrum_weight] =
                    (1.0 / calc.spectra[at(p)].mean_residual_change) / inverse_sum;
            }
        }
        if (!accepted) {
            restore_state(calc, i);
            undo_moved_state(calc, i);
        }
    }
    find_best_state(calc);
}

double acceptance_rate(const Calculation& calc) {
    const double moves = static_cast<double>(calc.parameters.ints[IntKey::time1]) * calc.parameters.ints[IntKey::Number_of_states];
    return moves > 0 ? (calc.accepted_without_test + calc.accepted_by_test) / moves : 0.0;
}

void adapt_step(Calculation& calc) {
    if (calc.iteration > 0 && calc.parameters.bools[BoolKey::adjust_step]) {
        if (acceptance_rate(calc) >= 0.1) {
            calc.step_length = std::min(calc.step_length * 1.1, calc.parameters.doubles[DoubleKey::Maximal_step_length]);
        } else {
            calc.step_length /= 1.1;
        }
    }
    calc.accepted_without_test = 0;
    calc.accepted_by_test = 0;
}
