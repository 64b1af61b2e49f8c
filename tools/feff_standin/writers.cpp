#include "writers.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numbers>

namespace feff_standin {
namespace {

const std::string program_tag = "feff_standin (EXAFS model)  1.0";
const std::string dashes = " " + std::string(71, '-');

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
    std::array<char, 512> buffer{};
    va_list args;
    va_start(args, pattern);
    const int n = std::vsnprintf(buffer.data(), buffer.size(), pattern, args);
    va_end(args);
    return std::string(buffer.data(), static_cast<std::size_t>(std::clamp(n, 0, static_cast<int>(buffer.size()) - 1)));
}

const char* element_symbol(int z) {
    static constexpr std::array<const char*, 118> symbols{
        "H",  "He", "Li", "Be", "B",  "C",  "N",  "O",  "F",  "Ne", "Na", "Mg", "Al", "Si", "P",  "S",  "Cl",
        "Ar", "K",  "Ca", "Sc", "Ti", "V",  "Cr", "Mn", "Fe", "Co", "Ni", "Cu", "Zn", "Ga", "Ge", "As", "Se",
        "Br", "Kr", "Rb", "Sr", "Y",  "Zr", "Nb", "Mo", "Tc", "Ru", "Rh", "Pd", "Ag", "Cd", "In", "Sn", "Sb",
        "Te", "I",  "Xe", "Cs", "Ba", "La", "Ce", "Pr", "Nd", "Pm", "Sm", "Eu", "Gd", "Tb", "Dy", "Ho", "Er",
        "Tm", "Yb", "Lu", "Hf", "Ta", "W",  "Re", "Os", "Ir", "Pt", "Au", "Hg", "Tl", "Pb", "Bi", "Po", "At",
        "Rn", "Fr", "Ra", "Ac", "Th", "Pa", "U",  "Np", "Pu", "Am", "Cm", "Bk", "Cf", "Es", "Fm", "Md", "No",
        "Lr", "Rf", "Db", "Sg", "Bh", "Hs", "Mt", "Ds", "Rg", "Cn", "Nh", "Fl", "Mc", "Lv", "Ts", "Og"};
    return (z >= 1 && z <= 118) ? symbols[static_cast<std::size_t>(z - 1)] : "?";
}

std::string label_of(const FeffInput& input, const PathAtom& atom) {
    if (!atom.label.empty()) return atom.label;
    const Potential* p = input.potential(atom.ipot);
    return p == nullptr ? std::string("?") : std::string(element_symbol(p->z));
}

// Readers of chi.dat and the chip files take the data to start after the first word beginning with
// '@'; echoed user text must not contain such a word before the column line.
std::string echo(std::string text) {
    std::replace(text.begin(), text.end(), '@', '_');
    while (!text.empty() && (text.back() == ' ' || text.back() == '\r')) text.pop_back();
    return text;
}

std::vector<std::string> model_header(const FeffInput& input) {
    std::vector<std::string> lines;
    lines.push_back(echo((input.titles.empty() ? std::string() : input.titles.front() + "  ") + program_tag));
    for (std::size_t i = 1; i < input.titles.size(); ++i) lines.push_back(echo(input.titles[i]));
    lines.push_back("POT  plane-wave model, no SCF, no core-hole");
    const Potential* absorber = input.potential(0);
    lines.push_back(format("Abs   Z=%d %-2s shell", absorber ? absorber->z : 0, input.edge.c_str()));
    for (const Potential& p : input.potentials)
        if (p.ipot != 0) lines.push_back(echo(format("Pot %d Z=%d %s", p.ipot, p.z, p.label.c_str())));
    return lines;
}

// Digits after the point in the signal columns: FEFF's six, unless FEFF_STANDIN_DIGITS asks for more.
// Tests that compare two routes to the same signal use it to see the arithmetic behind the files.
int data_digits() {
    static const int digits = [] {
        const char* text = std::getenv("FEFF_STANDIN_DIGITS");
        const int asked = text == nullptr ? 0 : std::atoi(text);
        return asked > 6 && asked <= 17 ? asked : 6;
    }();
    return digits;
}

// " %10.4f   " of every k of the grid, made once: every chip file of a run starts its rows with them.
const std::vector<std::string>& k_columns(const std::vector<double>& k) {
    static std::vector<double> grid;
    static std::vector<std::string> columns;
    if (grid != k) {
        grid = k;
        columns.clear();
        for (const double value : k) columns.push_back(format(" %10.4f   ", value));
    }
    return columns;
}

void append_data_row(std::string& text, const std::string& k_column, std::initializer_list<double> values) {
    text += k_column;
    bool first = true;
    for (double v : values) {
        if (!first) text += ' ';
        if (data_digits() == 6) {
            append_fortran_e13(text, v);
        } else {
            text += format("%.*E", data_digits(), v == 0.0 ? 0.0 : v);
        }
        first = false;
    }
    text += '\n';
}

void write_text(const std::string& file_name, const std::string& text) {
    std::ofstream out(file_name, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) throw StandinError("cannot write " + file_name);
}

std::string lines_text(const std::vector<std::string>& lines, const std::string& prefix) {
    std::string text;
    for (const std::string& line : lines) text += prefix + line + '\n';
    return text;
}

std::vector<std::string> echoed(const std::vector<std::string>& lines) {
    std::vector<std::string> result;
    for (const std::string& line : lines) result.push_back(echo(line));
    return result;
}

}  // namespace

void append_fortran_e13(std::string& text, double value) {
    if (value == 0.0) value = 0.0;  // no "-0.000000E+00"
    if (!std::isfinite(value)) {
        const std::string number = format("%.6E", value);
        if (number.size() < 13) text.append(13 - number.size(), ' ');
        text += number;
        return;
    }
    // The digits of "%.6E", which std::to_chars gives many times faster: the path runs write millions.
    std::array<char, 40> buffer{};
    char* const first = buffer.data();
    char* end = std::to_chars(first, first + buffer.size(), value, std::chars_format::scientific, 6).ptr;
    char* e = first + 1;
    while (*e != 'e') ++e;
    if (end - e > 4) {
        // A three-digit exponent takes the place of the 'E', as in Fortran.
        std::copy(e + 1, end, e);
        --end;
    } else {
        *e = 'E';
    }
    const auto length = static_cast<std::size_t>(end - first);
    if (length < 13) text.append(13 - length, ' ');
    text.append(first, length);
}

std::string chip_file_name(int index) {
    if (index < 0 || index > 9999) return "chip****.dat";
    return format("chip%04d.dat", index);
}

void write_pot_bin(const FeffInput& input) {
    std::string text = "feff_standin potentials: plane-wave model, no SCF\n";
    for (const Potential& p : input.potentials) text += format("%4d %4d %s\n", p.ipot, p.z, p.label.c_str());
    write_text("pot.bin", text);
}

void write_paths_dat(const FeffInput& input, const std::vector<PathBlock>& paths, double rpath) {
    std::string text;
    // Exactly one line before the dashes: the system keeps the first two lines of this file as the head
    // of every later path list.
    text += format("PATH  Rmax= %.3f,  Keep_limit= 0.00, Heap_limit 0.00  Pwcrit= %.2f%%\n",
                   rpath, input.criterion_pw);
    text += dashes + '\n';
    for (const PathBlock& path : paths) {
        text += format("%6d%5d%8.3f  index, nleg, degeneracy, r=%8.4f\n", path.index, path.nleg(), path.degeneracy,
                       half_path_length(path));
        text += "      x           y           z     ipot  label      rleg      beta        eta\n";
        const auto legs = leg_lengths(path);
        for (int i = 0; i < path.nleg(); ++i) {
            const PathAtom& atom = path.atoms[static_cast<std::size_t>(i)];
            const double beta = deflection_angle(path, i) * 180.0 / std::numbers::pi;
            text += format("%12.6f%12.6f%12.6f%4d '%-6.6s'%11.4f%10.4f%10.4f\n", atom.position.x, atom.position.y,
                           atom.position.z, atom.ipot, label_of(input, atom).c_str(),
                           legs[static_cast<std::size_t>(i)], beta, 0.0);
        }
    }
    write_text("paths.dat", text);
}

void write_chip_file(const FeffInput& input, const PathsFile& paths_file, const ComputedPath& path,
                     const std::vector<double>& k) {
    std::string text = lines_text(model_header(input), "");
    text += lines_text(echoed(paths_file.titles), "");
    text += format(" S02  %5.3f                                        Global sig2  0.00000\n", input.s02);
    text += format(" Path %5d   nleg %2d   degeneracy %8.3f   reff %8.4f\n", path.path->index, path.path->nleg(),
                   path.path->degeneracy, path.signal.reff);
    text += dashes + '\n';
    text += "       k         chi           mag          phase        phase-2kr  @#\n";
    const PathSignal& s = path.signal;
    const std::vector<std::string>& columns = k_columns(k);
    text.reserve(text.size() + k.size() * 72);
    for (std::size_t i = 0; i < k.size(); ++i)
        append_data_row(text, columns[i], {s.chi[i], s.mag[i], s.phase[i], s.phase_minus_2kr[i]});
    write_text(chip_file_name(path.path->index), text);
}

void write_chi_dat(const FeffInput& input, const PathsFile& paths_file, const std::vector<ComputedPath>& paths,
                   const std::vector<double>& k) {
    std::vector<std::string> header;
    for (const std::string& line : model_header(input)) header.push_back(" " + line);
    for (const std::string& line : echoed(paths_file.titles)) header.push_back(" " + line);
    header.push_back(format("  S02=%5.3f                                        Global_sig2= 0.00000", input.s02));
    header.push_back(format("  Curved wave amplitude ratio filter %7.3f%%", input.criterion_cw));
    header.push_back("     file         sig2 tot  cw amp ratio   deg  nlegs   reff  inp sig2");
    int used = 0;
    for (const ComputedPath& p : paths) {
        if (!p.used) continue;
        ++used;
        header.push_back(format("%12d%14.5f%10.2f%10.2f%6d%9.4f", p.path->index, 0.0, p.ratio, p.path->degeneracy,
                                p.path->nleg(), p.signal.reff));
    }
    header.push_back(format("%6d/%4d paths used", used, static_cast<int>(paths.size())));
    header.push_back(" " + dashes);
    header.push_back("       k          chi          mag           phase @#");
    std::string text = lines_text(header, "#");

    // The sum as a complex signal: its imaginary part is the sum of the path chi, and its phase is
    // unwrapped along k like the phases of the single paths.
    double previous_phase = 0.0;
    for (std::size_t i = 0; i < k.size(); ++i) {
        double chi = 0.0;
        double re = 0.0;
        double im = 0.0;
        for (const ComputedPath& p : paths) {
            if (!p.used) continue;
            chi += p.signal.chi[i];
            re += p.signal.mag[i] * std::cos(p.signal.phase[i]);
            im += p.signal.mag[i] * std::sin(p.signal.phase[i]);
        }
        double phase = std::atan2(im, re);
        if (i > 0) phase += 2.0 * std::numbers::pi * std::round((previous_phase - phase) / (2.0 * std::numbers::pi));
        previous_phase = phase;
        append_data_row(text, k_columns(k)[i], {chi, std::hypot(re, im), phase});
    }
    write_text("chi.dat", text);
}

void write_list_dat(const FeffInput& input, const PathsFile& paths_file, const std::vector<ComputedPath>& paths) {
    std::string text = lines_text(model_header(input), " ");
    text += lines_text(echoed(paths_file.titles), "");
    text += dashes + '\n';
    text += "  pathindex     sig2   amp ratio    deg    nlegs  r effective\n";
    for (const ComputedPath& p : paths)
        text += format("%8d%12.5f%10.3f%10.3f%6d%9.4f\n", p.path->index, 0.0, p.ratio, p.path->degeneracy,
                       p.path->nleg(), p.signal.reff);
    write_text("list.dat", text);
}

}  // namespace feff_standin
