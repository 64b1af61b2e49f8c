#include "control/parameter_writer.hpp"

#include "control/calculation.hpp"

namespace {

const std::string indent(14, ' ');
const std::string hash_line(79, '#');
constexpr int key_width = 37;

// Each banner is 79 characters; the hash counts keep the historic (slightly off-centre) layout.
void write_banner(std::ostream& out, ParameterSection section) {
    static const int leading[section_count] = {26, 25, 31, 31, 23, 36, 32};
    static const int trailing[section_count] = {25, 24, 29, 30, 22, 35, 31};
    out << std::string(static_cast<std::size_t>(leading[section - 1]), '#') << ' ' << section_name(section) << ' '
        << std::string(static_cast<std::size_t>(trailing[section - 1]), '#') << '\n';
}

template <class T, std::size_t N>
void write_global_lines(std::ostream& out, const KeyTable<T, N>& table, const SectionTable<N>& sections,
                        ParameterSection section, int first_slot = 0) {
    for (int slot = first_slot; slot < table.count; ++slot) {
        // Nameless slots (the MT_seed values) are written on their array's own line.
        const auto at = static_cast<std::size_t>(slot);
        if (sections[at] != section || table.names[at].empty()) continue;
        out << indent;
        write_padded_key(out, table.names[at], key_width);
        out << ' ' << table[slot] << '\n';
    }
}

// One line per key of the section, with the values of the records in use, record 0 first.
template <class Record, class Table, std::size_t N>
void write_record_lines(std::ostream& out, const Record* records, int used, Table Record::*table,
                        const SectionTable<N>& sections, ParameterSection section) {
    const auto& names = (records[0].*table).names;
    for (std::size_t slot = 0; slot < N; ++slot) {
        if (sections[slot] != section) continue;
        out << indent;
        write_padded_key(out, names[slot], key_width);
        for (int r = 0; r < used; ++r) out << ' ' << (records[r].*table).values[slot];
        out << '\n';
    }
}

template <class T>
void write_array_line(std::ostream& out, const std::string& key, const T* values, int count) {
    out << indent;
    write_padded_key(out, key, key_width + 1);
    for (int i = 0; i < count; ++i) {
        if (i > 0) out << ' ';
        out << values[i];
    }
    out << '\n';
}

void write_mt_seed_line(const Calculation& calc, std::ostream& out) {
    const ParameterBlock& p = calc.parameters;
    write_array_line(out, p.array_names[ArrayKey::MT_seed], &p.ints[IntKey::MT_seed_first], MT_seed_length);
}

// BEGIN, the title and the seven sections, without the closing lines.
void write_parameter_sections(const Calculation& calc, std::ostream& out) {
    const ParameterBlock& p = calc.parameters;
    out << "BEGIN" << '\n';
    write_padded_key(out, p.strings.names[StringKey::Title], key_width);
    out << ' ' << p.strings[StringKey::Title] << '\n';

    for (ParameterSection section = 1; section <= section_count; ++section) {
        out << hash_line << '\n';
        write_banner(out, section);
        out << hash_line << '\n';
        write_global_lines(out, p.ints, p.int_sections, section);
        write_global_lines(out, p.doubles, p.double_sections, section);
        // The title has its own line after BEGIN and never appears inside a section.
        write_global_lines(out, p.strings, p.string_sections, section, StringKey::Title + 1);
        if (section == 2) {
            write_mt_seed_line(calc, out);
            write_global_lines(out, p.bools, p.bool_sections, section);
            write_spectrum_parameter_lines(calc, out, section);
            write_structure_parameter_lines(calc, out, section);
        } else {
            write_spectrum_parameter_lines(calc, out, section);
            write_structure_parameter_lines(calc, out, section);
            write_global_lines(out, p.bools, p.bool_sections, section);
        }
    }
    out << hash_line << '\n';
}

}  // namespace

void write_padded_key(std::ostream& out, const std::string& key, int width) {
    out << key;
    const int length = static_cast<int>(key.size());
    if (length <= width) out << std::string(static_cast<std::size_t>(width - length + 1), ' ');
}

void write_spectrum_parameter_lines(const Calculation& calc, std::ostream& out, ParameterSection section) {
    const SpectrumParameters* records = calc.spectrum_parameters.data();
    const int used = calc.parameters.ints[IntKey::Number_of_spectra];
    const SpectrumSectionCodes& s = calc.spectrum_sections;
    write_record_lines(out, records, used, &SpectrumParameters::ints, s.ints, section);
    write_record_lines(out, records, used, &SpectrumParameters::doubles, s.doubles, section);
    write_record_lines(out, records, used, &SpectrumParameters::strings, s.strings, section);
    write_record_lines(out, records, used, &SpectrumParameters::scf, s.scf, section);
}

void write_structure_parameter_lines(const Calculation& calc, std::ostream& out, ParameterSection section) {
    const StructureParameters* records = calc.structure_parameters.data();
    const int used = calc.parameters.ints[IntKey::Number_of_structures];
    const StructureSectionCodes& s = calc.structure_sections;
    write_record_lines(out, records, used, &StructureParameters::doubles, s.doubles, section);
    write_record_lines(out, records, used, &StructureParameters::strings, s.strings, section);
    write_record_lines(out, records, used, &StructureParameters::bools, s.bools, section);
}

void write_parameter_file(const Calculation& calc, std::ostream& out) {
    write_parameter_sections(calc, out);
    out << "END" << '\n';
}

void write_complete_parameter_file(const Calculation& calc, std::ostream& out) {
    const ParameterBlock& p = calc.parameters;
    write_parameter_sections(calc, out);
    // 79 characters like the section banners; the reader skips it as a comment.
    out << std::string(28, '#') << ' ' << section_name(section_advanced_and_obsolete) << ' ' << std::string(28, '#')
        << '\n';
    out << hash_line << '\n';
    for (const ParameterSection section : {section_advanced_and_obsolete, section_never_written}) {
        write_global_lines(out, p.ints, p.int_sections, section);
        write_global_lines(out, p.doubles, p.double_sections, section);
        write_global_lines(out, p.strings, p.string_sections, section, StringKey::Title + 1);
        if (p.array_sections[ArrayKey::LJ_epsilons] == section) {
            write_array_line(out, p.array_names[ArrayKey::LJ_epsilons], p.lj_epsilons.data(), LJ_epsilons_length);
        }
        write_global_lines(out, p.bools, p.bool_sections, section);
        write_spectrum_parameter_lines(calc, out, section);
        write_structure_parameter_lines(calc, out, section);
    }
    out << hash_line << '\n';
    out << "END" << '\n';
}
