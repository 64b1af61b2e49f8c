#include "structure/supercell.hpp"

#include "control/calculation.hpp"
#include "control/console_log.hpp"
#include "control/process_end.hpp"
#include "structure/structure.hpp"

#include <cctype>
#include <cstdint>
#include <initializer_list>
#include <iostream>
#include <limits>

namespace {

const std::string summary_indent(25, ' ');

// The working list holds 27 copies of every supercell atom, so that is the count that must fit.
constexpr std::int64_t max_atom_count = std::numeric_limits<std::int32_t>::max() / 27;

// Whether the product of the non-negative factors exceeds the limit, without overflowing on the way.
bool product_exceeds(std::initializer_list<std::int64_t> factors, std::int64_t limit) {
    std::int64_t product = 1;
    for (const std::int64_t factor : factors) {
        if (factor != 0 && product > limit / factor) return true;
        product *= factor;
    }
    return product > limit;
}

[[noreturn]] void fail_supercell(const std::string& message) {
    std::cout << message << '\n';
    end_process(1);
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
        size = static_cast<std::int32_t>(std::max<std::int64_t>(std::min<std::int64_t>(value, max_atom_count + 1),
                                                                -max_atom_count - 1));
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
        if (product_exceeds({given[0], given[1], given[2], n}, max_atom_count)) {
            fail_supercell("ERROR: SUPERCELL " + text + " HOLDS TOO MANY ATOMS!");
        }
        return given;
    }
    const std::int64_t target = given[0];
    if (target > max_atom_count) fail_supercell("ERROR: SUPERCELL " + text + " HOLDS TOO MANY ATOMS!");
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
