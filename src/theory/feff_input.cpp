#include "theory/feff_input.hpp"

#include "control/calculation.hpp"
#include "control/process_end.hpp"
#include "structure/elements.hpp"
#include "theory/absorber_edge.hpp"
#include "theory/feff_run.hpp"
#include "structure/structure.hpp"

#include <algorithm>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <numeric>
#include <vector>

namespace {

constexpr int max_feff_atoms = 1000;

[[noreturn]] void fail(const std::string& message) {
    std::cout << message << '\n';
    end_process(1);
}

void write_potential_lines(std::ostream& out, const Structure& structure, const std::string& edge, int iph,
                           const std::string& absorber_type) {
    switch (structure.parameters->type_code) {
        case structure_type_fcc_gulp:
            out << "       0   32    " << edge << "     -1      -1       0" << '\n';
            out << "       1   32    " << edge << "     -1      -1       1" << '\n';
            break;
        case structure_type_reo3:
            out << "       0   75    " << edge << "     -1      -1       0" << '\n';
            out << "       1   75    " << edge << "     -1      -1       1" << '\n';
            out << "       2   8    O     -1      -1       2" << '\n';
            break;
        case structure_type_other:
        case structure_type_fcc: break;
        default:
            out << "       0   " << structure.species_z[static_cast<std::size_t>(iph - 1)] << "    " << absorber_type
                << "     -1      -1       0" << '\n';
            for (std::size_t j = 0; j < structure.species_labels.size(); ++j) {
                out << "       " << j + 1 << "   " << structure.species_z[j] << "    " << structure.species_labels[j]
                    << "     -1      -1       " << structure.species_counts[j] << '\n';
            }
    }
}

}  // namespace

double automatic_scf_radius(const double* d, int count, const double* nearest_of_type, int types) {
    // Without a neighbour there is no shell structure to follow; the fallback radius serves.
    double r = 5.0;
    if (count >= 2) {
        const double d1 = d[1];
        int position = 2;
        double d2 = d1;
        for (; position < count; ++position) {
            d2 = d[position];
            if (d2 - d1 >= 1.0) break;
        }
        double d3 = d2;
        for (++position; position < count; ++position) {
            d3 = d[position];
            if (d3 - d2 >= 0.1 * d1) break;
        }
        if (1.0 < d3 && d3 < 10.0) r = d3;
    }
    for (int t = 0; t < types; ++t) {
        if (nearest_of_type[t] > r) r = nearest_of_type[t] + 0.1;
    }
    return r;
}

void write_feff_inp(AbsorberEdge& edge, bool atoms_mode) {
    SpectrumParameters& spectrum = *edge.spectrum;
    const Structure& structure = *edge.structure;
    const std::string& edge_label = spectrum.strings[SpectrumStringKey::Edge];
    const auto& atoms = structure.working_atoms;

    int absorber = -1;
    for (int i = 0; i < structure.atom_count && absorber < 0; ++i) {
        if (atoms[static_cast<std::size_t>(i)].label == edge_label) absorber = i;
    }
    if (absorber < 0) fail("ERROR: no absorbing atoms!");

    const auto count = static_cast<std::size_t>(structure.working_count);
    std::vector<double> distance(count);
    for (std::size_t i = 0; i < count; ++i) distance[i] = atom_distance(atoms[i], atoms[static_cast<std::size_t>(absorber)]);
    // Equal distances keep the working-list order, so the file is the same on every run.
    std::vector<std::size_t> order(count);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return distance[a] < distance[b]; });

    double& r_scf = spectrum.scf[ScfKey::r_scf];
    if (r_scf < 0) {
        std::vector<double> sorted(count);
        for (std::size_t p = 0; p < count; ++p) sorted[p] = distance[order[p]];
        std::vector<double> nearest(structure.species_labels.size(), 0.0);
        for (std::size_t t = 0; t < nearest.size(); ++t) {
            for (std::size_t p = 1; p < count; ++p) {
                if (atoms[order[p]].label == structure.species_labels[t]) {
                    nearest[t] = sorted[p];
                    break;
                }
            }
        }
        r_scf = automatic_scf_radius(sorted.data(), static_cast<int>(count), nearest.data(),
                                     static_cast<int>(nearest.size()));
    }

    int iph = 1;
    std::string absorber_type;
    if (structure.parameters->type_code >= structure_type_file) {
        const int edge_z = atomic_number_of_label(edge_label);
        for (std::size_t t = 0; t < structure.species_z.size(); ++t) {
            if (structure.species_z[t] == edge_z) {
                iph = static_cast<int>(t) + 1;
                absorber_type = structure.species_labels[t];
                break;
            }
        }
    }

    const auto& d = spectrum.doubles;
    const int legs = spectrum.ints[SpectrumIntKey::N_legs];
    const double r_max = d[SpectrumDoubleKey::R_max_for_FEFF];
    const std::string path = feff_folder_file_path(edge.index, "feff.inp");
    {
        std::ofstream out(path, std::ios::trunc);
        out << std::fixed << std::setprecision(12);
        out << " " << '\n'
            << " TITLE   Talq_FEFF_inp" << '\n'
            << "  " << '\n'
            << " EDGE      " << spectrum.strings[SpectrumStringKey::Edge_type] << " " << '\n'
            << " S02       " << 1.0 << '\n'
            << " " << '\n'
            << " *         pot    xsph  fms   paths genfmt ff2chi" << '\n'
            << " CONTROL   1      1     1     1     1      1" << '\n'
            << " PRINT     1      0     0     0     0      " << (atoms_mode ? 3 : 0) << '\n'
            << "  " << '\n'
            << " *         r_scf   [ l_scf  n_scf  ca ]" << '\n'
            << " SCF       " << r_scf << "   0      " << static_cast<int>(spectrum.scf[ScfKey::n_scf]) << "     "
            << spectrum.scf[ScfKey::ca] << "     " << static_cast<int>(spectrum.scf[ScfKey::n_mix]) << '\n'
            << " " << '\n'
            << " *         ixc  [ Vr  Vi ]" << '\n'
            << " EXCHANGE  0      0   0" << '\n'
            << "" << '\n'
            << " EXAFS 20.0" << '\n'
            << " RPATH    " << r_max << '\n';
        if (legs > 1) out << " NLEGS    " << legs << '\n';
        out << " CRITERIA  0.0  " << d[SpectrumDoubleKey::FEFF_criteria] << " " << '\n'
            << "CFAVERAGE " << iph << " 1 " << std::max(r_max, r_scf) << '\n'
            << "  " << '\n'
            << " " << '\n';
        if (spectrum.has_polarization) {
            out << " POLARIZATION " << spectrum.polarization[0] << " " << spectrum.polarization[1] << " "
                << spectrum.polarization[2] << '\n';
        }
        out << " POTENTIALS" << '\n' << " *   ipot   z [ label   l_scmt  l_fms  stoichiometry ]" << '\n';
        write_potential_lines(out, structure, edge_label, iph, absorber_type);
        out << "  " << '\n' << " ATOMS" << '\n';
        const Atom& centre = atoms[static_cast<std::size_t>(absorber)];
        out << centre.x << " " << centre.y << " " << centre.z << " " << iph << " " << absorber_type << '\n';
        for (std::size_t p = 1; p < count; ++p) {
            if (p == max_feff_atoms) {
                std::cout << "\tWARNING! Too large cluster for potential calculations. Skipping remaining atoms!" << '\n';
                break;
            }
            const Atom& atom = atoms[order[p]];
            out << atom.x << " " << atom.y << " " << atom.z << " " << potential_index_of_label(structure, atom.label)
                << " " << atom.label << '\n';
        }
        out << "  END" << '\n';
        if (!out) std::cout << "WARNING: FILE " << path << " could not be written completely" << '\n';
    }
    if (atoms_mode) end_process(0);

    // FEFF reports failure only by missing outputs, so outputs of an earlier run must not pass for new ones.
    for (const char* output : {"pot.bin", "pot.pad", "paths.dat", "chi.dat"}) {
        remove_stale_feff_output(feff_folder_file_path(edge.index, output));
    }
    require_normal_feff_end(run_feff(edge.index, -1), feff_folder_name(edge.index));
}
