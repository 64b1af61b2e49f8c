#include "optimisation/starting_states.hpp"

#include "control/calculation.hpp"
#include "control/console_log.hpp"
#include "control/mt.hpp"
#include "control/output_file.hpp"
#include "control/process_end.hpp"
#include "optimisation/diagnostics.hpp"
#include "optimisation/energy_terms.hpp"
#include "optimisation/evaluation.hpp"
#include "optimisation/main_loop.hpp"
#include "optimisation/restart_file.hpp"
#include "optimisation/state.hpp"
#include "optimisation/state_exafs.hpp"
#include "optimisation/xyz_output.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/structure.hpp"
#include "theory/absorber_edge.hpp"

#include <cmath>
#include <cstddef>
#include <fstream>
#include <iostream>
#include <string>

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
