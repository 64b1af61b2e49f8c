#include "control/calculation.hpp"
#include "theory/absorber_edge.hpp"
#include "theory/feff_input.hpp"
#include "theory/feff_run.hpp"
#include "test_support.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/structure.hpp"
#include "optimisation/population/state.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

namespace {

struct EdgeSetup {
    std::unique_ptr<Calculation> calc = std::make_unique<Calculation>();
    AbsorberEdge& edge() { return calc->edges[0]; }
    Structure& structure() { return calc->structures[0]; }
    SpectrumParameters& spectrum() { return calc->spectrum_parameters[0]; }

    // A cluster (no images) of the given atoms, species in order of first appearance.
    EdgeSetup(const std::vector<Atom>& atoms, int type_code, const std::string& edge_label) {
        set_parameter_defaults(*calc);
        Structure& s = structure();
        s.parameters = &calc->structure_parameters[0];
        s.parameters->type_code = type_code;
        s.supercell_atoms = atoms;
        s.working_atoms = atoms;
        s.atom_count = static_cast<int>(atoms.size());
        s.working_count = s.atom_count;
        for (const Atom& atom : atoms) add_species(s, atom.label, atom.label == "O" ? 8 : 32);
        spectrum().strings[SpectrumStringKey::Edge] = edge_label;
        edge().index = 0;
        edge().spectrum = &spectrum();
        edge().structure = &s;
        std::filesystem::create_directory("feff_0");
    }

    struct Written {
        int code;
        std::string output;
        std::vector<std::string> lines;
    };

    Written write(bool atoms_mode = true) {
        CaptureStdout capture;
        const int code = exit_code_of([&] { write_feff_inp(edge(), atoms_mode); });
        Written written{code, capture.text(), {}};
        std::ifstream in("feff_0/feff.inp");
        for (std::string line; std::getline(in, line);) written.lines.push_back(line);
        return written;
    }
};

const std::vector<Atom> germanium_dioxide{{"Ge", 0, 0, 0}, {"O", 1.7, 0, 0}, {"O", 0, 1.8, 0}};

}  // namespace

TEST(FeffInput, P1StructureGivesTheFullInput) {
    ScopedWorkFolder folder;
    EdgeSetup setup(germanium_dioxide, structure_type_p1, "Ge");
    setup.spectrum().scf[ScfKey::r_scf] = 4.5;
    const auto written = setup.write();
    EXPECT_EQ(written.code, 0) << "only the input is wanted";
    const std::vector<std::string> expected{
        " ",
        " TITLE   Talq_FEFF_inp",
        "  ",
        " EDGE      K ",
        " S02       1.000000000000",
        " ",
        " *         pot    xsph  fms   paths genfmt ff2chi",
        " CONTROL   1      1     1     1     1      1",
        " PRINT     1      0     0     0     0      3",
        "  ",
        " *         r_scf   [ l_scf  n_scf  ca ]",
        " SCF       4.500000000000   0      30     0.100000000000     1",
        " ",
        " *         ixc  [ Vr  Vi ]",
        " EXCHANGE  0      0   0",
        "",
        " EXAFS 20.0",
        " RPATH    6.000000000000",
        " NLEGS    8",
        " CRITERIA  0.0  0.000000000000 ",
        "CFAVERAGE 1 1 6.000000000000",
        "  ",
        " ",
        " POTENTIALS",
        " *   ipot   z [ label   l_scmt  l_fms  stoichiometry ]",
        "       0   32    Ge     -1      -1       0",
        "       1   32    Ge     -1      -1       1",
        "       2   8    O     -1      -1       2",
        "  ",
        " ATOMS",
        "0.000000000000 0.000000000000 0.000000000000 1 Ge",
        "1.700000000000 0.000000000000 0.000000000000 2 O",
        "0.000000000000 1.800000000000 0.000000000000 2 O",
        "  END",
    };
    EXPECT_EQ(written.lines, expected);
    EXPECT_EQ(setup.spectrum().scf[ScfKey::r_scf], 4.5) << "a given radius is not touched";
}

TEST(FeffInput, SpecialStructureTypesHaveFixedPotentials) {
    ScopedWorkFolder folder;
    EdgeSetup gulp(germanium_dioxide, structure_type_fcc_gulp, "Ge");
    const auto lines = gulp.write().lines;
    EXPECT_EQ(lines[25], "       0   32    Ge     -1      -1       0");
    EXPECT_EQ(lines[26], "       1   32    Ge     -1      -1       1");
    EXPECT_EQ(lines[27], "  ");
    EXPECT_EQ(lines[29], "0.000000000000 0.000000000000 0.000000000000 1 ") << "no absorber type below code 4";

    EdgeSetup oxide(germanium_dioxide, structure_type_reo3, "Ge");
    const auto reo3 = oxide.write().lines;
    EXPECT_EQ(reo3[25], "       0   75    Ge     -1      -1       0");
    EXPECT_EQ(reo3[27], "       2   8    O     -1      -1       2");

    EdgeSetup plain(germanium_dioxide, structure_type_fcc, "Ge");
    EXPECT_EQ(plain.write().lines[25], "  ") << "no potential lines";
}

TEST(FeffInput, AutomaticScfRadiusFollowsTheShells) {
    const double shells[] = {0.0, 2.45, 2.45, 3.46, 4.00};
    const double none[] = {0.0};
    EXPECT_EQ(automatic_scf_radius(shells, 5, none, 0), 4.0);
    const double far[] = {0.0, 2.0, 3.0, 10.5};
    EXPECT_EQ(automatic_scf_radius(far, 4, none, 0), 5.0) << "a radius past 10 falls back to 5";
    const double nearest[] = {2.0, 6.2};
    EXPECT_DOUBLE_EQ(automatic_scf_radius(far, 4, nearest, 2), 6.3) << "every element reaches into the sphere";
    EXPECT_EQ(automatic_scf_radius(none, 1, none, 0), 5.0) << "a lone absorber takes the fallback";

    ScopedWorkFolder folder;
    EdgeSetup setup({{"Ge", 0, 0, 0}, {"O", 2.45, 0, 0}, {"O", 0, 3.46, 0}, {"O", 0, 0, 4.0}}, structure_type_p1, "Ge");
    const auto lines = setup.write().lines;
    EXPECT_EQ(lines[11], " SCF       4.000000000000   0      30     0.100000000000     1");
    EXPECT_EQ(setup.spectrum().scf[ScfKey::r_scf], 4.0);
}

TEST(FeffInput, OptionalCardsAndTheClusterLimit) {
    ScopedWorkFolder folder;
    std::vector<Atom> atoms{{"Ge", 0, 0, 0}};
    for (int i = 1; i < 1500; ++i) atoms.push_back({"O", 1.0 + i * 0.01, 0, 0});
    EdgeSetup setup(atoms, structure_type_p1, "Ge");
    setup.spectrum().ints[SpectrumIntKey::N_legs] = 1;
    setup.spectrum().has_polarization = true;
    setup.spectrum().polarization = {0, 0, 2};
    const auto written = setup.write();
    EXPECT_EQ(written.lines[18], " CRITERIA  0.0  0.000000000000 ") << "no NLEGS card for single legs";
    EXPECT_EQ(written.lines[22], " POLARIZATION 0.000000000000 0.000000000000 2.000000000000");
    EXPECT_EQ(written.output, "\tWARNING! Too large cluster for potential calculations. Skipping remaining atoms!\n");
    const auto atoms_line = std::find(written.lines.begin(), written.lines.end(), " ATOMS");
    EXPECT_EQ(written.lines.end() - atoms_line, 1000 + 2);
}

TEST(FeffInput, EveryAtomGetsAPotential) {
    ScopedWorkFolder folder;
    EdgeSetup setup({{"Ge", 0, 0, 0}, {"O1", 1.7, 0, 0}, {"Xx", 2.0, 0, 0}}, structure_type_p1, "Ge");
    setup.structure().species_labels = {"Ge", "O"};
    setup.structure().species_z = {32, 8};
    setup.structure().species_counts = {1, 2};
    const auto written = setup.write();
    EXPECT_EQ(written.code, 5);
    EXPECT_EQ(written.lines[31], "1.700000000000 0.000000000000 0.000000000000 2 O1") << "found by its element";
    EXPECT_EQ(written.output, "ERROR: UNIDENTIFIED ATOM LABEL!\n");

    EdgeSetup missing({{"O", 0, 0, 0}}, structure_type_p1, "Ge");
    EXPECT_EQ(missing.write().code, 1);
}
