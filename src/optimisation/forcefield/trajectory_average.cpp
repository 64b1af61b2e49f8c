#include "optimisation/forcefield/trajectory_average.hpp"

#include "control/calculation.hpp"
#include "control/console_log.hpp"
#include "control/process_end.hpp"
#include "optimisation/output/chi_output.hpp"
#include "optimisation/output/diagnostics.hpp"
#include "optimisation/population/evaluation.hpp"
#include "optimisation/forcefield/gulp_trajectory.hpp"
#include "optimisation/population/partial_rdf.hpp"
#include "optimisation/population/state.hpp"
#include "optimisation/population/state_exafs.hpp"
#include "optimisation/output/xyz_output.hpp"
#include "spectra/experimental_spectrum.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/structure.hpp"

#include <cstddef>
#include <iomanip>
#include <iostream>
#include <string>

namespace {

constexpr int last_grid_point = state_chi_grid_points - 2;  // entry 401, k = 20
constexpr double far_away = 1000000.0;

std::size_t at(int i) { return static_cast<std::size_t>(i); }

// The fixed grid's abscissae with the guards pushed far out, so that the spectrum's k grid is always
// inside the table.
const ChiGridSum& averaged_grid_k() {
    static const ChiGridSum grid = [] {
        ChiGridSum k{};
        k[0] = -far_away;
        for (int i = 1; i <= last_grid_point; ++i) k[at(i)] = 0.05 * (i - 1);
        k[at(last_grid_point + 1)] = far_away;
        return k;
    }();
    return grid;
}

// Stores frame atom i as supercell atom i; prints the frame's largest displacement.
void store_frame(Calculation& calc, const TrajectoryFrame& frame) {
    const double dmax = store_frame_in_order(calc.current_states[0], 0, frame.atoms, -far_away);
    std::cout << "step: " << calc.iteration << "; Max. displacement = " << dmax << '\n';
    if (dmax > large_displacement) std::cout << "WARNING: suspiciosly large deviation from ideal lattice!" << '\n';
}

}  // namespace

std::optional<double> atoms_too_close(Calculation& calc) {
    const double closest = min_interatomic_distance(calc, 0, 0);
    if (closest < too_close_distance) return closest;
    return std::nullopt;
}

bool frame_period_reached(int counter, int period) { return period > 0 && counter % period == 0; }

void zero_structure0_displacements(State& state) {
    for (int i = 0; i < state.structures[0].atom_count; ++i) {
        Atom displacement = get_structure_atom(state, 0, i);
        atom_set_xyz(displacement, 0.0, 0.0, 0.0);
        set_structure_atom(state, displacement, 0, i);
    }
}

void evaluate_trajectory_frame(Calculation& calc) {
    const bool refresh = frame_period_reached(calc.iteration, calc.parameters.ints[IntKey::Update_basis_every]);
    calc.current_states[0].needs_evaluation = true;
    evaluate_states(calc, refresh, refresh, true, true, false, -1, -1);
    // The configuration is state 0 whatever an earlier ranking of the population left as the best.
    calc.best_state_index = 0;
    write_state_xyz_files(calc);
}

void add_to_chi_sum(ChiGridSum& sum, const ChiGridSum& chi_grid) {
    for (int i = 1; i <= last_grid_point; ++i) sum[at(i)] += chi_grid[at(i)];
}

ChiGridSum chi_grid_mean(const ChiGridSum& sum, int count) {
    ChiGridSum mean{};
    for (int i = 1; i <= last_grid_point; ++i) mean[at(i)] = sum[at(i)] / count;
    return mean;
}

void check_clustering_between_frames(Calculation& calc) {
    if (calc.flags.skipcheck) return;
    check_clustering_precision(calc, true);
    write_restart_clusters(calc);
}

void store_averaged_chi(Calculation& calc, SpectrumContext& context, const ChiGridSum& mean) {
    StateSpectrum& block = calc.current_states[0].spectra[at(context.index)];
    block.chi_grid = mean;
    block.chi_grid[0] = block.chi_grid[1];
    block.chi_grid[at(last_grid_point + 1)] = block.chi_grid[at(last_grid_point)];
    interpolate_to_grid(block.chi, averaged_grid_k(), block.chi_grid);
}

void run_gulp_md_trajectory(Calculation& calc, const std::string& file_name) {
    log_line("              GULP to EXAFS-RMC calculations started...");
    ChiGridSum sum{};
    calc.iteration = 0;
    calc.parameters.ints[IntKey::Number_of_spectra] = 1;
    calc.parameters.ints[IntKey::Number_of_states] = 1;
    calc.absorber_edge_count = 1;
    calc.best_state_index = 0;
    State& state = calc.current_states[0];
    zero_structure0_displacements(state);
    bind_states_to_absorber_edges(calc);

    Structure& structure = calc.structures[0];
    TrajectoryReader reader;
    TrajectoryFrame frame;
    open_trajectory(reader, file_name, TrajectoryLayout::xyz, 1.0, structure.atom_count);
    if (structure.parameters->bools[StructureBoolKey::pbc])
        std::cout << "WARNING: PBC IS NOT SET TO 0! Is this what you really want?" << '\n';
    // A look at the first frame before the pass, so that a trajectory far from the model shows at once.
    read_trajectory_frame(reader, frame);
    store_frame(calc, frame);

    open_trajectory(reader, file_name, TrajectoryLayout::xyz, 1.0, structure.atom_count);
    SpectrumContext& context = calc.spectra[0];
    while (read_trajectory_frame(reader, frame)) {
        store_frame(calc, frame);
        // Frame atom i is taken as model atom i, so a frame that repeats an atom, or whose atom has
        // jumped onto another's place, would put two atoms on one spot. Its EXAFS is no number and would
        // spoil every average after it.
        if (const std::optional<double> closest = atoms_too_close(calc)) {
            std::cout << "WARNING: atoms too close! ( " << *closest << " A) in frame " << reader.frames_read << " of "
                      << file_name << "; the frame is not averaged." << '\n';
            continue;
        }
        evaluate_trajectory_frame(calc);
        add_to_chi_sum(sum, state.spectra[0].chi_grid);
        if (frame_period_reached(calc.iteration, calc.parameters.ints[IntKey::time2])) {
            check_clustering_between_frames(calc);
            const ChiGridSum mean = chi_grid_mean(sum, calc.iteration + 1);
            write_chi_file(context, mean.data(), "averaged_EXAFS_" + std::to_string(calc.iteration));
        }
        ++calc.iteration;
    }
    if (calc.iteration == 0) {
        std::cout << "ERROR: NO FRAME OF " << file_name << " COULD BE AVERAGED!" << '\n';
        end_process(4);
    }
    const ChiGridSum mean = chi_grid_mean(sum, calc.iteration);
    write_chi_file(context, mean.data(), "averaged_EXAFS_" + std::to_string(calc.iteration));
    store_averaged_chi(calc, context, mean);
    log_line("              Done. Averaged signal saved to averaged_EXAFS_...");
}
