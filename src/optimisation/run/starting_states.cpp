#include "optimisation/run/starting_states.hpp"

#include "control/calculation.hpp"
#include "control/console_log.hpp"
#include "control/mt.hpp"
#include "control/output_file.hpp"
#include "control/process_end.hpp"
#include "optimisation/output/diagnostics.hpp"
#include "optimisation/population/energy_terms.hpp"
#include "optimisation/population/evaluation.hpp"
#include "optimisation/run/main_loop.hpp"
#include "optimisation/output/restart_file.hpp"
#include "optimisation/population/state.hpp"
#include "optimisation/population/state_exafs.hpp"
#include "optimisation/output/xyz_output.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/structure.hpp"
#include "theory/absorber_edge.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

namespace {

std::size_t at(std::int64_t i) { return static_cast<std::size_t>(i); }

// A starting state outside its constraints is drawn again, a hundred times at most: an amplitude near
// the box makes a violation likely but not certain.
constexpr int max_redraws = 100;

void set_initial_displacement(Calculation& calc, double amplitude) {
    for (int j = 0; j < calc.parameters.ints[IntKey::Number_of_structures]; ++j)
        calc.structure_parameters[at(j)].doubles[StructureDoubleKey::Initial_displacement] = amplitude;
}

// Randomises every state within its constraints; the states that had to be drawn again are named in one
// warning, since the amplitude the run starts from was then narrower than asked for.
void randomise_all_within_constraints(Calculation& calc) {
    int redrawn = 0;
    for (State& state : calc.current_states) {
        randomise_state(calc, state);
        for (int redraw = 0; !check_constraints(calc, state); ++redraw) {
            if (redraw == max_redraws) {
                std::cout << "ERROR: initial geometry violates the imposed constraints!" << '\n';
                end_process(8);
            }
            if (redraw == 0) ++redrawn;
            randomise_state(calc, state);
        }
    }
    if (redrawn > 0) {
        std::cout << "WARNING: " << redrawn << " OF " << calc.current_states.size()
                  << " STARTING STATES VIOLATED THE IMPOSED CONSTRAINTS AND WERE DRAWN AGAIN!" << '\n';
    }
}

void evaluate_all(Calculation& calc) { evaluate_states(calc, true, true, true, true, true, -1, -1); }

double best_residual(const Calculation& calc) { return calc.current_states[at(calc.best_state_index)].residual; }

void create_empty(const std::string& file_name) {
    write_whole_file(file_name, [](std::ostream&) {}, OutputKind::optional);
}

}  // namespace

void randomise_state(Calculation& calc, State& state) {
    for (int j = 0; j < state.structure_count; ++j) {
        const Structure& structure = calc.structures[static_cast<std::size_t>(j)];
        const double amplitude =
            calc.structure_parameters[static_cast<std::size_t>(j)].doubles[StructureDoubleKey::Initial_displacement];
        for (int a = 0; a < structure.atom_count; ++a) {
            const double ux = uniform_random(calc);
            const double uy = uniform_random(calc);
            const double uz = uniform_random(calc);
            const Atom displacement{structure.working_atoms[static_cast<std::size_t>(a)].label,
                                    (2 * ux - 1) * amplitude / std::sqrt(2.0), (2 * uy - 1) * amplitude / std::sqrt(2.0),
                                    (2 * uz - 1) * amplitude / std::sqrt(2.0)};
            set_structure_atom(state, displacement, j, a);
        }
    }
}

void truncate_output_files(Calculation& calc) {
    create_empty(calc.parameters.strings[StringKey::File_for_residuals]);
    for (int j = 0; j < calc.parameters.ints[IntKey::Number_of_structures]; ++j)
        create_empty(calc.structure_parameters[at(j)].strings[StructureStringKey::File_for_actual_geometry]);
    for (int p = 0; p < calc.parameters.ints[IntKey::Number_of_spectra]; ++p)
        create_empty(calc.spectrum_parameters[at(p)].strings[SpectrumStringKey::File_for_EXAFS_history]);
    for (int e = 0; e < calc.absorber_edge_count; ++e)
        create_empty(calc.edges[at(e)].spectrum->strings[SpectrumStringKey::File_for_partial_RDFs]);
}

namespace {

bool digits_only(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// Files a run writes only at some iterations or in some stages: a new run may leave an earlier run's
// beside its own, and the highest-numbered restart file then belongs to the other run.
bool is_diagnostics_output(const std::string& name) {
    if (name == "precise_EXAFS.dat" || name == "approx_EXAFS.dat") return true;
    const std::string head = "approx_", tail = ".dat";
    return name.size() > head.size() + tail.size() && name.starts_with(head) && name.ends_with(tail) &&
           digits_only(name.substr(head.size(), name.size() - head.size() - tail.size()));
}

}  // namespace

std::vector<std::string> earlier_run_files(const Calculation& calc) {
    namespace fs = std::filesystem;
    const fs::path prefix = calc.parameters.strings[StringKey::File_for_restart];
    const fs::path folder = prefix.has_parent_path() ? prefix.parent_path() : fs::path(".");
    const std::string stem = prefix.filename().string();
    std::vector<std::pair<std::size_t, std::string>> found;  // restart files by their number's length and text
    std::error_code failed;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, failed)) {
        const std::string name = entry.path().filename().string();
        if (!stem.empty() && name.starts_with(stem) && digits_only(name.substr(stem.size()))) {
            found.emplace_back(name.size(), (prefix.has_parent_path() ? (folder / name).string() : name));
        }
    }
    for (const fs::directory_entry& entry : fs::directory_iterator(".", failed)) {
        const std::string name = entry.path().filename().string();
        if (is_diagnostics_output(name)) found.emplace_back(std::string::npos, name);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> names;
    for (auto& [order, name] : found) names.push_back(std::move(name));
    return names;
}

void warn_of_earlier_run_files(const Calculation& calc) {
    const std::vector<std::string> names = earlier_run_files(calc);
    if (names.empty()) return;
    const std::string stem = std::filesystem::path(calc.parameters.strings[StringKey::File_for_restart]).filename().string();
    std::vector<std::string> restarts, others;
    for (const std::string& name : names) {
        const std::string file = std::filesystem::path(name).filename().string();
        (file.starts_with(stem) && digits_only(file.substr(stem.size())) ? restarts : others).push_back(name);
    }
    std::cout << "WARNING: THIS FOLDER HOLDS FILES OF AN EARLIER RUN, WHICH THIS RUN MAY NOT REPLACE: ";
    if (restarts.size() == 1) std::cout << restarts[0];
    if (restarts.size() > 1) std::cout << restarts.size() << " restart files (" << restarts.front() << " to " << restarts.back() << ")";
    for (std::size_t i = 0; i < others.size(); ++i) std::cout << (i > 0 || !restarts.empty() ? ", " : "") << others[i];
    std::cout << "; they are kept beside the files of this run" << '\n';
}

void prepare_initial_states(Calculation& calc, std::ostream& progress) {
    const double given = calc.structure_parameters[0].doubles[StructureDoubleKey::Initial_displacement];
    if (given > 0) {
        randomise_all_within_constraints(calc);
        bind_states_to_absorber_edges(calc);
        evaluate_all(calc);
        write_restart_clusters(calc);
    } else {
        print_separator_line();
        log_line("\tOptimizing initial displacement...");
        double amplitude = 0.1;
        set_initial_displacement(calc, amplitude);
        for (State& state : calc.current_states) randomise_state(calc, state);
        bind_states_to_absorber_edges(calc);
        evaluate_all(calc);
        write_restart_clusters(calc);
        double lowest = best_residual(calc);
        double best_amplitude = amplitude;
        std::cout << "\tDispl. = " << amplitude << "\t residual = " << lowest << '\n';
        const double largest = calc.structure_parameters[0].doubles[StructureDoubleKey::Maximal_displacement];
        for (amplitude = 0.15; amplitude < largest; amplitude += 0.05) {
            set_initial_displacement(calc, amplitude);
            for (State& state : calc.current_states) randomise_state(calc, state);
            evaluate_all(calc);
            std::cout << "\tDispl. = " << amplitude << ";\t residual = " << best_residual(calc) << '\n';
            if (best_residual(calc) < lowest) {
                lowest = best_residual(calc);
                best_amplitude = amplitude;
            }
        }
        print_separator_line();
        log_line("      1st real EXAFS calculation...");
        set_initial_displacement(calc, best_amplitude);
        randomise_all_within_constraints(calc);
        evaluate_all(calc);
    }
    append_states_xyz(calc);
    write_progress_header(calc, progress);
    report_progress(calc, progress);
    write_restart_file(calc);
    ++calc.iteration;
}
