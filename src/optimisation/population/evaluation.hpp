#pragma once

#include "theory/incremental_sums.hpp"
#include "theory/pathfinder.hpp"

#include <vector>

struct Calculation;
struct State;

// Working memory of the state evaluations, kept in the calculation from one evaluation to the next:
// per thread a scratch for the sums and the marks of an update, and per state and edge what the last
// evaluation of that state changed in the edge's tables (so that a rejected move can be undone).
struct EvaluationWork {
    std::vector<SumsScratch> scratch;
    std::vector<UpdateMarks> marks;
    std::vector<std::vector<SumsUndo>> undo;  // [state][edge]
    std::vector<SumsUndo> pass_undo;          // per thread, for updates no one takes back
    std::vector<std::vector<Vec3>> displacements;  // per state, of the edge a pass is on
    std::vector<TouchedMembers> touched;            // per state, what its update goes through
};

// Everything the optimisation compares, for one current state (or all, state = -1) and one absorber
// edge (or all, edge = -1): with update_basis the members are re-clustered over the states of the
// range; with compute_exafs the states' cluster sums and energies are made; with run_feff FEFF gives
// the new cluster representatives their signals; with compute_chi the states' model chi is made for
// every spectrum; with compute_residual their residuals. Evaluating all states also finds the best.
//
// All states at once make every state's tables and the cluster statistics: tables that hold the state's
// geometry already are kept (only members whose cluster changed move), the others are rebuilt. One
// state alone (a move) brings only that state's tables up to date, through the chains of the atoms it
// moved; the cluster statistics stay those of the last evaluation of all states.
void evaluate_states(Calculation& calc, bool run_feff, bool update_basis, bool compute_exafs, bool compute_chi,
                     bool compute_residual, int state, int edge);

// The evaluation of one moved current state (compute_exafs, compute_chi and the residual of each
// spectrum) on the calling thread with the given thread slot's scratch; the states' weighted residual
// is left to the caller. Different states may be evaluated at the same time.
void evaluate_moved_state(Calculation& calc, int state, int slot);
// The state's tables on every edge are kept aside while its slot holds another state (a child), for
// the state that takes the slot afterwards, or another slot holding the same state.
void set_aside_state_tables(Calculation& calc, int state);
// Every current state whose slot's tables do not hold it takes a copy of tables that do, of another
// slot or set aside; the tables set aside are then dropped.
void adopt_matching_tables(Calculation& calc);
// Takes back what the last evaluate_moved_state of the state changed in the edges' tables.
void undo_moved_state(Calculation& calc, int state);
// residual := sum over spectra of the state's residual for the spectrum times its Spectrum_weight.
void weigh_state_residual(Calculation& calc, State& state);
// The evaluation memory sized for the calculation's states, edges and `threads` thread slots.
EvaluationWork& evaluation_work(Calculation& calc, int threads);

// (Energy_weight * energy + residual) / m with m the objective normaliser (residual / m when the energy
// weight is not positive); 1000 while m is not positive.
double state_objective(const Calculation& calc, const State& state);
// The current state of lowest objective (the lower index on ties), stored as the best-state index.
// When no state has an objective below 1e100 the previous best index stays.
int find_best_state(Calculation& calc);
// Sum over the atom records of the spread of their displacements over the population.
double compute_population_diversity(const Calculation& calc);
