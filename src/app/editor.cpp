#include "app/editor.hpp"

#include "control/calculation.hpp"
#include "control/console_log.hpp"
#include "control/process_end.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <iterator>
#include <string>
#include <type_traits>
#include <vector>

namespace {

// Declared in the order the listing numbers the keys; the user's parameter number depends on it.
enum class Table {
    global_int,
    global_double,
    global_string,
    global_bool,
    global_array,
    spectrum_int,
    spectrum_double,
    spectrum_string,
    spectrum_scf,
    structure_double,
    structure_string,
    structure_bool,
};

struct ListedKey {
    Table table;
    int slot;
    std::string name;
};

constexpr const char* current_value_text = "\t\t\t Current value:";
constexpr const char* new_value_text = "\t\t\t New value:";

[[noreturn]] void refuse_choice() {
    std::cout << "ERROR: CHOICE NOT RECKOGNIZED!\n";
    end_process(5);
}

// A failed extraction leaves std::cin failed for every later question, so the dialogue could never recover:
// an unreadable answer (end of input included) ends it like a wrong choice.
template <class T>
T read_answer() {
    T value{};
    if (!(std::cin >> value)) refuse_choice();
    return value;
}

// The record count steers which records are read, so a value outside 1..10 would make the tables
// inconsistent with the file written afterwards.
bool is_record_count(std::int32_t value, int capacity) { return value >= 1 && value <= capacity; }

ParameterSection choose_category() {
    std::cout << "\tEDIT PARAMETERS\n\t\tSelect ctg:\n";
    const auto offer = [](ParameterSection section) {
        std::cout << "\t\t\t " << section << ": " << section_name(section) << '\n';
    };
    for (ParameterSection section = 1; section <= section_count; ++section) offer(section);
    offer(section_advanced_and_obsolete);

    // Section 0 is not offered but stays selectable, so keys that are never written can still be edited.
    const auto category = read_answer<ParameterSection>();
    if (category < section_advanced_and_obsolete || category > section_count) refuse_choice();
    return category;
}

std::vector<ListedKey> keys_of_section(const Calculation& calc, ParameterSection category) {
    std::vector<ListedKey> listed;
    const auto add = [&](Table table, const auto& names, const auto& sections, int first, int end) {
        for (int slot = first; slot < end; ++slot) {
            const auto index = static_cast<std::size_t>(slot);
            if (sections[index] == category) listed.push_back({table, slot, names[index]});
        }
    };
    const ParameterBlock& p = calc.parameters;
    // The MT_seed values occupy int slots but are edited through the array key.
    add(Table::global_int, p.ints.names, p.int_sections, 0, IntKey::MT_seed_first);
    add(Table::global_int, p.ints.names, p.int_sections, IntKey::Number_of_structures, IntKey::count);
    add(Table::global_double, p.doubles.names, p.double_sections, 0, DoubleKey::count);
    add(Table::global_string, p.strings.names, p.string_sections, 0, StringKey::count);
    add(Table::global_bool, p.bools.names, p.bool_sections, 0, BoolKey::count);
    add(Table::global_array, p.array_names, p.array_sections, 0, ArrayKey::count);

    // Every record carries the same names; record 0 speaks for all.
    const SpectrumParameters& spectrum = calc.spectrum_parameters[0];
    const SpectrumSectionCodes& ss = calc.spectrum_sections;
    add(Table::spectrum_int, spectrum.ints.names, ss.ints, 0, SpectrumIntKey::count);
    add(Table::spectrum_double, spectrum.doubles.names, ss.doubles, 0, SpectrumDoubleKey::count);
    add(Table::spectrum_string, spectrum.strings.names, ss.strings, 0, SpectrumStringKey::count);
    add(Table::spectrum_scf, spectrum.scf.names, ss.scf, 0, ScfKey::count);

    const StructureParameters& structure = calc.structure_parameters[0];
    const StructureSectionCodes& st = calc.structure_sections;
    add(Table::structure_double, structure.doubles.names, st.doubles, 0, StructureDoubleKey::count);
    add(Table::structure_string, structure.strings.names, st.strings, 0, StructureStringKey::count);
    add(Table::structure_bool, structure.bools.names, st.bools, 0, StructureBoolKey::count);
    return listed;
}

template <class T>
void edit_global_value(T& value) {
    std::cout << current_value_text << value << '\n' << new_value_text;
    value = read_answer<T>();
}

void edit_global_int(ParameterBlock& p, int slot) {
    std::int32_t& value = p.ints[slot];
    std::cout << current_value_text << value << '\n' << new_value_text;
    const auto answer = read_answer<std::int32_t>();
    if ((slot == IntKey::Number_of_spectra && !is_record_count(answer, max_spectra)) ||
        (slot == IntKey::Number_of_structures && !is_record_count(answer, max_structures))) {
        refuse_choice();
    }
    value = answer;
}

void edit_mt_seed(ParameterBlock& p) {
    std::cout << current_value_text;
    for (int i = 0; i < MT_seed_length; ++i) std::cout << (i == 0 ? "" : " ") << p.ints[IntKey::MT_seed_first + i];
    std::cout << '\n' << new_value_text;
    for (int i = 0; i < MT_seed_length; ++i) p.ints[IntKey::MT_seed_first + i] = read_answer<std::int32_t>();
}

// value_of picks the edited value out of one record; one value is shown and read per record in use.
template <class Record, std::size_t N, class Access>
void edit_record_values(std::array<Record, N>& records, std::int32_t used, Access value_of) {
    using Value = std::remove_reference_t<decltype(value_of(records[0]))>;
    // The count comes from the tables and is not checked by the editor; never step outside the records.
    const auto count = static_cast<std::size_t>(std::clamp<std::int32_t>(used, 0, static_cast<std::int32_t>(N)));
    std::cout << current_value_text;
    for (std::size_t r = 0; r < count; ++r) std::cout << ' ' << value_of(records[r]);
    std::cout << '\n' << new_value_text;
    for (std::size_t r = 0; r < count; ++r) value_of(records[r]) = read_answer<Value>();
}

void edit_key(Calculation& calc, const ListedKey& key) {
    std::cout << "\t\t\t " << key.name << '\n';
    ParameterBlock& p = calc.parameters;
    const int slot = key.slot;
    const std::int32_t spectra = p.ints[IntKey::Number_of_spectra];
    const std::int32_t structures = p.ints[IntKey::Number_of_structures];
    auto& sp = calc.spectrum_parameters;
    auto& st = calc.structure_parameters;
    switch (key.table) {
        case Table::global_int: edit_global_int(p, slot); break;
        case Table::global_double: edit_global_value(p.doubles[slot]); break;
        case Table::global_string: edit_global_value(p.strings[slot]); break;
        case Table::global_bool: edit_global_value(p.bools[slot]); break;
        case Table::global_array:
            // LJ_epsilons has no console form; its values stay as they are.
            if (slot == ArrayKey::MT_seed) edit_mt_seed(p);
            break;
        case Table::spectrum_int:
            edit_record_values(sp, spectra, [slot](SpectrumParameters& s) -> auto& { return s.ints[slot]; });
            break;
        case Table::spectrum_double:
            edit_record_values(sp, spectra, [slot](SpectrumParameters& s) -> auto& { return s.doubles[slot]; });
            break;
        case Table::spectrum_string:
            edit_record_values(sp, spectra, [slot](SpectrumParameters& s) -> auto& { return s.strings[slot]; });
            break;
        case Table::spectrum_scf:
            edit_record_values(sp, spectra, [slot](SpectrumParameters& s) -> auto& { return s.scf[slot]; });
            break;
        case Table::structure_double:
            edit_record_values(st, structures, [slot](StructureParameters& s) -> auto& { return s.doubles[slot]; });
            break;
        case Table::structure_string:
            edit_record_values(st, structures, [slot](StructureParameters& s) -> auto& { return s.strings[slot]; });
            break;
        case Table::structure_bool:
            edit_record_values(st, structures, [slot](StructureParameters& s) -> auto& { return s.bools[slot]; });
            break;
    }
}

}  // namespace

void edit_parameters_interactively(Calculation& calc) {
    std::cout << "-------------------";
    log_line("---------------------");
    do {
        const ParameterSection category = choose_category();
        const std::vector<ListedKey> listed = keys_of_section(calc, category);
        std::cout << "\t\tSelect parameter:\n";
        for (std::size_t number = 0; number < listed.size(); ++number) {
            std::cout << "\t\t\t " << number << ' ' << listed[number].name << '\n';
        }
        const auto number = read_answer<int>();
        if (number < 0 || number >= std::ssize(listed)) refuse_choice();
        edit_key(calc, listed[static_cast<std::size_t>(number)]);
        std::cout << "\t\tRepeat?\n\t\t\t 0: No\n\t\t\t 1: Yes\n";
    } while (read_answer<int>() == 1);
}
