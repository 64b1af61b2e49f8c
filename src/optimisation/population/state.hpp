#pragma once

#include "control/parameters.hpp"
#include "spectra/state_spectrum.hpp"
#include "structure/atom.hpp"

#include <array>
#include <cstdint>
#include <vector>

struct Calculation;
struct Structure;
struct Pathfinder;
struct SpectrumContext;

// A state's link to the path table of one absorber edge.
struct StateEdgeLink {
    std::int32_t path_count = 0;
    Pathfinder* paths = nullptr;
};

// One candidate model: the displacement of every supercell atom from its reference position, the
// structure weights and the model signal for every spectrum.
constexpr int force_field_parameter_count = 256;

struct State {
    std::array<StateSpectrum, max_spectra> spectra;
    std::array<double, force_field_parameter_count> force_field_parameters{};
    double residual = 0.0;
    double energy = 0.0;
    Structure* structures = nullptr;  // the calculation's structures
    std::int32_t spectrum_count = 0;
    std::int32_t structure_count = 0;
    std::array<double, max_structures> weights{};
    bool needs_evaluation = true;
    bool violated = false;
    std::int32_t atom_count = 0;
    std::vector<Atom> atoms;  // label and displacement, structure by structure
    std::vector<std::vector<std::int32_t>> atom_index;  // (structure, supercell atom) -> record in atoms
    std::vector<StateEdgeLink> edge_links;  // one per absorber edge in use
};

void allocate_states(Calculation& calc);
void init_state(State& state, std::int32_t spectrum_count, std::int32_t structure_count, Structure* structures);
void copy_state(const State& source, State& destination);
void destroy_state(State& state);
void copy_state_spectrum(const StateSpectrum& source, StateSpectrum& destination);
void copy_state_spectrum_arrays(const StateSpectrum& source, StateSpectrum& destination);
void copy_state_to_backup(Calculation& calc, int i, int j);
void backup_all_states(Calculation& calc);
void restore_state(Calculation& calc, int i);

Atom get_state_atom(const State& state, int k);
void set_state_atom(State& state, const Atom& atom, int k);
Atom get_structure_atom(const State& state, int j, int i);
void set_structure_atom(State& state, const Atom& atom, int j, int i);
// Stores an absolute position of supercell atom i of structure j as its displacement.
void set_atom_position(State& state, const Atom& position, int j, int i);
// Absolute position of working-list entry i of structure j (an image follows its supercell atom).
Atom get_atom_position(const State& state, int j, int i);

void init_state_spectrum_signals(StateSpectrum& block, const SpectrumParameters& parameters);
void free_state_spectrum_signals(StateSpectrum& block);

// Residual of current state i against the spectrum (see compute_exafs_error).
double state_exafs_error(SpectrumContext& context, int state_index);
