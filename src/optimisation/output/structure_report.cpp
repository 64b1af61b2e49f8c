#include "optimisation/output/structure_report.hpp"

#include "control/calculation.hpp"
#include "control/console_log.hpp"
#include "control/process_end.hpp"
#include "optimisation/output/chi_output.hpp"
#include "optimisation/population/state.hpp"
#include "optimisation/population/state_exafs.hpp"
#include "structure/atom_io.hpp"
#include "structure/structure.hpp"
#include "theory/absorber_edge.hpp"
#include "theory/pathfinder.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

std::size_t at(std::int64_t i) { return static_cast<std::size_t>(i); }

// For an isotropic Gaussian displacement the median of |u| is 1.5382 sigma and <u^2> is 3 sigma^2, so
// <u^2> = 1.26798 m^2 with m the median.
constexpr double msd_factor = 1.26798;
constexpr int path_geometry_capacity = static_cast<int>(std::tuple_size_v<decltype(PathGeometry::atoms)>);

const State* best_state(const Calculation& calc) {
    const std::int32_t best = calc.best_state_index;
    if (best < 0 || at(best) >= calc.current_states.size()) return nullptr;
    return &calc.current_states[at(best)];
}

// <u^2> is printed in the default notation whatever an earlier block left on the console.
std::string in_default_notation(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

[[noreturn]] void report_array_overflow() {
    std::cout << "ERROR! ARRAY OVERFLOW!" << '\n';
    end_process(1);
}

// Leg lengths and scattering angles of every member of one path, entry by entry: the values of entry k
// are the `members` numbers from k * members on.
struct EntryTable {
    int nleg = 0;
    int members = 0;
    std::vector<double> rleg;
    std::vector<double> beta;

    EntryTable(int legs, int member_count)
        : nleg(legs), members(member_count), rleg(at(legs) * at(member_count)), beta(at(legs) * at(member_count)) {}

    void store(int k, int j, double leg, double angle) {
        if (k < 0 || k >= nleg || j < 0 || j >= members) report_array_overflow();
        rleg[at(k) * at(members) + at(j)] = leg;
        beta[at(k) * at(members) + at(j)] = angle;
    }
    double* rleg_of(int k) { return rleg.data() + at(k) * at(members); }
    double* beta_of(int k) { return beta.data() + at(k) * at(members); }
};

bool is_node(const Pathfinder& finder, std::int32_t n) { return n >= 0 && at(n) < finder.nodes.size(); }

// The chains whose geometry is averaged. A path is never built without members; should one come without
// them, its representative (the first chain of its class) stands for it rather than a mean of nothing.
std::vector<std::int32_t> member_nodes(const Path& path) {
    if (path.members.empty()) return {path.representative};
    return path.members;
}

// A path whose legs do not fit a path geometry, or whose chains are not in the tree, has no table.
void check_path(const Pathfinder& finder, const Path& path, const std::vector<std::int32_t>& members) {
    if (path.nleg < 1 || path.nleg > path_geometry_capacity || !is_node(finder, path.representative)) {
        report_array_overflow();
    }
    for (const std::int32_t n : members) {
        if (!is_node(finder, n)) report_array_overflow();
    }
}

void fill_entry_table(const Pathfinder& finder, const Path& path, const std::vector<std::int32_t>& members,
                      EntryTable& table) {
    const int nleg = path.nleg;
    PathGeometry geometry;
    for (int j = 0; j < static_cast<int>(members.size()); ++j) {
        extract_path_geometry(finder, members[at(j)], nleg - 1, geometry, false);
        for (int k = 0; k < nleg; ++k) {
            const Atom& here = geometry.atoms[at(k)];
            const Atom& next = geometry.atoms[at((k + 1) % nleg)];
            const Atom& previous = geometry.atoms[at((k + nleg - 1) % nleg)];
            // Two legs can only go out and back, which is backscattering.
            const double angle = nleg < 3 ? 180.0 : angle_at_atom(previous, here, next);
            table.store(k, j, atom_distance(here, next), angle);
        }
    }
}

void print_path_table(const Pathfinder& finder, const Path& path, int path_number) {
    const std::vector<std::int32_t> members = member_nodes(path);
    check_path(finder, path, members);
    const int nleg = path.nleg;
    PathGeometry representative;
    path_geometry_of_path(finder, path, representative);
    std::cout << "     " << path_number << "    " << nleg << "   " << path.degeneracy
              << "  index, nleg, degeneracy, r=  " << half_closed_length(representative, nleg) << '\n';
    std::cout << " x        y        z        ipot label\t<rleg>   \t<beta>   \tMAD[rleg]\tMAD[beta]" << '\n';

    EntryTable table(nleg, static_cast<int>(members.size()));
    fill_entry_table(finder, path, members, table);
    const int n = table.members;
    for (int k = nleg - 1; k >= 0; --k) {
        // mad_variance reorders the values, so the means come first.
        const double mean_rleg = mean_of_array(table.rleg_of(k), n);
        const double mean_beta = mean_of_array(table.beta_of(k), n);
        const double spread_rleg = mad_variance(table.rleg_of(k), n);
        const double spread_beta = mad_variance(table.beta_of(k), n);
        const Atom& atom = representative.atoms[at(k)];
        write_atom(atom, atom.label, std::cout, "no_new_line");
        std::cout << "   " << representative.potential_indices[at(k)] << "    " << atom.label << '\t' << mean_rleg << '\t'
                  << mean_beta << '\t' << spread_rleg << '\t' << spread_beta << '\n';
    }
}

void report_structure(Calculation& calc, bool mark_potentials, bool release_paths) {
    print_separator_line();
    log_line("              MSD <u^2>");
    print_separator_line();
    print_msd_per_element(calc);
    print_separator_line();
    log_line("              STRUCTURE PARAMETERS");
    print_separator_line();
    // Without a state there is no refined geometry; the tables would only repeat the reference structure.
    if (best_state(calc) == nullptr) return;
    for (int e = 0; e < calc.absorber_edge_count; ++e) {
        AbsorberEdge& edge = calc.edges[at(e)];
        if (mark_potentials) mark_absorber_potentials(edge);
        apply_state_to_edge(calc, edge, calc.best_state_index);
        print_averaged_path_geometry(edge);
        if (release_paths) free_pathfinder_arrays(edge.pathfinder);
    }
}

}  // namespace

double msd_of_displacements(std::vector<double>& displacement_norms) {
    const double median = median_of_array(displacement_norms.data(), static_cast<int>(displacement_norms.size()));
    return median * msd_factor * median;
}

void print_msd_per_element(const Calculation& calc) {
    const State* state = best_state(calc);
    if (state == nullptr) {
        std::cout << "WARNING: there is no state whose displacements could be reported" << '\n';
        return;
    }
    const int structures = calc.parameters.ints[IntKey::Number_of_structures];
    for (int p = 0; p < structures && p < static_cast<int>(state->atom_index.size()); ++p) {
        std::cout << "\tSTRUCTURE # " << p << '\n';
        const Structure& structure = calc.structures[at(p)];
        const int atoms = static_cast<int>(state->atom_index[at(p)].size());
        for (const std::string& species : structure.species_labels) {
            std::vector<double> norms;
            for (int i = 0; i < atoms; ++i) {
                const Atom record = get_structure_atom(*state, p, i);
                if (record.label == species) norms.push_back(atom_norm(record));
            }
            // Only a species whose atoms were all relabelled has none; it has no median to report.
            if (norms.empty()) continue;
            std::cout << "\t\t" << species << '\t' << in_default_notation(msd_of_displacements(norms)) << '\n';
        }
    }
}

void print_averaged_path_geometry(const AbsorberEdge& edge) {
    const SpectrumParameters& spectrum = *edge.spectrum;
    std::cout << std::string(25, ' ') << "STRUCTURE #" << edge.structure->structure_number << "  ["
              << spectrum.strings[SpectrumStringKey::Edge] << " " << spectrum.strings[SpectrumStringKey::Edge_type]
              << "-edge]" << '\n';
    print_separator_line();
    const SavedNumberFormat console(std::cout);
    std::cout << std::fixed << std::setprecision(6);
    const Pathfinder& finder = edge.pathfinder;
    for (std::size_t p = 0; p < finder.paths.size(); ++p) {
        print_path_table(finder, finder.paths[p], static_cast<int>(p) + 1);
    }
    print_separator_line();
}

void report_structure_mode(Calculation& calc) {
    // The report mode skips the FEFF inputs, and with them the potential indices of the path atoms; the
    // table shows them, so they are given here.
    report_structure(calc, true, false);
}

void report_final_structure(Calculation& calc) { report_structure(calc, false, true); }
