#include "theory/absorber_edge.hpp"

#include "control/calculation.hpp"
#include "control/process_end.hpp"
#include "control/record_parameters.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/elements.hpp"
#include "structure/structure.hpp"

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

// The parameter reader refuses longer paths than the path search builds.
static_assert(max_N_legs == max_path_legs);

namespace {

// Every atom of an edge's structure goes to FEFF with a potential. A label that has none is refused
// here, before any FEFF run, rather than surfacing as missing potentials after it.
void check_potential_labels(const Structure& structure) {
    std::vector<std::string> checked;
    for (int i = 0; i < structure.atom_count; ++i) {
        const std::string& label = structure.working_atoms[static_cast<std::size_t>(i)].label;
        if (std::find(checked.begin(), checked.end(), label) != checked.end()) continue;
        potential_index_of_label(structure, label);
        checked.push_back(label);
    }
}

// Why a structure gave no absorber: its labels name the element only with a suffix (site labels of a
// CIF file, such as Cu1), or the element is not there at all.
void explain_missing_absorbers(const Structure& structure, int number, const std::string& edge_label) {
    std::vector<std::string> labels;
    for (int i = 0; i < structure.atom_count; ++i) {
        const std::string& label = structure.working_atoms[static_cast<std::size_t>(i)].label;
        if (std::find(labels.begin(), labels.end(), label) == labels.end()) labels.push_back(label);
    }
    const int element = atomic_number_of_label(edge_label);
    std::vector<std::string> of_element;
    for (const std::string& label : labels) {
        if (element > 0 && atomic_number_of_label(label) == element) of_element.push_back(label);
    }
    const std::vector<std::string>& shown = of_element.empty() ? labels : of_element;
    constexpr std::size_t most_shown = 8;
    std::string list;
    for (std::size_t i = 0; i < shown.size() && i < most_shown; ++i) list += (i > 0 ? ", " : "") + shown[i];
    if (shown.size() > most_shown) list += ", ...";
    if (!of_element.empty()) {
        std::cout << "       the atom labels of structure " << number << " (" << list << ") do not name the element "
                  << edge_label << " of the Edge: set labels_to_element_name 1 to read such labels as element names"
                  << '\n';
    } else {
        std::cout << "       structure " << number << " holds no atom labelled " << edge_label << "; its labels are "
                  << list << '\n';
    }
}

}  // namespace

void setup_absorber_edges(Calculation& calc) {
    const int spectra = calc.parameters.ints[IntKey::Number_of_spectra];
    const int structures = calc.parameters.ints[IntKey::Number_of_structures];
    int edge_count = 0;
    for (int s = 0; s < spectra; ++s) {
        SpectrumContext& context = calc.spectra[s];
        SpectrumParameters& spectrum = calc.spectrum_parameters[s];
        const std::string& edge_label = spectrum.strings[SpectrumStringKey::Edge];
        context.edge_count = 0;
        for (int t = 0; t < structures; ++t) {
            Structure& structure = calc.structures[t];
            int absorbers = 0;
            // Only the supercell atoms count; their periodic images follow them in the working list.
            for (int i = 0; i < structure.atom_count; ++i) absorbers += structure.working_atoms[i].label == edge_label;
            if (absorbers == 0) continue;
            AbsorberEdge& edge = calc.edges[edge_count];
            edge.index = edge_count;
            edge.spectrum = &spectrum;
            edge.structure = &structure;
            context.edge_indices[context.edge_count++] = edge_count;
            ++edge_count;
        }
        if (context.edge_count == 0) {
            std::cout << "ERROR: no absorbing atoms for " << edge_label << " edge!" << '\n';
            for (int t = 0; t < structures; ++t) explain_missing_absorbers(calc.structures[t], t, edge_label);
            end_process(1);
        }
    }
    calc.absorber_edge_count = edge_count;
    for (int t = 0; t < structures; ++t) {
        const Structure& structure = calc.structures[t];
        const bool has_edge = std::any_of(calc.edges.begin(), calc.edges.begin() + edge_count,
                                          [&](const AbsorberEdge& edge) { return edge.structure == &structure; });
        if (has_edge) check_potential_labels(structure);
    }
    if (edge_count > 0 && calc.experimental_amplitude_phase.in_use) {
        AbsorberEdge& first = calc.edges[0];
        first.use_experimental_amplitude_phase = true;
        first.experimental_amplitude = calc.experimental_amplitude_phase.amplitude;
        first.experimental_phase = calc.experimental_amplitude_phase.phase;
    }
    for (int e = 0; e < edge_count; ++e) calc.edges[e].worker_count = calc.parameters.ints[IntKey::Number_of_threads];
}

void run_pathfinder_stage(AbsorberEdge& edge, int centre_atom) {
    const SpectrumParameters& spectrum = *edge.spectrum;
    const Structure& structure = *edge.structure;
    Atom polarization{"", spectrum.polarization[0], spectrum.polarization[1], spectrum.polarization[2]};
    polarization = atom_unit_vector(polarization);
    edge.pathfinder.edge_index = edge.index;
    setup_and_run_pathfinder(edge.pathfinder, spectrum.strings[SpectrumStringKey::Edge],
                             spectrum.ints[SpectrumIntKey::N_legs], spectrum.doubles[SpectrumDoubleKey::R_max_for_FEFF],
                             spectrum.doubles[SpectrumDoubleKey::Pathfinder_robustness], structure.atom_count,
                             structure.working_count, structure.working_atoms, structure.working_source,
                             edge.worker_count, centre_atom, polarization, spectrum.has_polarization);
}

void mark_absorber_potentials(AbsorberEdge& edge) {
    assign_potential_indices(edge.pathfinder, *edge.structure);
}
