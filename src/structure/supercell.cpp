#include "structure/supercell.hpp"

#include "control/calculation.hpp"
#include "control/console_log.hpp"
#include "control/process_end.hpp"
#include "structure/structure.hpp"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <iomanip>
#include <iostream>
#include <limits>
#include <sstream>

namespace {

const std::string summary_indent(25, ' ');

[[noreturn]] void fail_supercell(const std::string& message) {
    std::cout << message << '\n';
    end_process(1);
}

// The integer prefix of a text as a real number: sizes as written, however long, for messages.
double leading_count(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    double value = 0.0;
    // Past 1e300 the digits no longer matter to a message and would run into infinity.
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        if (value < 1e300) value = value * 10 + (text[i] - '0');
    }
    return value;
}

// The factors of a size text as written, before they are fitted into the size fields.
std::array<double, 3> written_factors(std::string rest) {
    std::array<double, 3> factors{};
    for (double& factor : factors) {
        factor = leading_count(rest);
        const auto x = rest.find('x');
        if (x != std::string::npos) rest.erase(0, x + 1);
    }
    return factors;
}

// The count is shown whole even when it passes every integer type.
[[noreturn]] void refuse_size(const std::string& text, const char* holds, double atoms) {
    std::ostringstream message;
    // Whole up to the last exactly held integer, then in exponent form rather than with invented digits.
    if (atoms < 0x1p53) message << std::fixed << std::setprecision(0);
    message << "ERROR: SUPERCELL " << text << holds << atoms
            << " ATOMS, MORE THAN THE LIMIT OF " << max_supercell_atoms << "!";
    fail_supercell(message.str());
}

}  // namespace

std::int64_t leading_integer(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::int64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        // Saturate rather than overflow; such sizes are rejected later anyway.
        if (value < (std::int64_t{1} << 40)) value = value * 10 + (text[i] - '0');
    }
    return negative ? -value : value;
}

void parse_supercell_spec(Structure& structure) {
    std::string rest = structure.parameters->strings[StructureStringKey::Supercell];
    for (std::int32_t& size : structure.supercell_size) {
        const std::int64_t value = leading_integer(rest);
        size = static_cast<std::int32_t>(std::clamp<std::int64_t>(value, std::numeric_limits<std::int32_t>::min(),
                                                                   std::numeric_limits<std::int32_t>::max()));
        const auto x = rest.find('x');
        if (x != std::string::npos) rest.erase(0, x + 1);
    }
}

void parse_doping_spec(Structure& structure) {
    const std::string& doping = structure.parameters->strings[StructureStringKey::Doping];
    const auto arrow = doping.find('>');
    if (arrow == std::string::npos) {
        structure.doping_source = doping;
        structure.doping_target = doping;
    } else {
        structure.doping_source = doping.substr(0, arrow);
        structure.doping_target = doping.substr(arrow + 1);
    }
}

std::array<std::int32_t, 3> choose_supercell_size(const Structure& structure) {
    const std::int64_t n = structure.unit_cell_count;
    const auto& given = structure.supercell_size;
    const std::string& text = structure.parameters->strings[StructureStringKey::Supercell];
    if (given[1] >= 1 && given[2] >= 1) {
        if (given[0] < 1) fail_supercell("ERROR: WRONG SUPERCELL SIZE " + text + "!");
        const double atoms = static_cast<double>(given[0]) * given[1] * given[2] * static_cast<double>(n);
        if (atoms > max_supercell_atoms) {
            const std::array<double, 3> factors = written_factors(text);
            refuse_size(text, " HOLDS ", factors[0] * factors[1] * factors[2] * static_cast<double>(n));
        }
        return given;
    }
    const std::int64_t target = given[0];
    if (target > max_supercell_atoms) refuse_size(text, " ASKS FOR ", leading_count(text));
    // Both forms leave a plain unit cell or a small target where a size was most likely meant.
    if (target < 1) {
        std::cout << "WARNING: SUPERCELL " << text << " ASKS FOR NO ATOMS: THE UNIT CELL IS USED ALONE (1 x 1 x 1)"
                  << '\n';
    } else if (given[1] >= 1 || given[2] >= 1) {
        std::cout << "WARNING: SUPERCELL " << text << " HAS A SIZE BELOW 1: IT IS READ AS A TARGET OF " << target
                  << " ATOMS" << '\n';
    }
    std::array<std::int32_t, 3> size{1, 1, 1};
    const double la = structure.basis.x, lb = structure.basis.y, lc = structure.basis.z;
    double ra = la, rb = lb, rc = lc;
    while (std::int64_t{size[0]} * size[1] * size[2] * n < target) {
        if (rb < ra || rc < ra) {
            if (rb <= rc) {
                ++size[1];
                rb += lb;
            } else {
                ++size[2];
                rc += lc;
            }
        } else {
            ++size[0];
            ra += la;
        }
    }
    // The last layer grown may pass the limit even when the target does not.
    const std::int64_t atoms = std::int64_t{size[0]} * size[1] * size[2] * n;
    if (atoms > max_supercell_atoms) refuse_size(text, " HOLDS ", static_cast<double>(atoms));
    return size;
}

void build_supercell(Structure& structure, const std::vector<Atom>& cartesian_unit_cell) {
    structure.supercell_size = choose_supercell_size(structure);
    const auto [na, nb, nc] = structure.supercell_size;
    const std::int32_t n = structure.unit_cell_count;
    const std::int32_t total = na * nb * nc * n;
    std::cout << summary_indent << na << " x " << nb << " x " << nc << " supercell" << '\n';
    std::cout << summary_indent << total << " atoms in the supercell" << '\n';
    print_separator_line();

    const Atom& basis = structure.basis;
    structure.supercell_atoms.clear();
    structure.cell_translations.clear();
    structure.supercell_atoms.reserve(static_cast<std::size_t>(total));
    structure.cell_translations.reserve(static_cast<std::size_t>(total));
    for (std::int32_t ia = 0; ia < na; ++ia) {
        for (std::int32_t ib = 0; ib < nb; ++ib) {
            for (std::int32_t ic = 0; ic < nc; ++ic) {
                const double weights[3] = {ia * basis.x, ib * basis.y, ic * basis.z};
                const Atom translation = atom_linear_combination(structure.cell_vectors, weights);
                for (const Atom& atom : cartesian_unit_cell) {
                    structure.cell_translations.push_back(translation);
                    Atom placed = atom_add(atom, translation);
                    placed.label = atom.label;
                    structure.supercell_atoms.push_back(placed);
                }
            }
        }
    }
    structure.atom_count = total;
    structure.supercell_lengths = {na * basis.x, nb * basis.y, nc * basis.z};
}

void apply_doping(Structure& structure) {
    const double level = structure.parameters->doubles[StructureDoubleKey::Doping_level];
    if (!(level > 0)) return;
    const std::string& source = structure.doping_source;
    std::int32_t source_count = 0;
    for (const Atom& atom : structure.supercell_atoms) source_count += atom.label == source ? 1 : 0;

    const double wanted = level * source_count;
    std::int64_t k = wanted >= source_count ? source_count : static_cast<std::int64_t>(wanted);
    if (k < 1) k = 1;
    if (k > source_count - 1) k = source_count - 1;
    std::cout << summary_indent << k << " " << source << " will be replaced with " << structure.doping_target << '\n';
    print_separator_line();

    std::int32_t remaining = source_count;
    while (k > 0) {
        const auto j = static_cast<std::int32_t>(uniform_random(*structure.owner) * remaining);
        std::int32_t counted = 0;
        for (Atom& atom : structure.supercell_atoms) {
            if (atom.label != source) continue;
            if (counted++ == j) {
                atom.label = structure.doping_target;
                --remaining;
                --k;
                break;
            }
        }
    }
}
