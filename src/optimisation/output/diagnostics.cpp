#include "optimisation/output/diagnostics.hpp"

#include "control/calculation.hpp"
#include "control/free_memory.hpp"
#include "control/console_log.hpp"
#include "control/output_file.hpp"
#include "optimisation/output/chi_output.hpp"
#include "optimisation/population/evaluation.hpp"
#include "optimisation/population/state.hpp"
#include "optimisation/population/state_exafs.hpp"
#include "spectra/signal_files.hpp"
#include "spectra/spectrum_context.hpp"
#include "theory/absorber_edge.hpp"
#include "theory/cluster_sums.hpp"
#include "theory/clustering.hpp"
#include "theory/pathfinder.hpp"

#include <cmath>
#include <cstddef>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

std::size_t at(std::int64_t i) { return static_cast<std::size_t>(i); }

void evaluate_all(Calculation& calc, bool report) { evaluate_states(calc, true, true, true, true, report, -1, -1); }

std::string approximate_file_name(int spectrum) { return "approx_" + std::to_string(spectrum) + ".dat"; }

}  // namespace

int count_clusters_of_spectrum(const Calculation& calc, const SpectrumContext& context) {
    int count = 0;
    for (int n = 0; n < context.edge_count; ++n) count += count_clusters(calc.edges[at(context.edge_indices[at(n)])].pathfinder);
    return count;
}

void write_restart_clusters(Calculation& calc) {
    write_whole_file("restartClusters.dat", [&](std::ostream& out) {
        for (int e = 0; e < calc.absorber_edge_count; ++e) {
            const Pathfinder& finder = calc.edges[at(e)].pathfinder;
            out << "PATHLENGTH: " << finder.paths.size() << '\n';
            for (const Path& path : finder.paths) {
                out << "\tCLUSTERLENGTH: " << path.cluster_count << '\n';
                out << "\tMax. geom. error: " << path.largest_geometric_error << '\n';
                out << "\tMax. EXAFS error: " << path.largest_exafs_error << '\n';
                for (const Cluster& cluster : path.clusters) {
                    for (int c = 0; c < cluster.descriptor_length; ++c) out << cluster.centroid[at(c)] << ' ';
                    out << cluster.member_count << ' ' << cluster.spread << ' ' << cluster.reserved_error << ' '
                        << cluster.exafs_error << '\n';
                }
            }
        }
    }, OutputKind::optional);
}

bool check_path_cluster_errors(AbsorberEdge& edge, int state, const MemberChiTable& members,
                               double norm, bool first_pass) {
    Pathfinder& finder = edge.pathfinder;
    const double precision = edge.spectrum->doubles[SpectrumDoubleKey::Clustering_precision];
    const double k_power = edge.spectrum->doubles[SpectrumDoubleKey::k_power];
    const double absorbers = static_cast<double>(finder.absorber_count);
    bool passed = true;
    double total = 0.0;
    std::vector<std::int32_t> listed;
    for (std::size_t p = 0; p < finder.paths.size(); ++p) {
        Path& path = finder.paths[p];
        path.largest_exafs_error = -1e6;
        path.largest_geometric_error = -1e6;
        if (!(path.check || first_pass)) continue;
        bool path_passes = true;
        path.clustering_precision = 1e6;
        for (int u = 0; u < path.cluster_count; ++u) {
            Cluster& cluster = path.clusters[at(u)];
            check_cluster_member_counts(path, u, listed, state);
            cluster.exafs_error = 0.0;
            for (int i = 1; i < path_chi_points; ++i) {
                const double k = 0.05 * i;
                double exact = 0.0;
                for (const std::int32_t m : listed) exact += k * members[p][at(m)][at(i)];
                const double approximate = cluster_contribution(path, u, state, i);
                const double difference = std::pow(k, k_power - 1) * (approximate / absorbers - exact);
                cluster.exafs_error += difference * difference;
            }
            const double rms = std::sqrt(cluster.exafs_error / norm);
            total += rms * rms;
            if (rms > precision) {
                path_passes = false;
                if (cluster.spread < path.clustering_precision) path.clustering_precision = cluster.spread;
            }
            path.largest_exafs_error = std::max(path.largest_exafs_error, rms);
            path.largest_geometric_error = std::max(path.largest_geometric_error, cluster.spread);
        }
        path.check = false;
        // The first path of an edge that takes the experiment's amplitude and phase has nothing to gain
        // from finer clusters.
        if (!path_passes && !(p == 0 && edge.use_experimental_amplitude_phase)) {
            split_wide_clusters(path);
            path.check = true;
            passed = false;
        }
    }
    std::cout << "\tTotal EXAFS error: " << std::sqrt(total) << '\n';
    return passed;
}

bool check_clustering_precision(Calculation& calc, bool report) {
    const int states = calc.parameters.ints[IntKey::Number_of_states];
    const int spectra = calc.parameters.ints[IntKey::Number_of_spectra];
    const int maximal_clusters = calc.parameters.ints[IntKey::Maximal_number_of_clusters];
    const int s = states - 1;
    std::cout << "-------------------";
    log_line("---------------------");
    backup_all_states(calc);
    std::cout << "\tAverage residual delta " << calc.objective_normaliser << '\n';
    print_separator_line();
    std::cout << "\tChecking clustering! (state #" << s << ")" << '\n';
    std::vector<MemberChiTable> tables(at(calc.absorber_edge_count));
    State& state = calc.current_states[at(s)];
    for (int p = 0; p < spectra; ++p) {
        SpectrumContext& context = calc.spectra[at(p)];
        std::cout << "\t(spectra #" << p << ")" << '\n';
        write_chi_file(context, state.spectra[at(p)].chi_grid.data(), approximate_file_name(p));
        double approximate = report ? state_exafs_error(context, s) : 0.0;
        state.needs_evaluation = true;
        const double norm = compute_state_exafs(calc, context, s, true, &tables);
        write_signal_file(state.spectra[at(p)].chi, "precise_EXAFS.dat", signal_file_k_line);
        write_signal_file(calc.backup_states[at(s)].spectra[at(p)].chi, "approx_EXAFS.dat", signal_file_k_line);
        double precise = 0.0;
        if (report) {
            precise = state_exafs_error(context, s);
            std::cout << "\tPrecise/approximate residual: " << precise << " / " << approximate << '\n';
        }
        if (!(norm > 0) || !std::isfinite(norm)) {
            // Without an exact signal to measure against, no error can be told; the clusters stay.
            std::cout << "WARNING: the exact signal of spectrum " << p
                      << " is zero; its clustering precision is not checked." << '\n';
            for (int n = 0; n < context.edge_count; ++n) {
                for (Path& path : calc.edges[at(context.edge_indices[at(n)])].pathfinder.paths) path.check = true;
            }
            continue;
        }
        int clusters = count_clusters_of_spectrum(calc, context);
        int pass = 0;
        bool first = true;
        for (;;) {
            if (pass > 99 || clusters >= context.edge_count * maximal_clusters) break;
            evaluate_all(calc, report);
            if (report) approximate = state.spectra[at(p)].residual;
            write_chi_file(context, state.spectra[at(p)].chi_grid.data(), approximate_file_name(p));
            write_restart_clusters(calc);
            std::cout << "\tTotal number of clusters: " << clusters << '\n';
            if (report) std::cout << "\tPrecise/approximate residual: " << precise << " / " << approximate << '\n';
            print_separator_line();
            bool all_passed = true;
            for (int n = 0; n < context.edge_count; ++n) {
                const int e = context.edge_indices[at(n)];
                if (!check_path_cluster_errors(calc.edges[at(e)], s, tables[at(e)], norm, first)) all_passed = false;
            }
            clusters = count_clusters_of_spectrum(calc, context);
            first = false;
            ++pass;
            if (all_passed) break;
        }
        evaluate_all(calc, report);
        if (report) approximate = state.spectra[at(p)].residual;
        write_chi_file(context, state.spectra[at(p)].chi_grid.data(), approximate_file_name(p));
        write_restart_clusters(calc);
        if (report) std::cout << "\tPrecise/approximate: " << precise << " / " << approximate << '\n';
        print_separator_line();
        if (pass == 100 || clusters >= maximal_clusters) std::cout << "\tWARNING! Clustering precision may be insufficient!" << '\n';
        for (int n = 0; n < context.edge_count; ++n) {
            for (Path& path : calc.edges[at(context.edge_indices[at(n)])].pathfinder.paths) path.check = true;
        }
    }
    for (int i = 0; i < states; ++i) restore_state(calc, i);
    // The exact signals of every member go now; the loop that follows should not carry their pages.
    tables.clear();
    tables.shrink_to_fit();
    return_free_memory();
    return true;
}
