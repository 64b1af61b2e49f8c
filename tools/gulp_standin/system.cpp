#include "system.hpp"

#include "elements.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace gulp_standin {
namespace {

// cos(90 degrees) in floating point is 6e-17, not 0; right angles give exactly orthogonal vectors.
double clean_cos(double degrees) {
    const double c = std::cos(degrees * std::numbers::pi / 180.0);
    return std::abs(c) < 1e-12 ? 0.0 : c;
}

std::array<Vec3, 3> unit_cell_vectors(const std::array<double, 6>& p) {
    const double ca = clean_cos(p[3]), cb = clean_cos(p[4]), cg = clean_cos(p[5]);
    const double sg = std::sqrt(1.0 - cg * cg);
    const double cy = (ca - cb * cg) / sg;
    const double cz2 = 1.0 - cb * cb - cy * cy;
    if (!(cz2 > 1e-12)) throw StandinError("the cell angles do not form a cell");
    return {Vec3{p[0], 0.0, 0.0}, Vec3{p[1] * cg, p[1] * sg, 0.0}, Vec3{p[2] * cb, p[2] * cy, p[2] * std::sqrt(cz2)}};
}

bool names_label(const std::string& name, const std::string& label) {
    if (name == label) return true;
    const int z = atomic_number_of_label(label);
    return z > 0 && name == element_symbol(z);
}

double pair_energy(const PairFunction& f, double r2, double& g) {
    if (f.m == 12 && f.n == 6) {
        const double ir2 = 1.0 / r2;
        const double ir6 = ir2 * ir2 * ir2;
        const double ir12 = ir6 * ir6;
        g = (-12.0 * f.a * ir12 + 6.0 * f.b * ir6) * ir2;
        return f.a * ir12 - f.b * ir6;
    }
    const double r = std::sqrt(r2);
    const double irm = std::pow(r, -f.m), irn = std::pow(r, -f.n);
    g = (-f.m * f.a * irm + f.n * f.b * irn) / r2;
    return f.a * irm - f.b * irn;
}

// Energy of one pair at squared distance r2 and g = (dE/dr) / r.
double pair_sum(const std::vector<PairFunction>& terms, double r2, double& g) {
    double energy = 0.0;
    g = 0.0;
    for (const PairFunction& f : terms) {
        if (r2 < f.rmin2 || r2 >= f.rmax2) continue;
        double gt = 0.0;
        energy += pair_energy(f, r2, gt);
        g += gt;
    }
    return energy;
}

}  // namespace

void rebuild_neighbours(PeriodicSystem& s) {
    const auto& c = s.cell;
    const double volume = dot(c[0], cross(c[1], c[2]));
    std::array<Vec3, 3> reciprocal;
    std::array<double, 3> height{};
    for (int k = 0; k < 3; ++k) {
        const Vec3 face = cross(c[(k + 1) % 3], c[(k + 2) % 3]);
        reciprocal[k] = (1.0 / volume) * face;
        height[k] = std::abs(volume) / norm(face);
    }
    // After the pair vector is brought into the cell around the first atom, it is at most half a body
    // diagonal long, so every translation that can reach the list radius is shorter than this.
    double half_diagonal = 0.0;
    for (int sa : {-1, 1})
        for (int sb : {-1, 1})
            for (int sc : {-1, 1})
                half_diagonal =
                    std::max(half_diagonal, norm(0.5 * (double(sa) * c[0] + double(sb) * c[1] + double(sc) * c[2])));
    const double list_radius = s.cutoff + s.skin;
    const double reach = list_radius + half_diagonal;
    std::vector<Vec3> translations;
    std::array<int, 3> extent{};
    for (int k = 0; k < 3; ++k) extent[k] = static_cast<int>(std::ceil(reach / height[k]));
    for (int i = -extent[0]; i <= extent[0]; ++i)
        for (int j = -extent[1]; j <= extent[1]; ++j)
            for (int k = -extent[2]; k <= extent[2]; ++k) {
                const Vec3 t = double(i) * c[0] + double(j) * c[1] + double(k) * c[2];
                if (norm(t) <= reach) translations.push_back(t);
            }

    const int n = static_cast<int>(s.positions.size());
    const double list2 = list_radius * list_radius;
    s.neighbours.assign(n, {});
    s.later_neighbours.assign(n, 0);
    for (int i = 0; i < n; ++i) {
        // Atoms after i first, so that a force sum can visit every pair once. An atom's own copies move
        // with it, so their energy never changes and they are left out.
        for (int pass = 0; pass < 2; ++pass) {
            for (int j = pass == 0 ? i + 1 : 0; j < (pass == 0 ? n : i); ++j) {
                const int pair = s.type_of_atom[i] * s.type_count + s.type_of_atom[j];
                if (s.pair_table[pair].empty()) continue;
                const Vec3 d = s.positions[j] - s.positions[i];
                Vec3 base;
                for (int k = 0; k < 3; ++k) base += -std::round(dot(reciprocal[k], d)) * c[k];
                for (const Vec3& t : translations) {
                    const Vec3 shift = base + t;
                    const Vec3 v = d + shift;
                    if (dot(v, v) < list2) s.neighbours[i].push_back({j, shift, pair});
                }
            }
            if (pass == 0) s.later_neighbours[i] = static_cast<int>(s.neighbours[i].size());
        }
    }
    s.listed_at = s.positions;
    ++s.list_builds;
}

PeriodicSystem build_system(const GulpInput& input) {
    PeriodicSystem s;
    const std::array<Vec3, 3> unit = unit_cell_vectors(*input.cell);
    for (int k = 0; k < 3; ++k) s.cell[k] = double(input.supercell[k]) * unit[k];

    std::vector<std::string> type_labels;
    for (int ia = 0; ia < input.supercell[0]; ++ia)
        for (int ib = 0; ib < input.supercell[1]; ++ib)
            for (int ic = 0; ic < input.supercell[2]; ++ic) {
                const Vec3 origin = double(ia) * unit[0] + double(ib) * unit[1] + double(ic) * unit[2];
                for (const InputAtom& atom : input.atoms) {
                    const Vec3& p = atom.position;
                    const Vec3 local = atom.fractional ? p.x * unit[0] + p.y * unit[1] + p.z * unit[2] : p;
                    s.positions.push_back(origin + local);
                    s.labels.push_back(atom.label);
                    const int z = atomic_number_of_label(atom.label);
                    s.atomic_numbers.push_back(z);
                    s.masses.push_back(atomic_mass(z));
                    auto known = std::find(type_labels.begin(), type_labels.end(), atom.label);
                    if (known == type_labels.end()) known = type_labels.insert(type_labels.end(), atom.label);
                    s.type_of_atom.push_back(static_cast<int>(known - type_labels.begin()));
                }
            }

    s.type_count = static_cast<int>(type_labels.size());
    s.pair_table.assign(static_cast<std::size_t>(s.type_count * s.type_count), {});
    for (int ta = 0; ta < s.type_count; ++ta)
        for (int tb = 0; tb < s.type_count; ++tb)
            for (const PairTerm& term : input.pairs) {
                const bool forward =
                    names_label(term.label_a, type_labels[ta]) && names_label(term.label_b, type_labels[tb]);
                const bool backward =
                    names_label(term.label_a, type_labels[tb]) && names_label(term.label_b, type_labels[ta]);
                if (!forward && !backward) continue;
                s.pair_table[ta * s.type_count + tb].push_back(
                    {term.m, term.n, term.a, term.b, term.rmin * term.rmin, term.rmax * term.rmax});
                s.cutoff = std::max(s.cutoff, term.rmax);
            }

    rebuild_neighbours(s);
    for (std::size_t i = 0; i < s.positions.size(); ++i)
        for (const Neighbour& nb : s.neighbours[i]) {
            const Vec3 v = s.positions[nb.atom] + nb.shift - s.positions[i];
            if (dot(v, v) < 1e-8)
                throw StandinError("atoms " + std::to_string(i + 1) + " and " + std::to_string(nb.atom + 1) +
                                   " of the supercell sit on the same place");
        }
    return s;
}

void update_neighbours(PeriodicSystem& system) {
    const double limit2 = 0.25 * system.skin * system.skin;
    for (std::size_t i = 0; i < system.positions.size(); ++i) {
        const Vec3 moved = system.positions[i] - system.listed_at[i];
        if (dot(moved, moved) > limit2) {
            rebuild_neighbours(system);
            return;
        }
    }
}

bool within_skin(const PeriodicSystem& system, int i, const Vec3& position) {
    const Vec3 moved = position - system.listed_at[i];
    return dot(moved, moved) <= 0.25 * system.skin * system.skin;
}

double atom_energy(const PeriodicSystem& system, int i, const Vec3& position) {
    double energy = 0.0;
    double g = 0.0;
    for (const Neighbour& nb : system.neighbours[i]) {
        const Vec3 v = system.positions[nb.atom] + nb.shift - position;
        energy += pair_sum(system.pair_table[nb.pair], dot(v, v), g);
    }
    return energy;
}

double energy_change(const PeriodicSystem& system, int i, const Vec3& position) {
    const Vec3& now = system.positions[i];
    double change = 0.0;
    double g = 0.0;
    for (const Neighbour& nb : system.neighbours[i]) {
        const Vec3 other = system.positions[nb.atom] + nb.shift;
        const Vec3 after = other - position;
        const Vec3 before = other - now;
        const double r2_after = dot(after, after), r2_before = dot(before, before);
        const std::vector<PairFunction>& terms = system.pair_table[nb.pair];
        // Most pairs have one 12-6 term; this is the innermost loop of every Monte Carlo trial.
        if (terms.size() == 1 && terms[0].m == 12 && terms[0].n == 6) {
            const PairFunction& f = terms[0];
            if (r2_after >= f.rmin2 && r2_after < f.rmax2) {
                const double ir2 = 1.0 / r2_after, ir6 = ir2 * ir2 * ir2;
                change += (f.a * ir6 - f.b) * ir6;
            }
            if (r2_before >= f.rmin2 && r2_before < f.rmax2) {
                const double ir2 = 1.0 / r2_before, ir6 = ir2 * ir2 * ir2;
                change -= (f.a * ir6 - f.b) * ir6;
            }
            continue;
        }
        change += pair_sum(terms, r2_after, g) - pair_sum(terms, r2_before, g);
    }
    return change;
}

double total_energy(const PeriodicSystem& system) {
    std::vector<Vec3> forces;
    return energy_and_forces(system, forces);
}

double energy_and_forces(const PeriodicSystem& system, std::vector<Vec3>& forces) {
    const int n = static_cast<int>(system.positions.size());
    forces.assign(n, Vec3{});
    double energy = 0.0;
    double g = 0.0;
    for (int i = 0; i < n; ++i) {
        const Vec3& here = system.positions[i];
        Vec3 force_i;
        for (int k = 0; k < system.later_neighbours[i]; ++k) {
            const Neighbour& nb = system.neighbours[i][k];
            const Vec3 v = system.positions[nb.atom] + nb.shift - here;
            const double r2 = dot(v, v);
            const std::vector<PairFunction>& terms = system.pair_table[nb.pair];
            if (terms.size() == 1 && terms[0].m == 12 && terms[0].n == 6) {
                const PairFunction& f = terms[0];
                if (r2 < f.rmin2 || r2 >= f.rmax2) continue;
                const double ir2 = 1.0 / r2, ir6 = ir2 * ir2 * ir2;
                energy += (f.a * ir6 - f.b) * ir6;
                g = (-12.0 * f.a * ir6 + 6.0 * f.b) * ir6 * ir2;
            } else {
                energy += pair_sum(terms, r2, g);
            }
            force_i += g * v;
            forces[nb.atom] += -g * v;
        }
        forces[i] += force_i;
    }
    return energy;
}

Vec3 centre_of_mass(const PeriodicSystem& system) {
    Vec3 sum;
    double mass = 0.0;
    for (std::size_t i = 0; i < system.positions.size(); ++i) {
        sum += system.masses[i] * system.positions[i];
        mass += system.masses[i];
    }
    return (1.0 / mass) * sum;
}

}  // namespace gulp_standin
