#include "optimisation/run/first_shell_fit.hpp"

#include "control/calculation.hpp"
#include "control/console_log.hpp"
#include "optimisation/population/state.hpp"
#include "spectra/experimental_spectrum.hpp"
#include "spectra/first_shell_simplex.hpp"
#include "spectra/first_shell_windows.hpp"
#include "spectra/fourier.hpp"
#include "spectra/residuals.hpp"
#include "spectra/signal_files.hpp"
#include "spectra/spectrum_context.hpp"
#include "theory/absorber_edge.hpp"
#include "structure/structure.hpp"
#include "theory/pathfinder.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <vector>

namespace {

std::size_t at(std::int64_t i) { return static_cast<std::size_t>(i); }

constexpr double lower_sentinel = -1e6;

// The physical values of a simplex vertex.
struct FirstShellModel {
    double rho = 1.0;     // factor on the path lengths
    double sigma2 = 0.0;  // Debye-Waller factor, A^2
    double delta_e = 0.0; // energy shift, eV
    double phi = 1.0;     // amplitude factor
};

FirstShellModel model_of_vertex(const SimplexVertex& p) {
    return {1.0 + 0.1 * p[0], 0.002 + 0.01 * p[1], 10.0 * p[2], 1.0 + p[3]};
}

double path_half_length(const Pathfinder& finder, const Path& path) {
    PathGeometry geometry;
    path_geometry_of_path(finder, path, geometry);
    return half_closed_length(geometry, path.nleg);
}

// Columns S02, Delta_E0, r_1st, r/r_eff, Sigma^2 and R-factor, right-aligned. Each begins with a blank,
// so a value wider than its column still stands apart from the one before it.
constexpr int column_widths[] = {10, 10, 10, 10, 9, 0};

template <class Value>
void print_row(const Value (&values)[std::size(column_widths)]) {
    for (std::size_t i = 0; i < std::size(column_widths); ++i) {
        std::cout << ' ' << std::setw(std::max(column_widths[i] - 1, 0)) << values[i];
    }
    std::cout << '\n';
}

void print_header() { print_row<const char*>({"S02", "Delta_E0", "r_1st", "r/r_eff", "Sigma^2", "R-factor"}); }

// Fits one spectrum and prints its block; a spectrum that cannot be fitted gets a warning and keeps its S02 and dE0.
void fit_spectrum(Calculation& calc, int s) {
    SpectrumContext& context = calc.spectra[at(s)];
    SpectrumParameters& p = *context.parameters;
    print_separator_line();
    std::cout << "SPECTRUM ID = " << '\t' << s << '\n';
    if (p.space_code < space_r) {
        std::cout << "Warning: 1st shell fit currently works properly only in R or W spaces.. :(" << '\n';
    }

    const double r_eff = first_shell_distance(context);
    if (!(r_eff > 0)) {
        std::cout << "WARNING: spectrum " << s << " has no scattering path; its first-shell fit is skipped" << '\n';
        print_separator_line();
        return;
    }
    const double r_max_first_shell = p.doubles[SpectrumDoubleKey::R_max_for_1st_shell];
    const double r_cut = r_max_first_shell < 0 ? r_eff + 0.1 : r_max_first_shell;
    set_up_first_shell_windows(context, r_cut);
    // Without experiment in the window the residual cannot be normalised and the fit has nothing to
    // follow; its numbers would be taken for estimates.
    if (!(first_shell_reference(context) > 0)) {
        std::ostringstream cut;  // in the default notation, whatever the console's notation is
        cut << r_cut;
        std::cout << "WARNING: the experiment of spectrum " << s << " has no weight between R_min and the first-shell "
                  << "cut-off " << cut.str() << "; its first-shell fit is skipped" << '\n';
        print_separator_line();
        return;
    }
    print_header();

    const State& weights_source = calc.current_states.front();
    const auto objective = [&](const SimplexVertex& vertex) {
        const FirstShellModel m = model_of_vertex(vertex);
        return first_shell_residual(context, m.rho, m.sigma2, m.delta_e, m.phi, weights_source);
    };
    const SimplexResult result = run_first_shell_simplex(calc, objective);
    if (!std::isfinite(result.best_value)) {
        std::cout << "WARNING: the first-shell model of spectrum " << s
                  << " gives no finite residual; S02 and E0 are left unchanged" << '\n';
        print_separator_line();
        return;
    }
    objective(result.best);  // leaves the best model in the output files

    const FirstShellModel best = model_of_vertex(result.best);
    const double s02 = p.doubles[SpectrumDoubleKey::S02];
    const double de0 = p.doubles[SpectrumDoubleKey::dE0];
    // Coordinates are scaled when the structure is read, so r_eff is already the scaled distance.
    const SavedNumberFormat console(std::cout);
    std::cout << std::fixed << std::setprecision(6);
    print_row<double>({best.phi * s02, best.delta_e - de0, best.rho * r_eff, best.rho, best.sigma2,
                       result.best_value * result.best_value});
    if (calc.flags.autoES) {
        p.doubles[SpectrumDoubleKey::S02] = best.phi * s02;
        p.doubles[SpectrumDoubleKey::dE0] = de0 - best.delta_e;
    }
    print_separator_line();
}

}  // namespace

double first_shell_distance(const SpectrumContext& context) {
    if (context.edge_count < 1) return 0.0;
    const AbsorberEdge& edge = context.edges[context.edge_indices[0]];
    const Pathfinder& finder = edge.pathfinder;
    if (finder.paths.empty()) return 0.0;
    return path_half_length(finder, finder.paths.front());
}

void first_shell_model_chi(const AbsorberEdge& edge, double rho, double sigma2, State& scratch) {
    const Pathfinder& finder = edge.pathfinder;
    const SpectrumParameters& p = *edge.spectrum;
    const double k_power = p.doubles[SpectrumDoubleKey::k_power];
    const double weight = scratch.weights[at(edge.structure - scratch.structures)];
    const double absorbers = static_cast<double>(finder.absorber_count);
    // Point j of the state's grid holds k = 0.05 (j - 1); the point at k = 0 is left alone.
    std::array<double, state_chi_grid_points>& grid = scratch.spectra[at(p.index)].chi_grid;
    for (const Path& path : finder.paths) {
        // The effective amplitude and phase of a path come with its clusters; a path without them adds nothing.
        if (path.cluster_amplitude.size() < at(path_chi_points) || path.cluster_phase.size() < at(path_chi_points)) {
            continue;
        }
        const double r = path_half_length(finder, path) * rho;
        const double factor = path.degeneracy * weight / (absorbers * r * r);
        for (int i = 1; i < path_chi_points; ++i) {
            const double k = fixed_grid_step * i;
            const double oscillation = std::sin(2.0 * k * r + path.cluster_phase[at(i)]);
            grid[at(i + 1)] += factor * path.cluster_amplitude[at(i)] * oscillation * std::exp(-2.0 * k * k * sigma2) *
                               std::pow(k, k_power - 1.0);
        }
    }
}

double first_shell_residual(SpectrumContext& context, double rho, double sigma2, double delta_e, double phi,
                            const State& weights_source) {
    const SpectrumParameters& p = *context.parameters;
    State scratch;
    scratch.structures = weights_source.structures;
    scratch.weights = weights_source.weights;
    StateSpectrum& block = scratch.spectra[at(context.index)];
    init_state_spectrum_signals(block, p);
    block.chi_grid.fill(0.0);
    for (int n = 0; n < context.edge_count; ++n) {
        first_shell_model_chi(context.edges[context.edge_indices[at(n)]], rho, sigma2, scratch);
    }

    // The table of the fixed grid, its point at k = 0 replaced by a lower sentinel.
    std::vector<double> x(path_chi_points), y(path_chi_points);
    for (int i = 0; i < path_chi_points; ++i) {
        x[at(i)] = fixed_grid_step * i;
        y[at(i)] = block.chi_grid[at(i + 1)];
    }
    x[0] = lower_sentinel;
    y[0] = y[1];
    interpolate_with_e0_shift(block.chi, x, y, delta_e, 1.0 / phi);

    const double error = compute_exafs_error(context, block, true);
    write_signal_file(block.chi, p.strings[SpectrumStringKey::File_for_calculated_EXAFS_signal], signal_file_chi);
    fourier_transform(block.chi, block.ft);
    write_signal_file(block.ft, p.strings[SpectrumStringKey::File_for_FT], signal_file_ft);
    back_fourier_transform(block.ft, context.window_r, block.bft);
    write_signal_file(block.bft, p.strings[SpectrumStringKey::File_for_BFT], signal_file_k_line);
    free_state_spectrum_signals(block);
    return error;
}

void fit_first_shell(Calculation& calc) {
    const int spectra = calc.parameters.ints[IntKey::Number_of_spectra];
    for (int s = 0; s < spectra; ++s) fit_spectrum(calc, s);
}

void finish_first_shell_stage(Calculation& calc) {
    if (calc.flags.autoES) {
        std::cout << "Applying determined E0 and S02 factors to experimental data" << '\n' << '\n';
        const int spectra = calc.parameters.ints[IntKey::Number_of_spectra];
        for (int s = 0; s < spectra; ++s) load_experimental_spectrum(calc.spectra[at(s)]);
    } else {
        std::cout << "WARNING: flag -autoES was not specified." << '\n'
                  << "         Determined E0 and S02 factors will have no effect" << '\n' << '\n';
    }
}
