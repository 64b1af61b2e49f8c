#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

struct Calculation;

constexpr int max_spectra = 10;
constexpr int max_structures = 10;
constexpr int max_threads = 256;

// Type code of a key, as the key classification returns it.
enum ParameterKind : std::int32_t {
    kind_unknown = -1,
    kind_global_int = 0,
    kind_global_double = 1,
    kind_global_string = 2,
    kind_global_bool = 3,
    kind_global_array = 4,
    kind_spectrum_int = 10,
    kind_spectrum_double = 11,
    kind_spectrum_string = 12,
    kind_spectrum_scf = 14,
    kind_structure_int = 20,
    kind_structure_double = 21,
    kind_structure_string = 22,
    kind_structure_bool = 23,
};

// Section of the parameter file a key is written in: 1 to 7, -1 for keys that are read and editable but
// never written, 0 for keys that are never written at all.
using ParameterSection = std::int32_t;
constexpr ParameterSection section_never_written = 0;
constexpr ParameterSection section_advanced_and_obsolete = -1;
constexpr int section_count = 7;

// Name of section 1..7, or "ADVANCED_AND_OBSOLETE" for -1.
const char* section_name(ParameterSection section);

// Values and key names of one kind, indexed by slot. A slot without a key has an empty name.
template <class T, std::size_t N>
struct KeyTable {
    static constexpr int count = static_cast<int>(N);
    std::array<T, N> values{};
    std::array<std::string, N> names;

    T& operator[](int slot) { return values[static_cast<std::size_t>(slot)]; }
    const T& operator[](int slot) const { return values[static_cast<std::size_t>(slot)]; }
};

template <std::size_t N>
using SectionTable = std::array<ParameterSection, N>;

// Global key slots. The slot fixes the order in which keys are looked up, listed and written.
namespace IntKey {
enum : int {
    Froze_in,
    Stop_after,
    Number_of_states,
    time1,
    time2,
    Update_basis_every,
    Number_of_spectra,
    Number_of_threads,
    Actual_geometry_format,
    Maximal_number_of_clusters,
    MT_seed_first,  // slots 10..13 hold the four MT_seed values and carry no key name
    Number_of_structures = 14,
    count
};
}
namespace DoubleKey {
enum : int {
    Maximal_step_length,
    Step_increment,
    Weight_increment,
    Acceptance_rate,
    Expansion_accuracy,
    Energy_weight,
    MC_temperature,
    count
};
}
namespace StringKey {
enum : int { Title, Space, Move_type, Norm_type, File_for_residuals, File_for_restart, FEFF_path, count };
}
namespace BoolKey {
enum : int {
    crossoverT,
    use_effective_phase_amplitude,
    adjust_acceptance,
    adjust_weights,
    adjust_spectra_weights,
    adjust_step,
    adjust_clust_precision,
    hypermutation,
    parent_children_competion,
    use_experimental_phases_amps,
    count
};
}
namespace ArrayKey {
enum : int { MT_seed, LJ_epsilons, count };
}
constexpr int MT_seed_length = 4;
constexpr int LJ_epsilons_length = 6;

// The global keys: values, key names and section codes by kind.
struct ParameterBlock {
    KeyTable<std::int32_t, IntKey::count> ints;
    KeyTable<double, DoubleKey::count> doubles;
    KeyTable<std::string, StringKey::count> strings;
    KeyTable<bool, BoolKey::count> bools;
    std::array<std::string, ArrayKey::count> array_names;
    std::array<double, LJ_epsilons_length> lj_epsilons{};

    SectionTable<IntKey::count> int_sections{};
    SectionTable<DoubleKey::count> double_sections{};
    SectionTable<StringKey::count> string_sections{};
    SectionTable<BoolKey::count> bool_sections{};
    SectionTable<ArrayKey::count> array_sections{};
};

// Installs every key name, default and section code: the global keys, the ten spectrum and ten structure
// records, and the section codes those records share.
void set_parameter_defaults(Calculation& calc);
