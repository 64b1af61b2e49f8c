#include "control/calculation.hpp"

void reset_run_counters(Calculation& calc) {
    const bool has_extra_argument = calc.flags.has_extra_argument;
    calc.flags = RunFlags{};
    calc.flags.has_extra_argument = has_extra_argument;

    calc.iteration = 0;
    calc.best_state_index = 0;
    calc.accepted_by_test = 0;
    calc.accepted_without_test = 0;
    calc.stalled_periods = 0;
    calc.objective_normaliser = 0.0;
    calc.mean_energy_change = 0.0;
    calc.period_objective_sum = 0.0;
    calc.selection_spread = 0.0;
    calc.selection_worst = -1000000.0;
    calc.previous_period_objective_sum = 1000000.0;
}
