#pragma once

#include "control/parameters.hpp"

#include <array>
#include <cstdint>
#include <string>

// Longest multiple-scattering path (N_legs) the path search builds.
constexpr std::int32_t max_N_legs = 8;
// Points of a k grid: the wavelet map of every spectrum signal holds the square of this number.
constexpr std::int32_t max_k_points = 4000;

namespace SpectrumIntKey {
enum : int { N_legs, Columns_in_input, Column_for_k, Column_for_chi, WT_type, count };
}
namespace SpectrumDoubleKey {
enum : int {
    S02,
    dE0,
    k_min,
    k_max,
    dk,
    k_power,
    k_power_in_IO,
    FT_window_type,
    R_min,
    R_max,
    R_max_for_FEFF,
    R_max_for_1st_shell,
    FEFF_criteria,
    Pathfinder_robustness,
    R0_for_WT,
    RDF_bin_width,
    Clustering_precision,
    Spectrum_weight,
    count
};
}
// FEFF self-consistent-field settings.
namespace ScfKey {
enum : int { r_scf, ca, n_scf, n_mix, count };
}
namespace SpectrumStringKey {
enum : int {
    Edge,
    Edge_type,
    File_with_experimental_EXAFS_signal,
    File_for_i_pol_exp_signal,
    File_for_BFT_of_exp_signal,
    File_for_FT_of_exp_signal,
    File_for_WT_of_exp_signal,
    File_for_calculated_EXAFS_signal,
    File_for_EXAFS_history,
    File_for_FT,
    File_for_BFT,
    File_for_WT,
    File_for_partial_EXAFS,
    File_for_partial_FT,
    File_for_partial_WT,
    File_with_phase,
    File_with_amplitude,
    Polarization,
    File_for_partial_RDFs,
    count
};
}

namespace StructureDoubleKey {
enum : int { Scale_coordinates_by, Maximal_displacement, Initial_displacement, Weight, Doping_level, count };
}
namespace StructureStringKey {
enum : int {
    Structure,
    Potential_type,
    File_with_potential,
    File_with_initial_geometry,
    File_for_actual_geometry,
    File_with_structure,
    File_for_final_xyz,
    File_for_equilibrium_xyz,
    Supercell,
    Doping,
    count
};
}
namespace StructureBoolKey {
enum : int { pbc, labels_to_element_name, count };
}

// Norm of the residual, decoded from the global Norm_type.
constexpr std::int32_t norm_squared = 0, norm_scalar = 1, norm_L1 = 2;
// Comparison space, decoded from the global Space.
constexpr std::int32_t space_k = 0, space_q = 1, space_r = 2, space_w = 3;

struct SpectrumParameters {
    KeyTable<std::int32_t, SpectrumIntKey::count> ints;
    KeyTable<double, SpectrumDoubleKey::count> doubles;
    KeyTable<double, ScfKey::count> scf;
    KeyTable<std::string, SpectrumStringKey::count> strings;

    // Derived after reading.
    std::int32_t nk = 0;  // points of the k grid
    double dR = 0.0;      // step of the R grid, in angstrom
    std::int32_t norm_code = norm_squared;
    std::int32_t space_code = space_k;
    bool has_polarization = false;
    std::array<double, 3> polarization{1.0, 1.0, 1.0};
    std::int32_t index = 0;
    std::int32_t thread_count = 0;
};

// Structure type decoded from the Structure key.
constexpr std::int32_t structure_type_other = 0, structure_type_fcc = 1, structure_type_fcc_gulp = 2,
                       structure_type_reo3 = 3, structure_type_file = 4, structure_type_p1 = 5;

struct StructureParameters {
    KeyTable<double, StructureDoubleKey::count> doubles;
    KeyTable<std::string, StructureStringKey::count> strings;
    KeyTable<bool, StructureBoolKey::count> bools;

    std::int32_t type_code = structure_type_other;
};

// Section codes of the record keys, held once for all ten records of a kind.
struct SpectrumSectionCodes {
    SectionTable<SpectrumIntKey::count> ints{};
    SectionTable<SpectrumDoubleKey::count> doubles{};
    SectionTable<ScfKey::count> scf{};
    SectionTable<SpectrumStringKey::count> strings{};
};
struct StructureSectionCodes {
    SectionTable<StructureDoubleKey::count> doubles{};
    SectionTable<StructureStringKey::count> strings{};
    SectionTable<StructureBoolKey::count> bools{};
};

void set_spectrum_parameter_defaults(SpectrumParameters& spectrum);
void set_structure_parameter_defaults(StructureParameters& structure);
void set_record_section_codes(SpectrumSectionCodes& spectrum, StructureSectionCodes& structure);

// Copies the key values and derived values; key names and the index stay.
void copy_spectrum_parameters(const SpectrumParameters& source, SpectrumParameters& destination);
// Copies the key values; type_code stays.
void copy_structure_parameters(const StructureParameters& source, StructureParameters& destination);

// Corrects the k range with warnings, ends the run on inverted k or R ranges, sets nk, dR and R0_for_WT.
void validate_k_and_r_ranges(SpectrumParameters& spectrum);
std::int32_t structure_type_code(StructureParameters& structure);
// Sets norm_code and space_code of every used spectrum record and returns the norm code.
std::int32_t decode_norm_and_space(Calculation& calc);
// Sets has_polarization and polarization of every used spectrum record; ends the run on a bad text.
void parse_polarization(Calculation& calc);
