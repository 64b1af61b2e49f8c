#include "optimisation/forcefield/force_field_evaluation.hpp"

#include "control/calculation.hpp"
#include "control/console_log.hpp"
#include "optimisation/output/chi_output.hpp"
#include "optimisation/population/evaluation.hpp"
#include "optimisation/forcefield/gulp_input.hpp"
#include "optimisation/forcefield/gulp_run.hpp"
#include "optimisation/forcefield/gulp_trajectory.hpp"
#include "optimisation/population/partial_rdf.hpp"
#include "optimisation/population/state.hpp"
#include "optimisation/forcefield/trajectory_average.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/structure.hpp"
#include "theory/absorber_edge.hpp"

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr double far_away = 1000000.0;

std::size_t at(int i) { return static_cast<std::size_t>(i); }

enum class ForceFieldRun { monte_carlo, dynamics };

// What one spectrum gathers over the frames: its chi and the partial RDFs of its edge on structure 0.
struct SpectrumSums {
    int edge = -1;
    ChiGridSum chi{};
    std::vector<std::vector<double>> rdf;
};

std::vector<SpectrumSums> start_sums(const Calculation& calc) {
    std::vector<SpectrumSums> sums(at(calc.parameters.ints[IntKey::Number_of_spectra]));
    for (std::size_t s = 0; s < sums.size(); ++s) {
        sums[s].edge = force_field_edge_of_spectrum(calc, static_cast<int>(s));
        if (sums[s].edge < 0) continue;
        for (const std::vector<double>& histogram : calc.edges[at(sums[s].edge)].rdf_histograms)
            sums[s].rdf.emplace_back(histogram.size(), 0.0);
    }
    return sums;
}

void add_frame(const Calculation& calc, std::vector<SpectrumSums>& sums) {
    const State& state = calc.current_states[0];
    for (std::size_t s = 0; s < sums.size(); ++s) {
        add_to_chi_sum(sums[s].chi, state.spectra[s].chi_grid);
        if (sums[s].edge < 0) continue;
        const AbsorberEdge& edge = calc.edges[at(sums[s].edge)];
        for (std::size_t t = 0; t < sums[s].rdf.size(); ++t) {
            for (std::size_t b = 0; b < sums[s].rdf[t].size(); ++b) sums[s].rdf[t][b] += edge.rdf_histograms[t][b];
        }
    }
}

const char* trajectory_name(ForceFieldRun run) {
    return run == ForceFieldRun::monte_carlo ? gulp_mc_trajectory_name : gulp_md_trajectory_name;
}

void open_run_trajectory(const Calculation& calc, ForceFieldRun run, TrajectoryReader& reader) {
    const Structure& structure = calc.structures[0];
    const double scale = structure.parameters->doubles[StructureDoubleKey::Scale_coordinates_by];
    open_trajectory(reader, trajectory_name(run),
                    run == ForceFieldRun::monte_carlo ? TrajectoryLayout::gulp_mc : TrajectoryLayout::xyz, scale,
                    structure.atom_count);
}

// Every frame atom keeps the site nearest to it in the first frame, whatever that frame's trial number.
// A first frame whose atoms collide after large displacements rejects the force field at once.
std::vector<std::int32_t> sites_of_first_frame(Calculation& calc, ForceFieldRun run, bool& too_close) {
    TrajectoryReader reader;
    TrajectoryFrame first;
    open_run_trajectory(calc, run, reader);
    read_trajectory_frame(reader, first);
    std::vector<std::int32_t> sites = map_frame_to_sites(calc.structures[0], first.atoms);
    const double dmax = store_frame_at_sites(calc.current_states[0], 0, first.atoms, sites, -far_away);
    if (dmax > large_displacement) {
        if (const std::optional<double> closest = atoms_too_close(calc)) {
            std::cout << "WARNING: atoms too close! ( " << *closest << " A)" << '\n';
            too_close = true;
        }
    }
    return sites;
}

// Steps through the trajectory, averaging the frames that count; returns how many did, or stops early
// (setting too_close) at the first used frame whose atoms collide after large displacements.
int average_frames(Calculation& calc, ForceFieldRun run, const std::vector<std::int32_t>& sites,
                   std::vector<SpectrumSums>& sums, bool& too_close) {
    const bool monte_carlo = run == ForceFieldRun::monte_carlo;
    TrajectoryReader reader;
    TrajectoryFrame frame;
    open_run_trajectory(calc, run, reader);
    State& state = calc.current_states[0];
    double dmax = -far_away;
    while (read_trajectory_frame(reader, frame)) {
        dmax = store_frame_at_sites(state, 0, frame.atoms, sites, dmax);
        if (monte_carlo && frame.step <= monte_carlo_equilibration_trials) continue;
        if (dmax > large_displacement && atoms_too_close(calc)) {
            std::cout << "WARNING: atoms too close!" << '\n';
            too_close = true;
            break;
        }
        evaluate_trajectory_frame(calc);
        add_frame(calc, sums);
        if (frame_period_reached(calc.iteration, calc.parameters.ints[IntKey::time2])) {
            check_clustering_between_frames(calc);
            for (std::size_t s = 0; s < sums.size(); ++s) {
                const ChiGridSum mean = chi_grid_mean(sums[s].chi, calc.iteration + 1);
                write_chi_file(calc.spectra[s], mean.data(), averaged_exafs_file_name(static_cast<int>(s), calc.iteration));
            }
        }
        ++calc.iteration;
    }
    std::cout << "----- dmax = " << dmax << '\n';
    return calc.iteration;
}

// The averages into state 0 and the edges' RDFs, then the residual and the spectrum files of every spectrum.
void finish_average(Calculation& calc, std::vector<SpectrumSums>& sums, int frames) {
    for (std::size_t s = 0; s < sums.size(); ++s) {
        if (sums[s].edge >= 0) {
            AbsorberEdge& edge = calc.edges[at(sums[s].edge)];
            for (std::size_t t = 0; t < sums[s].rdf.size(); ++t) {
                for (std::size_t b = 0; b < sums[s].rdf[t].size(); ++b) edge.rdf_histograms[t][b] = sums[s].rdf[t][b] / frames;
            }
        }
        const ChiGridSum mean = chi_grid_mean(sums[s].chi, frames);
        store_averaged_chi(calc, calc.spectra[s], mean);
        write_chi_file(calc.spectra[s], mean.data(), averaged_exafs_file_name(static_cast<int>(s), frames));
    }

    State& state = calc.current_states[0];
    state.needs_evaluation = true;
    evaluate_states(calc, false, false, false, false, true, -1, -1);
    for (std::size_t s = 0; s < sums.size(); ++s) {
        SpectrumContext& context = calc.spectra[s];
        const SpectrumParameters& parameters = calc.spectrum_parameters[s];
        StateSpectrum& block = state.spectra[s];
        write_chi_file(context, block.chi_grid.data(), parameters.strings[SpectrumStringKey::File_for_calculated_EXAFS_signal]);
        write_spectrum_transforms(context, parameters, block);
        write_rdf_file(calc, context);
    }
}

double evaluate_force_field(Calculation& calc, std::span<const double> multipliers, ForceFieldBest& best,
                            ForceFieldRun run) {
    std::cout << "-------------------";
    log_line("---------------------");
    State& state = calc.current_states[0];
    std::cout << "\tSTATE : ";
    for (std::size_t i = 0; i < multipliers.size(); ++i) {
        std::cout << multipliers[i] << ' ';
        if (i < state.force_field_parameters.size()) state.force_field_parameters[i] = multipliers[i];
    }
    std::cout << '\n';

    const Structure& structure = calc.structures[0];
    if (run == ForceFieldRun::monte_carlo)
        write_gulp_input_mc(structure, multipliers);
    else
        write_gulp_input_md(structure, multipliers);
    run_gulp(calc);

    std::vector<SpectrumSums> sums = start_sums(calc);
    calc.iteration = 0;
    calc.parameters.ints[IntKey::Number_of_states] = 1;
    calc.best_state_index = 0;
    zero_structure0_displacements(state);

    bool too_close = false;
    const std::vector<std::int32_t> sites = sites_of_first_frame(calc, run, too_close);
    int frames = 0;
    if (!too_close) {
        state.residual = rejected_force_field_residual;
        frames = average_frames(calc, run, sites, sums, too_close);
        if (frames == 0 && !too_close) {
            std::cout << "WARNING: NO FRAME OF " << trajectory_name(run) << " WAS AVERAGED (Monte Carlo frames up to trial "
                      << monte_carlo_equilibration_trials << " are skipped); this force field is rejected." << '\n';
        }
        if (frames > 0) finish_average(calc, sums, frames);
    }

    const bool rejected = too_close || frames == 0;
    if (rejected) state.residual = rejected_force_field_residual;
    if (!rejected && best.residual > state.residual) {
        best.residual = state.residual;
        best.parameters.assign(multipliers.begin(), multipliers.end());
        write_chi_file(calc.spectra[0], state.spectra[0].chi_grid.data(), "best_EXAFS.dat");
    }
    std::cout << "----- Residual: " << state.residual << '\n';
    return state.residual;
}

}  // namespace

int force_field_edge_of_spectrum(const Calculation& calc, int spectrum) {
    const SpectrumContext& context = calc.spectra[at(spectrum)];
    for (int n = 0; n < context.edge_count; ++n) {
        const int e = context.edge_indices[at(n)];
        if (e < calc.absorber_edge_count && calc.edges[at(e)].structure == &calc.structures[0]) return e;
    }
    return -1;
}

std::string averaged_exafs_file_name(int spectrum, int frames) {
    return "averaged_EXAFS_" + std::to_string(spectrum) + "_" + std::to_string(frames);
}

double evaluate_force_field_mc(Calculation& calc, std::span<const double> multipliers, ForceFieldBest& best) {
    return evaluate_force_field(calc, multipliers, best, ForceFieldRun::monte_carlo);
}

double evaluate_force_field_md(Calculation& calc, std::span<const double> multipliers, ForceFieldBest& best) {
    return evaluate_force_field(calc, multipliers, best, ForceFieldRun::dynamics);
}
