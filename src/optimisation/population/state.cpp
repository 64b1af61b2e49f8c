#include "optimisation/population/state.hpp"

#include "control/calculation.hpp"
#include "control/mt.hpp"
#include "optimisation/population/partial_rdf.hpp"
#include "spectra/residuals.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/structure.hpp"
#include "theory/absorber_edge.hpp"

#include <algorithm>
#include <cstddef>

namespace {

std::size_t at(int i) { return static_cast<std::size_t>(i); }

// Only the first n points: the destination keeps its own (possibly larger) arrays, so a state copy
// never allocates.
void copy_points(const std::vector<double>& source, std::vector<double>& destination, std::int32_t n) {
    std::copy_n(source.begin(), static_cast<std::ptrdiff_t>(n), destination.begin());
}


// Each state draws one number per structure in structure order; the draws are then scaled to a sum of 1
// so the weights stay a partition of the model signal.
void draw_random_weights(Calculation& calc, State& state) {
    double sum = 0.0;
    for (int j = 0; j < state.structure_count; ++j) {
        state.weights[at(j)] = uniform_random(calc);
        sum += state.weights[at(j)];
    }
    for (int j = 0; j < state.structure_count; ++j) state.weights[at(j)] /= sum;
}

}  // namespace

void allocate_states(Calculation& calc) {
    const std::int32_t state_count = calc.parameters.ints[IntKey::Number_of_states];
    const std::int32_t spectrum_count = calc.parameters.ints[IntKey::Number_of_spectra];
    const std::int32_t structure_count = calc.parameters.ints[IntKey::Number_of_structures];
    const auto count = static_cast<std::size_t>(std::max(state_count, 0));
    calc.current_states = std::vector<State>(count);
    calc.offspring_states = std::vector<State>(count);
    calc.backup_states = std::vector<State>(count);

    Structure* structures = calc.structures.data();
    const bool random_weights = structure_count > 0 && structures[0].weight < 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        init_state(calc.current_states[i], spectrum_count, structure_count, structures);
        init_state(calc.offspring_states[i], spectrum_count, structure_count, structures);
        init_state(calc.backup_states[i], spectrum_count, structure_count, structures);
        for (auto* population : {&calc.current_states, &calc.offspring_states, &calc.backup_states}) {
            (*population)[i].edge_links.assign(static_cast<std::size_t>(std::max(calc.absorber_edge_count, 0)), {});
        }
        // Offspring and backup keep the structure weights until a current state is first copied over them.
        if (random_weights) draw_random_weights(calc, calc.current_states[i]);
    }

    for (int e = 0; e < calc.absorber_edge_count; ++e) init_absorber_rdf(calc.edges[at(e)], calc.current_states.data());
    for (int s = 0; s < spectrum_count; ++s) {
        calc.spectra[at(s)].states = calc.current_states.data();
        const SpectrumParameters& parameters = calc.spectrum_parameters[at(s)];
        for (auto* population : {&calc.current_states, &calc.offspring_states, &calc.backup_states}) {
            for (State& state : *population) init_state_spectrum_signals(state.spectra[at(s)], parameters);
        }
    }
}

void init_state(State& state, std::int32_t spectrum_count, std::int32_t structure_count, Structure* structures) {
    state.spectrum_count = spectrum_count;
    state.structure_count = structure_count;
    state.structures = structures;
    state.atom_count = 0;

    state.atom_index.assign(at(structure_count), {});
    for (int j = 0; j < structure_count; ++j) {
        state.atom_count += structures[j].atom_count;
        state.atom_index[at(j)].assign(at(structures[j].atom_count), 0);
        state.weights[at(j)] = structures[j].weight;
    }

    // Records hold displacements, so a fresh state sits exactly on the reference structures.
    state.atoms.assign(at(state.atom_count), Atom{});
    int k = 0;
    for (int j = 0; j < structure_count; ++j) {
        for (int i = 0; i < structures[j].atom_count; ++i, ++k) {
            state.atoms[at(k)].label = structures[j].working_atoms[at(i)].label;
            state.atom_index[at(j)][at(i)] = k;
        }
    }

    state.energy = 0.0;
    state.needs_evaluation = true;
}

// Counts, the structure link, atom_index and the edge links are shared by construction and stay put.
void copy_state(const State& source, State& destination) {
    destination.needs_evaluation = source.needs_evaluation;
    destination.residual = source.residual;
    destination.energy = source.energy;
    destination.violated = source.violated;
    for (int k = 0; k < source.spectrum_count; ++k) copy_state_spectrum(source.spectra[at(k)], destination.spectra[at(k)]);
    std::copy_n(source.weights.begin(), source.structure_count, destination.weights.begin());
    destination.force_field_parameters = source.force_field_parameters;
    destination.atom_count = source.atom_count;
    std::copy_n(source.atoms.begin(), source.atom_count, destination.atoms.begin());
}

void destroy_state(State& state) {
    state.atoms = {};
    state.atom_index = {};
    state.atom_count = 0;
}

void copy_state_spectrum(const StateSpectrum& source, StateSpectrum& destination) {
    destination.residual = source.residual;
    copy_state_spectrum_arrays(source, destination);
}

// A copy carries the model (chi on the spectrum grid and on the fixed grid). chi's imaginary part and
// modulus are never read from a state, and the transforms are working arrays that the residual and the
// reports make afresh from chi before they read them: the wavelet map alone is megabytes per state, and
// states are copied several times per state and iteration.
void copy_state_spectrum_arrays(const StateSpectrum& source, StateSpectrum& destination) {
    copy_points(source.chi.re, destination.chi.re, source.chi.n);
    destination.chi_grid = source.chi_grid;
}

void copy_state_to_backup(Calculation& calc, int i, int j) {
    copy_state(calc.current_states[at(i)], calc.backup_states[at(j)]);
}

void backup_all_states(Calculation& calc) {
    for (std::size_t i = 0; i < calc.current_states.size(); ++i) copy_state(calc.current_states[i], calc.backup_states[i]);
}

void restore_state(Calculation& calc, int i) { copy_state(calc.backup_states[at(i)], calc.current_states[at(i)]); }

Atom get_state_atom(const State& state, int k) { return state.atoms[at(k)]; }

void set_state_atom(State& state, const Atom& atom, int k) { state.atoms[at(k)] = atom; }

Atom get_structure_atom(const State& state, int j, int i) { return state.atoms[at(state.atom_index[at(j)][at(i)])]; }

void set_structure_atom(State& state, const Atom& atom, int j, int i) {
    state.atoms[at(state.atom_index[at(j)][at(i)])] = atom;
}

// The record keeps its own label: only the displacement is a function of the position.
void set_atom_position(State& state, const Atom& position, int j, int i) {
    const Atom& reference = state.structures[j].working_atoms[at(i)];
    Atom& record = state.atoms[at(state.atom_index[at(j)][at(i)])];
    atom_set_xyz(record, position.x - reference.x, position.y - reference.y, position.z - reference.z);
}

// A periodic image has no record of its own; it moves with the supercell atom it was copied from.
Atom get_atom_position(const State& state, int j, int i) {
    const Structure& structure = state.structures[j];
    const int source = structure.working_source[at(i)];
    return atom_add(structure.working_atoms[at(i)], state.atoms[at(state.atom_index[at(j)][at(source)])]);
}

void init_state_spectrum_signals(StateSpectrum& block, const SpectrumParameters& parameters) {
    block.parameters = &parameters;
    alloc_signal(block.chi, parameters, signal_line);
    alloc_signal(block.ft, parameters, signal_line);
    alloc_signal(block.bft, parameters, signal_line);
    // The wavelet map (megabytes) is made by the first wavelet transform of the state.
    free_signal(block.wt);
    block.wt.n = 0;
}

void free_state_spectrum_signals(StateSpectrum& block) {
    free_signal(block.chi);
    free_signal(block.ft);
    free_signal(block.bft);
    free_signal(block.wt);
}

double state_exafs_error(SpectrumContext& context, int state_index) {
    return compute_exafs_error(context, context.states[state_index].spectra[static_cast<std::size_t>(context.index)],
                               false);
}
