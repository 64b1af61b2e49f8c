#include "optimisation/population/energy_terms.hpp"

#include "control/console_log.hpp"
#include "control/number_text.hpp"

#include "control/calculation.hpp"
#include "control/process_end.hpp"
#include "control/record_parameters.hpp"
#include "optimisation/population/state.hpp"
#include "structure/elements.hpp"
#include "structure/structure.hpp"
#include "theory/absorber_edge.hpp"
#include "theory/clustering.hpp"
#include "theory/path_update.hpp"
#include "theory/pathfinder.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::size_t at(int i) { return static_cast<std::size_t>(i); }

// Where each value after a keyword goes, in file order: 'A'/'B' an element label into z1/z2, 'e'/'j' an
// integer into z1/z2, a digit the parameter of that index.
struct KeywordLayout {
    std::string_view keyword;
    std::int32_t type;
    std::string_view values;
};

constexpr std::array<KeywordLayout, 7> keyword_layouts{{
    {"box", energy_type_box, "A0"},
    {"hardsphere", energy_type_hardsphere, "AB0"},
    {"lennard", energy_type_lennard, "23AB0145"},
    {"manybody", energy_type_manybody, "AB01234"},
    {"maxlike", energy_type_maxlike, "ej01"},
    {"invert", energy_type_invert, "e0"},
    {"msd", energy_type_msd, "A0"},
}};

[[noreturn]] void fail(const std::string& message, int code) {
    std::cout << message << '\n';
    end_process(code);
}

void append_term(Structure& structure, const EnergyTerm& term) {
    if (static_cast<int>(structure.energy_terms.size()) >= max_energy_terms) {
        fail("ERROR - more than " + std::to_string(max_energy_terms) + " energy terms in structure " +
                 std::to_string(structure.structure_number),
             1);
    }
    structure.energy_terms.push_back(term);
}

// Whitespace-separated tokens of the definitions file; a token starting with '#' hides the rest of its line.
class TokenReader {
public:
    explicit TokenReader(std::istream& in) : in_(in) {}

    // Discards whole lines up to and including the one that is exactly "BEGIN"; false when there is none.
    bool skip_to_begin() {
        std::string line;
        while (std::getline(in_, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line == "BEGIN") return true;
        }
        return false;
    }

    std::optional<std::string> next() {
        std::string token;
        for (;;) {
            if (line_ >> token) {
                if (token.front() != '#') return token;
                line_.setstate(std::ios::failbit);  // a comment: the rest of the line goes with it
                continue;
            }
            std::string line;
            if (!std::getline(in_, line)) return std::nullopt;
            line_.clear();
            line_.str(line);
        }
    }

private:
    std::istream& in_;
    std::istringstream line_;
};

EnergyTerm read_term(TokenReader& reader, const KeywordLayout& layout, const std::string& file_name) {
    EnergyTerm term;
    term.type = layout.type;
    for (const char slot : layout.values) {
        const std::optional<std::string> token = reader.next();
        const auto unreadable = [&] {
            fail("ERROR - missing or unreadable value after potential keyword (" + std::string(layout.keyword) +
                     ") in " + file_name,
                 4);
        };
        if (!token) unreadable();
        if (slot == 'A' || slot == 'B') {
            (slot == 'A' ? term.z1 : term.z2) = atomic_number_of_label(*token);
        } else if (slot == 'e' || slot == 'j') {
            const std::optional<std::int32_t> value = parse_whole_number<std::int32_t>(*token);
            if (!value) unreadable();
            (slot == 'e' ? term.z1 : term.z2) = *value;
        } else {
            const std::optional<double> value = parse_whole_number<double>(*token);
            if (!value) unreadable();
            // The terms raise distances to these powers and multiply by them at every evaluation.
            if (!is_usable_number(*value)) refuse_file_value(file_name, *value);
            term.p[at(slot - '0')] = *value;
        }
    }
    return term;
}

void read_definitions_file(Structure& structure, const std::string& file_name) {
    std::ifstream in(file_name);
    if (!in) fail("ERROR: FILE WITH ENERGY DEFINITIONS CANNOT BE OPENED!" + open_failure_note(file_name), 4);
    TokenReader reader(in);
    if (!reader.skip_to_begin()) fail("ERROR - no BEGIN line in the energy definitions file " + file_name, 4);
    for (;;) {
        const std::optional<std::string> token = reader.next();
        if (!token) fail("ERROR - the energy definitions file " + file_name + " ends before END", 4);
        if (*token == "END") return;
        const KeywordLayout* layout = nullptr;
        for (const KeywordLayout& candidate : keyword_layouts) {
            if (candidate.keyword == *token) layout = &candidate;
        }
        if (layout == nullptr) fail("ERROR - unknown potential kewyword (" + *token + ")", 1);
        const EnergyTerm term = read_term(reader, *layout, file_name);
        // A maxlike term divides by its width p1: a width of 0 would make every energy infinite.
        if (term.type == energy_type_maxlike && term.p[1] == 0.0)
            fail("ERROR - the width of a maxlike term in " + file_name + " is 0", 4);
        append_term(structure, term);
    }
}

// Atomic number of every working atom, images included: the structure's own table when it has one.
const std::vector<std::int32_t>& working_elements(const Structure& structure, std::vector<std::int32_t>& own) {
    if (structure.working_z.size() == structure.working_atoms.size()) return structure.working_z;
    own.clear();
    for (const Atom& atom : structure.working_atoms) own.push_back(atomic_number_of_label(atom.label));
    return own;
}

// Position of working atom k of structure j in the state, as get_atom_position gives it.
Vec3 working_position(const State& state, const Structure& structure, int j, std::size_t k) {
    const Atom& reference = structure.working_atoms[k];
    const Atom& displacement = state.atoms[at(state.atom_index[at(j)][at(structure.working_source[k])])];
    return {reference.x + displacement.x, reference.y + displacement.y, reference.z + displacement.z};
}

std::vector<Vec3> working_positions(const State& state, int j) {
    const Structure& structure = state.structures[j];
    std::vector<Vec3> positions(structure.working_atoms.size());
    for (std::size_t k = 0; k < positions.size(); ++k) positions[k] = working_position(state, structure, j, k);
    return positions;
}

double displacement_length(const State& state, int j, int i) {
    const Atom& d = state.atoms[at(state.atom_index[at(j)][at(i)])];
    return std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
}

// A hard-sphere pair: atoms closer than the term's minimal distance (and than 10).
bool too_close(const Vec3& a, const Vec3& b, double minimal) {
    const double r = vec_distance(a, b);
    return r < 10.0 && r < minimal;
}

const EnergyTerm& term_of(const State& state, int t, int j) { return state.structures[j].energy_terms[at(t)]; }

bool is_constraint(std::int32_t type) { return type == energy_type_box || type == energy_type_hardsphere; }

double evaluate_term(Calculation& calc, State& state, int t, int j) {
    switch (term_of(state, t, j).type) {
    case energy_type_box: return energy_box(calc, state, t, j);
    case energy_type_hardsphere: return energy_hardsphere(calc, state, t, j);
    case energy_type_lennard: return energy_lennard(calc, state, t, j);
    case energy_type_manybody: return energy_manybody(calc, state, t, j);
    case energy_type_maxlike: return energy_maxlike(calc, state, t, j);
    case energy_type_invert: return energy_invert(calc, state, t, j);
    case energy_type_msd: return energy_msd(calc, state, t, j);
    default: return 0.0;
    }
}

}  // namespace

void read_energy_definitions(Structure& structure) {
    structure.energy_terms.clear();
    const StructureParameters& parameters = *structure.parameters;
    const std::string& mode = parameters.strings[StructureStringKey::Potential_type];
    const double maximal_displacement = parameters.doubles[StructureDoubleKey::Maximal_displacement];
    const std::vector<std::int32_t>& types = structure.species_z;

    if (mode == "box") {
        for (const std::int32_t z : types) {
            EnergyTerm term{energy_type_box, z, 0, {}};
            term.p[0] = maximal_displacement;
            append_term(structure, term);
        }
    } else if (mode == "hardsphere") {
        for (std::size_t a = 0; a < types.size(); ++a) {
            for (std::size_t b = a; b < types.size(); ++b) {
                EnergyTerm term{energy_type_hardsphere, types[a], types[b], {}};
                term.p[0] = maximal_displacement;
                append_term(structure, term);
            }
        }
    } else if (mode == "file") {
        read_definitions_file(structure, parameters.strings[StructureStringKey::File_with_potential]);
    }
}

double energy_box(Calculation&, State& state, int t, int j) {
    const Structure& structure = state.structures[j];
    const EnergyTerm& term = term_of(state, t, j);
    std::vector<std::int32_t> own;
    const std::vector<std::int32_t>& elements = working_elements(structure, own);
    for (int i = 0; i < structure.atom_count; ++i) {
        if (elements[at(i)] != term.z1) continue;
        if (displacement_length(state, j, i) > term.p[0]) {
            state.violated = true;
            break;
        }
    }
    return 0.0;
}

double energy_hardsphere(Calculation&, State& state, int t, int j) {
    const Structure& structure = state.structures[j];
    const EnergyTerm& term = term_of(state, t, j);
    std::vector<std::int32_t> own;
    const std::vector<std::int32_t>& elements = working_elements(structure, own);
    const std::vector<Vec3> positions = working_positions(state, j);
    for (int i = 0; i < structure.atom_count; ++i) {
        if (elements[at(i)] != term.z1) continue;
        for (std::size_t k = 0; k < positions.size(); ++k) {
            if (k == at(i) || elements[k] != term.z2) continue;
            if (too_close(positions[at(i)], positions[k], term.p[0])) {
                state.violated = true;
                return 0.0;
            }
        }
    }
    return 0.0;
}

double energy_lennard(Calculation&, State& state, int t, int j) {
    const Structure& structure = state.structures[j];
    const EnergyTerm& term = term_of(state, t, j);
    std::vector<std::int32_t> own;
    const std::vector<std::int32_t>& elements = working_elements(structure, own);
    const std::vector<Vec3> positions = working_positions(state, j);
    double sum = 0.0;
    for (int i = 0; i < structure.atom_count; ++i) {
        if (elements[at(i)] != term.z1) continue;
        for (std::size_t k = 0; k < positions.size(); ++k) {
            if (k == at(i) || elements[k] != term.z2) continue;
            const double r = vec_distance(positions[at(i)], positions[k]);
            if (r > term.p[4] && r < term.p[5]) sum += term.p[0] * std::pow(r, -term.p[2]) - term.p[1] * std::pow(r, -term.p[3]);
        }
    }
    return sum;
}

// The two labels of the line are kept with the term but do not select atoms: every supercell atom
// gathers its density from every later working atom.
double energy_manybody(Calculation&, State& state, int t, int j) {
    const Structure& structure = state.structures[j];
    const EnergyTerm& term = term_of(state, t, j);
    const std::vector<Vec3> positions = working_positions(state, j);
    double sum = 0.0;
    for (int i = 0; i < structure.atom_count; ++i) {
        double density = 0.0;
        for (std::size_t k = at(i) + 1; k < positions.size(); ++k) {
            const double r = vec_distance(positions[at(i)], positions[k]);
            if (r > term.p[3] && r < term.p[4]) density += term.p[1] * std::pow(r, -term.p[2]);
        }
        // A negative density (negative p1) has no square root; such an atom adds nothing rather than NaN.
        if (density > 0.0) sum -= term.p[0] * std::sqrt(density);
    }
    return sum;
}

double energy_maxlike(Calculation& calc, State& state, int t, int j) {
    const EnergyTerm& term = term_of(state, t, j);
    if (term.z1 < 0 || term.z1 >= calc.absorber_edge_count) {
        fail("ERROR: maxlike term names absorber edge " + std::to_string(term.z1) + ", which does not exist!", 1);
    }
    const Pathfinder& finder = calc.edges[at(term.z1)].pathfinder;
    if (term.z2 < 0 || term.z2 >= static_cast<int>(finder.paths.size())) {
        fail("ERROR: maxlike term names path " + std::to_string(term.z2) + " of absorber edge " +
                 std::to_string(term.z1) + ", which does not exist!",
             1);
    }
    const Path& path = finder.paths[at(term.z2)];
    // The members' R at the state's own geometry, whichever population the state is in.
    const AbsorberEdge& edge = calc.edges[at(term.z1)];
    const auto structure = static_cast<std::size_t>(edge.structure - calc.structures.data());
    const std::vector<Vec3> displacements = structure_displacements(state.atoms, state.atom_index[structure]);
    double sum = 0.0;
    for (const std::int32_t member : path.members) {
        const double d = member_R_at(finder, member, displacements) - term.p[0];
        sum += d * d / term.p[1];
    }
    return sum;
}

// The spread, between the absorbing atoms, of the mean descriptor of each absorber's member chains.
// Absorbers without a member chain of the path take no part (their mean does not exist).
double absorber_spread(const Pathfinder& finder, const std::vector<NodeGeometry>& geometry, const Path& path) {
    const int length = path.descriptor_length;
    std::vector<Descriptor> sums(at(finder.absorber_count), Descriptor{});
    std::vector<int> counts(at(finder.absorber_count), 0);
    Descriptor descriptor{};
    for (const std::int32_t member : path.members) {
        collect_chain_descriptor(finder, geometry, member, descriptor);
        const std::int32_t root = finder.nodes[static_cast<std::size_t>(member)].root;
        if (root < 0 || root >= finder.absorber_count) continue;
        for (int c = 0; c < length; ++c) sums[at(root)][at(c)] += descriptor[at(c)];
        ++counts[at(root)];
    }
    double squares = 0.0;
    Descriptor total{};
    int absorbers = 0;
    for (std::size_t a = 0; a < sums.size(); ++a) {
        if (counts[a] == 0) continue;
        ++absorbers;
        for (int c = 0; c < length; ++c) {
            const double mean = sums[a][at(c)] / counts[a];
            squares += mean * mean;
            total[at(c)] += mean;
        }
    }
    if (absorbers == 0) return 0.0;
    double centre = 0.0;
    for (int c = 0; c < length; ++c) centre += (total[at(c)] / absorbers) * (total[at(c)] / absorbers);
    return squares / absorbers - centre;
}

double energy_invert(Calculation& calc, State& state, int t, int j) {
    const EnergyTerm& term = term_of(state, t, j);
    double sum = 0.0;
    const int blocks = std::min(calc.parameters.ints[IntKey::Number_of_spectra], calc.absorber_edge_count);
    std::vector<NodeGeometry> geometry;
    for (int b = 0; b < blocks; ++b) {
        const AbsorberEdge& edge = calc.edges[at(b)];
        const Pathfinder& finder = edge.pathfinder;
        const auto structure = static_cast<std::size_t>(edge.structure - calc.structures.data());
        const std::vector<Vec3> displacements = structure_displacements(state.atoms, state.atom_index[structure]);
        update_path_geometry(finder, displacements, geometry);
        for (const Path& path : finder.paths) sum += absorber_spread(finder, geometry, path);
    }
    return term.p[0] * sum;
}

// An element without supercell atoms has no displacements to average and adds nothing.
double energy_msd(Calculation&, State& state, int t, int j) {
    const Structure& structure = state.structures[j];
    const EnergyTerm& term = term_of(state, t, j);
    std::vector<std::int32_t> own;
    const std::vector<std::int32_t>& elements = working_elements(structure, own);
    double sum = 0.0;
    int count = 0;
    for (int i = 0; i < structure.atom_count; ++i) {
        if (elements[at(i)] != term.z1) continue;
        const double length = displacement_length(state, j, i);
        sum += length * length;
        ++count;
    }
    return count == 0 ? 0.0 : term.p[0] * sum / count;
}

double state_energy(Calculation& calc, State& state) {
    state.energy = 0.0;
    state.violated = false;
    for (int j = 0; j < state.structure_count; ++j) {
        const int term_count = static_cast<int>(state.structures[j].energy_terms.size());
        for (int t = 0; t < term_count; ++t) state.energy += evaluate_term(calc, state, t, j);
    }
    return state.energy;
}

// One violated constraint settles the answer, so the remaining ones are not run.
bool check_constraints(Calculation& calc, State& state) {
    state.energy = 0.0;
    state.violated = false;
    for (int j = 0; j < state.structure_count && !state.violated; ++j) {
        const std::vector<EnergyTerm>& terms = state.structures[j].energy_terms;
        for (int t = 0; t < static_cast<int>(terms.size()) && !state.violated; ++t) {
            if (is_constraint(terms[at(t)].type)) evaluate_term(calc, state, t, j);
        }
    }
    return !state.violated;
}

bool check_constraints_after_move(Calculation&, State& state, const MovedAtoms& moved) {
    state.energy = 0.0;
    state.violated = false;
    for (int j = 0; j < state.structure_count && j < static_cast<int>(moved.size()); ++j) {
        const Structure& structure = state.structures[j];
        std::vector<std::int32_t> own;
        const std::vector<std::int32_t>& elements = working_elements(structure, own);
        const std::size_t working = structure.working_atoms.size();
        for (const EnergyTerm& term : structure.energy_terms) {
            for (const std::int32_t a : moved[at(j)]) {
                if (term.type == energy_type_box) {
                    if (elements[at(a)] == term.z1 && displacement_length(state, j, a) > term.p[0]) state.violated = true;
                } else if (term.type == energy_type_hardsphere) {
                    // The moved atom as the first of a pair...
                    if (elements[at(a)] == term.z1) {
                        const Vec3 moved_at = working_position(state, structure, j, at(a));
                        for (std::size_t k = 0; k < working && !state.violated; ++k) {
                            if (k != at(a) && elements[k] == term.z2 &&
                                too_close(moved_at, working_position(state, structure, j, k), term.p[0]))
                                state.violated = true;
                        }
                    }
                    // ... and itself or one of its images as the second.
                    for (std::size_t k = 0; k < working && !state.violated; ++k) {
                        if (structure.working_source[k] != a || elements[k] != term.z2) continue;
                        const Vec3 image = working_position(state, structure, j, k);
                        for (int i = 0; i < structure.atom_count && !state.violated; ++i) {
                            if (at(i) != k && elements[at(i)] == term.z1 &&
                                too_close(working_position(state, structure, j, at(i)), image, term.p[0]))
                                state.violated = true;
                        }
                    }
                }
                if (state.violated) return false;
            }
        }
    }
    return true;
}
