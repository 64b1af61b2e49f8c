#include "control/record_parameters.hpp"

#include "control/calculation.hpp"
#include "control/number_text.hpp"
#include "control/process_end.hpp"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <sstream>
#include <vector>

namespace {

template <class T>
struct KeyDefinition {
    const char* name;
    T value;
    ParameterSection section;
};

// Slot order is the order of each list.
const KeyDefinition<std::int32_t> spectrum_int_keys[SpectrumIntKey::count] = {
    {"N_legs", 8, 4}, {"Columns_in_input", 2, 3}, {"Column_for_k", 2, 3}, {"Column_for_chi", 1, 3}, {"WT_type", 1, 5},
};

const KeyDefinition<double> spectrum_double_keys[SpectrumDoubleKey::count] = {
    {"S02", 1.0, 3},
    {"dE0", 0.0, 3},
    {"k_min", 0.05, 5},
    {"k_max", 19.0, 5},
    {"dk", 0.05, 5},
    {"k_power", 2.0, 5},
    {"k_power_in_IO", 2.0, 3},
    {"FT_window_type", -1.0, 5},
    {"R_min", 0.0, 5},
    {"R_max", 5.0, 5},
    {"R_max_for_FEFF", 6.0, 4},
    {"R_max_for_1st_shell", -1.0, 5},
    {"FEFF_criteria", 0.0, 4},
    {"Pathfinder_robustness", 0.5, 4},
    {"R0_for_WT", -1.0, 5},
    {"RDF_bin_width", 0.01, 6},
    {"Clustering_precision", 0.001, 4},
    {"Spectrum_weight", -1.0, 3},
};

const KeyDefinition<double> scf_keys[ScfKey::count] = {
    {"r_scf", -1.0, 4}, {"ca", 0.1, 4}, {"n_scf", 30.0, 4}, {"n_mix", 1.0, 4},
};

const KeyDefinition<const char*> spectrum_string_keys[SpectrumStringKey::count] = {
    {"Edge", "Ge", 4},
    {"Edge_type", "K", 4},
    {"File_with_experimental_EXAFS_signal", "expEXAFS.dat", 3},
    {"File_for_i-pol._exp._signal", "ipolEXAFS.dat", 6},
    {"File_for_BFT_of_exp._signal", "expBFT.dat", 6},
    {"File_for_FT_of_exp._signal", "expFT.dat", 6},
    {"File_for_WT_of_exp._signal", "expWT.dat", 6},
    {"File_for_calculated_EXAFS_signal", "EXAFS.dat", 6},
    {"File_for_EXAFS_history", "histoEXAFS.dat", -1},
    {"File_for_FT", "ft.dat", 6},
    {"File_for_BFT", "bft.dat", 6},
    {"File_for_WT", "wt.dat", 6},
    {"File_for_partial_EXAFS", "partialEXAFS.dat", 6},
    {"File_for_partial_FT", "partialFT.dat", 6},
    {"File_for_partial_WT", "partialWT.dat", 6},
    {"File_with_phase", "pha.dat", -1},
    {"File_with_amplitude", "amp.dat", -1},
    {"Polarization", "none", 4},
    {"File_for_partial_RDFs", "rdf.dat", 6},
};

const KeyDefinition<double> structure_double_keys[StructureDoubleKey::count] = {
    {"Scale_coordinates_by", 1.0, 1}, {"Maximal_displacement", 0.4, 2}, {"Initial_displacement", 0.1, 1},
    {"Weight", 1.0, 1},               {"Doping_level", -1.0, 1},
};

const KeyDefinition<const char*> structure_string_keys[StructureStringKey::count] = {
    {"Structure", "p1", -1},
    {"Potential_type", "box", 2},
    {"File_with_potential", "constraints.dat", 0},
    {"File_with_initial_geometry", "input.xyz", -1},
    {"File_for_actual_geometry", "output.xyz", -1},
    {"File_with_structure", "structure.p1", 1},
    {"File_for_final_xyz", "final.xyz", 6},
    {"File_for_equilibrium_xyz", "start.xyz", 6},
    {"Supercell", "4x4x4", 1},
    {"Doping", "none", 1},
};

const KeyDefinition<bool> structure_bool_keys[StructureBoolKey::count] = {
    {"pbc", true, 1},
    {"labels_to_element_name", false, 1},
};

template <class T, class U, std::size_t N>
void install_keys(KeyTable<T, N>& table, const KeyDefinition<U> (&definitions)[N]) {
    for (std::size_t slot = 0; slot < N; ++slot) {
        table.names[slot] = definitions[slot].name;
        table.values[slot] = T(definitions[slot].value);
    }
}

template <class U, std::size_t N>
void install_sections(SectionTable<N>& sections, const KeyDefinition<U> (&definitions)[N]) {
    for (std::size_t slot = 0; slot < N; ++slot) sections[slot] = definitions[slot].section;
}

}  // namespace

void set_spectrum_parameter_defaults(SpectrumParameters& spectrum) {
    install_keys(spectrum.ints, spectrum_int_keys);
    install_keys(spectrum.doubles, spectrum_double_keys);
    install_keys(spectrum.scf, scf_keys);
    install_keys(spectrum.strings, spectrum_string_keys);
    spectrum.has_polarization = false;
}

void set_structure_parameter_defaults(StructureParameters& structure) {
    install_keys(structure.doubles, structure_double_keys);
    install_keys(structure.strings, structure_string_keys);
    install_keys(structure.bools, structure_bool_keys);
}

void set_record_section_codes(SpectrumSectionCodes& spectrum, StructureSectionCodes& structure) {
    install_sections(spectrum.ints, spectrum_int_keys);
    install_sections(spectrum.doubles, spectrum_double_keys);
    install_sections(spectrum.scf, scf_keys);
    install_sections(spectrum.strings, spectrum_string_keys);
    install_sections(structure.doubles, structure_double_keys);
    install_sections(structure.strings, structure_string_keys);
    install_sections(structure.bools, structure_bool_keys);
}

void copy_spectrum_parameters(const SpectrumParameters& source, SpectrumParameters& destination) {
    destination.ints.values = source.ints.values;
    destination.doubles.values = source.doubles.values;
    destination.scf.values = source.scf.values;
    destination.strings.values = source.strings.values;
    destination.nk = source.nk;
    destination.dR = source.dR;
    destination.space_code = source.space_code;
    destination.norm_code = source.norm_code;
    destination.has_polarization = source.has_polarization;
    destination.polarization = source.polarization;
    destination.thread_count = source.thread_count;
}

void copy_structure_parameters(const StructureParameters& source, StructureParameters& destination) {
    destination.doubles.values = source.doubles.values;
    destination.strings.values = source.strings.values;
    destination.bools.values = source.bools.values;
}

void validate_k_and_r_ranges(SpectrumParameters& spectrum) {
    auto& d = spectrum.doubles;
    if (d[SpectrumDoubleKey::k_min] < 0.05) {
        std::cout << "WARNING: changing kmin  to 0.05" << '\n';
        d[SpectrumDoubleKey::k_min] = 0.05;
    }
    if (d[SpectrumDoubleKey::k_max] > 19.95) {
        std::cout << "WARNING: changing kmax  to 19.95" << '\n';
        d[SpectrumDoubleKey::k_max] = 19.95;
    }
    // A zero step would leave the grid undefined; it is corrected like a negative one.
    if (d[SpectrumDoubleKey::dk] <= 0) {
        std::cout << "WARNING: changing kstep  to 0.05" << '\n';
        d[SpectrumDoubleKey::dk] = 0.05;
    }
    if (d[SpectrumDoubleKey::k_min] > d[SpectrumDoubleKey::k_max]) {
        std::cout << "ERROR: kmax < kmin!" << '\n';
        end_process(1);
    }
    if (d[SpectrumDoubleKey::R_min] > d[SpectrumDoubleKey::R_max]) {
        std::cout << "ERROR: Rmax < Rmin!" << '\n';
        end_process(1);
    }
    // A range of no width leaves nothing to compare: every residual would be 0, a perfect fit of nothing.
    if (d[SpectrumDoubleKey::k_min] == d[SpectrumDoubleKey::k_max]) {
        std::cout << "ERROR: kmax = kmin = " << d[SpectrumDoubleKey::k_min] << ": the k range has no width!"
                  << '\n';
        end_process(1);
    }
    if (d[SpectrumDoubleKey::R_min] == d[SpectrumDoubleKey::R_max]) {
        std::cout << "ERROR: Rmax = Rmin = " << d[SpectrumDoubleKey::R_min] << ": the R range has no width!"
                  << '\n';
        end_process(1);
    }
    const double quotient = (d[SpectrumDoubleKey::k_max] - d[SpectrumDoubleKey::k_min]) / d[SpectrumDoubleKey::dk];
    if (!(quotient < max_k_points - 1)) {
        std::cout << "ERROR: PARAMETER dk = " << d[SpectrumDoubleKey::dk]
                  << " CANNOT BE USED: the k grid would hold more than " << max_k_points << " points!" << '\n';
        end_process(1);
    }
    if (quotient < 1) {
        std::cout << "ERROR: PARAMETER dk = " << d[SpectrumDoubleKey::dk]
                  << " CANNOT BE USED: the k range from k_min " << d[SpectrumDoubleKey::k_min] << " to k_max "
                  << d[SpectrumDoubleKey::k_max] << " would hold a single point of the k grid!" << '\n';
        end_process(1);
    }
    spectrum.nk = static_cast<std::int32_t>(std::ceil(quotient) + 1.0);
    spectrum.dR = 10.0 / spectrum.nk;
    // The R grid is (i + 1) dR for i below nk; windows keep the points inside [R_min, R_max].
    int r_points = 0;
    for (int i = 0; i < spectrum.nk; ++i) {
        const double r = (i + 1) * spectrum.dR;
        if (r >= d[SpectrumDoubleKey::R_min] && r <= d[SpectrumDoubleKey::R_max]) ++r_points;
    }
    if (r_points == 0) {
        std::cout << "ERROR: the R range from R_min " << d[SpectrumDoubleKey::R_min] << " to R_max "
                  << d[SpectrumDoubleKey::R_max] << " holds no point of the R grid (step " << spectrum.dR
                  << "): there is nothing to compare!" << '\n';
        end_process(1);
    }
    if (d[SpectrumDoubleKey::R0_for_WT] < 0) {
        d[SpectrumDoubleKey::R0_for_WT] = (d[SpectrumDoubleKey::R_min] + d[SpectrumDoubleKey::R_max]) * 0.5;
    }
}

std::int32_t structure_type_code(StructureParameters& structure) {
    const std::string& type = structure.strings[StructureStringKey::Structure];
    std::int32_t code = structure_type_other;
    if (type == "fcc") code = structure_type_fcc;
    else if (type == "fcc-gulp") code = structure_type_fcc_gulp;
    else if (type == "reo3") code = structure_type_reo3;
    else if (type == "file") code = structure_type_file;
    else if (type == "p1") code = structure_type_p1;
    structure.type_code = code;
    return code;
}

std::int32_t decode_norm_and_space(Calculation& calc) {
    const std::string& norm = calc.parameters.strings[StringKey::Norm_type];
    const std::string& space = calc.parameters.strings[StringKey::Space];
    std::int32_t norm_code = norm_squared;
    if (norm == "scalar") norm_code = norm_scalar;
    else if (norm == "L1") norm_code = norm_L1;
    std::int32_t space_code = space_k;
    if (space == "q") space_code = space_q;
    else if (space == "r") space_code = space_r;
    else if (space == "w") space_code = space_w;
    const int used = calc.parameters.ints[IntKey::Number_of_spectra];
    for (int i = 0; i < used; ++i) {
        calc.spectrum_parameters[i].norm_code = norm_code;
        calc.spectrum_parameters[i].space_code = space_code;
    }
    return norm_code;
}

void parse_polarization(Calculation& calc) {
    const int used = calc.parameters.ints[IntKey::Number_of_spectra];
    for (int i = 0; i < used; ++i) {
        SpectrumParameters& spectrum = calc.spectrum_parameters[i];
        const std::string& text = spectrum.strings[SpectrumStringKey::Polarization];
        if (text == "none") {
            spectrum.has_polarization = false;
            spectrum.polarization = {1.0, 1.0, 1.0};
            continue;
        }
        spectrum.has_polarization = true;
        std::vector<double> numbers;
        std::istringstream pieces(text);
        std::string piece;
        while (std::getline(pieces, piece, '_')) {
            std::istringstream reader(piece);
            double value;
            if (reader >> value) numbers.push_back(value);
        }
        // The vector is normalised and written to feff.inp; a component beyond the usable range overflows there.
        const bool usable = std::all_of(numbers.begin(), numbers.end(), [](double v) { return is_usable_number(v); });
        if (numbers.size() != 3 || !usable) {
            std::cout << "ERROR: POLARIZATION NOT RECKOGNIZED!" << '\n';
            end_process(1);
        }
        spectrum.polarization = {numbers[0], numbers[1], numbers[2]};
    }
}
