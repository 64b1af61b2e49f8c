#include "optimisation/output/xyz_output.hpp"

#include "control/calculation.hpp"
#include "control/output_file.hpp"
#include "optimisation/population/state.hpp"
#include "structure/atom_io.hpp"
#include "structure/periodic_images.hpp"
#include "optimisation/population/partial_rdf.hpp"
#include "structure/structure.hpp"

#include <cstddef>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <vector>

namespace {

constexpr int snapshot_precision = 13;
constexpr int history_precision = 6;
constexpr int history_chi_points = 401;  // k = 0, 0.05, ..., 20.0: grid entries 1 to 401

std::size_t at(int i) { return static_cast<std::size_t>(i); }

// The first `count` atoms under the count line and the comment line.
void write_snapshot(const std::string& file_name, const std::vector<Atom>& atoms, int count,
                    const std::string& comment) {
    write_whole_file(file_name, [&](std::ostream& out) {
        out << std::setprecision(snapshot_precision) << count << '\n' << comment << '\n';
        for (int i = 0; i < count; ++i) write_atom(atoms[at(i)], atoms[at(i)].label, out, "gulp");
    }, OutputKind::optional);
}

std::vector<Atom> best_state_positions(const Calculation& calc, int j) {
    const State& best = calc.current_states[at(calc.best_state_index)];
    const Structure& structure = calc.structures[at(j)];
    std::vector<Atom> positions;
    positions.reserve(at(structure.working_count));
    for (int i = 0; i < structure.working_count; ++i) positions.push_back(get_atom_position(best, j, i));
    return positions;
}

void write_structure_snapshots(Calculation& calc, int j) {
    Structure& structure = calc.structures[at(j)];
    const StructureParameters& parameters = calc.structure_parameters[at(j)];
    build_periodic_images(structure, false);

    const int n = structure.atom_count;
    const int total = structure.working_count;
    const std::string real_atoms = "#First " + std::to_string(n) + " lines - real atoms";
    const std::string with_images =
        real_atoms + ", remaining " + std::to_string(total - n) + " lines - copies due to PBC.";
    const std::string& reference_name = parameters.strings[StructureStringKey::File_for_equilibrium_xyz];
    const std::string& best_name = parameters.strings[StructureStringKey::File_for_final_xyz];
    const std::vector<Atom> best = best_state_positions(calc, j);

    write_snapshot(reference_name, structure.working_atoms, total, with_images);
    write_snapshot(no_pbc_file_name(reference_name), structure.working_atoms, n, real_atoms);
    write_snapshot(best_name, best, total, with_images);
    write_snapshot(no_pbc_file_name(best_name), best, n, real_atoms);

    build_periodic_images(structure, true);
}

std::vector<int> states_to_write(const Calculation& calc, int format) {
    if (format == 1) return {calc.best_state_index};
    std::vector<int> states(at(calc.parameters.ints[IntKey::Number_of_states]));
    for (std::size_t s = 0; s < states.size(); ++s) states[s] = static_cast<int>(s);
    return states;
}

}  // namespace

std::string no_pbc_file_name(const std::string& file_name) {
    const std::size_t stem = file_name.size() < 4 ? file_name.size() : file_name.size() - 4;
    return file_name.substr(0, stem) + "_no_PBC.xyz";
}

void write_state_xyz_files(Calculation& calc) {
    for (int j = 0; j < calc.parameters.ints[IntKey::Number_of_structures]; ++j) write_structure_snapshots(calc, j);
    if (calc.flags.oneD || calc.flags.oneDrdf) {
        compute_rdf_histograms(calc, calc.best_state_index);
    } else {
        compute_partial_rdf(calc, calc.best_state_index);
    }
}

void append_states_xyz(Calculation& calc) {
    append_states_geometry(calc);
    append_states_chi_history(calc);
}

void append_states_geometry(Calculation& calc) {
    const int format = calc.parameters.ints[IntKey::Actual_geometry_format];
    if (format <= 0) return;
    const std::vector<int> states = states_to_write(calc, format);

    // Only the first weight of a call is written in default notation; the history files share the switch
    // to scientific notation that follows the first header pair.
    bool scientific = false;
    for (int j = 0; j < calc.parameters.ints[IntKey::Number_of_structures]; ++j) {
        const StructureParameters& parameters = calc.structure_parameters[at(j)];
        const std::string& file_name = parameters.strings[StructureStringKey::File_for_actual_geometry];
        append_to_file(file_name, [&](std::ostream& out) {
            if (scientific) out << std::scientific << std::setprecision(history_precision);
            const int n = calc.structures[at(j)].atom_count;
            for (int s : states) {
                const State& state = calc.current_states[at(s)];
                out << n << '\n' << calc.iteration << ' ' << s << ' ' << state.weights[at(j)] << '\n';
                if (!scientific) {
                    out << std::scientific << std::setprecision(history_precision);
                    scientific = true;
                }
                for (int i = 0; i < n; ++i) {
                    const Atom position = get_atom_position(state, j, i);
                    write_atom(position, position.label, out, "gulp");
                }
            }
        }, OutputKind::optional);
    }
}

void append_states_chi_history(Calculation& calc) {
    const int format = calc.parameters.ints[IntKey::Actual_geometry_format];
    if (format <= 0) return;
    const std::vector<int> states = states_to_write(calc, format);
    for (int k = 0; k < calc.parameters.ints[IntKey::Number_of_spectra]; ++k) {
        const SpectrumParameters& parameters = calc.spectrum_parameters[at(k)];
        const std::string& file_name = parameters.strings[SpectrumStringKey::File_for_EXAFS_history];
        append_to_file(file_name, [&](std::ostream& out) {
            for (int s : states) {
                const auto& chi_grid = calc.current_states[at(s)].spectra[at(k)].chi_grid;
                out << calc.iteration << ' ' << s << ": ";
                for (int m = 1; m <= history_chi_points; ++m) out << chi_grid[at(m)] << ' ';
                out << '\n';
            }
        }, OutputKind::optional);
    }
}
