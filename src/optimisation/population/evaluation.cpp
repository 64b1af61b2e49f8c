#include "optimisation/population/evaluation.hpp"

#include "control/calculation.hpp"
#include "optimisation/population/energy_terms.hpp"
#include "optimisation/population/state.hpp"
#include "optimisation/population/state_exafs.hpp"
#include "spectra/residuals.hpp"
#include "spectra/spectrum_context.hpp"
#include "theory/absorber_edge.hpp"
#include "theory/cluster_feff.hpp"
#include "theory/cluster_sums.hpp"
#include "theory/clustering.hpp"
#include "theory/incremental_sums.hpp"
#include "theory/path_update.hpp"
#include "theory/pathfinder.hpp"
#include "theory/shared_refresh.hpp"
#include "control/threads.hpp"
#include "structure/structure.hpp"

#include <algorithm>
#include <functional>
#include <memory>
#include <cstddef>

namespace {

std::size_t at(std::int64_t i) { return static_cast<std::size_t>(i); }

int structure_index(const Calculation& calc, const AbsorberEdge& edge) {
    return static_cast<int>(edge.structure - calc.structures.data());
}

// Runs work(i, slot) for i = first .. end - 1 on the run's threads, each item to whichever comes free.
void share_out(const Calculation& calc, int first, int end, const std::function<void(int, int)>& work) {
    ::share_out(std::max(1, calc.parameters.ints[IntKey::Number_of_threads]), first, end, work);
}

// Runs work(s, slot) for every state of the range, the states shared out between the worker threads
// whole: the work of one state touches only that state's own records and tables.
void for_each_state(Calculation& calc, int first, int end, const std::function<void(int, int)>& work) {
    share_out(calc, first, end, work);
}

// Whether two updates list the same members of the same paths in the same order.
bool same_members(const TouchedMembers& a, const TouchedMembers& b) {
    if (a.paths != b.paths) return false;
    for (const std::int32_t p : a.paths) {
        if (a.of_path[at(p)] != b.of_path[at(p)]) return false;
    }
    return true;
}

int thread_count(const Calculation& calc) { return std::max(1, calc.parameters.ints[IntKey::Number_of_threads]); }

// The states' cluster statistics folded into the clusters in state order, so nothing depends on the
// thread count; `displacements` holds every state's.
void fold_statistics_of_states(Pathfinder& finder, int first, int end,
                               const std::vector<std::vector<Vec3>>& displacements) {
    for (int s = first; s < end; ++s) {
        fold_cluster_statistics(finder, s, [&](int p, int member, PathGeometry& geometry) {
            const Path& path = finder.paths[at(p)];
            member_geometry_at(finder, path.members[at(member)], path.nleg, displacements[at(s)], geometry);
        });
    }
}

// Brings the tables of the given states (which hold them) up to date with the clusters, the members of
// all of them placed together (see plan_shared_refresh); the work goes to the threads in chunks of
// members, then in states' paths.
void refresh_sums_of_states(Calculation& calc, Pathfinder& finder, std::vector<int> states, double expansion_accuracy) {
    if (states.empty()) return;
    EvaluationWork& work = *calc.evaluation_work;
    // The plan and the placing scratch live for this refresh only: kept, they would hold the heap's top
    // above whatever the set-up frees.
    SharedRefresh plan;
    std::vector<PlacingScratch> placing(at(thread_count(calc)));
    plan_shared_refresh(finder, std::move(states), expansion_accuracy, plan);
    share_out(calc, 0, static_cast<int>(plan.chunks.size()), [&](int chunk, int slot) {
        place_members_of_chunk(finder, plan, at(chunk), placing[at(slot)]);
    });
    // A path of a few states at once, whose statistics are then made side by side.
    const int paths = static_cast<int>(finder.paths.size());
    const std::size_t group = max_states_of_statistics;
    const int groups = static_cast<int>((plan.states.size() + group - 1) / group);
    share_out(calc, 0, groups * paths, [&](int j, int slot) {
        const std::size_t first = at(j / paths) * group;
        finish_path_refresh(finder, plan, first, std::min(plan.states.size(), first + group), j % paths,
                            expansion_accuracy, work.scratch[at(slot)]);
    });
}

// The sums passes of states first .. end-1 for one edge: tables kept, updated or made from scratch, on
// the threads; their statistics are folded into the clusters in state order afterwards.
void cluster_sums_of_states(Calculation& calc, AbsorberEdge& edge, int first, int end) {
    Pathfinder& finder = edge.pathfinder;
    const double expansion_accuracy = calc.parameters.doubles[DoubleKey::Expansion_accuracy];
    if (calc.flags.oneD) {
        // The path lengths, not the atoms, are the model: the tree holds them.
        for (int s = first; s < end; ++s) {
            launch_cluster_chi_threads(finder, s, expansion_accuracy, true);
            forget_state_tables(finder, s);
        }
        return;
    }
    EvaluationWork& work = evaluation_work(calc, thread_count(calc));
    const std::vector<std::int32_t>& atom_index = calc.current_states[0].atom_index[at(structure_index(calc, edge))];
    if (work.displacements.size() < at(end)) work.displacements.resize(at(end));
    if (work.touched.size() < at(end)) work.touched.resize(at(end));
    // How each state's tables are brought to it: kept (only what changed in the clusters since), updated
    // from tables that differ in a few atoms, or made from scratch.
    enum Route : char { kept, updated, rebuilt };
    std::vector<Route> route(at(end), kept);
    for_each_state(calc, first, end, [&](int s, int slot) {
        SumsScratch& scratch = work.scratch[at(slot)];
        std::vector<Vec3>& displacements = work.displacements[at(s)];
        structure_displacements(calc.current_states[at(s)].atoms, atom_index, displacements);
        // Tables that hold the state already need only what changed in the clusters since (below).
        if (state_tables_hold(finder, s, displacements)) return;
        if (state_tables_near(finder, s, displacements)) {
            // Tables of a state that differs in a few atoms (a crossed child's parent's) are updated; the
            // paths of all such states are shared out below.
            SumsUndo& undo = work.pass_undo[at(slot)];
            const bool update = begin_state_update(finder, s, displacements, expansion_accuracy, scratch,
                                                   work.marks[at(slot)], undo, work.touched[at(s)]);
            undo.clear();
            if (update) route[at(s)] = updated;
            return;
        }
        route[at(s)] = rebuilt;
    });
    // The two children of a crossed pair, each updated from its own parent's tables, change the same
    // atoms the other way round: they are updated together, the chains they both have as the other had
    // them made once for both.
    std::vector<int> partner(at(end), -1);
    std::vector<std::vector<char>> swapped_atoms(at(end));
    for (int s = first; s + 1 < end; s += 2) {
        if (route[at(s)] != updated || route[at(s + 1)] != updated) continue;
        if (!same_members(work.touched[at(s)], work.touched[at(s + 1)])) continue;
        partner[at(s)] = s + 1;
        partner[at(s + 1)] = s;
        const std::vector<Vec3>& first_new = work.displacements[at(s)];
        const std::vector<Vec3>& second_new = work.displacements[at(s + 1)];
        const std::vector<Vec3>& first_made = finder.state_tables[at(s)].displacements;
        const std::vector<Vec3>& second_made = finder.state_tables[at(s + 1)].displacements;
        std::vector<char>& swapped = swapped_atoms[at(s)];
        swapped.assign(first_new.size(), 0);
        for (std::size_t a = 0; a < first_new.size(); ++a)
            swapped[a] = same_displacement(first_new[a], second_made[a]) && same_displacement(first_made[a], second_new[a]);
    }
    // A few updated or rebuilt states would keep as many threads busy: their paths go to whichever thread
    // is free, the largest first. Each path of a state has rows of its own, made in one order on one
    // thread.
    struct PathWork {
        int state = 0;
        std::int32_t path = 0;
        std::size_t members = 0;
    };
    std::vector<PathWork> paths;
    for (int s = first; s < end; ++s) {
        if (route[at(s)] == updated) {
            if (partner[at(s)] >= 0 && partner[at(s)] < s) continue;  // made with its partner's
            for (const std::int32_t p : work.touched[at(s)].paths)
                paths.push_back({s, p, work.touched[at(s)].of_path[at(p)].size() * (partner[at(s)] >= 0 ? 2 : 1)});
        } else if (route[at(s)] == rebuilt) {
            for (std::size_t p = 0; p < finder.paths.size(); ++p)
                paths.push_back({s, static_cast<std::int32_t>(p), finder.paths[p].members.size()});
        }
    }
    if (!paths.empty()) {
        std::stable_sort(paths.begin(), paths.end(),
                         [](const PathWork& a, const PathWork& b) { return a.members > b.members; });
        share_out(calc, 0, static_cast<int>(paths.size()), [&](int j, int slot) {
            const PathWork& path = paths[at(j)];
            const std::vector<Vec3>& displacements = work.displacements[at(path.state)];
            if (route[at(path.state)] == updated) {
                const std::vector<std::int32_t>& members = work.touched[at(path.state)].of_path[at(path.path)];
                const int second = partner[at(path.state)];
                if (second >= 0) {
                    update_paired_path_sums(finder, path.path, path.state, second, members, displacements,
                                            work.displacements[at(second)], swapped_atoms[at(path.state)],
                                            expansion_accuracy, work.scratch[at(slot)]);
                } else {
                    update_path_sums(finder, path.path, path.state, members, displacements, expansion_accuracy,
                                     work.scratch[at(slot)], nullptr);
                }
            } else {
                accumulate_cluster_sums_taylor(finder, walked_chain_source(finder, displacements),
                                               finder.paths[at(path.path)], path.state, expansion_accuracy,
                                               work.scratch[at(slot)]);
            }
        });
        for_each_state(calc, first, end, [&](int s, int slot) {
            if (route[at(s)] == updated) {
                finish_state_update(finder, s, work.displacements[at(s)], expansion_accuracy, work.scratch[at(slot)],
                                    work.touched[at(s)]);
            } else if (route[at(s)] == rebuilt) {
                record_sums_displacements(finder, s, work.displacements[at(s)]);
            }
        });
    }
    // Every state not rebuilt now has tables that hold it: they follow the clusters, all together.
    std::vector<int> refreshed;
    for (int s = first; s < end; ++s) {
        if (route[at(s)] != rebuilt) refreshed.push_back(s);
    }
    refresh_sums_of_states(calc, finder, std::move(refreshed), expansion_accuracy);
    fold_statistics_of_states(finder, first, end, work.displacements);
}

// The re-clustering pass of one edge over states first .. end-1: every member of every state to the
// cluster whose previous centroid is nearest, then the new centroids.
void recluster_states(Calculation& calc, AbsorberEdge& edge, int first, int end) {
    Pathfinder& finder = edge.pathfinder;
    for (Path& path : finder.paths) {
        if (path.check) snapshot_clusters(path);
    }
    if (calc.flags.oneD) {
        for (int s = first; s < end; ++s) launch_cluster_assign_threads(finder);
    } else {
        std::vector<std::vector<Vec3>> displacements(at(end - first));
        std::vector<char> tables_hold(at(end - first), 0);
        for (int s = first; s < end; ++s) {
            const State& state = calc.current_states[at(s)];
            structure_displacements(state.atoms, state.atom_index[at(structure_index(calc, edge))],
                                    displacements[at(s - first)]);
            tables_hold[at(s - first)] = state_tables_hold(finder, s, displacements[at(s - first)]);
        }
        assign_members_of_states(finder, displacements, first, tables_hold);
    }
    launch_cluster_update_threads(finder);
}

}  // namespace

EvaluationWork& evaluation_work(Calculation& calc, int threads) {
    if (!calc.evaluation_work) calc.evaluation_work = std::make_unique<EvaluationWork>();
    EvaluationWork& work = *calc.evaluation_work;
    if (static_cast<int>(work.scratch.size()) < threads) {
        work.scratch.resize(at(threads));
        work.marks.resize(at(threads));
        work.pass_undo.resize(at(threads));
    }
    // The tables every evaluation of a state reads are made here, on the calling thread.
    for (int e = 0; e < calc.absorber_edge_count; ++e) {
        Pathfinder& finder = calc.edges[at(e)].pathfinder;
        prepare_atom_members(finder);
        if (finder.state_tables.size() < calc.current_states.size()) finder.state_tables.resize(calc.current_states.size());
    }
    for (int p = 0; p < calc.parameters.ints[IntKey::Number_of_spectra]; ++p) {
        if (calc.spectra[at(p)].parameters != nullptr && calc.spectra[at(p)].exp_chi.n > 0)
            prepare_transform_tables(calc.spectra[at(p)]);
    }
    const std::size_t states = calc.current_states.size();
    if (work.undo.size() != states) work.undo.assign(states, {});
    for (std::vector<SumsUndo>& edges : work.undo) {
        if (edges.size() != at(calc.absorber_edge_count)) edges.assign(at(calc.absorber_edge_count), {});
    }
    return work;
}

void weigh_state_residual(Calculation& calc, State& state) {
    state.residual = 0.0;
    const int spectra = calc.parameters.ints[IntKey::Number_of_spectra];
    for (int p = 0; p < spectra; ++p) {
        state.residual += state.spectra[at(p)].residual *
                          calc.spectrum_parameters[at(p)].doubles[SpectrumDoubleKey::Spectrum_weight];
    }
}

void evaluate_moved_state(Calculation& calc, int state_index, int slot) {
    EvaluationWork& work = *calc.evaluation_work;
    State& state = calc.current_states[at(state_index)];
    const double expansion_accuracy = calc.parameters.doubles[DoubleKey::Expansion_accuracy];
    SumsScratch& scratch = work.scratch[at(slot)];
    for (int e = 0; e < calc.absorber_edge_count; ++e) {
        AbsorberEdge& edge = calc.edges[at(e)];
        structure_displacements(state.atoms, state.atom_index[at(structure_index(calc, edge))], scratch.displacements);
        update_state_sums(edge.pathfinder, state_index, scratch.displacements, expansion_accuracy, scratch,
                          work.marks[at(slot)], work.undo[at(state_index)][at(e)]);
        state_energy(calc, state);
    }
    const int spectra = calc.parameters.ints[IntKey::Number_of_spectra];
    for (int p = 0; p < spectra; ++p) compute_state_exafs(calc, calc.spectra[at(p)], state_index, false, nullptr);
    if (!state.needs_evaluation) return;
    for (int p = 0; p < spectra; ++p) state_exafs_error(calc.spectra[at(p)], state_index);
}

void undo_moved_state(Calculation& calc, int state) {
    if (!calc.evaluation_work) return;
    EvaluationWork& work = *calc.evaluation_work;
    for (int e = 0; e < calc.absorber_edge_count; ++e) {
        SumsUndo& undo = work.undo[at(state)][at(e)];
        undo_state_sums(calc.edges[at(e)].pathfinder, state, undo);
        undo.clear();
    }
}

void set_aside_state_tables(Calculation& calc, int state) {
    if (calc.flags.oneD) return;
    for (int e = 0; e < calc.absorber_edge_count; ++e) set_aside_state_tables(calc.edges[at(e)].pathfinder, state);
}

void adopt_matching_tables(Calculation& calc) {
    if (calc.flags.oneD) return;
    const int states = calc.parameters.ints[IntKey::Number_of_states];
    std::vector<std::vector<Vec3>> displacements(at(states));
    for (int e = 0; e < calc.absorber_edge_count; ++e) {
        AbsorberEdge& edge = calc.edges[at(e)];
        const std::size_t structure = at(structure_index(calc, edge));
        for (int s = 0; s < states; ++s) {
            const State& state = calc.current_states[at(s)];
            structure_displacements(state.atoms, state.atom_index[structure], displacements[at(s)]);
        }
        adopt_matching_tables(edge.pathfinder, states,
                              [&displacements](int s) { return std::span<const Vec3>(displacements[at(s)]); });
    }
}

void evaluate_states(Calculation& calc, bool run_feff, bool update_basis, bool compute_exafs, bool compute_chi,
                     bool compute_residual, int state, int edge) {
    // A move: only the moved state's own tables change, through the chains of the atoms it moved.
    if (state >= 0 && edge < 0 && !run_feff && !update_basis && compute_exafs && compute_chi && !calc.flags.oneD) {
        calc.current_states[at(state)].needs_evaluation = true;
        evaluation_work(calc, 1);
        evaluate_moved_state(calc, state, 0);
        if (compute_residual) weigh_state_residual(calc, calc.current_states[at(state)]);
        return;
    }
    const int state_count = calc.parameters.ints[IntKey::Number_of_states];
    const int first_state = state < 0 ? 0 : state;
    const int end_state = state < 0 ? state_count : state + 1;
    if (state >= 0) calc.current_states[at(state)].needs_evaluation = true;
    const int first_edge = edge < 0 ? 0 : edge;
    const int end_edge = edge < 0 ? calc.absorber_edge_count : edge + 1;
    const bool one_dimensional = calc.flags.oneD;

    for (int e = first_edge; e < end_edge; ++e) {
        AbsorberEdge& absorber_edge = calc.edges[at(e)];
        Pathfinder& finder = absorber_edge.pathfinder;
        if (update_basis) recluster_states(calc, absorber_edge, first_state, end_state);
        if (compute_exafs) {
            for (Path& path : finder.paths) {
                if (path.check) reset_cluster_counts(path);
            }
            cluster_sums_of_states(calc, absorber_edge, first_state, end_state);
            for_each_state(calc, first_state, end_state,
                           [&calc](int s, int) { state_energy(calc, calc.current_states[at(s)]); });
        }
        if (run_feff) write_cluster_paths_and_run_feff(absorber_edge, one_dimensional);
    }

    const int spectra = calc.parameters.ints[IntKey::Number_of_spectra];
    if (compute_chi || compute_residual) evaluation_work(calc, 1);  // the transform tables, built here
    for_each_state(calc, first_state, end_state, [&calc, spectra, compute_chi, compute_residual](int s, int) {
        if (compute_chi) {
            for (int p = 0; p < spectra; ++p) compute_state_exafs(calc, calc.spectra[at(p)], s, false, nullptr);
        }
        State& current = calc.current_states[at(s)];
        if (!compute_residual || !current.needs_evaluation) return;
        for (int p = 0; p < spectra; ++p) state_exafs_error(calc.spectra[at(p)], s);
        weigh_state_residual(calc, current);
    });
    if (state < 0) find_best_state(calc);
}

double state_objective(const Calculation& calc, const State& state) {
    const double m = calc.objective_normaliser;
    if (!(m > 0)) return 1000.0;
    const double energy_weight = calc.parameters.doubles[DoubleKey::Energy_weight];
    if (energy_weight > 0) return (energy_weight * state.energy + state.residual) / m;
    return state.residual / m;
}

int find_best_state(Calculation& calc) {
    int best = -1;
    double lowest = 1e100;
    const int states = calc.parameters.ints[IntKey::Number_of_states];
    for (int i = 0; i < states; ++i) {
        const double objective = state_objective(calc, calc.current_states[at(i)]);
        if (objective < lowest) {
            lowest = objective;
            best = i;
        }
    }
    if (best >= 0) calc.best_state_index = best;
    return best;
}

double compute_population_diversity(const Calculation& calc) {
    const int states = calc.parameters.ints[IntKey::Number_of_states];
    if (states <= 0) return 0.0;
    const State& first = calc.current_states[0];
    double diversity = 0.0;
    for (int k = 0; k < first.atom_count; ++k) {
        double sx = 0.0, sy = 0.0, sz = 0.0, squares = 0.0;
        for (int i = 0; i < states; ++i) {
            const Atom& d = calc.current_states[at(i)].atoms[at(k)];
            sx += d.x;
            sy += d.y;
            sz += d.z;
            squares += d.x * d.x + d.y * d.y + d.z * d.z;
        }
        const double n = states;
        diversity += squares / n - (sx * sx + sy * sy + sz * sz) / (n * n);
    }
    return diversity;
}
