#include "optimisation/output/restart_file.hpp"

#include "control/calculation.hpp"
#include "control/console_log.hpp"
#include "control/mt.hpp"
#include "control/number_text.hpp"
#include "control/output_file.hpp"
#include "control/parameter_writer.hpp"
#include "control/process_end.hpp"
#include "optimisation/output/diagnostics.hpp"
#include "optimisation/population/evaluation.hpp"
#include "optimisation/output/history_files.hpp"
#include "optimisation/population/one_dimensional.hpp"
#include "optimisation/output/partial_spectra.hpp"
#include "optimisation/population/state_exafs.hpp"
#include "optimisation/population/state.hpp"
#include "optimisation/output/xyz_output.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/atom_io.hpp"
#include "structure/structure.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The version of the program that writes the file (the banner's); readers do not depend on it.
const char* const program_version = "6.16";
constexpr int atom_precision = 13;

std::size_t at(std::int64_t i) { return static_cast<std::size_t>(i); }

int used_states(const Calculation& calc) {
    const int states = calc.parameters.ints[IntKey::Number_of_states];
    return std::max(0, std::min(states, static_cast<int>(calc.current_states.size())));
}

void write_padded_label(std::ostream& out, const std::string& label, std::size_t width) {
    out << label << std::string(width > label.size() ? width - label.size() : 0, ' ');
}

// What the main loop adapts as it goes and the generator's position, so that a resumed run draws and
// decides as the run that was never stopped; the displacements again, to the last bit (the atom lines
// hold positions to 13 digits).
void write_run_state(const Calculation& calc, std::ostream& out) {
    const int spectra = calc.parameters.ints[IntKey::Number_of_spectra];
    out << "RUN_STATE" << '\n';
    out << calc.objective_normaliser << ' ' << calc.mean_energy_change << ' ' << calc.log_acceptance << ' '
        << calc.step_length << ' ' << calc.accepted_without_test << ' ' << calc.accepted_by_test << ' '
        << calc.period_objective_sum << ' ' << calc.previous_period_objective_sum << '\n';
    for (int s = 0; s < spectra; ++s) {
        const SpectrumParameters& parameters = calc.spectrum_parameters[at(s)];
        out << calc.spectra[at(s)].mean_residual_change << ' '
            << parameters.doubles[SpectrumDoubleKey::Spectrum_weight] << ' '
            << parameters.doubles[SpectrumDoubleKey::Clustering_precision] << ' ';
    }
    out << '\n' << "DISPLACEMENTS" << '\n';
    for (int i = 0; i < used_states(calc); ++i) {
        for (const Atom& d : calc.current_states[at(i)].atoms) out << d.x << ' ' << d.y << ' ' << d.z << ' ';
        out << '\n';
    }
    out << "GENERATOR" << '\n';
    for (const std::uint32_t word : calc.random.position_words()) out << word << ' ';
    out << '\n';
}

// What the layout of the counters, atoms and spectra leaves out, after it, so that a reader of that layout
// stops before it: every state's structure weights, the one-dimensional model's path lengths and the run
// state. Written to the last bit, so that a continued run goes on from the same numbers.
void write_added_sections(const Calculation& calc, std::ostream& out) {
    const int states = used_states(calc);
    const int structures = calc.parameters.ints[IntKey::Number_of_structures];
    out << std::setprecision(std::numeric_limits<double>::max_digits10);
    out << "WEIGHTS" << '\n';
    for (int i = 0; i < states; ++i) {
        for (int j = 0; j < structures; ++j) out << calc.current_states[at(i)].weights[at(j)] << ' ';
        out << '\n';
    }
    const EdgePathLengths lengths = oned_path_lengths(calc);
    if (!lengths.empty()) {
        out << "PATH_LENGTHS" << '\n';
        for (const std::vector<std::vector<double>>& edge : lengths) {
            out << edge.size() << '\n';
            for (const std::vector<double>& path : edge) {
                out << path.size() << ' ';
                for (const double length : path) out << length << ' ';
                out << '\n';
            }
        }
    }
    write_run_state(calc, out);
}

void write_restart_text(const Calculation& calc, std::ostream& out) {
    const int states = used_states(calc);
    const int spectra = calc.parameters.ints[IntKey::Number_of_spectra];
    const int structures = calc.parameters.ints[IntKey::Number_of_structures];
    write_complete_parameter_file(calc, out);
    write_padded_label(out, "Talq version:", 32);
    out << program_version << '\n';
    write_padded_label(out, "Total_iterations:", 42);
    out << calc.iteration << '\n';
    write_padded_label(out, "Residuals:", 38);
    for (int i = 0; i < states; ++i) {
        for (int s = 0; s < spectra; ++s) out << calc.current_states[at(i)].spectra[at(s)].residual << ' ';
    }
    out << '\n';
    write_padded_label(out, "Average_delta:", 37);
    out << calc.objective_normaliser << ' ' << '\n';
    write_padded_label(out, "Average_delta_E:", 39);
    out << calc.mean_energy_change << ' ' << '\n';

    out << "ATOMS" << '\n' << std::setprecision(atom_precision);
    for (int i = 0; i < states; ++i) {
        const State& state = calc.current_states[at(i)];
        for (int j = 0; j < structures; ++j) {
            const int atoms = calc.structures[at(j)].atom_count;
            out << atoms << '\n' << calc.iteration << ' ' << i << ' ' << j << '\n';
            for (int a = 0; a < atoms; ++a) {
                const Atom position = get_atom_position(state, j, a);
                write_atom(position, position.label, out, "gulp");
            }
        }
    }
    out << "SPECTRA" << '\n';
    for (int i = 0; i < states; ++i) {
        for (int s = 0; s < spectra; ++s) {
            const SignalArray& chi = calc.current_states[at(i)].spectra[at(s)].chi;
            for (int m = 0; m < chi.n; ++m) out << chi.re[at(m)] << ' ';
            out << '\n';
        }
    }
    write_added_sections(calc, out);
}

// Reads what follows the parameter block, line by line, refusing the file at the first thing that does
// not agree with the block.
class RestartReader {
public:
    explicit RestartReader(const std::string& file_name) : file_name_(file_name), in_(file_name) {}

    [[noreturn]] void refuse(const std::string& reason) const {
        std::cout << "ERROR: RESTART FILE " << file_name_ << " CANNOT BE LOADED: " << reason << "!" << '\n';
        end_process(4);
    }
    [[noreturn]] void refuse_here(const std::string& reason) const {
        refuse("line " + std::to_string(line_number_) + ": " + reason);
    }

    bool is_open() const { return in_.is_open(); }

    void skip_parameter_block() {
        std::string line;
        bool begun = false;
        while (std::getline(in_, line)) {
            ++line_number_;
            const std::string text = trimmed(line);
            if (!begun) begun = text == "BEGIN";
            else if (text == "END") return;
        }
        refuse("it ends before its END line");
    }

    // The words of the next line that holds any; false at the end of the file.
    bool next_words(std::vector<std::string>& words) {
        std::string line;
        while (std::getline(in_, line)) {
            ++line_number_;
            std::istringstream split(line);
            words.clear();
            for (std::string word; split >> word;) words.push_back(word);
            if (!words.empty()) return true;
        }
        return false;
    }

    // The next line's words, which must be `count` after the leading `label` (no label when empty).
    std::vector<std::string> line_of(const std::string& label, std::size_t count, const std::string& what) {
        std::vector<std::string> words;
        if (!next_words(words)) refuse("it ends before " + what);
        const std::size_t first = label.empty() ? 0 : 1;
        if (!label.empty() && words[0] != label) refuse_here("\"" + label + "\" expected, found \"" + words[0] + "\"");
        if (words.size() - first != count) {
            refuse_here(std::to_string(count) + " values of " + what + " expected, found " +
                        std::to_string(words.size() - first));
        }
        words.erase(words.begin(), words.begin() + static_cast<std::ptrdiff_t>(first));
        return words;
    }

    // Any finite number (the acceptance factor of a run without uphill moves is -1e100).
    double finite(const std::string& word, const std::string& what) const {
        const std::optional<double> value = parse_whole_number<double>(word);
        if (!value || !std::isfinite(*value)) refuse_here(what + " \"" + word + "\" is no finite number");
        return *value;
    }

    double real(const std::string& word, const std::string& what) const {
        const std::optional<double> value = parse_whole_number<double>(word);
        if (!value || !is_usable_number(*value)) refuse_here(what + " \"" + word + "\" is no usable number");
        return *value;
    }

    std::int32_t whole(const std::string& word, const std::string& what) const {
        const std::optional<std::int32_t> value = parse_whole_number<std::int32_t>(word);
        if (!value) refuse_here(what + " \"" + word + "\" is no whole number");
        return *value;
    }

private:
    static std::string trimmed(const std::string& line) {
        const auto first = line.find_first_not_of(" \t\r\n");
        if (first == std::string::npos) return "";
        return line.substr(first, line.find_last_not_of(" \t\r\n") - first + 1);
    }

    std::string file_name_;
    std::ifstream in_;
    int line_number_ = 0;
};

std::string state_text(int i) { return "state " + std::to_string(i); }

void read_counters(Calculation& calc, RestartReader& reader) {
    const int states = used_states(calc);
    const int spectra = calc.parameters.ints[IntKey::Number_of_spectra];
    const std::vector<std::string> version = reader.line_of("", 3, "the version line");
    reader.real(version[2], "the version");
    const std::int32_t iteration = reader.whole(reader.line_of("Total_iterations:", 1, "the iteration")[0], "the iteration");
    if (iteration < 0) reader.refuse_here("the iteration is negative");
    calc.iteration = iteration;

    const std::vector<std::string> residuals =
        reader.line_of("Residuals:", at(states) * at(spectra), "the residuals (" + std::to_string(states) + " states of " +
                                                                   std::to_string(spectra) + " spectra)");
    for (int i = 0; i < states; ++i) {
        State& state = calc.current_states[at(i)];
        // The plain mean: the weighted residual is made again by the full evaluation that follows.
        double sum = 0.0;
        for (int s = 0; s < spectra; ++s) {
            const double residual = reader.real(residuals[at(i) * at(spectra) + at(s)], "the residual of " + state_text(i));
            state.spectra[at(s)].residual = residual;
            sum += residual;
        }
        state.residual = sum / spectra;
        state.energy = 0.0;
    }
    calc.objective_normaliser = reader.real(reader.line_of("Average_delta:", 1, "Average_delta")[0], "Average_delta");
    // Objectives are residuals divided by it; a run never brings it near zero, so a value that makes them
    // overflow is no value a run wrote.
    for (int i = 0; i < states && calc.objective_normaliser > 0; ++i) {
        if (!std::isfinite(calc.current_states[at(i)].residual / calc.objective_normaliser)) {
            reader.refuse_here("Average_delta " + std::to_string(calc.objective_normaliser) +
                               " makes the objective of " + state_text(i) + " overflow");
        }
    }
    calc.mean_energy_change =
        reader.real(reader.line_of("Average_delta_E:", 1, "Average_delta_E")[0], "Average_delta_E");
}

void read_atoms(Calculation& calc, RestartReader& reader) {
    const int states = used_states(calc);
    const int structures = calc.parameters.ints[IntKey::Number_of_structures];
    reader.line_of("ATOMS", 0, "the atoms");
    for (int i = 0; i < states; ++i) {
        State& state = calc.current_states[at(i)];
        for (int j = 0; j < structures; ++j) {
            const Structure& structure = calc.structures[at(j)];
            const std::string block = "structure " + std::to_string(j) + " of " + state_text(i);
            const std::int32_t count = reader.whole(reader.line_of("", 1, "the atoms of " + block)[0], "the atom count");
            if (count != structure.atom_count) {
                reader.refuse_here(std::to_string(structure.atom_count) + " atoms of " + block + " expected, found " +
                                   std::to_string(count));
            }
            const std::vector<std::string> heading = reader.line_of("", 3, "the heading of " + block);
            const std::int32_t expected[3] = {calc.iteration, i, j};
            for (int k = 0; k < 3; ++k) {
                if (reader.whole(heading[at(k)], "the heading") != expected[k]) {
                    reader.refuse_here("the heading of " + block + " should read " + std::to_string(calc.iteration) + " " +
                                       std::to_string(i) + " " + std::to_string(j));
                }
            }
            for (int a = 0; a < count; ++a) {
                const std::string what = "atom " + std::to_string(a) + " of " + block;
                const std::vector<std::string> words = reader.line_of("", 4, what);
                const std::string& label = structure.working_atoms[at(a)].label;
                if (words[0] != label) reader.refuse_here(what + " should be " + label + ", found " + words[0]);
                const Atom position{label, reader.real(words[1], "x of " + what), reader.real(words[2], "y of " + what),
                                    reader.real(words[3], "z of " + what)};
                set_atom_position(state, position, j, a);
            }
        }
    }
}

void read_spectra(Calculation& calc, RestartReader& reader) {
    const int states = used_states(calc);
    const int spectra = calc.parameters.ints[IntKey::Number_of_spectra];
    reader.line_of("SPECTRA", 0, "the spectra");
    for (int i = 0; i < states; ++i) {
        for (int s = 0; s < spectra; ++s) {
            SignalArray& chi = calc.current_states[at(i)].spectra[at(s)].chi;
            const std::string what = "spectrum " + std::to_string(s) + " of " + state_text(i);
            const std::vector<std::string> values = reader.line_of("", at(chi.n), what);
            for (int m = 0; m < chi.n; ++m) chi.re[at(m)] = reader.real(values[at(m)], "a value of " + what);
        }
    }
}

void read_weights(Calculation& calc, RestartReader& reader) {
    const int structures = calc.parameters.ints[IntKey::Number_of_structures];
    for (int i = 0; i < used_states(calc); ++i) {
        State& state = calc.current_states[at(i)];
        const std::vector<std::string> values = reader.line_of("", at(structures), "the weights of " + state_text(i));
        for (int j = 0; j < structures; ++j) {
            state.weights[at(j)] = reader.real(values[at(j)], "a weight of " + state_text(i));
        }
    }
}

// Their count per edge and per path is checked against the paths when the model takes them up.
void read_path_lengths(Calculation& calc, RestartReader& reader) {
    EdgePathLengths lengths(at(calc.absorber_edge_count));
    for (int e = 0; e < calc.absorber_edge_count; ++e) {
        const std::string edge = "edge " + std::to_string(e);
        const std::vector<std::string> head = reader.line_of("", 1, "the path count of " + edge);
        const std::int32_t paths = reader.whole(head[0], "the path count");
        if (paths < 0) reader.refuse_here("the path count of " + edge + " is negative");
        for (std::int32_t p = 0; p < paths; ++p) {
            const std::string what = "the lengths of path " + std::to_string(p) + " of " + edge;
            std::vector<std::string> words;
            if (!reader.next_words(words)) reader.refuse("it ends before " + what);
            const std::int32_t count = reader.whole(words[0], "the length count");
            if (count < 0 || words.size() - 1 != at(count)) {
                reader.refuse_here(words[0] + " of " + what + " expected, found " + std::to_string(words.size() - 1));
            }
            std::vector<double>& path = lengths[at(e)].emplace_back();
            for (std::size_t m = 1; m < words.size(); ++m) path.push_back(reader.real(words[m], "a value of " + what));
        }
    }
    calc.loaded_path_lengths = std::move(lengths);
}

void read_run_state(Calculation& calc, RestartReader& reader) {
    const int spectra = calc.parameters.ints[IntKey::Number_of_spectra];
    const std::vector<std::string> loop = reader.line_of("", 8, "the run state");
    ResumedLoop resumed;
    calc.objective_normaliser = reader.real(loop[0], "the running mean of the objective change");
    calc.mean_energy_change = reader.real(loop[1], "the running mean of the energy change");
    resumed.log_acceptance = reader.finite(loop[2], "the acceptance factor");
    resumed.step_length = reader.real(loop[3], "the step");
    resumed.accepted_without_test = reader.whole(loop[4], "the count of good moves");
    resumed.accepted_by_test = reader.whole(loop[5], "the count of accepted bad moves");
    resumed.period_objective_sum = reader.real(loop[6], "the period sum");
    resumed.previous_period_objective_sum = reader.real(loop[7], "the previous period sum");
    const std::vector<std::string> per_spectrum = reader.line_of("", 3 * at(spectra), "the run state of the spectra");
    for (int s = 0; s < spectra; ++s) {
        const std::string what = " of spectrum " + std::to_string(s);
        SpectrumParameters& parameters = calc.spectrum_parameters[at(s)];
        calc.spectra[at(s)].mean_residual_change = reader.real(per_spectrum[3 * at(s)], "the mean residual change" + what);
        parameters.doubles[SpectrumDoubleKey::Spectrum_weight] = reader.real(per_spectrum[3 * at(s) + 1], "the weight" + what);
        parameters.doubles[SpectrumDoubleKey::Clustering_precision] =
            reader.real(per_spectrum[3 * at(s) + 2], "the clustering precision" + what);
    }
    reader.line_of("DISPLACEMENTS", 0, "the displacements");
    for (int i = 0; i < used_states(calc); ++i) {
        State& state = calc.current_states[at(i)];
        const std::vector<std::string> values = reader.line_of("", 3 * state.atoms.size(), "the displacements of " + state_text(i));
        for (std::size_t a = 0; a < state.atoms.size(); ++a) {
            const std::string what = "a displacement of " + state_text(i);
            state.atoms[a].x = reader.real(values[3 * a], what);
            state.atoms[a].y = reader.real(values[3 * a + 1], what);
            state.atoms[a].z = reader.real(values[3 * a + 2], what);
        }
    }
    reader.line_of("GENERATOR", 0, "the generator");
    const std::size_t words = MersenneTwister::state_size + 1;
    const std::vector<std::string> texts = reader.line_of("", words, "the generator's position");
    for (const std::string& text : texts) {
        const std::optional<std::uint32_t> word = parse_whole_number<std::uint32_t>(text);
        if (!word) reader.refuse_here("the generator's word \"" + text + "\" is no whole number");
        resumed.generator.push_back(*word);
    }
    if (!calc.random.continue_from(resumed.generator)) reader.refuse_here("the generator's position is out of range");
    // The first restart file is written before the first-shell fit, whose draws come before the loop's:
    // a run resumed from it draws them again from here. A later file's loop goes on from where it was,
    // whatever the stages before the loop draw.
    if (calc.iteration == 0) resumed.generator.clear();
    calc.resumed_loop = std::move(resumed);
}

// Files of the layout without them end after the spectra; those without the run state, after the path
// lengths.
void read_added_sections(Calculation& calc, RestartReader& reader) {
    std::vector<std::string> words;
    bool more = reader.next_words(words);
    if (more && words.size() == 1 && words[0] == "WEIGHTS") {
        read_weights(calc, reader);
        more = reader.next_words(words);
    }
    if (more && words.size() == 1 && words[0] == "PATH_LENGTHS") {
        read_path_lengths(calc, reader);
        more = reader.next_words(words);
    }
    if (more && words.size() == 1 && words[0] == "RUN_STATE") {
        read_run_state(calc, reader);
        more = reader.next_words(words);
    }
    if (more) reader.refuse_here("it holds more than its parameters describe");
}

}  // namespace

std::string restart_file_name(const Calculation& calc) {
    return calc.parameters.strings[StringKey::File_for_restart] + std::to_string(calc.iteration);
}

void write_restart_file_alone(const Calculation& calc) {
    write_whole_file(restart_file_name(calc), [&](std::ostream& out) { write_restart_text(calc, out); },
                     OutputKind::required);
}

void write_restart_file(Calculation& calc) {
    write_restart_file_alone(calc);
    write_restart_clusters(calc);
    find_best_state(calc);
    // The partial spectra show the best state's whole grid.
    if (calc.best_state_index >= 0) complete_state_chi(calc, calc.best_state_index);
    write_state_xyz_files(calc);
    for (int s = 0; s < calc.parameters.ints[IntKey::Number_of_spectra]; ++s) {
        write_partial_spectra_files(calc.spectra[at(s)], calc.best_state_index);
    }
}

void load_restart_file(Calculation& calc) {
    log_line("      --> LOADING RESTART FILE");
    RestartReader reader(calc.parameter_file_name);
    if (!reader.is_open()) reader.refuse("it cannot be opened");
    reader.skip_parameter_block();
    read_counters(calc, reader);
    read_atoms(calc, reader);
    read_spectra(calc, reader);
    read_added_sections(calc, reader);

    for (int j = 0; j < calc.parameters.ints[IntKey::Number_of_structures]; ++j) {
        Structure& structure = calc.structures[at(j)];
        rescale_structure(structure, structure.basis, structure.old_basis);
    }
    find_best_state(calc);

    // A continued refinement goes on from the file's iteration; the other modes only read the states.
    if (calc.flags.restart) cut_histories_to_iteration(calc, calc.iteration);
}

void take_up_resumed_loop(Calculation& calc) {
    if (!calc.resumed_loop) return;
    const ResumedLoop& resumed = *calc.resumed_loop;
    calc.log_acceptance = resumed.log_acceptance;
    calc.step_length = resumed.step_length;
    calc.accepted_without_test = resumed.accepted_without_test;
    calc.accepted_by_test = resumed.accepted_by_test;
    calc.period_objective_sum = resumed.period_objective_sum;
    calc.previous_period_objective_sum = resumed.previous_period_objective_sum;
    if (!resumed.generator.empty()) calc.random.continue_from(resumed.generator);
    calc.resumed_loop.reset();
}
