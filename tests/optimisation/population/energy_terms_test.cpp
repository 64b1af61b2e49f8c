#include "optimisation/population/energy_terms.hpp"
#include "structure/geometry.hpp"
#include "structure/structure_fixture.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/structure.hpp"
#include "theory/absorber_edge.hpp"
#include "optimisation/population/state.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

// One non-periodic structure of the given atoms (no images) and one state sitting on it.
std::unique_ptr<Calculation> cluster_run(const std::vector<Atom>& atoms) {
    auto calc = std::make_unique<Calculation>();
    set_parameter_defaults(*calc);
    Structure& structure = calc->structures[0];
    structure.parameters = &calc->structure_parameters[0];
    structure.working_atoms = atoms;
    structure.atom_count = structure.working_count = static_cast<int>(atoms.size());
    for (int i = 0; i < structure.atom_count; ++i) structure.working_source.push_back(i);
    calc->current_states.resize(1);
    init_state(calc->current_states[0], 0, 1, calc->structures.data());
    return calc;
}

// Reads the text as structure 0's definitions file (in the current folder): exit code and output.
std::pair<int, std::string> read_file(Calculation& calc, const std::string& text, const std::string& name = "energy.txt") {
    std::ofstream("energy.txt") << text;
    calc.structure_parameters[0].strings[StructureStringKey::Potential_type] = "file";
    calc.structure_parameters[0].strings[StructureStringKey::File_with_potential] = name;
    CaptureStdout capture;
    const int code = exit_code_of([&] { read_energy_definitions(calc.structures[0]); });
    return {code, capture.text()};
}

std::unique_ptr<Calculation> run_with_terms(const std::vector<Atom>& atoms, const std::string& definitions) {
    auto calc = cluster_run(atoms);
    EXPECT_EQ(read_file(*calc, "BEGIN\n" + definitions + "\nEND\n").first, -1);
    return calc;
}

}  // namespace

TEST(EnergyDefinitionsFile, ValuesKeepTheirOrderAcrossCrlfLinesAndComments) {
    ScopedWorkFolder folder;
    auto calc = cluster_run({});
    ASSERT_EQ(read_file(*calc, "#x\r\nBEGIN\r\nlennard 12 6 Fe O # pair\r\n 1.0 2.0 1.5 5.0\r\nmaxlike 1 +3 0.5 2\r\nEND\r\n"),
              std::pair(-1, std::string()));
    const auto& terms = calc->structures[0].energy_terms;
    ASSERT_EQ(terms.size(), 2u);
    EXPECT_EQ(std::tuple(terms[0].type, terms[0].z1, terms[0].z2), std::tuple(energy_type_lennard, 26, 8));
    EXPECT_EQ(std::vector(terms[0].p.begin(), terms[0].p.begin() + 6), std::vector({1.0, 2.0, 12.0, 6.0, 1.5, 5.0}));
    EXPECT_EQ(std::tuple(terms[1].type, terms[1].z1, terms[1].z2, terms[1].p[1]), std::tuple(energy_type_maxlike, 1, 3, 2.0));
}

TEST(EnergyDefinitionsFile, CommentsOnlyGiveNoTermsAndAFreeState) {
    ScopedWorkFolder folder;
    auto calc = cluster_run({{"Cu", 0, 0, 0}, {"Cu", 0.1, 0, 0}});
    ASSERT_EQ(read_file(*calc, "# head\nbox Cu 0.1\nBEGIN\n# box Cu 0.1\n  # msd Cu 1\nEND\nmsd Cu 1\n").first, -1);
    EXPECT_TRUE(calc->structures[0].energy_terms.empty());
    set_atom_position(calc->current_states[0], {"", 5, 5, 5}, 0, 0);
    EXPECT_EQ(state_energy(*calc, calc->current_states[0]), 0.0);
    EXPECT_TRUE(check_constraints(*calc, calc->current_states[0]));
}

TEST(EnergyDefinitionsFile, FatalFaultsNameWhatIsWrong) {
    ScopedWorkFolder folder;
    auto calc = cluster_run({});
    const std::string bad_value = "ERROR - missing or unreadable value after potential keyword ";
    std::string many = "BEGIN\n";
    for (int t = 0; t <= max_energy_terms; ++t) many += "msd Cu 1\n";
    const std::vector<std::tuple<std::string, int, std::string>> cases{
        {"BEGIN\nbox Cu 0.1\nfoo Cu\nEND\n", 1, "ERROR - unknown potential kewyword (foo)\n"},
        {"box Cu 0.1\n", 4, "ERROR - no BEGIN line in the energy definitions file energy.txt\n"},
        {"BEGIN\nbox Cu 0.1\n", 4, "ERROR - the energy definitions file energy.txt ends before END\n"},
        {"BEGIN\nhardsphere Cu O", 4, bad_value + "(hardsphere) in energy.txt\n"},
        {"BEGIN\nlennard 12 6 Fe O 1.0 two 1.5 5.0\nEND\n", 4, bad_value + "(lennard) in energy.txt\n"},
        {"BEGIN\ninvert 1.5 2\nEND\n", 4, bad_value + "(invert) in energy.txt\n"},
        {many + "END\n", 1, "ERROR - more than 256 energy terms in structure 0\n"},
        // Terms multiply by their values and raise distances to them at every evaluation.
        {"BEGIN\nlennard 12 6 Cu Cu 1e308 2 1.5 5.0\nEND\n", 4, "ERROR: VALUE 1e+308 IN FILE energy.txt CANNOT BE USED!\n"},
        {"BEGIN\nmsd Cu -2e30\nEND\n", 4, "ERROR: VALUE -2e+30 IN FILE energy.txt CANNOT BE USED!\n"},
        {"BEGIN\nmaxlike 0 0 2.5 0\nEND\n", 4, "ERROR - the width of a maxlike term in energy.txt is 0\n"},
    };
    for (const auto& [text, code, message] : cases) EXPECT_EQ(read_file(*calc, text), std::pair(code, message)) << text;
    EXPECT_EQ(read_file(*calc, "BEGIN\nEND\n", "absent.txt"),
              std::pair(4, std::string("ERROR: FILE WITH ENERGY DEFINITIONS CANNOT BE OPENED! (absent.txt: No such file or directory)\n")));
}

TEST(EnergyDefinitionsModes, BoxCatchesAMoveThatHardsphereLetsThrough) {
    ScopedWorkFolder folder;
    auto calc = calculation_with_p1(fcc_copper_p1, "1x1x1");
    CaptureStdout quiet;
    build_geometry(*calc, "");
    StructureParameters& parameters = calc->structure_parameters[0];
    parameters.doubles[StructureDoubleKey::Maximal_displacement] = 0.1;
    calc->current_states.resize(1);
    State& state = calc->current_states[0];
    init_state(state, 0, 1, calc->structures.data());
    set_atom_position(state, atom_add(calc->structures[0].working_atoms[0], {"", 0.08, 0.08, 0}), 0, 0);
    for (const std::string mode : {"box", "hardsphere", "other"}) {
        parameters.strings[StructureStringKey::Potential_type] = mode;
        read_energy_definitions(calc->structures[0]);
        const auto& terms = calc->structures[0].energy_terms;
        ASSERT_EQ(terms.size(), mode == "other" ? 0u : 1u) << mode;
        if (mode == "hardsphere") {
            EXPECT_EQ(std::tuple(terms[0].z1, terms[0].z2, terms[0].p[0]), std::tuple(29, 29, 0.1));
        }
        EXPECT_EQ(check_constraints(*calc, state), mode != "box") << mode;
        EXPECT_EQ(state.energy, 0.0) << "constraints add nothing, violated or not";
    }
}

TEST(EnergyConstraints, HardsphereViolatedBelowTheMinimalDistanceOfItsPairOnly) {
    ScopedWorkFolder folder;
    auto calc = run_with_terms({{"Cu", 0, 0, 0}, {"O", 1.6, 0, 0}, {"Cu", 0, 1.2, 0}}, "hardsphere Cu O 1.5");
    State& state = calc->current_states[0];
    EXPECT_TRUE(check_constraints(*calc, state)) << "the two Cu are closer, but they are not the pair";
    set_atom_position(state, {"", 1.4, 0, 0}, 0, 1);
    EXPECT_FALSE(check_constraints(*calc, state));
    EXPECT_EQ(state_energy(*calc, state), 0.0);
    EXPECT_TRUE(state.violated);
}

TEST(EnergyTerms, LennardPairMatchesTheHandValueAndCountsSameElementPairsTwice) {
    ScopedWorkFolder folder;
    const double pair = 1.0 * std::pow(2.0, -12) - 2.0 * std::pow(2.0, -6);
    auto calc = run_with_terms({{"Fe", 0, 0, 0}, {"O", 2, 0, 0}}, "lennard 12 6 Fe O 1.0 2.0 1.5 5.0");
    EXPECT_DOUBLE_EQ(state_energy(*calc, calc->current_states[0]), pair);
    set_atom_position(calc->current_states[0], {"", 1.5, 0, 0}, 0, 1);
    EXPECT_EQ(state_energy(*calc, calc->current_states[0]), 0.0) << "r = p4 is outside the open range";
    calc = run_with_terms({{"Fe", 0, 0, 0}, {"Fe", 2, 0, 0}}, "lennard 12 6 Fe Fe 1.0 2.0 1.5 5.0");
    EXPECT_DOUBLE_EQ(state_energy(*calc, calc->current_states[0]), 2 * pair);
}

TEST(EnergyTerms, ManybodyGathersDensityFromLaterAtomsOfAnyElement) {
    ScopedWorkFolder folder;
    // Densities 4 * 1^-2 (atoms 0-1) and 4 * 2^-2 (atoms 1-2); atoms 0 and 2 sit on the open upper bound.
    // The second term's densities are negative: it adds 0 rather than a NaN square root.
    auto calc = run_with_terms({{"Cu", 0, 0, 0}, {"O", 1, 0, 0}, {"Cu", 3, 0, 0}},
                               "manybody Cu O 1.5 4 2 0.5 3\nmanybody Cu O 1 -1 2 0.5 3");
    EXPECT_DOUBLE_EQ(state_energy(*calc, calc->current_states[0]), -1.5 * (2.0 + 1.0));
}

TEST(EnergyTerms, MsdIsTheWeightedMeanSquareDisplacementOfItsElement) {
    ScopedWorkFolder folder;
    auto calc = run_with_terms({{"Cu", 0, 0, 0}, {"Cu", 3, 0, 0}, {"O", 6, 0, 0}}, "msd Cu 2.0\nmsd Fe 1.0");
    State& state = calc->current_states[0];
    set_atom_position(state, {"", 0.3, 0.4, 0}, 0, 0);
    set_atom_position(state, {"", 7, 0, 0}, 0, 2);
    EXPECT_DOUBLE_EQ(state_energy(*calc, state), 2.0 * 0.25 / 2) << "Fe has no atoms and adds 0, not NaN";
    EXPECT_FALSE(state.violated);
}
