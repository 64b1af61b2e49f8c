#include "optimisation/population/partial_rdf.hpp"

#include "control/calculation.hpp"
#include "control/output_file.hpp"
#include "control/process_end.hpp"
#include "optimisation/population/state.hpp"
#include "optimisation/population/state_exafs.hpp"
#include "structure/atom.hpp"
#include "structure/structure.hpp"
#include "theory/absorber_edge.hpp"
#include "theory/path_lengths.hpp"
#include "theory/pathfinder.hpp"
#include "spectra/spectrum_context.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr double rdf_range = 10.0;  // angstrom, the same for every histogram
constexpr const char* block_end = "#################################################";

std::size_t at(int i) { return static_cast<std::size_t>(i); }

int structure_index_of(const Calculation& calc, const Structure& structure) {
    return static_cast<int>(&structure - calc.structures.data());
}

// Working-list positions of structure j in the state; images move with their supercell atoms.
std::vector<Atom> state_positions(const State& state, int j) {
    const Structure& structure = state.structures[j];
    std::vector<Atom> positions;
    positions.reserve(at(structure.working_count));
    for (int i = 0; i < structure.working_count; ++i) positions.push_back(get_atom_position(state, j, i));
    return positions;
}

void fill_edge_histograms(const Calculation& calc, AbsorberEdge& edge, const State& state) {
    const Structure& structure = *edge.structure;
    const double bin_width = edge.spectrum->doubles[SpectrumDoubleKey::RDF_bin_width];
    const std::string& absorber = edge.spectrum->strings[SpectrumStringKey::Edge];
    for (std::vector<double>& histogram : edge.rdf_histograms) std::fill(histogram.begin(), histogram.end(), 0.0);
    edge.rdf_per_path = false;

    const std::vector<Atom> positions = state_positions(state, structure_index_of(calc, structure));
    std::vector<int> species(at(structure.working_count));
    for (int j = 0; j < structure.working_count; ++j) {
        species[at(j)] = find_species_of_label(structure, structure.working_atoms[at(j)].label);
    }

    int absorbers = 0;
    for (int i = 0; i < structure.atom_count; ++i) {
        if (structure.working_atoms[at(i)].label != absorber) continue;
        ++absorbers;
        for (int j = 0; j < structure.working_count; ++j) {
            if (j == i) continue;
            const int t = species[at(j)];
            if (t < 0) {
                std::cout << "ERROR: UNIDENTIFIED ATOM LABEL!" << '\n';
                end_process(5);
            }
            const double d = atom_distance(positions[at(j)], positions[at(i)]);
            // Distances within one bin width of the absorber are not counted: bin 0 stays empty.
            if (d < rdf_range && d > bin_width) {
                edge.rdf_histograms[at(t)][static_cast<std::size_t>(d / bin_width)] += 1.0;
            }
        }
    }
    // Without absorbing atoms the histograms stay zero rather than 0/0.
    if (absorbers == 0) return;
    const double scale = (1.0 / absorbers) / bin_width;
    for (std::vector<double>& histogram : edge.rdf_histograms) {
        for (int b = 0; b < edge.rdf_bin_count; ++b) histogram[at(b)] *= scale;
    }
}

// Histogram p holds path p, so the table needs a row for every path as well as for every species.
void fill_path_histograms(AbsorberEdge& edge) {
    const Pathfinder& finder = edge.pathfinder;
    const double bin_width = edge.spectrum->doubles[SpectrumDoubleKey::RDF_bin_width];
    const std::size_t rows = std::max(at(edge.structure->species_count), finder.paths.size());
    if (edge.rdf_histograms.size() < rows) edge.rdf_histograms.resize(rows);
    for (std::vector<double>& histogram : edge.rdf_histograms) histogram.assign(at(edge.rdf_bin_count + 1), 0.0);
    edge.rdf_per_path = true;
    for (std::size_t p = 0; p < finder.paths.size(); ++p) {
        const Path& path = finder.paths[p];
        std::vector<double>& histogram = edge.rdf_histograms[p];
        for (const std::int32_t member : path.members) {
            const double d = chain_length(finder, member);
            if (d < rdf_range && d > bin_width) histogram[static_cast<std::size_t>(d / bin_width)] += 1.0;
        }
        if (finder.absorber_count <= 0) continue;
        const double scale = path.scale / finder.absorber_count / bin_width;
        for (int b = 0; b < edge.rdf_bin_count; ++b) histogram[at(b)] *= scale;
    }
}

// The column of path p: the absorber, the label of the path's last scatterer and the path's number.
std::string path_column_name(const AbsorberEdge& edge, std::size_t p) {
    const Pathfinder& finder = edge.pathfinder;
    const PathNode& node = finder.nodes[at(finder.paths[p].representative)];
    return edge.spectrum->strings[SpectrumStringKey::Edge] + '-' + node_label(finder, node) + "_p" + std::to_string(p);
}

}  // namespace

void init_absorber_rdf(AbsorberEdge& edge, State* current_states) {
    edge.states = current_states;
    const double bin_width = edge.spectrum->doubles[SpectrumDoubleKey::RDF_bin_width];
    edge.rdf_bin_count = static_cast<std::int32_t>(std::ceil(rdf_range / bin_width));
    edge.rdf_histograms.assign(at(edge.structure->species_count), std::vector<double>(at(edge.rdf_bin_count + 1), 0.0));
}

void compute_partial_rdf(Calculation& calc, int state_index) {
    const State& state = calc.current_states[at(state_index)];
    for (int e = 0; e < calc.absorber_edge_count; ++e) fill_edge_histograms(calc, calc.edges[at(e)], state);
    for (int s = 0; s < calc.parameters.ints[IntKey::Number_of_spectra]; ++s) write_rdf_file(calc, calc.spectra[at(s)]);
}

void compute_rdf_histograms(Calculation& calc, int state_index) {
    for (int e = 0; e < calc.absorber_edge_count; ++e) {
        AbsorberEdge& edge = calc.edges[at(e)];
        // Without the one-dimensional model the lengths follow the atoms: those of the state asked for.
        if (!calc.flags.oneD && !edge.pathfinder.paths.empty() && state_index >= 0 &&
            at(state_index) < calc.current_states.size())
            apply_state_to_edge(calc, edge, state_index);
        fill_path_histograms(edge);
    }
    for (int s = 0; s < calc.parameters.ints[IntKey::Number_of_spectra]; ++s) write_rdf_file(calc, calc.spectra[at(s)]);
}

void write_rdf_file(Calculation& calc, const SpectrumContext& context) {
    const std::string& file_name = context.parameters->strings[SpectrumStringKey::File_for_partial_RDFs];
    write_whole_file(file_name, [&](std::ostream& out) {
        for (int e = 0; e < context.edge_count; ++e) write_rdf_block(calc.edges[at(context.edge_indices[at(e)])], out);
    }, OutputKind::optional);
}

void write_rdf_block(const AbsorberEdge& edge, std::ostream& out) {
    const SpectrumParameters& spectrum = *edge.spectrum;
    const Structure& structure = *edge.structure;
    const std::string& absorber = spectrum.strings[SpectrumStringKey::Edge];
    const std::size_t columns = edge.rdf_per_path ? edge.pathfinder.paths.size() : at(structure.species_count);
    out << "R ";
    for (std::size_t t = 0; t < columns; ++t) {
        if (edge.rdf_per_path) {
            out << path_column_name(edge, t) << ' ';
        } else {
            out << absorber << '-' << structure.species_labels[t] << ' ';
        }
    }
    out << '\n';

    const double bin_width = spectrum.doubles[SpectrumDoubleKey::RDF_bin_width];
    for (int b = 0; b < edge.rdf_bin_count; ++b) {
        out << (b + 0.5) * bin_width;
        for (std::size_t t = 0; t < columns; ++t) out << ' ' << edge.rdf_histograms[t][at(b)];
        out << '\n';
    }
    out << block_end << '\n';
}

double min_interatomic_distance(Calculation& calc, int structure_index, int state_index) {
    const std::vector<Atom> positions = state_positions(calc.current_states[at(state_index)], structure_index);
    double smallest = 1.0e6;
    for (std::size_t i = 0; i < positions.size(); ++i) {
        for (std::size_t j = i + 1; j < positions.size(); ++j) {
            smallest = std::min(smallest, atom_distance(positions[i], positions[j]));
        }
    }
    return smallest;
}
