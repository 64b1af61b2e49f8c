#include "control/parameter_reader.hpp"

#include "control/calculation.hpp"
#include "control/console_log.hpp"
#include "control/parameter_writer.hpp"
#include "control/number_text.hpp"
#include "control/process_end.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iostream>
#include <limits>
#include <optional>
#include <sstream>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t max_line_length = 255;
constexpr std::int32_t max_states = 1000000;
// Narrower bins would make the partial RDFs (10 angstrom each) hold more than a million bins.
constexpr double min_rdf_bin_width = 1e-5;

[[noreturn]] void fail_reading(const std::string& message) {
    std::cout << message << '\n';
    end_process(4);
}

bool is_white(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Walks the words of the parameter file while keeping track of the current line, since list keys take
// the rest of their line and comments run to the end of theirs.
class WordCursor {
public:
    explicit WordCursor(std::istream& in) : in_(in) {}

    bool next_line() {
        if (!std::getline(in_, line_)) return false;
        if (!line_.empty() && line_.back() == '\r') line_.pop_back();
        if (line_.size() > max_line_length) {
            fail_reading("ERROR: LINE LONGER THAN " + std::to_string(max_line_length) +
                         " CHARACTERS IN PARAMETER FILE!");
        }
        position_ = 0;
        return true;
    }

    const std::string& line() const { return line_; }

    std::optional<std::string> next_word() {
        for (;;) {
            while (position_ < line_.size() && is_white(line_[position_])) ++position_;
            if (position_ < line_.size()) break;
            if (!next_line()) return std::nullopt;
        }
        const std::size_t start = position_;
        while (position_ < line_.size() && !is_white(line_[position_])) ++position_;
        std::string word = line_.substr(start, position_ - start);
        taken_ += (taken_.empty() ? "" : " ") + word;
        return word;
    }

    // The words read since the last call, joined by blanks: what a value was read from.
    std::string take_words() { return std::exchange(taken_, std::string()); }

    // The rest of the current line, left to be read.
    std::string peek_rest_of_line() const { return line_.substr(position_); }

    std::string rest_of_line() {
        std::string rest = line_.substr(position_);
        position_ = line_.size();
        return rest;
    }

    void skip_rest_of_line() { position_ = line_.size(); }

private:
    std::istream& in_;
    std::string line_;
    std::size_t position_ = 0;
    std::string taken_;
};

std::optional<std::int32_t> whole_int(const std::string& word) { return parse_whole_number<std::int32_t>(word); }

std::optional<double> whole_double(const std::string& word) { return parse_whole_number<double>(word); }

std::optional<bool> whole_bool(const std::string& word) {
    if (word == "0") return false;
    if (word == "1") return true;
    return std::nullopt;
}

std::string next_value_word(WordCursor& cursor, const std::string& key) {
    std::optional<std::string> word = cursor.next_word();
    if (!word) fail_reading("ERROR: NO VALUE FOR PARAMETER " + key + " BEFORE THE END OF THE PARAMETER FILE!");
    return *word;
}

template <class T, class Parse>
T read_single_value(WordCursor& cursor, const std::string& key, Parse parse) {
    const std::string word = next_value_word(cursor, key);
    auto value = parse(word);
    if (!value) fail_reading("ERROR: CANNOT READ VALUE OF PARAMETER " + key + " (" + word + ")!");
    return *value;
}

const char* const global_legacy_names[][2] = {
    {"Write_every_...", "time1"},
    {"Save_restart_file_every_...:", "time2"},
    {"adjust_T", "adjust_acceptance"},
};
const char* const spectrum_legacy_names[][2] = {
    {"Min._k_value_for_EXAFS:", "k_min"},
    {"Max._k_value_for_EXAFS:", "k_max"},
    {"dk_value_for_EXAFS:", "dk"},
    {"k_power_for_EXAFS:", "k_power"},
};

template <std::size_t N>
void replace_legacy_name(std::string& key, const char* const (&names)[N][2]) {
    for (const auto& pair : names) {
        if (parameter_keys_match(key, pair[0])) {
            key = pair[1];
            return;
        }
    }
}

template <std::size_t N>
int find_slot(const std::array<std::string, N>& names, const std::string& key) {
    for (std::size_t slot = 0; slot < N; ++slot) {
        if (parameter_keys_match(names[slot], key)) return static_cast<int>(slot);
    }
    return -1;
}

// Reads a value of type T from the start of a piece: leading white space skipped, the rest ignored.
template <class T>
std::optional<T> leading_value(const std::string& piece) {
    std::istringstream in(piece);
    T value{};
    if (in >> value) return value;
    return std::nullopt;
}

template <class T>
bool is_whole_value(const std::string& text) {
    if constexpr (std::is_same_v<T, bool>) return text == "0" || text == "1";
    else return parse_whole_number<T>(text).has_value();
}

std::string trimmed(const std::string& text) {
    std::size_t first = 0, end = text.size();
    while (first < end && is_white(text[first])) ++first;
    while (end > first && is_white(text[end - 1])) --end;
    return text.substr(first, end - first);
}

// Numeric lists split at blanks only (tabs do not separate); pieces that give no value do not count. A
// piece that is not one plain number ("12,5", "abc") still follows that rule, but the reading is reported:
// it silently became another value (12) or none.
template <class T>
std::vector<T> numeric_list(const std::string& list, const std::string& key) {
    std::vector<T> values;
    std::ostringstream misread;
    std::size_t start = 0;
    for (;;) {
        const std::size_t blank = list.find(' ', start);
        const std::string piece = list.substr(start, blank == std::string::npos ? std::string::npos : blank - start);
        const std::optional<T> value = leading_value<T>(piece);
        if (value) values.push_back(*value);
        const std::string text = trimmed(piece);
        if (!text.empty() && !is_whole_value<T>(text)) {
            misread << (misread.tellp() > 0 ? "; " : "") << '"' << text << '"';
            if (value) misread << " read as " << *value;
            else misread << " skipped";
        }
        if (blank == std::string::npos) break;
        start = blank + 1;
    }
    if (misread.tellp() > 0) std::cout << "WARNING: parameter " << key << ": " << misread.str() << '\n';
    return values;
}

std::vector<std::string> word_list(const std::string& list) {
    std::vector<std::string> words;
    std::istringstream in(list);
    std::string word;
    while (in >> word) words.push_back(word);
    return words;
}

// "4 4 4" joins to "4x4x4"; a word holding 'x' is already a whole cell; a short tail repeats its last word.
std::vector<std::string> supercell_list(const std::string& list) {
    const std::vector<std::string> words = word_list(list);
    std::vector<std::string> values;
    for (std::size_t i = 0; i < words.size();) {
        if (words[i].find('x') != std::string::npos) {
            values.push_back(words[i++]);
            continue;
        }
        std::string last = words[i++];
        std::string joined = last;
        for (int more = 0; more < 2; ++more) {
            if (i < words.size()) last = words[i++];
            joined += "x" + last;
        }
        values.push_back(joined);
    }
    return values;
}

template <class Record, class Table, class T>
void store_list(std::array<Record, 10>& records, Table Record::*table, int slot, const std::vector<T>& values) {
    const std::size_t count = std::min<std::size_t>(values.size(), records.size());
    for (std::size_t m = 0; m < count; ++m) {
        for (std::size_t r = m; r < records.size(); ++r) (records[r].*table)[slot] = values[m];
    }
}

void warn_changed_value(const std::string& key, std::int32_t old_value, std::int32_t new_value) {
    std::cout << "WARNING: CHANGING THE VALUE OF PARAMETER: " << key << " from " << old_value << " to " << new_value
              << '\n';
}

std::int32_t usable_thread_count(std::int32_t requested) {
    if (requested < 1) return 1;
    if (requested > max_threads) return max_threads;
    return requested;
}

void check_record_count(const Calculation& calc, int slot, int limit) {
    const std::int32_t count = calc.parameters.ints[slot];
    if (count < 1 || count > limit) {
        std::cout << "ERROR: " << calc.parameters.ints.names[static_cast<std::size_t>(slot)] << " must be between 1 and "
                  << limit << "!" << '\n';
        end_process(1);
    }
}

[[noreturn]] void refuse_parameter(const std::string& key, double value, const std::string& reason) {
    std::cout << "ERROR: PARAMETER " << key << " = " << value << " CANNOT BE USED: " << reason << "!" << '\n';
    end_process(1);
}

void require_usable(const std::string& key, double value) {
    if (!is_usable_number(value)) refuse_parameter(key, value, "its magnitude exceeds 1e+30");
}

template <class Table>
void require_usable_magnitudes(const Table& table) {
    for (int slot = 0; slot < Table::count; ++slot) {
        const std::string& key = table.names[static_cast<std::size_t>(slot)];
        if (!key.empty()) require_usable(key, table[slot]);
    }
}

// Values that would overflow, or turn into no number, where they are used (k weights as exponents, S02
// as a divisor, SCF counts as integers, the RDF bin count) are refused before any stage uses them.
void refuse_unusable_parameters(const Calculation& calc) {
    const ParameterBlock& p = calc.parameters;
    require_usable_magnitudes(p.doubles);
    for (const double epsilon : p.lj_epsilons) require_usable(p.array_names[ArrayKey::LJ_epsilons], epsilon);
    for (int i = 0; i < p.ints[IntKey::Number_of_spectra]; ++i) {
        const SpectrumParameters& spectrum = calc.spectrum_parameters[i];
        require_usable_magnitudes(spectrum.doubles);
        require_usable_magnitudes(spectrum.scf);
        const auto& d = spectrum.doubles;
        const std::int32_t legs = spectrum.ints[SpectrumIntKey::N_legs];
        if (legs > max_N_legs) {
            refuse_parameter(spectrum.ints.names[SpectrumIntKey::N_legs], legs,
                             "a path has at most " + std::to_string(max_N_legs) + " legs");
        }
        // Found only after FEFF's potentials, the pathfinder and the path runs, as a list without paths.
        if (legs < 2) {
            refuse_parameter(spectrum.ints.names[SpectrumIntKey::N_legs], legs,
                             "a scattering path has at least 2 legs (out to a scatterer and back)");
        }
        const int r_feff = SpectrumDoubleKey::R_max_for_FEFF;
        if (!(d[r_feff] > 0)) refuse_parameter(d.names[r_feff], d[r_feff], "a path length limit must be positive");
        for (const int slot : {SpectrumDoubleKey::k_power, SpectrumDoubleKey::k_power_in_IO}) {
            if (!(d[slot] >= 0 && d[slot] <= 10)) refuse_parameter(d.names[slot], d[slot], "a k weight lies between 0 and 10");
        }
        const int s02 = SpectrumDoubleKey::S02;
        if (!(d[s02] > 0)) refuse_parameter(d.names[s02], d[s02], "it must be positive");
        for (const int slot : {ScfKey::n_scf, ScfKey::n_mix}) {
            const double count = spectrum.scf[slot];
            if (!(count >= 0 && count <= std::numeric_limits<std::int32_t>::max())) {
                refuse_parameter(spectrum.scf.names[slot], count, "it is a count of iterations");
            }
        }
        // Without a given centre the wavelet transform takes the middle of the R range; R / R0 is taken
        // to the power 1/2.
        const int r_min = SpectrumDoubleKey::R_min;
        if (d[SpectrumDoubleKey::R0_for_WT] < 0 && d[r_min] + d[SpectrumDoubleKey::R_max] < 0) {
            refuse_parameter(d.names[r_min], d[r_min], "the middle of the R range, the wavelet centre, is negative");
        }
        const int bins = SpectrumDoubleKey::RDF_bin_width;
        if (!(d[bins] >= min_rdf_bin_width)) refuse_parameter(d.names[bins], d[bins], "bins must be at least 1e-05 wide");
    }
    for (int i = 0; i < p.ints[IntKey::Number_of_structures]; ++i) {
        require_usable_magnitudes(calc.structure_parameters[i].doubles);
    }
}

ParameterKey find_parameter_key(const Calculation& calc, std::string key) {
    replace_legacy_name(key, global_legacy_names);
    const ParameterBlock& p = calc.parameters;
    ParameterKey found;
    if (int slot = find_slot(p.ints.names, key); slot >= 0) return {kind_global_int, slot};
    if (int slot = find_slot(p.doubles.names, key); slot >= 0) return {kind_global_double, slot};
    if (int slot = find_slot(p.strings.names, key); slot >= 0) return {kind_global_string, slot};
    if (int slot = find_slot(p.bools.names, key); slot >= 0) return {kind_global_bool, slot};
    if (int slot = find_slot(p.array_names, key); slot >= 0) return {kind_global_array, slot};
    if (classify_spectrum_key(calc, key, found)) return found;
    if (classify_structure_key(calc, key, found)) return found;
    return {};
}

// A value is one word, and the words after it on its line are read as further keys. One that is no key
// (nor a comment or END) shows a value written with a space in it ("out put.dat"), of which only the
// first word would be used: another file named, another number taken, and nothing later showing it.
// That is refused; only the Title, which names nothing, is read by its first word with a warning.
void check_value_is_one_word(const Calculation& calc, WordCursor& cursor, const std::string& key, ParameterKey found) {
    const std::string value = cursor.take_words();
    std::string rest;
    for (const std::string& word : word_list(cursor.peek_rest_of_line())) {
        if (word[0] == '#') break;
        rest += " " + word;
    }
    if (rest.empty()) return;
    const std::string next = word_list(rest)[0];
    if (next == "END" || find_parameter_key(calc, next).kind != kind_unknown) return;
    const std::string whole = value + rest;
    if (found.kind == kind_global_string && found.slot == StringKey::Title) {
        std::cout << "WARNING: VALUE OF PARAMETER " << key << " (" << whole << ") HOLDS A SPACE: ONLY " << value
                  << " IS USED!" << '\n';
        return;
    }
    fail_reading("ERROR: VALUE OF PARAMETER " + key + " (" + whole + ") HOLDS A SPACE: A VALUE IS ONE WORD!");
}

void read_key_value(Calculation& calc, WordCursor& cursor, const std::string& key, ParameterKey found) {
    ParameterBlock& p = calc.parameters;
    cursor.take_words();
    switch (found.kind) {
        case kind_global_int: p.ints[found.slot] = read_single_value<std::int32_t>(cursor, key, whole_int); break;
        case kind_global_double: p.doubles[found.slot] = read_single_value<double>(cursor, key, whole_double); break;
        case kind_global_string: p.strings[found.slot] = next_value_word(cursor, key); break;
        case kind_global_bool: p.bools[found.slot] = read_single_value<bool>(cursor, key, whole_bool); break;
        case kind_global_array:
            if (found.slot == ArrayKey::MT_seed) {
                for (int i = 0; i < MT_seed_length; ++i) {
                    p.ints[IntKey::MT_seed_first + i] = read_single_value<std::int32_t>(cursor, key, whole_int);
                }
            } else {
                for (double& epsilon : p.lj_epsilons) epsilon = read_single_value<double>(cursor, key, whole_double);
            }
            break;
        case kind_spectrum_int: parse_spectrum_int_list(calc, cursor.rest_of_line(), found.slot); break;
        case kind_spectrum_double: parse_spectrum_double_list(calc, cursor.rest_of_line(), found.slot); break;
        case kind_spectrum_string: parse_spectrum_string_list(calc, cursor.rest_of_line(), found.slot); break;
        case kind_spectrum_scf: parse_spectrum_scf_list(calc, cursor.rest_of_line(), found.slot); break;
        case kind_structure_double: parse_structure_double_list(calc, cursor.rest_of_line(), found.slot); break;
        case kind_structure_string: parse_structure_string_list(calc, cursor.rest_of_line(), found.slot); break;
        case kind_structure_bool: parse_structure_bool_list(calc, cursor.rest_of_line(), found.slot); break;
        case kind_structure_int:  // no structure key is an integer
        case kind_unknown: cursor.skip_rest_of_line(); break;
    }
    if (found.kind >= kind_global_int && found.kind <= kind_global_array) check_value_is_one_word(calc, cursor, key, found);
}

void adjust_after_reading(Calculation& calc, bool use_extra_argument, const std::string& extra_argument) {
    ParameterBlock& p = calc.parameters;
    std::int32_t& states = p.ints[IntKey::Number_of_states];
    // Three populations of this many states are allocated, and state counts are multiplied by iterations.
    if (states > max_states) {
        refuse_parameter(p.ints.names[IntKey::Number_of_states], states,
                         "a population holds at most " + std::to_string(max_states) + " states");
    }
    // The evolutionary step pairs states, so the population is made even; it can never be empty.
    if (states > 1 && states % 2 != 0) {
        warn_changed_value(p.ints.names[IntKey::Number_of_states], states, states + 1);
        states += 1;
    } else if (states < 1) {
        warn_changed_value(p.ints.names[IntKey::Number_of_states], states, 1);
        states = 1;
    }
    check_record_count(calc, IntKey::Number_of_spectra, max_spectra);
    check_record_count(calc, IntKey::Number_of_structures, max_structures);
    refuse_unusable_parameters(calc);

    const int spectra = p.ints[IntKey::Number_of_spectra];
    const int structures = p.ints[IntKey::Number_of_structures];
    for (int i = 0; i < spectra; ++i) {
        SpectrumParameters& spectrum = calc.spectrum_parameters[i];
        validate_k_and_r_ranges(spectrum);
        spectrum.thread_count = usable_thread_count(p.ints[IntKey::Number_of_threads]);
        if (spectrum.doubles[SpectrumDoubleKey::Spectrum_weight] < 0) {
            spectrum.doubles[SpectrumDoubleKey::Spectrum_weight] = 1.0 / spectra;
        }
    }
    for (int i = spectra; i < max_spectra; ++i) copy_spectrum_parameters(calc.spectrum_parameters[0], calc.spectrum_parameters[i]);
    for (int i = structures; i < max_structures; ++i) {
        copy_structure_parameters(calc.structure_parameters[0], calc.structure_parameters[i]);
    }
    for (int i = 0; i < structures; ++i) structure_type_code(calc.structure_parameters[i]);
    decode_norm_and_space(calc);
    calc.move_all = set_move_all_flag(calc);
    parse_polarization(calc);

    // The label of the fit space is bracketed in the progress report.
    const std::string& space = p.strings[StringKey::Space];
    const auto label = [&space](const char* name, const char* fit_space_name, const char* fit_space) {
        return std::string(space == fit_space ? fit_space_name : name);
    };
    calc.axis_label_k = label("K", "[K]", "k");
    calc.axis_label_q = label("Q", "[Q]", "q");
    calc.axis_label_r = label("R", "[R]", "r");
    calc.axis_label_w = label("W", "[W]", "w");
    std::cout << '\n';

    std::int32_t& threads = p.ints[IntKey::Number_of_threads];
    if (threads > max_threads) {
        std::cout << "WARNING: SPECIFIED NUMBER OF THREADS EXCEEDS BUILT-IN LIMIT! " << threads << " asked for, "
                  << max_threads << " used" << '\n';
        threads = max_threads;
    } else if (threads < 1) {
        warn_changed_value(p.ints.names[IntKey::Number_of_threads], threads, 1);
        threads = 1;
    }

    const double acceptance = p.doubles[DoubleKey::Acceptance_rate];
    calc.log_acceptance = -1e100;
    if (acceptance > 0 && acceptance < 1) calc.log_acceptance = std::log(acceptance);
    calc.step_length = p.doubles[DoubleKey::Maximal_step_length];

    if (use_extra_argument) {
        for (int i = 0; i < spectra; ++i) {
            calc.spectrum_parameters[i].strings[SpectrumStringKey::File_with_experimental_EXAFS_signal] = extra_argument;
        }
    }
}

}  // namespace

bool parameter_keys_match(const std::string& a, const std::string& b) {
    if (a.empty() || b.empty()) return false;
    auto stem = [](const std::string& key) {
        return key.back() == ':' ? std::string_view(key).substr(0, key.size() - 1) : std::string_view(key);
    };
    return stem(a) == stem(b);
}

bool classify_spectrum_key(const Calculation& calc, std::string key, ParameterKey& found) {
    replace_legacy_name(key, spectrum_legacy_names);
    const SpectrumParameters& record = calc.spectrum_parameters[0];
    if (int slot = find_slot(record.ints.names, key); slot >= 0) found = {kind_spectrum_int, slot};
    else if (int slot = find_slot(record.doubles.names, key); slot >= 0) found = {kind_spectrum_double, slot};
    else if (int slot = find_slot(record.strings.names, key); slot >= 0) found = {kind_spectrum_string, slot};
    else if (int slot = find_slot(record.scf.names, key); slot >= 0) found = {kind_spectrum_scf, slot};
    else return false;
    return true;
}

bool classify_structure_key(const Calculation& calc, const std::string& key, ParameterKey& found) {
    const StructureParameters& record = calc.structure_parameters[0];
    if (int slot = find_slot(record.doubles.names, key); slot >= 0) found = {kind_structure_double, slot};
    else if (int slot = find_slot(record.strings.names, key); slot >= 0) found = {kind_structure_string, slot};
    else if (int slot = find_slot(record.bools.names, key); slot >= 0) found = {kind_structure_bool, slot};
    else return false;
    return true;
}

ParameterKey classify_parameter_key(const Calculation& calc, std::string key) {
    const ParameterKey found = find_parameter_key(calc, key);
    if (found.kind == kind_unknown) std::cout << "WARNING - unknown parameter (" << key << ")" << '\n';
    return found;
}

namespace {

template <class Table>
const std::string& key_name(const Table& table, int slot) {
    return table.names[static_cast<std::size_t>(slot)];
}

}  // namespace

void parse_spectrum_int_list(Calculation& calc, const std::string& list, int slot) {
    const std::string& key = key_name(calc.spectrum_parameters[0].ints, slot);
    store_list(calc.spectrum_parameters, &SpectrumParameters::ints, slot, numeric_list<std::int32_t>(list, key));
}
void parse_spectrum_double_list(Calculation& calc, const std::string& list, int slot) {
    const std::string& key = key_name(calc.spectrum_parameters[0].doubles, slot);
    store_list(calc.spectrum_parameters, &SpectrumParameters::doubles, slot, numeric_list<double>(list, key));
}
void parse_spectrum_string_list(Calculation& calc, const std::string& list, int slot) {
    store_list(calc.spectrum_parameters, &SpectrumParameters::strings, slot, word_list(list));
}
void parse_spectrum_scf_list(Calculation& calc, const std::string& list, int slot) {
    const std::string& key = key_name(calc.spectrum_parameters[0].scf, slot);
    store_list(calc.spectrum_parameters, &SpectrumParameters::scf, slot, numeric_list<double>(list, key));
}
void parse_structure_double_list(Calculation& calc, const std::string& list, int slot) {
    const std::string& key = key_name(calc.structure_parameters[0].doubles, slot);
    store_list(calc.structure_parameters, &StructureParameters::doubles, slot, numeric_list<double>(list, key));
}
void parse_structure_string_list(Calculation& calc, const std::string& list, int slot) {
    const auto values = slot == StructureStringKey::Supercell ? supercell_list(list) : word_list(list);
    store_list(calc.structure_parameters, &StructureParameters::strings, slot, values);
}
void parse_structure_bool_list(Calculation& calc, const std::string& list, int slot) {
    const std::string& key = key_name(calc.structure_parameters[0].bools, slot);
    store_list(calc.structure_parameters, &StructureParameters::bools, slot, numeric_list<bool>(list, key));
}

bool set_move_all_flag(const Calculation& calc) { return calc.parameters.strings[StringKey::Move_type] == "move_all"; }

void read_parameter_file(Calculation& calc, const std::string& file_name, bool use_extra_argument,
                         const std::string& extra_argument) {
    std::ifstream in(file_name);
    if (!in) {
        std::cout << "ERROR: PARAMETER FILE CANNOT BE OPENED!" << open_failure_note(file_name) << '\n';
        end_process(4);
    }
    WordCursor cursor(in);
    for (;;) {
        if (!cursor.next_line()) fail_reading("ERROR: NO BEGIN LINE IN PARAMETER FILE " + file_name + "!");
        const std::string& line = cursor.line();
        if (!line.empty() && line[0] == '#') continue;
        if (line == "BEGIN") break;
    }
    cursor.skip_rest_of_line();
    for (;;) {
        std::optional<std::string> word = cursor.next_word();
        if (!word) fail_reading("ERROR: NO END OF PARAMETERS (END) IN PARAMETER FILE " + file_name + "!");
        if ((*word)[0] == '#') {
            cursor.skip_rest_of_line();
            continue;
        }
        if (*word == "END") break;
        read_key_value(calc, cursor, *word, classify_parameter_key(calc, *word));
    }
    in.close();

    adjust_after_reading(calc, use_extra_argument, extra_argument);
    write_parameter_file(calc, std::cout);
}
