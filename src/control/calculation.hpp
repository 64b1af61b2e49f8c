#pragma once

#include "control/mt.hpp"
#include "control/parameters.hpp"
#include "control/record_parameters.hpp"
#include "control/run_folder_lock.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The records of the other subsystems are held here but defined in their own folders, so that this
// bottom layer never depends on them. Whoever reaches into one of them includes its header.
struct AbsorberEdge;
struct EvaluationWork;
struct SpectrumContext;
struct State;
struct Structure;

constexpr int max_absorber_edges = 100;

// Per absorber edge, per path, the lengths of the path's counted member chains (the one-dimensional
// model's variables).
using EdgePathLengths = std::vector<std::vector<std::vector<double>>>;

// One flag per command-line switch ("-gulp" and "-md" share one; "-guessFF" sets useFF too).
struct RunFlags {
    bool restart = false;
    bool md = false;
    bool example = false;
    bool skippot = false;
    bool skippaths = false;
    bool skipcheck = false;
    bool skipwin = false;
    bool setcenter = false;
    bool phantoms = false;
    bool reseed = false;
    bool edit = false;
    bool ftwt = false;
    bool rdf = false;
    bool beststate = false;
    bool structure = false;
    bool has_extra_argument = false;
    bool spectrum = false;
    bool fit = false;
    bool atoms = false;
    bool autoES = false;
    bool fitFF = false;
    bool useFF = false;
    bool guessFF = false;
    bool gulpmd = false;
    bool skipgulp = false;
    bool oneD = false;
    bool oneDrdf = false;
};

// Experimental amplitude and phase on the fixed model grid, read with the spectra when
// use_experimental_phases_amps is set; the first absorber edge takes them over when it is made.
struct ExperimentalAmplitudePhase {
    bool in_use = false;
    std::array<double, 403> amplitude{};
    std::array<double, 403> phase{};
};

// What the main loop adapts as it goes, as a restart file kept it. A resumed loop takes it up when it
// starts, after the stages before it (the first-shell fit draws from the generator too).
struct ResumedLoop {
    double log_acceptance = 0.0;
    double step_length = 0.0;
    std::int32_t accepted_without_test = 0;
    std::int32_t accepted_by_test = 0;
    double period_objective_sum = 0.0;
    double previous_period_objective_sum = 0.0;
    std::vector<std::uint32_t> generator;
};

// The one object of a run: every parameter, record, counter and the random generator. Built by the
// entry point and passed by reference to every stage. Its records of structures, spectra, edges and
// states are complete only on top of the program, where it is constructed and released.
struct Calculation {
    Calculation();
    ~Calculation();
    Calculation(const Calculation&) = delete;
    Calculation& operator=(const Calculation&) = delete;

    ParameterBlock parameters;
    std::array<SpectrumParameters, max_spectra> spectrum_parameters;
    std::array<StructureParameters, max_structures> structure_parameters;
    SpectrumSectionCodes spectrum_sections;
    StructureSectionCodes structure_sections;

    bool move_all = false;
    std::string axis_label_k, axis_label_q, axis_label_r, axis_label_w;
    MersenneTwister random;
    double log_acceptance = 0.0;
    double step_length = 0.0;

    std::vector<State> current_states;
    std::vector<State> offspring_states;
    std::vector<State> backup_states;

    std::string parameter_file_name;
    std::vector<SpectrumContext> spectra;     // max_spectra
    std::vector<Structure> structures;        // max_structures
    std::vector<AbsorberEdge> edges;          // max_absorber_edges
    ExperimentalAmplitudePhase experimental_amplitude_phase;
    RunFlags flags;
    // Held from the reading of the parameters to the release of the record by every run that writes in
    // its folder.
    RunFolderLock folder_lock;
    std::int32_t absorber_edge_count = 0;

    std::int32_t accepted_by_test = 0;
    std::int32_t accepted_without_test = 0;
    double selection_spread = 0.0;
    double selection_worst = 0.0;
    std::int32_t iteration = 0;
    double objective_normaliser = 0.0;
    double mean_energy_change = 0.0;
    std::int32_t best_state_index = 0;
    double period_objective_sum = 0.0;
    double previous_period_objective_sum = 0.0;
    std::int32_t stalled_periods = 0;
    std::int32_t centre_atom_index = -1;
    // The one-dimensional model's lengths as a restart file kept them; the model takes them up once its
    // paths exist.
    EdgePathLengths loaded_path_lengths;
    std::optional<ResumedLoop> resumed_loop;
    // Working memory of the state evaluations (per-thread scratch, undo records of moves), kept from
    // one evaluation to the next.
    std::unique_ptr<EvaluationWork> evaluation_work;
};

// Clears the flags (all but has_extra_argument) and sets the counters to their starting values.
void reset_run_counters(Calculation& calc);
