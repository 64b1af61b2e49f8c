#include "input.hpp"

#include "elements.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <set>
#include <sstream>
#include <string_view>
#include <system_error>

namespace gulp_standin {
namespace {

using Words = std::vector<std::string>;

// Keywords that open a block or take values; any of them ends the block before it.
const std::set<std::string> known_keywords = {
    "cell",     "fractional", "cartesian", "species", "lennard",    "supercell", "temperature", "mctrial",
    "mcsample", "ensemble",   "equil",     "produ",   "timestep",   "sample",    "write",       "tscale",
    "output",   "shrink",     "accuracy",  "rspeed",  "integrator", "dump",      "title",       "end",
};

// Other interactions GULP knows (first four letters, as GULP matches keywords): this model has only the
// Lennard-Jones pair sums and must not run as if they were absent.
const std::set<std::string> other_potentials = {"buck", "mors", "harm", "spri", "thre",    "four",  "tors",
                                                "coul", "eam_", "many", "sw2",  "sw3",     "ters",  "gene",
                                                "born", "stil", "poly", "spli", "brenner", "reaxff"};

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::optional<double> to_double(std::string_view text) {
    if (text.size() > 1 && text.front() == '+') text.remove_prefix(1);
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<std::int64_t> to_integer(std::string_view text) {
    if (text.size() > 1 && text.front() == '+') text.remove_prefix(1);
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

Words split(const std::string& line) {
    std::istringstream in(line.substr(0, line.find('#')));
    Words words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

bool is_keyword(const Words& words) {
    if (words.empty()) return false;
    const std::string key = lower(words[0]);
    return known_keywords.count(key) > 0 || key.rfind("lenn", 0) == 0 || other_potentials.count(key.substr(0, 4)) > 0;
}

bool is_species_label(const std::string& word) { return atomic_number_of_label(word) > 0; }

// "core" or "c" is the default; a shell needs charges, which this model does not have.
std::size_t skip_core_word(const Words& words, std::size_t i, const std::string& line) {
    if (i >= words.size()) return i;
    const std::string word = lower(words[i]);
    if (word == "core" || word == "c") return i + 1;
    if (word == "shel" || word == "shell" || word == "s" || word == "bshe" || word == "bcor")
        throw StandinError("shells are not supported: " + line);
    return i;
}

std::vector<double> numbers_from(const Words& words, std::size_t first) {
    std::vector<double> values;
    for (std::size_t i = first; i < words.size(); ++i) {
        const auto value = to_double(words[i]);
        if (!value) break;
        values.push_back(*value);
    }
    return values;
}

// A time in ps, with an optional unit word after it.
double time_value(const Words& words, const std::string& line) {
    const auto value = words.size() > 1 ? to_double(words[1]) : std::nullopt;
    if (!value) throw StandinError("a time is missing: " + line);
    const std::string unit = words.size() > 2 ? lower(words[2]) : "ps";
    if (unit == "ps") return *value;
    if (unit == "fs") return *value * 1e-3;
    if (unit == "ns") return *value * 1e3;
    throw StandinError("unknown time unit: " + line);
}

class Parser {
public:
    explicit Parser(std::istream& in) {
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines_.push_back(line);
        }
    }

    GulpInput parse() {
        read_run_line();
        while (next_ < lines_.size()) {
            const std::string& line = lines_[next_++];
            top_level(split(line), line);
        }
        check();
        return input_;
    }

private:
    std::vector<std::string> lines_;
    std::size_t next_ = 0;
    GulpInput input_;
    bool have_trials_ = false;
    bool have_production_ = false;

    void read_run_line() {
        while (next_ < lines_.size() && split(lines_[next_]).empty()) ++next_;
        if (next_ == lines_.size()) throw StandinError("the input is empty");
        const Words words = split(lines_[next_++]);
        bool found = false;
        for (const std::string& word : words) {
            const std::string w = lower(word);
            if (w == "montecarlo" || w == "md") {
                input_.kind = w == "md" ? RunKind::dynamics : RunKind::monte_carlo;
                found = true;
            }
        }
        if (!found) throw StandinError("the first line must ask for \"montecarlo\" or \"md\"");
    }

    // The lines of a block: every following line until a keyword or a line that is not an entry.
    template <class Entry>
    void block(Entry&& entry) {
        while (next_ < lines_.size()) {
            const Words words = split(lines_[next_]);
            if (words.empty()) {
                ++next_;
                continue;
            }
            if (is_keyword(words) || !entry(words, lines_[next_])) return;
            ++next_;
        }
    }

    // Values on the keyword's own line, else on the next line.
    std::vector<double> values_after(const Words& words, std::size_t count) {
        std::vector<double> values = numbers_from(words, 1);
        if (values.size() >= count) return values;
        if (values.empty() && next_ < lines_.size()) {
            values = numbers_from(split(lines_[next_]), 0);
            if (values.size() >= count) {
                ++next_;
                return values;
            }
        }
        throw StandinError("\"" + words[0] + "\" needs " + std::to_string(count) + " numbers");
    }

    void top_level(const Words& words, const std::string& line) {
        if (words.empty()) return;
        const std::string key = lower(words[0]);
        if (other_potentials.count(key.substr(0, 4)) || other_potentials.count(key))
            throw StandinError("only lennard potentials are supported: " + line);
        if (key == "cell") {
            const std::vector<double> v = values_after(words, 6);
            input_.cell = std::array<double, 6>{v[0], v[1], v[2], v[3], v[4], v[5]};
        } else if (key == "fractional" || key == "cartesian") {
            const bool fractional = key == "fractional";
            block([&](const Words& w, const std::string& text) { return atom_line(w, text, fractional); });
        } else if (key == "species") {
            block([&](const Words& w, const std::string& text) { return species_line(w, text); });
        } else if (key.rfind("lenn", 0) == 0) {
            lennard_block(words);
        } else if (key == "supercell") {
            const std::vector<double> v = values_after(words, 3);
            for (int i = 0; i < 3; ++i) {
                if (v[i] < 1 || v[i] != std::floor(v[i]) || v[i] > 1000) throw StandinError("bad supercell: " + line);
                input_.supercell[i] = static_cast<int>(v[i]);
            }
        } else if (key == "temperature") {
            input_.temperature = values_after(words, 1)[0];
            if (input_.temperature < 0) throw StandinError("negative temperature: " + line);
        } else if (key == "mctrial" || key == "mcsample") {
            const auto value = words.size() > 1 ? to_integer(words[1]) : std::nullopt;
            if (!value) throw StandinError("\"" + key + "\" needs a whole number: " + line);
            (key == "mctrial" ? input_.mc_trials : input_.mc_sample) = *value;
            have_trials_ = have_trials_ || key == "mctrial";
        } else if (key == "ensemble") {
            const std::string kind = words.size() > 1 ? lower(words[1]) : "";
            if (kind == "nve")
                input_.thermostat_time = 0.0;
            else if (kind == "nvt" && words.size() > 2 && to_double(words[2]))
                input_.thermostat_time = *to_double(words[2]);
            else if (kind != "nvt")
                throw StandinError("only nvt and nve ensembles are supported: " + line);
        } else if (key == "timestep") {
            input_.timestep = time_value(words, line);
        } else if (key == "equil") {
            input_.equilibration = time_value(words, line);
        } else if (key == "produ") {
            input_.production = time_value(words, line);
            have_production_ = true;
        } else if (key == "write") {
            input_.write_interval = time_value(words, line);
        } else if (key == "tscale") {
            input_.rescale_interval = time_value(words, line);
        } else if (key == "output") {
            if (words.size() >= 4 && lower(words[1]) == "movie" && lower(words[2]) == "xyz")
                input_.movie_file = words[3];
        }
        // Anything else (shrink, accuracy, rspeed, integrator, sample, ...) does not change this model.
    }

    bool atom_line(const Words& words, const std::string& line, bool fractional) {
        if (!is_species_label(words[0])) return false;
        const std::size_t first = skip_core_word(words, 1, line);
        const std::vector<double> v = numbers_from(words, first);
        if (v.size() < 3) return false;
        input_.atoms.push_back({words[0], {v[0], v[1], v[2]}, fractional});
        return true;
    }

    bool species_line(const Words& words, const std::string& line) {
        if (!is_species_label(words[0])) return false;
        const std::size_t first = skip_core_word(words, 1, line);
        const std::vector<double> v = numbers_from(words, first);
        if (v.empty()) return false;
        if (v[0] != 0.0) throw StandinError("charged species are not supported: " + line);
        return true;
    }

    void lennard_block(const Words& words) {
        bool epsilon = false, zero = false;
        std::vector<int> powers;
        for (std::size_t i = 1; i < words.size(); ++i) {
            const std::string w = lower(words[i]);
            if (w == "epsilon")
                epsilon = true;
            else if (w == "zero")
                zero = true;
            else if (const auto p = to_integer(w))
                powers.push_back(static_cast<int>(*p));
        }
        const int m = powers.size() >= 1 ? powers[0] : 12;
        const int n = powers.size() >= 2 ? powers[1] : 6;
        if (m <= n || n <= 0) throw StandinError("lennard needs powers m > n > 0");
        block([&](const Words& w, const std::string& text) { return pair_line(w, text, epsilon, zero, m, n); });
    }

    bool pair_line(const Words& words, const std::string& line, bool epsilon, bool zero, int m, int n) {
        if (words.size() < 2 || !is_species_label(words[0])) return false;
        std::size_t i = skip_core_word(words, 1, line);
        if (i >= words.size() || !is_species_label(words[i])) return false;
        const std::string second = words[i];
        i = skip_core_word(words, i + 1, line);
        const std::vector<double> v = numbers_from(words, i);
        if (v.size() < 3) throw StandinError("a pair line needs two values and a cutoff: " + line);
        PairTerm term{words[0], second, m, n};
        // The cutoffs follow the two values: rmax alone, or rmin and rmax; fitting flags may trail them.
        const std::size_t rest = v.size() - 2;
        if (rest == 1 || rest == 3) {
            term.rmax = v[2];
        } else {
            term.rmin = v[2];
            term.rmax = v[3];
        }
        if (!(term.rmax > term.rmin) || term.rmin < 0) throw StandinError("bad cutoffs: " + line);
        if (epsilon) {
            const double eps = v[0], sigma = v[1];
            if (!(sigma > 0)) throw StandinError("sigma must be positive: " + line);
            const double dm = m, dn = n;
            // Scaled so that the well is eps deep: at sigma for the minimum form, at (m/n)^(1/(m-n)) sigma
            // for the zero-crossing form.
            const double ca = zero ? dm / (dm - dn) * std::pow(dm / dn, dn / (dm - dn)) : dn / (dm - dn);
            const double cb = zero ? ca : dm / (dm - dn);
            term.a = ca * eps * std::pow(sigma, dm);
            term.b = cb * eps * std::pow(sigma, dn);
        } else {
            term.a = v[0];
            term.b = v[1];
        }
        input_.pairs.push_back(term);
        return true;
    }

    void check() const {
        if (!input_.cell) throw StandinError("the cell is missing");
        for (int i = 0; i < 3; ++i)
            if (!((*input_.cell)[i] > 0) || !((*input_.cell)[3 + i] > 0 && (*input_.cell)[3 + i] < 180))
                throw StandinError("the cell lengths and angles are not a cell");
        if (input_.atoms.empty()) throw StandinError("there are no atoms");
        if (input_.pairs.empty()) throw StandinError("there is no potential (no lennard block)");
        if (input_.kind == RunKind::monte_carlo) {
            if (!have_trials_ || input_.mc_trials < 1)
                throw StandinError("mctrial must give a positive number of trials");
            if (input_.mc_sample < 1) throw StandinError("mcsample must be positive");
        } else {
            if (!(input_.timestep > 0)) throw StandinError("the timestep must be positive");
            if (!have_production_ || !(input_.production > 0)) throw StandinError("produ must give a positive time");
            if (input_.equilibration < 0 || input_.write_interval < 0 || input_.rescale_interval < 0 ||
                input_.thermostat_time < 0)
                throw StandinError("negative times are not allowed");
        }
    }
};

}  // namespace

GulpInput parse_gulp_input(std::istream& in) { return Parser(in).parse(); }

}  // namespace gulp_standin
