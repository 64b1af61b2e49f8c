#include "optimisation/run/main_loop.hpp"

#include "control/calculation.hpp"
#include "control/console_log.hpp"
#include "control/output_file.hpp"
#include "optimisation/output/chi_output.hpp"
#include "optimisation/output/diagnostics.hpp"
#include "optimisation/population/evaluation.hpp"
#include "optimisation/population/evolution.hpp"
#include "optimisation/population/moves.hpp"
#include "optimisation/population/one_dimensional.hpp"
#include "optimisation/output/restart_file.hpp"
#include "optimisation/population/state.hpp"
#include "optimisation/population/state_exafs.hpp"
#include "optimisation/output/xyz_output.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/structure.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <iomanip>
#include <iostream>
#include <ostream>
#include <sstream>
#include <string>

namespace {

std::size_t at(std::int64_t i) { return static_cast<std::size_t>(i); }

const std::string& history_file_name(const Calculation& calc) {
    return calc.parameters.strings[StringKey::File_for_residuals];
}

// A period of 0 or less never comes round.
bool period_reached(int iteration, int period) { return period > 0 && iteration % period == 0; }

bool file_potential(const Calculation& calc) {
    return calc.parameters.ints[IntKey::Number_of_structures] > 0 &&
           calc.structure_parameters[0].strings[StructureStringKey::Potential_type] == "file";
}

// The best state's residual in the four fit spaces k, q, R and W; the state and the spectra keep their
// own residuals and spaces.
std::array<double, 4> residuals_in_every_space(Calculation& calc, int best) {
    State& state = calc.current_states[at(best)];
    const int spectra = calc.parameters.ints[IntKey::Number_of_spectra];
    const double residual = state.residual;
    std::array<std::int32_t, 10> codes{};
    std::array<double, 10> own{};
    for (int p = 0; p < spectra; ++p) {
        codes[at(p)] = calc.spectrum_parameters[at(p)].space_code;
        own[at(p)] = state.spectra[at(p)].residual;
    }
    const bool needed = state.needs_evaluation;
    std::array<double, 4> result{};
    for (std::int32_t code = space_k; code <= space_w; ++code) {
        bool current = true;
        for (int p = 0; p < spectra; ++p) current = current && codes[at(p)] == code;
        if (current) {
            result[at(code)] = residual;
            continue;
        }
        for (int p = 0; p < spectra; ++p) {
            calc.spectrum_parameters[at(p)].space_code = code;
            state_exafs_error(calc.spectra[at(p)], best);
        }
        weigh_state_residual(calc, state);
        result[at(code)] = state.residual;
    }
    state.residual = residual;
    state.needs_evaluation = needed;
    for (int p = 0; p < spectra; ++p) {
        calc.spectrum_parameters[at(p)].space_code = codes[at(p)];
        state.spectra[at(p)].residual = own[at(p)];
    }
    return result;
}

void write_best_state_spectra(Calculation& calc, int best) {
    State& state = calc.current_states[at(best)];
    const int spectra = calc.parameters.ints[IntKey::Number_of_spectra];
    for (int p = 0; p < spectra; ++p) {
        SpectrumContext& context = calc.spectra[at(p)];
        const SpectrumParameters& parameters = calc.spectrum_parameters[at(p)];
        StateSpectrum& block = state.spectra[at(p)];
        write_chi_file(context, block.chi_grid.data(), parameters.strings[SpectrumStringKey::File_for_calculated_EXAFS_signal]);
        write_spectrum_transforms(context, parameters, block);
    }
}

void write_console_block(Calculation& calc, int best, const std::array<double, 4>& residuals, double diversity) {
    const State& state = calc.current_states[at(best)];
    const int spectra = calc.parameters.ints[IntKey::Number_of_spectra];
    const int structures = calc.parameters.ints[IntKey::Number_of_structures];
    const double moves = static_cast<double>(calc.parameters.ints[IntKey::time1]) * calc.parameters.ints[IntKey::Number_of_states];
    std::ostream& out = std::cout;
    const SavedNumberFormat console(out);
    out << std::fixed << std::setprecision(6);
    out << "-------------------";
    log_line("---------------------");
    out << "\tGENERATION:" << '\n' << "\t\t" << calc.iteration << '\n';
    out << "\tBEST-STATE RESIDUAL:" << '\n' << "\t\t";
    for (const std::string* label : {&calc.axis_label_k, &calc.axis_label_q, &calc.axis_label_r, &calc.axis_label_w})
        out << std::left << std::setw(10) << *label;
    out << '\n' << "\t\t";
    for (const double residual : residuals) out << std::left << std::setw(10) << residual;
    out << std::right << '\n';
    if (spectra > 1) {
        out << "\t\t";
        for (int p = 0; p < spectra; ++p) {
            const SpectrumParameters& parameters = calc.spectrum_parameters[at(p)];
            out << parameters.strings[SpectrumStringKey::Edge] << " " << parameters.strings[SpectrumStringKey::Edge_type]
                << "-edge\t";
        }
        out << '\n' << "\t\t";
        for (int p = 0; p < spectra; ++p) out << state.spectra[at(p)].residual << "\t";
        out << '\n' << "\t\tResidual_weights:" << '\n' << "\t\t";
        for (int p = 0; p < spectra; ++p)
            out << calc.spectrum_parameters[at(p)].doubles[SpectrumDoubleKey::Spectrum_weight] << "\t";
        out << '\n';
    }
    if (structures > 1) {
        out << "\tStructure_weights:" << '\n' << "\t\t";
        for (int j = 0; j < structures; ++j) out << "STRUCTURE #" << j << "\t";
        out << '\n' << "\t\t";
        for (int j = 0; j < structures; ++j) out << 100 * state.weights[at(j)] << " %" << "\t\t";
        out << '\n';
    }
    const bool energies = file_potential(calc);
    if (energies) out << "\tBEST-STATE ENERGY:" << '\n' << "\t\t" << state.energy << '\n';
    out << "\tSTATS:" << '\n' << "\t\tObjective:\t\tEA_stddev:\tDelta:" << (energies ? "\tDelta E:" : "") << '\n';
    out << "\t\t" << std::setprecision(4) << state_objective(calc, state) << std::setprecision(6) << "\t" << diversity
        << "\t" << calc.objective_normaliser;
    if (energies) out << "\t" << calc.mean_energy_change;
    out << '\n';
    if (calc.parameters.bools[BoolKey::adjust_step]) out << "\tSTEP:" << '\n' << "\t\t" << calc.step_length << '\n';
    out << "\tANNEALING ACCEPTANCE:" << '\n' << "\t\t";
    for (const char* label : {"Target", "Actual", "Good_moves", "Accepted_bad"}) out << std::left << std::setw(12) << label;
    out << '\n' << "\t\t";
    const double good = moves > 0 ? calc.accepted_without_test / moves : 0.0;
    const double bad = moves > 0 ? calc.accepted_by_test / moves : 0.0;
    for (const double value : {std::exp(calc.log_acceptance), acceptance_rate(calc), good, bad})
        out << std::left << std::setw(12) << value;
    out << '\n';
}

void write_progress_row(const Calculation& calc, int best, double diversity, std::ostream& progress_file) {
    const int structures = calc.parameters.ints[IntKey::Number_of_structures];
    const State& state = calc.current_states[at(best)];
    std::ostringstream progress;
    progress.copyfmt(progress_file);
    progress << calc.iteration << ' ' << state.residual << ' ' << state.energy << ' ' << state_objective(calc, state) << ' ';
    for (int j = 0; j < structures; ++j) progress << state.weights[at(j)] << ' ';
    progress << calc.objective_normaliser << ' ' << calc.mean_energy_change << ' ' << calc.log_acceptance << ' '
             << diversity << ' ';
    for (const State& each : calc.current_states) {
        progress << each.residual << ' ' << each.energy << ' ' << state_objective(calc, each) << ' ';
        for (int j = 0; j < structures; ++j) progress << each.weights[at(j)] << ' ';
    }
    progress << '\n';
    write_to_open_file(progress_file, progress.str(), history_file_name(calc), OutputKind::optional);
}

// Without the model chi on the fixed grid (a population just loaded from a restart file) the model
// spectra are not written: they would be zeros in the place of the run's own. A resumed run's reports
// before its loop neither adapt the step nor write to the histories, which hold this generation already.
void report(Calculation& calc, std::ostream* progress, bool model_chi_known) {
    const int best = calc.best_state_index;
    // The spectrum files and the history show the whole grid of the states they show.
    if (model_chi_known && calc.parameters.ints[IntKey::Actual_geometry_format] > 1) {
        for (int s = 0; s < static_cast<int>(calc.current_states.size()); ++s) complete_state_chi(calc, s);
    } else if (model_chi_known && best >= 0) {
        complete_state_chi(calc, best);
    }
    const std::array<double, 4> residuals = residuals_in_every_space(calc, best);
    if (model_chi_known) write_best_state_spectra(calc, best);
    const double diversity = compute_population_diversity(calc);
    write_console_block(calc, best, residuals, diversity);
    if (progress != nullptr) adapt_step(calc);
    print_separator_line();
    if (progress == nullptr) return;
    write_progress_row(calc, best, diversity, *progress);
    append_states_geometry(calc);
    append_states_chi_history(calc);
}

}  // namespace

void write_progress_header(const Calculation& calc, std::ostream& progress_file) {
    const int structures = calc.parameters.ints[IntKey::Number_of_structures];
    std::ostringstream progress;
    progress << "[#] [Best_Res._(xi)] [Best_Energy] [Best_Objective] ";
    for (int j = 0; j < structures; ++j) progress << "[Best_Weight_(" << j << ")] ";
    progress << "[Change_(Delta)] [En._Change_(Delta_E)] [Acceptance] [EA_diversity] ";
    for (std::size_t i = 0; i < calc.current_states.size(); ++i) {
        progress << "[Res(" << i << ")] " << "[En.(" << i << ")] " << "[Obj.(" << i << ")] ";
        for (int j = 0; j < structures; ++j) progress << "[Weight_(" << i << "-" << j << ")] ";
    }
    progress << '\n';
    write_to_open_file(progress_file, progress.str(), history_file_name(calc), OutputKind::optional);
}

void report_progress(Calculation& calc, std::ostream& progress) { report(calc, &progress, true); }

void report_resumed_progress(Calculation& calc) { report(calc, nullptr, true); }

void report_loaded_progress(Calculation& calc) { report(calc, nullptr, false); }

bool run_main_loop_iteration(Calculation& calc, std::ostream& progress) {
    const int t = calc.iteration;
    if (!calc.flags.oneD) keep_sums_on_points_in_use(calc);
    const int states = calc.parameters.ints[IntKey::Number_of_states];
    if (states > 1) {
        if (calc.parameters.bools[BoolKey::crossoverT]) {
            select_parents_tournament(calc);
        } else {
            select_parents_roulette(calc);
        }
    }
    if (calc.flags.oneD) {
        run_oned_metropolis_sweep(calc);
    } else {
        run_metropolis_sweep(calc);
    }
    calc.period_objective_sum += state_objective(calc, calc.current_states[at(calc.best_state_index)]);
    if (period_reached(t, calc.parameters.ints[IntKey::time1])) report_progress(calc, progress);
    const int stop_after = calc.parameters.ints[IntKey::Stop_after];
    bool stop = stop_after > 0 && t > stop_after;
    if (period_reached(t, calc.parameters.ints[IntKey::Update_basis_every])) {
        evaluate_states(calc, true, true, true, true, true, -1, -1);
    }
    const int time2 = calc.parameters.ints[IntKey::time2];
    if (period_reached(t, time2)) {
        // The clustering check compares the whole grid, and the restart files show it.
        keep_sums_on_whole_grid(calc);
        if (calc.parameters.bools[BoolKey::adjust_clust_precision]) {
            for (int p = 0; p < calc.parameters.ints[IntKey::Number_of_spectra]; ++p)
                calc.spectrum_parameters[at(p)].doubles[SpectrumDoubleKey::Clustering_precision] = 0.1 * calc.objective_normaliser;
        }
        if (!calc.flags.skipcheck) {
            check_clustering_precision(calc, true);
            write_restart_clusters(calc);
        }
        write_restart_file(calc);
        const double improvement = calc.previous_period_objective_sum - calc.period_objective_sum;
        std::cout << "        Residual reduction rate: " << improvement / time2 << '\n';
        if (improvement < 0 &&
            (calc.parameters.bools[BoolKey::adjust_acceptance] || calc.parameters.bools[BoolKey::adjust_step])) {
            if (t > calc.parameters.ints[IntKey::Froze_in]) {
                log_line(" Not improving!");
                stop = true;
            }
            if (stop_after > 0 && t < stop_after) stop = false;
        }
        calc.previous_period_objective_sum = calc.period_objective_sum;
        calc.period_objective_sum = 0.0;
    }
    ++calc.iteration;
    return stop;
}
