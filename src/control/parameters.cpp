#include "control/parameters.hpp"

#include "control/calculation.hpp"

const char* section_name(ParameterSection section) {
    switch (section) {
        case 1: return "STRUCTURE_MODEL_DEFINITION";
        case 2: return "STRUCTURE_MODEL_OPTIMIZATION";
        case 3: return "EXPERIMENTAL_DATA";
        case 4: return "THEORETICAL_DATA";
        case 5: return "THEORY_AND_EXPERIMENT_COMPARISON";
        case 6: return "OUTPUT";
        case 7: return "PARALELIZATION";
        case -1: return "ADVANCED_AND_OBSOLETE";
        default: return "";
    }
}

namespace {

template <class T, std::size_t N>
void define_key(KeyTable<T, N>& table, SectionTable<N>& sections, int slot, const char* name, T value,
                ParameterSection section) {
    table.names[static_cast<std::size_t>(slot)] = name;
    table[slot] = value;
    sections[static_cast<std::size_t>(slot)] = section;
}

void set_global_defaults(ParameterBlock& p) {
    p.int_sections.fill(section_never_written);
    p.double_sections.fill(section_never_written);
    p.string_sections.fill(section_never_written);
    p.bool_sections.fill(section_never_written);
    p.array_sections.fill(section_never_written);

    auto& is = p.int_sections;
    define_key(p.ints, is, IntKey::Froze_in, "Froze_in", 1500, 2);
    define_key(p.ints, is, IntKey::Stop_after, "Stop_after", -1, 2);
    define_key(p.ints, is, IntKey::Number_of_states, "Number_of_states", 32, 2);
    define_key(p.ints, is, IntKey::time1, "time1", 10, 6);
    define_key(p.ints, is, IntKey::time2, "time2", 100, 6);
    define_key(p.ints, is, IntKey::Update_basis_every, "Update_basis_every_...", 2, 4);
    define_key(p.ints, is, IntKey::Number_of_spectra, "Number_of_spectra", 1, 3);
    define_key(p.ints, is, IntKey::Number_of_threads, "Number_of_threads", 12, 7);
    define_key(p.ints, is, IntKey::Actual_geometry_format, "Actual_geometry_format", 1, -1);
    define_key(p.ints, is, IntKey::Maximal_number_of_clusters, "Maximal_number_of_clusters", 10000, 4);
    const std::int32_t default_seed[MT_seed_length] = {291, 564, 837, 1110};
    for (int i = 0; i < MT_seed_length; ++i) {
        define_key(p.ints, is, IntKey::MT_seed_first + i, "", default_seed[i], section_never_written);
    }
    define_key(p.ints, is, IntKey::Number_of_structures, "Number_of_structures", 1, 1);

    auto& ds = p.double_sections;
    define_key(p.doubles, ds, DoubleKey::Maximal_step_length, "Maximal_step_length", 0.005, 2);
    define_key(p.doubles, ds, DoubleKey::Step_increment, "Step_increment", -1.0, -1);
    define_key(p.doubles, ds, DoubleKey::Weight_increment, "Weight_increment", 0.0001, 2);
    define_key(p.doubles, ds, DoubleKey::Acceptance_rate, "Acceptance_rate", 0.8, 2);
    define_key(p.doubles, ds, DoubleKey::Expansion_accuracy, "Expansion_accuracy", -1.0, 4);
    define_key(p.doubles, ds, DoubleKey::Energy_weight, "Energy_weight", -1.0, 2);
    define_key(p.doubles, ds, DoubleKey::MC_temperature, "MC_temperature", 300.0, -1);
    p.lj_epsilons.fill(0.1);

    auto& ss = p.string_sections;
    define_key(p.strings, ss, StringKey::Title, "Title", std::string("untitled"), -1);
    define_key(p.strings, ss, StringKey::Space, "Space", std::string("w"), 5);
    define_key(p.strings, ss, StringKey::Move_type, "Move_type", std::string("move_all"), 2);
    define_key(p.strings, ss, StringKey::Norm_type, "Norm_type", std::string("L2"), -1);
    define_key(p.strings, ss, StringKey::File_for_residuals, "File_for_residuals", std::string("output.dat"), 6);
    define_key(p.strings, ss, StringKey::File_for_restart, "File_for_restart", std::string("restart"), 6);
    define_key(p.strings, ss, StringKey::FEFF_path, "FEFF_path", std::string("feff85L.exe"), 4);

    auto& bs = p.bool_sections;
    define_key(p.bools, bs, BoolKey::crossoverT, "crossoverT", true, -1);
    define_key(p.bools, bs, BoolKey::use_effective_phase_amplitude, "use_effective_phase_amplitude", true, -1);
    define_key(p.bools, bs, BoolKey::adjust_acceptance, "adjust_acceptance", true, 2);
    define_key(p.bools, bs, BoolKey::adjust_weights, "adjust_weights", false, 2);
    define_key(p.bools, bs, BoolKey::adjust_spectra_weights, "adjust_spectra_weights", true, 3);
    define_key(p.bools, bs, BoolKey::adjust_step, "adjust_step", false, -1);
    define_key(p.bools, bs, BoolKey::adjust_clust_precision, "adjust_clust_precision", false, -1);
    define_key(p.bools, bs, BoolKey::hypermutation, "hypermutation", false, -1);
    define_key(p.bools, bs, BoolKey::parent_children_competion, "parent_children_competion", false, -1);
    define_key(p.bools, bs, BoolKey::use_experimental_phases_amps, "use_experimental_phases_amps", false, -1);

    p.array_names[ArrayKey::MT_seed] = "MT_seed";
    p.array_sections[ArrayKey::MT_seed] = 2;
    p.array_names[ArrayKey::LJ_epsilons] = "LJ_epsilons";
    p.array_sections[ArrayKey::LJ_epsilons] = -1;
}

}  // namespace

void set_parameter_defaults(Calculation& calc) {
    set_global_defaults(calc.parameters);
    for (auto& spectrum : calc.spectrum_parameters) set_spectrum_parameter_defaults(spectrum);
    for (auto& structure : calc.structure_parameters) set_structure_parameter_defaults(structure);
    set_record_section_codes(calc.spectrum_sections, calc.structure_sections);
}
