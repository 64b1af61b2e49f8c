#include "input.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <fstream>
#include <string_view>
#include <system_error>

namespace feff_standin {
namespace {

struct Token {
    std::string_view text;
    std::size_t end = 0;  // offset just past the token in its line
};

std::vector<Token> tokenize(std::string_view line) {
    std::vector<Token> tokens;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
        const std::size_t start = i;
        while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) ++i;
        if (i > start) tokens.push_back({line.substr(start, i - start), i});
    }
    return tokens;
}

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n\f\v");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n\f\v");
    return text.substr(first, last - first + 1);
}

std::string upper(std::string_view text) {
    std::string result(text);
    for (char& c : result) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return result;
}

// from_chars rejects a leading '+', which hand-written inputs do use.
std::string_view without_plus(std::string_view text) {
    return (text.size() > 1 && text.front() == '+') ? text.substr(1) : text;
}

std::optional<double> to_double(std::string_view text) {
    text = without_plus(text);
    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<int> to_int(std::string_view text) {
    text = without_plus(text);
    int value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

class LineReader {
public:
    LineReader(std::istream& in, std::string file) : in_(in), file_(std::move(file)) {}

    bool next(std::string& line) {
        if (!std::getline(in_, line)) return false;
        ++number_;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
    }

    [[noreturn]] void fail(const std::string& what) const {
        throw StandinError(file_ + " line " + std::to_string(number_) + ": " + what);
    }

    double number(const std::vector<Token>& tokens, std::size_t i, const char* what) const {
        if (i >= tokens.size()) fail(std::string("missing ") + what);
        const auto value = to_double(tokens[i].text);
        if (!value) fail(std::string("bad ") + what + " '" + std::string(tokens[i].text) + "'");
        return *value;
    }

    int integer(const std::vector<Token>& tokens, std::size_t i, const char* what) const {
        if (i >= tokens.size()) fail(std::string("missing ") + what);
        const auto value = to_int(tokens[i].text);
        if (!value) fail(std::string("bad ") + what + " '" + std::string(tokens[i].text) + "'");
        return *value;
    }

private:
    std::istream& in_;
    std::string file_;
    int number_ = 0;
};

void read_module_flags(const LineReader& reader, const std::vector<Token>& tokens, std::array<int, 6>& flags) {
    for (std::size_t i = 1; i < tokens.size() && i <= flags.size(); ++i)
        flags[i - 1] = reader.integer(tokens, i, "module value");
}

enum class Section { none, potentials, atoms };

}  // namespace

const Potential* FeffInput::potential(int ipot) const {
    const auto found =
        std::find_if(potentials.begin(), potentials.end(), [ipot](const Potential& p) { return p.ipot == ipot; });
    return found == potentials.end() ? nullptr : &*found;
}

const Potential& FeffInput::required_potential(int ipot, const std::string& where) const {
    const Potential* p = potential(ipot);
    if (p == nullptr)
        throw StandinError(where + ": potential index " + std::to_string(ipot) + " has no POTENTIALS entry");
    return *p;
}

FeffInput parse_feff_inp(std::istream& in) {
    FeffInput input;
    LineReader reader(in, "feff.inp");
    Section section = Section::none;
    std::string line;
    while (reader.next(line)) {
        const std::string_view text = trim(line);
        if (text.empty() || text.front() == '*') continue;
        // The system's worker copies may carry stale bytes after END; they must not be read.
        if (upper(text) == "END") break;
        const auto tokens = tokenize(text);

        if (section != Section::none && to_double(tokens[0].text)) {
            if (section == Section::potentials) {
                Potential p;
                p.ipot = reader.integer(tokens, 0, "potential index");
                p.z = reader.integer(tokens, 1, "atomic number");
                if (p.ipot < 0) reader.fail("negative potential index");
                if (p.z < 1 || p.z > 118) reader.fail("atomic number out of range 1..118");
                if (input.potential(p.ipot) != nullptr) reader.fail("potential index given twice");
                if (tokens.size() > 2) p.label = std::string(tokens[2].text);
                input.potentials.push_back(p);
            } else {
                AtomRow row;
                row.position = {reader.number(tokens, 0, "x"), reader.number(tokens, 1, "y"),
                                reader.number(tokens, 2, "z")};
                row.ipot = reader.integer(tokens, 3, "potential index");
                input.atoms.push_back(row);
            }
            continue;
        }

        section = Section::none;
        const std::string card = upper(tokens[0].text);
        if (card == "TITLE") {
            input.titles.emplace_back(trim(text.substr(tokens[0].end)));
        } else if (card == "EDGE") {
            if (tokens.size() < 2) reader.fail("EDGE needs an edge name");
            input.edge = upper(tokens[1].text);
        } else if (card == "S02") {
            input.s02 = reader.number(tokens, 1, "S02 value");
        } else if (card == "CONTROL") {
            read_module_flags(reader, tokens, input.control);
        } else if (card == "PRINT") {
            read_module_flags(reader, tokens, input.print);
        } else if (card == "EXAFS") {
            if (tokens.size() > 1) input.kmax = reader.number(tokens, 1, "EXAFS kmax");
            if (input.kmax < 0.05) reader.fail("EXAFS kmax must be at least 0.05");
        } else if (card == "RPATH" || card == "RMAX") {
            input.rpath = reader.number(tokens, 1, "path radius");
        } else if (card == "NLEGS" || card == "NLEG") {
            input.nlegs = reader.integer(tokens, 1, "leg count");
        } else if (card == "CRITERIA") {
            if (tokens.size() > 1) input.criterion_cw = reader.number(tokens, 1, "curved-wave criterion");
            if (tokens.size() > 2) input.criterion_pw = reader.number(tokens, 2, "plane-wave criterion");
        } else if (card == "POLARIZATION") {
            const Vec3 e{reader.number(tokens, 1, "polarization x"), reader.number(tokens, 2, "polarization y"),
                         reader.number(tokens, 3, "polarization z")};
            if (norm(e) < 1e-12) reader.fail("polarization vector of zero length");
            input.polarization = e;
        } else if (card == "POTENTIALS") {
            section = Section::potentials;
        } else if (card == "ATOMS") {
            section = Section::atoms;
        }
        // Every other card (SCF, EXCHANGE, CFAVERAGE, ...) tunes parts of a full calculation that this
        // model does not have.
    }
    return input;
}

FeffInput read_feff_inp(const std::string& file_name) {
    std::ifstream in(file_name);
    if (!in) throw StandinError("cannot open " + file_name);
    return parse_feff_inp(in);
}

namespace {

bool is_dash_line(std::string_view text) {
    text = trim(text);
    return text.size() >= 3 && text.find_first_not_of('-') == std::string_view::npos;
}

// The label follows the potential index, either quoted (blanks allowed inside) or as one word.
std::string read_label(std::string_view rest) {
    rest = trim(rest);
    if (rest.empty()) return {};
    if (rest.front() == '\'') {
        const auto close = rest.find('\'', 1);
        const auto inner = rest.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1);
        return std::string(trim(inner));
    }
    return std::string(rest.substr(0, rest.find_first_of(" \t")));
}

}  // namespace

PathsFile parse_paths_dat(std::istream& in) {
    PathsFile file;
    LineReader reader(in, "paths.dat");
    std::string line;
    bool dashes = false;
    while (reader.next(line)) {
        if (is_dash_line(line)) {
            dashes = true;
            break;
        }
        file.titles.push_back(line);
    }
    if (!dashes) throw StandinError("paths.dat: no line of dashes before the path list");

    while (reader.next(line)) {
        const auto head = tokenize(line);
        if (head.empty()) continue;
        PathBlock block;
        block.index = reader.integer(head, 0, "path index");
        const int nleg = reader.integer(head, 1, "leg count");
        block.degeneracy = reader.number(head, 2, "degeneracy");
        if (nleg < 2 || nleg > 20) reader.fail("leg count must lie between 2 and 20");
        if (block.degeneracy < 0.0) reader.fail("negative degeneracy");
        if (!reader.next(line)) reader.fail("path block ends before its column line");
        for (int i = 0; i < nleg; ++i) {
            if (!reader.next(line)) reader.fail("path block ends before its last atom");
            const auto fields = tokenize(line);
            PathAtom atom;
            atom.position = {reader.number(fields, 0, "x"), reader.number(fields, 1, "y"),
                             reader.number(fields, 2, "z")};
            atom.ipot = reader.integer(fields, 3, "potential index");
            atom.label = read_label(std::string_view(line).substr(fields[3].end));
            block.atoms.push_back(atom);
        }
        file.blocks.push_back(std::move(block));
    }
    return file;
}

PathsFile read_paths_dat(const std::string& file_name) {
    std::ifstream in(file_name);
    if (!in) throw StandinError("cannot open " + file_name);
    return parse_paths_dat(in);
}

}  // namespace feff_standin
