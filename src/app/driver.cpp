#include "app/driver.hpp"

#include "app/editor.hpp"
#include "control/calculation.hpp"
#include "control/console_log.hpp"
#include "control/output_file.hpp"
#include "control/parameter_reader.hpp"
#include "control/parameter_writer.hpp"
#include "control/process_end.hpp"
#include "optimisation/output/chi_output.hpp"
#include "optimisation/output/diagnostics.hpp"
#include "optimisation/population/energy_terms.hpp"
#include "optimisation/population/evaluation.hpp"
#include "optimisation/run/first_shell_fit.hpp"
#include "optimisation/forcefield/force_field_fit.hpp"
#include "optimisation/run/main_loop.hpp"
#include "optimisation/population/memory_estimate.hpp"
#include "optimisation/population/one_dimensional.hpp"
#include "optimisation/output/restart_file.hpp"
#include "optimisation/run/starting_states.hpp"
#include "optimisation/population/state.hpp"
#include "optimisation/population/state_exafs.hpp"
#include "optimisation/output/structure_report.hpp"
#include "optimisation/forcefield/trajectory_average.hpp"
#include "optimisation/output/xyz_output.hpp"
#include "spectra/experimental_spectrum.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/geometry.hpp"
#include "structure/rdf_tool.hpp"
#include "structure/structure.hpp"
#include "theory/absorber_edge.hpp"
#include "theory/feff_input.hpp"
#include "theory/feff_run.hpp"
#include "theory/final_paths.hpp"
#include "theory/path_runs.hpp"
#include "theory/pathfinder.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

#include <sys/stat.h>
#include <unistd.h>

namespace {

void stage_parameters_initialization(Calculation& calc) {
    log_line("      1: PARAMETERS INITIALIZATION");
    set_parameter_defaults(calc);
    if (calc.flags.example) {
        write_parameter_copy(calc, "example.dat");
        end_process(0);
    }
}

void stage_reading_parameters(Calculation& calc, const std::string& parameter_file_name,
                              const std::string& extra_argument) {
    log_line("      2: READING PARAMETERS");
    calc.parameter_file_name = parameter_file_name;
    read_parameter_file(calc, parameter_file_name, calc.flags.spectrum,
                        calc.flags.spectrum ? extra_argument : std::string());
    seed_random_generator(calc);
    std::cout << '\n';

    if (calc.flags.reseed) {
        reseed_parameters(calc);
        write_parameter_copy(calc, parameter_file_name + "_reseed");
        end_process(0);
    }
    if (calc.flags.edit) {
        edit_parameters_interactively(calc);
        write_parameter_copy(calc, parameter_file_name + "_new");
        end_process(0);
    }
    if (calc.flags.rdf) {
        generate_rdf_interactive(calc);
        end_process(0);
    }

    const int spectra = calc.parameters.ints[IntKey::Number_of_spectra];
    for (int i = 0; i < spectra; ++i) {
        init_spectrum_context(calc.spectra[i], calc.spectrum_parameters[i], calc.edges.data());
        calc.spectra[i].index = i;
        calc.spectrum_parameters[i].index = i;
    }
}

// Every mode past the parameter stage writes the run's files or runs FEFF in the folder, and holds it;
// the two report modes only read a finished run (the best-state file they write is a new name). A new
// run names what an earlier one left that it may not replace; a restart continues the run whose files
// they are.
void claim_run_folder(Calculation& calc) {
    const RunFlags& f = calc.flags;
    if (f.structure || f.beststate) return;
    lock_run_folder(calc.folder_lock);
    if (!(f.restart || f.ftwt || f.phantoms || f.atoms || f.md)) warn_of_earlier_run_files(calc);
}

bool reaches_main_loop(const RunFlags& f) {
    return !(f.ftwt || f.phantoms || f.beststate || f.atoms || f.structure || f.md || f.fit || f.fitFF || f.useFF);
}

// The improvement test and every restart file before the last come at the time2 checkpoints. Without
// them and without Stop_after the loop would neither end nor save: refused before FEFF runs for hours.
void refuse_endless_main_loop(const Calculation& calc) {
    const ParameterBlock& p = calc.parameters;
    if (!reaches_main_loop(calc.flags) || p.ints[IntKey::time2] > 0 || p.ints[IntKey::Stop_after] > 0) return;
    std::cout << "ERROR: time2 = " << p.ints[IntKey::time2] << " and Stop_after = " << p.ints[IntKey::Stop_after]
              << ": the main loop would never end and never write a restart file! Set time2 or Stop_after above 0."
              << '\n';
    end_process(1);
}

void stage_processing_experimental_data(Calculation& calc) {
    const RunFlags& f = calc.flags;
    // The force-field modes read the spectra too: every force field they evaluate is reported with the
    // residual of its averaged spectrum, which without an experiment would be a perfect 0.
    if (f.structure || f.beststate || f.phantoms || f.md || f.atoms) {
        log_line("      3: PROCESSING EXPERIMENTAL DATA - skipped!");
    } else {
        log_line("      3: PROCESSING EXPERIMENTAL DATA");
        prepare_experimental_data(calc);
    }
    if (f.ftwt) end_process(0);
}

void stage_defining_geometry(Calculation& calc, const std::string& extra_argument) {
    log_line("      4: DEFINING GEOMETRY");
    build_geometry(calc, extra_argument);
    setup_absorber_edges(calc);
    // Populations beyond the machine's memory are refused before they are made, not after hours of FEFF.
    check_population_memory(calc);
    allocate_states(calc);
    for (int i = 0; i < calc.parameters.ints[IntKey::Number_of_structures]; ++i) {
        read_energy_definitions(calc.structures[i]);
    }
    const RunFlags& f = calc.flags;
    if (f.restart || f.structure || f.beststate || f.phantoms) load_restart_file(calc);
    // Only a continued refinement reports the loaded population: the other modes have no experiment to
    // compare with, and their report would overwrite the spectrum files. The model spectrum files are left
    // to the full evaluation that follows, as the file does not carry the model chi they are written from.
    if (f.restart) report_loaded_progress(calc);
    // The two report modes read a finished run and write nothing of it: its xyz files and RDFs stay.
    if (!(f.structure || f.beststate)) write_state_xyz_files(calc);
    if (calc.flags.phantoms) end_process(0);
    if (calc.flags.beststate) {
        // The best state alone, as state 0 of a population of one, in a file of its own.
        find_best_state(calc);
        copy_state_to_backup(calc, calc.best_state_index, 0);
        calc.parameters.ints[IntKey::Number_of_states] = 1;
        calc.parameters.strings[StringKey::File_for_restart] = calc.parameter_file_name + "_beststate_";
        restore_state(calc, 0);
        write_restart_file_alone(calc);
        end_process(0);
    }
    install_feff_program(calc);
}

void stage_scf_potentials(Calculation& calc) {
    const RunFlags& f = calc.flags;
    if (!(f.skippot || f.restart || f.structure)) {
        log_line("      5: SCF POTENTIAL CALCULATIONS");
        for (int i = 0; i < calc.absorber_edge_count; ++i) {
            // With -atoms only FEFF's input is written: the program is neither needed nor looked for.
            prepare_feff_folder(i, !f.atoms);
            print_structure_heading(calc.edges[i]);
            write_feff_inp(calc.edges[i], f.atoms);
        }
    } else {
        log_line("      5: SCF POTENTIAL CALCULATIONS - skipped!");
    }
    // Older FEFF builds store the potentials in "pot.bin", the open-source release in "pot.pad".
    for (int i = 0; i < calc.absorber_edge_count; ++i) {
        const std::string older = feff_folder_file_path(i, "pot.bin");
        const std::string newer = feff_folder_file_path(i, "pot.pad");
        if (!std::ifstream(older) && !std::ifstream(newer)) {
            const int error = errno;
            std::cout << "ERROR! FEFF potential missing! (" << newer << ", " << older << ": "
                      << describe_missing_output(newer, error) << ")" << '\n';
            end_process(1);
        }
    }
}

// Stages 6 to 9 run once per absorber edge; every run reads the final path list back, also when it
// was not written this time.
void stage_paths(Calculation& calc, const std::string& extra_argument) {
    const RunFlags& f = calc.flags;
    const bool report_only = f.structure || f.beststate;
    for (int i = 0; i < calc.absorber_edge_count; ++i) {
        AbsorberEdge& edge = calc.edges[i];
        log_line("      6: PATHFINDER");
        print_structure_heading(edge);
        run_pathfinder_stage(edge, calc.centre_atom_index);
        if (!report_only) {
            write_worker_feff_inputs(edge);
            mark_absorber_potentials(edge);
        }
        print_separator_line();
        if (!report_only) {
            log_line("      7: LEADING PATH EXAFS");
            print_structure_heading(edge);
            run_leading_path_feff(edge);
        }
        // The check runs FEFF in the worker folders, which the report mode neither prepared nor may touch.
        const bool importance_wanted = edge.spectrum->doubles[SpectrumDoubleKey::FEFF_criteria] > 0.001;
        if (importance_wanted && !report_only) {
            log_line("      8: PATHS IMPORTANCE CHECK");
            print_structure_heading(edge);
            compute_path_importance(edge);
        } else {
            log_line("      8: PATHS IMPORTANCE CHECK - skipped");
        }
        if (!(f.structure || f.restart || f.skippaths)) {
            log_line("      9: WRITING EQUILIBRIUM PATHS");
            print_structure_heading(edge);
            write_final_paths_file(edge);
        } else {
            log_line("      9: WRITING EQUILIBRIUM PATHS - skipped");
        }
        // Without the importances the positions of the list's blocks name no path: their geometry does.
        load_final_paths(edge, importance_wanted && report_only ? ListedPaths::by_geometry : ListedPaths::by_position);
    }
    if (f.structure) {
        report_structure_mode(calc);
        end_process(0);
    }
    if (f.md) {
        run_gulp_md_trajectory(calc, extra_argument);
        end_process(0);
    }
}

void open_history(std::ofstream& progress, const std::string& file_name, std::ios::openmode mode) {
    errno = 0;
    progress.open(file_name, mode);
    if (!progress) report_unwritten_file(file_name, errno, OutputKind::optional);
}

void stage_first_iteration(Calculation& calc, std::ofstream& progress) {
    const std::string& history = calc.parameters.strings[StringKey::File_for_residuals];
    if (!calc.flags.restart) {
        log_line("      10: FIRST ITERATION");
        truncate_output_files(calc);
        open_history(progress, history, std::ios::trunc);
        prepare_initial_states(calc, progress);
    } else {
        log_line("      10: PREPARING RESTART");
        open_history(progress, history, std::ios::app);
        log_line("      --> restartClusters.dat will be ignored. Clustering from scratch.");
        bind_states_to_absorber_edges(calc);
        evaluate_states(calc, true, true, true, true, true, -1, -1);
        report_resumed_progress(calc);
        ++calc.iteration;
    }
}

void stage_first_shell_fit(Calculation& calc) {
    if (calc.flags.useFF) {
        log_line("      11: FIRST SHELL FIT - skipped!");
        return;
    }
    log_line("      11: FIRST SHELL FIT");
    fit_first_shell(calc);
    if (calc.flags.fit) end_process(0);
    finish_first_shell_stage(calc);
}

void stage_diagnostics(Calculation& calc) {
    if (calc.flags.structure || calc.flags.skipcheck) {
        log_line("      12: DIAGNOSTICS - skipped");
        return;
    }
    log_line("      12: DIAGNOSTICS");
    check_clustering_precision(calc, true);
    write_restart_clusters(calc);
}

// A run whose loop has no end condition of its own, or no checkpoint before its end, says so before it starts.
void announce_open_end(const Calculation& calc) {
    const ParameterBlock& p = calc.parameters;
    if (p.ints[IntKey::time2] <= 0) {
        std::cout << "WARNING: time2 = " << p.ints[IntKey::time2]
                  << ": the main loop writes no restart file before it ends after iteration "
                  << p.ints[IntKey::Stop_after] + 1 << '\n';
        return;
    }
    if (p.ints[IntKey::Stop_after] > 0 || p.bools[BoolKey::adjust_acceptance] || p.bools[BoolKey::adjust_step]) return;
    std::cout << "WARNING: neither Stop_after nor adjust_acceptance nor adjust_step is set: the main loop ends only "
                 "when the run is interrupted, and the last restart file is its checkpoint."
              << '\n';
}

// Returns true when the run goes on to the final stage (the main loops, not the force-field modes).
bool stage_main_loop(Calculation& calc, std::ostream& progress) {
    const RunFlags& f = calc.flags;
    if (f.fitFF) {
        log_line("      13: FORCE FIELD FITTING");
        fit_force_field(calc);
        return false;
    }
    if (f.useFF) {
        log_line("      13: MC CALCULATIONS WITH EXTERNAL FORCE FIELD");
        fit_force_field(calc);
        return false;
    }
    if (f.oneD) {
        log_line("      13: MAIN LOOP: 1D calculation");
        setup_oned_mode(calc);
        announce_open_end(calc);
        take_up_resumed_loop(calc);
        while (!run_main_loop_iteration(calc, progress)) {
        }
        return true;
    }
    log_line("      13: MAIN LOOP");
    announce_open_end(calc);
    take_up_resumed_loop(calc);
    while (!run_main_loop_iteration(calc, progress)) {
    }
    return true;
}

void stage_finalizing(Calculation& calc, std::ofstream& progress) {
    log_line("      14: FINALIZING");
    log_line("                    Saving all files...");
    find_best_state(calc);
    const int best = calc.best_state_index;
    State& state = calc.current_states[static_cast<std::size_t>(best)];
    const int spectra = calc.parameters.ints[IntKey::Number_of_spectra];
    for (int p = 0; p < spectra; ++p) {
        const SpectrumParameters& parameters = calc.spectrum_parameters[static_cast<std::size_t>(p)];
        StateSpectrum& block = state.spectra[static_cast<std::size_t>(p)];
        write_spectrum_transforms(calc.spectra[static_cast<std::size_t>(p)], parameters, block);
    }
    // Once, however many spectra there are: one restart file serves them all.
    write_restart_file(calc);
    report_progress(calc, progress);
    progress.close();
    log_line("                    Reporting structure...");
    write_state_xyz_files(calc);
    report_final_structure(calc);
}

}  // namespace

void print_structure_heading(const AbsorberEdge& edge) {
    const SpectrumParameters& spectrum = *edge.spectrum;
    std::cout << std::string(25, ' ') << "STRUCTURE #" << edge.structure->structure_number << "  ["
              << spectrum.strings[SpectrumStringKey::Edge] << " " << spectrum.strings[SpectrumStringKey::Edge_type]
              << "-edge]" << '\n';
}

void reseed_parameters(Calculation& calc) {
    static const std::int64_t increment[MT_seed_length] = {1, 2, 3, 1};
    static const std::int64_t modulus[MT_seed_length] = {1000, 1000, 1000, 10000};
    for (int i = 0; i < MT_seed_length; ++i) {
        std::int32_t& seed = calc.parameters.ints[IntKey::MT_seed_first + i];
        // Truncating remainder: a negative seed stays non-positive. 64-bit so the largest seed cannot overflow.
        seed = static_cast<std::int32_t>((static_cast<std::int64_t>(seed) + increment[i]) % modulus[i]);
    }
}

void write_parameter_copy(const Calculation& calc, const std::string& file_name) {
    write_whole_file(file_name, [&](std::ostream& out) { write_parameter_file(calc, out); }, OutputKind::required);
}

namespace {

[[noreturn]] void refuse_feff_program(const std::string& path, int error) {
    std::cout << "ERROR! Specified FEFF program not found! (" << path << ": " << std::strerror(error) << ")" << '\n';
    end_process(1);
}

// What can be known of the program before its first run, which comes only once the geometry is built:
// a folder or a file that cannot be run would otherwise show only as FEFF outputs that never appear.
void check_feff_program(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) refuse_feff_program(path, errno);
    if (S_ISDIR(info.st_mode)) refuse_feff_program(path, EISDIR);
    if (!std::ifstream(path)) refuse_feff_program(path, errno);
    if (access(path.c_str(), X_OK) != 0) {
        const int error = errno;
        std::cout << "ERROR: FEFF PROGRAM " << path << " CANNOT BE RUN: " << std::strerror(error)
                  << " (it is not executable)!" << '\n';
        end_process(1);
    }
}

}  // namespace

void install_feff_program(const Calculation& calc) {
    namespace fs = std::filesystem;
    const std::string& feff_path = calc.parameters.strings[StringKey::FEFF_path];
    // With -atoms FEFF never runs: the program is copied when it can be, for a later run's use.
    if (!calc.flags.atoms) check_feff_program(feff_path);
    std::error_code not_there;
    if (fs::equivalent(feff_path, feff_program_name, not_there)) return;  // already in place
    std::error_code error;
    copy_file_replacing(feff_path, feff_program_name, error);
    // An older copy left in the run folder would otherwise run in the named program's place.
    if (error && !calc.flags.atoms) {
        std::cout << "ERROR: FEFF PROGRAM " << feff_path << " CANNOT BE COPIED TO " << feff_program_name << ": "
                  << error.message() << "!" << '\n';
        end_process(1);
    }
}

void prepare_calculation_through_paths(Calculation& calc, const std::string& parameter_file_name,
                                       const std::string& extra_argument) {
    stage_parameters_initialization(calc);
    stage_reading_parameters(calc, parameter_file_name, extra_argument);
    claim_run_folder(calc);
    refuse_endless_main_loop(calc);
    stage_processing_experimental_data(calc);
    stage_defining_geometry(calc, extra_argument);
    stage_scf_potentials(calc);
    stage_paths(calc, extra_argument);
}

void run_calculation(Calculation& calc, std::string parameter_file_name, std::string extra_argument) {
    prepare_calculation_through_paths(calc, parameter_file_name, extra_argument);
    // The paths are known: what the states add to their tables is checked before it is allocated.
    check_path_table_memory(calc);
    std::ofstream progress;
    stage_first_iteration(calc, progress);
    stage_first_shell_fit(calc);
    stage_diagnostics(calc);
    if (stage_main_loop(calc, progress)) stage_finalizing(calc, progress);
}
