#include "optimisation/output/partial_spectra.hpp"

#include "control/output_file.hpp"
#include "control/record_parameters.hpp"
#include "optimisation/population/state.hpp"
#include "spectra/experimental_spectrum.hpp"
#include "spectra/fourier.hpp"
#include "spectra/signal.hpp"
#include "spectra/spectrum_context.hpp"
#include "spectra/wavelet.hpp"
#include "theory/absorber_edge.hpp"
#include "theory/cluster_sums.hpp"
#include "theory/pathfinder.hpp"

#include <algorithm>
#include <array>
#include <utility>
#include <cmath>
#include <cstddef>
#include <fstream>
#include <iostream>
#include <vector>

namespace {

constexpr int label_width = 15;
constexpr int exafs_rows = 400;  // k = 0.05 i, i = 1 .. 400
constexpr double sentinel_k = 1e6;
const std::string block_end(49, '#');

std::size_t at(std::int64_t i) { return static_cast<std::size_t>(i); }

// k^w, 0 at k = 0 for a negative w (the limit of the k-weighted path signal, which carries a factor k).
double k_weight(double k, double w) {
    if (k == 0.0 && w < 0.0) return 0.0;
    return std::pow(k, w);
}

// The state's cluster tables of the path exist once the states are bound and evaluated; before that
// (a best-state report right after loading) the path contributes nothing.
bool has_state_tables(const Path& path, int state) {
    if (state < 0 || at(state) >= path.sums.size() || path.cluster_count <= 0) return false;
    const std::size_t clusters = at(path.cluster_count);
    const std::size_t points = clusters * path_chi_points;
    const PathSums& sums = path.sums[at(state)];
    if (path.complex_mode) {
        return sums.sine.size() >= points && sums.cosine.size() >= points && path.cluster_phase_cos.size() >= points &&
               path.cluster_phase_sin.size() >= points && path.cluster_amplitude.size() >= points;
    }
    return sums.counts.size() >= clusters && path.cluster_chi.size() >= points;
}

// What every file of a block shows of every path.
struct PathColumns {
    std::vector<std::array<double, path_chi_points>> chi;  // on k = 0.05 i
    std::vector<std::vector<double>> ft_modulus;            // on the R grid
    std::vector<std::vector<double>> wt_modulus;            // on the (R, k) map, k fastest
};

PathColumns compute_path_columns(AbsorberEdge& edge, int best_state) {
    const SpectrumParameters& p = *edge.spectrum;
    const Pathfinder& finder = edge.pathfinder;
    const double absorbers = static_cast<double>(finder.absorber_count);
    const double w = p.doubles[SpectrumDoubleKey::k_power] - 1.0;

    // The ends of the table reach far beyond any k grid; they carry the state's own signal at 0 and 20.
    std::array<double, state_chi_grid_points> x{};
    std::array<double, state_chi_grid_points> y{};
    x[0] = -sentinel_k;
    for (int j = 1; j < state_chi_grid_points - 1; ++j) x[at(j)] = 0.05 * (j - 1);
    x[state_chi_grid_points - 1] = sentinel_k;
    if (edge.states != nullptr && best_state >= 0) {
        const auto& grid = edge.states[best_state].spectra[at(p.index)].chi_grid;
        y[0] = grid[1];
        y[state_chi_grid_points - 1] = grid[state_chi_grid_points - 2];
    }

    SignalArray line, ft, wt;
    alloc_signal(line, p, signal_line);
    alloc_signal(ft, p, signal_line);
    alloc_signal(wt, p, signal_map);
    PathColumns columns;
    for (const Path& path : finder.paths) {
        std::array<double, path_chi_points>& chi = columns.chi.emplace_back();
        chi.fill(0.0);
        if (has_state_tables(path, best_state)) class_chi_of_path(path, best_state, chi.data());
        std::copy(chi.begin(), chi.end(), y.begin() + 1);
        interpolate_to_grid(line, x, y);
        for (int m = 0; m < line.n; ++m) line.re[at(m)] *= k_weight(k_grid_value(p, m), w) / absorbers;
        fourier_transform(line, ft);
        wavelet_transform(line, wt);
        columns.ft_modulus.push_back(ft.mod);
        columns.wt_modulus.push_back(wt.mod);
    }
    return columns;
}

void write_header(std::ostream& out, const AbsorberEdge& edge) {
    const Pathfinder& finder = edge.pathfinder;
    const double absorbers = static_cast<double>(finder.absorber_count);
    std::vector<PathGeometry> geometries(finder.paths.size());
    for (std::size_t p = 0; p < finder.paths.size(); ++p) path_geometry_of_path(finder, finder.paths[p], geometries[p]);

    out << "path ";
    for (std::size_t p = 0; p < finder.paths.size(); ++p) {
        int width = 0;
        for (int a = 0; a < finder.paths[p].nleg; ++a) {
            const std::string& label = geometries[p].atoms[at(a)].label;
            out << label << (geometries[p].potential_indices[at(a)] == 0 ? "*" : "") << "-";
            width += static_cast<int>(label.size()) + 1;
        }
        out << std::string(at(std::max(label_width - width, 1)), ' ');
    }
    out << '\n' << "nleg ";
    for (const Path& path : finder.paths) out << path.nleg << ' ';
    out << '\n' << "deg ";
    for (const Path& path : finder.paths) out << static_cast<double>(path.degeneracy) / absorbers << ' ';
    out << '\n' << "r ";
    for (std::size_t p = 0; p < finder.paths.size(); ++p) out << half_closed_length(geometries[p], finder.paths[p].nleg) << ' ';
    out << '\n';
}

void end_row(std::ostream& out) { out << '\n'; }

void write_exafs_rows(std::ostream& out, const AbsorberEdge& edge, const PathColumns& columns) {
    const double exponent = edge.spectrum->doubles[SpectrumDoubleKey::k_power_in_IO] - 1.0;
    const double absorbers = static_cast<double>(edge.pathfinder.absorber_count);
    for (int i = 1; i <= exafs_rows; ++i) {
        const double k = 0.05 * i;
        out << k << ' ';
        for (const auto& chi : columns.chi) out << std::pow(k, exponent) * chi[at(i)] / absorbers << ' ';
        end_row(out);
    }
}

void write_ft_rows(std::ostream& out, const AbsorberEdge& edge, const PathColumns& columns) {
    const SpectrumParameters& p = *edge.spectrum;
    for (int i = 0; i < p.nk; ++i) {
        out << r_grid_value(p, i) << ' ';
        for (const auto& modulus : columns.ft_modulus) out << modulus[at(i)] << ' ';
        end_row(out);
    }
}

void write_wt_rows(std::ostream& out, const AbsorberEdge& edge, const PathColumns& columns) {
    const SpectrumParameters& p = *edge.spectrum;
    for (int i = 0; i < p.nk; ++i) {
        for (int j = 0; j < p.nk; ++j) {
            out << k_grid_value(p, j) << ' ' << r_grid_value(p, i) << ' ';
            for (const auto& modulus : columns.wt_modulus) out << modulus[at(i) * at(p.nk) + at(j)] << ' ';
            end_row(out);
        }
    }
}

using RowWriter = void (*)(std::ostream&, const AbsorberEdge&, const PathColumns&);

void write_block(std::ostream& out, const AbsorberEdge& edge, const PathColumns& columns, RowWriter rows) {
    write_header(out, edge);
    rows(out, edge, columns);
    out << block_end << '\n';
}

}  // namespace

void write_partial_spectra_files(SpectrumContext& context, int best_state) {
    const SpectrumParameters& p = *context.parameters;
    std::vector<const AbsorberEdge*> edges;
    std::vector<PathColumns> columns;
    for (int n = 0; n < context.edge_count; ++n) {
        AbsorberEdge& edge = context.edges[context.edge_indices[at(n)]];
        edges.push_back(&edge);
        columns.push_back(compute_path_columns(edge, best_state));
    }
    const std::array<std::pair<const std::string*, RowWriter>, 3> files = {
        std::pair{&p.strings[SpectrumStringKey::File_for_partial_EXAFS], &write_exafs_rows},
        std::pair{&p.strings[SpectrumStringKey::File_for_partial_FT], &write_ft_rows},
        std::pair{&p.strings[SpectrumStringKey::File_for_partial_WT], &write_wt_rows}};
    for (const auto& [name, rows] : files) {
        if (name->empty()) continue;
        write_whole_file(*name, [&](std::ostream& out) {
            for (std::size_t n = 0; n < edges.size(); ++n) write_block(out, *edges[n], columns[n], rows);
        }, OutputKind::optional);
    }
}
