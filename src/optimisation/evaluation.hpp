#pragma once

struct Calculation;
struct State;

// Everything the optimisation compares, for one current state (or all, state = -1) and one absorber
// edge (or all, edge = -1): with update_basis the members are re-clustered over the states of the
// range; with compute_exafs the states' cluster sums and energies are made; with run_feff FEFF gives
// the new cluster representatives their signals; with compute_chi the states' model chi is made for
// every spectrum; with compute_residual their residuals. Evaluating all states also finds the best.
void evaluate_states(Calculation& calc, bool run_feff, bool update_basis, bool compute_exafs, bool compute_chi,
                     bool compute_residual, int state, int edge);

// (Energy_weight * energy + residual) / m with m the objective normaliser (residual / m when the energy
// weight is not positive); 1000 while m is not positive.
double state_objective(const Calculation& calc, const State& state);
// The current state of lowest objective (the lower index on ties), stored as the best-state index.
// When no state has an objective below 1e100 the previous best index stays.
int find_best_state(Calculation& calc);
// Sum over the atom records of the spread of their displacements over the population.
double compute_population_diversity(const Calculation& calc);
