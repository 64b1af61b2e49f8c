#include "structure/atom_io.hpp"
#include "structure/geometry.hpp"
#include "structure/structure.hpp"
#include "structure_fixture.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

namespace {

// Cuboctahedral 13-atom copper cluster: a centre and its 12 nearest neighbours in fcc (a = 3.61).
std::string copper_cluster(const std::string& centre_label = "Cu") {
    std::ostringstream xyz;
    xyz << "13\nwritten by hand\n";
    const double h = 3.61 / 2;
    xyz << centre_label << " 0 0 0\n";
    for (int sa : {-1, 1}) {
        for (int sb : {-1, 1}) {
            xyz << "Cu " << sa * h << ' ' << sb * h << " 0\n";
            xyz << "Cu " << sa * h << " 0 " << sb * h << '\n';
            xyz << "Cu 0 " << sa * h << ' ' << sb * h << '\n';
        }
    }
    return xyz.str();
}

struct GeometryRun {
    int code;
    std::string output;
};

GeometryRun run_geometry(Calculation& calc, const std::string& extra) {
    calc.flags.has_extra_argument = !extra.empty();
    CaptureStdout capture;
    const int code = exit_code_of([&] { build_geometry(calc, extra); });
    return {code, capture.text()};
}

}  // namespace

TEST(Geometry, EveryStructureIsLoadedAndAnnouncedInOrder) {
    ScopedWorkFolder folder;
    auto calc = calculation_with_p1(fcc_copper_p1, "1x1x1");
    calc->parameters.ints[IntKey::Number_of_structures] = 3;
    for (int i = 1; i < 3; ++i) calc->structure_parameters[i] = calc->structure_parameters[0];
    calc->parameters.ints[IntKey::Number_of_spectra] = 2;
    calc->spectrum_parameters[1].doubles[SpectrumDoubleKey::R_max] = 7.5;
    calc->spectrum_parameters[1].strings[SpectrumStringKey::Edge] = "Cu";
    const GeometryRun run = run_geometry(*calc, "");
    ASSERT_EQ(run.code, -1);
    const auto first = run.output.find("STRUCTURE # 0\n");
    const auto second = run.output.find("STRUCTURE # 1\n");
    const auto third = run.output.find("STRUCTURE # 2\n");
    EXPECT_LT(first, second);
    EXPECT_LT(second, third);
    EXPECT_NE(third, std::string::npos);
    EXPECT_EQ(calc->structures[2].margin, 7.5);
    EXPECT_EQ(calc->structures[2].owner, calc.get());
    EXPECT_EQ(calc->centre_atom_index, -1);
}

TEST(Geometry, ClusterFromTheCommandLineIsUsedUnchanged) {
    ScopedWorkFolder folder;
    auto calc = calculation_with_p1("not read", "1x1x1");
    calc->structure_parameters[0].bools[StructureBoolKey::pbc] = false;
    calc->structure_parameters[0].doubles[StructureDoubleKey::Scale_coordinates_by] = 2.0;
    std::ofstream("cluster.xyz") << copper_cluster();
    const GeometryRun run = run_geometry(*calc, "cluster.xyz");
    ASSERT_EQ(run.code, -1) << run.output;
    EXPECT_EQ(run.output,
              "              Initial geometry is found and will be used.\n"
              "              Number of atoms = 13\n");
    const Structure& s = calc->structures[0];
    EXPECT_EQ(s.working_count, 13);
    EXPECT_DOUBLE_EQ(s.supercell_atoms[1].x, -1.805) << "no scaling and no centring";
    EXPECT_EQ(s.basis.x, 1.0);
    int neighbours = 0;
    for (int j = 1; j < 13; ++j) neighbours += std::abs(atom_distance(s.working_atoms[j], s.working_atoms[0]) - 2.5527) < 0.001;
    EXPECT_EQ(neighbours, 12);
}

TEST(Geometry, SetCentreMarksTheCentralAbsorber) {
    ScopedWorkFolder folder;
    auto calc = calculation_with_p1("", "1x1x1");
    calc->structure_parameters[0].bools[StructureBoolKey::pbc] = false;
    calc->spectrum_parameters[0].strings[SpectrumStringKey::Edge] = "Cu0";
    calc->flags.setcenter = true;
    std::ofstream("cluster.xyz") << copper_cluster("Cu");
    const GeometryRun run = run_geometry(*calc, "cluster.xyz");
    ASSERT_EQ(run.code, -1);
    EXPECT_EQ(calc->structures[0].supercell_atoms[0].label, "Cu0");
    EXPECT_EQ(calc->structures[0].supercell_atoms[1].label, "Cu");
    EXPECT_NE(run.output.find("              Absorbing atom:\nCu0 0 0 0\n"), std::string::npos);
    // Species are grouped by element, so the relabelled absorber is still copper.
    EXPECT_EQ(calc->structures[0].species_labels, std::vector<std::string>{"Cu0"});
    EXPECT_EQ(find_species_of_label(calc->structures[0], "Cu"), 0);

    calc->spectrum_parameters[0].strings[SpectrumStringKey::Edge] = "Zn";
    const GeometryRun none = run_geometry(*calc, "cluster.xyz");
    EXPECT_EQ(none.code, 1);
    EXPECT_NE(none.output.find("ERROR: no absorbing atoms!\n"), std::string::npos);
}

TEST(Geometry, SetCentreFindsTheNearestAbsorberHoweverFarTheAtomsLie) {
    ScopedWorkFolder folder;
    auto calc = calculation_with_p1("", "1x1x1");
    calc->structure_parameters[0].bools[StructureBoolKey::pbc] = false;
    calc->spectrum_parameters[0].strings[SpectrumStringKey::Edge] = "Cu0";
    calc->flags.setcenter = true;
    // The centre lies about 3.3e11 from every copper atom; the one at x = 2 is nearest.
    std::ofstream("cluster.xyz") << "4\nfar flung atoms\nCu 0 0 0\nCu 2 0 0\nO 1 0 0\nCu 1e12 0 0\n";
    const GeometryRun run = run_geometry(*calc, "cluster.xyz");
    ASSERT_EQ(run.code, -1) << run.output;
    EXPECT_EQ(calc->structures[0].supercell_atoms[1].label, "Cu0");
    EXPECT_EQ(calc->structures[0].supercell_atoms[0].label, "Cu");
}

TEST(Geometry, ClusterSpeciesGroupByElementUnderTheFirstLabel) {
    ScopedWorkFolder folder;
    auto calc = calculation_with_p1("", "1x1x1");
    calc->structure_parameters[0].bools[StructureBoolKey::pbc] = false;
    calc->spectrum_parameters[0].strings[SpectrumStringKey::Edge] = "O1";
    std::ofstream("water.xyz") << "6\ntwo water molecules\nO1 0 0 0\nH 0.96 0 0\nH -0.24 0.93 0\nO2 3 0 0\nH 3.96 0 0\nH 2.76 0.93 0\n";
    ASSERT_EQ(run_geometry(*calc, "water.xyz").code, -1);
    const Structure& s = calc->structures[0];
    EXPECT_EQ(s.species_labels, (std::vector<std::string>{"O1", "H"}));
    EXPECT_EQ(s.species_counts, (std::vector<std::int32_t>{1, 2}));
    EXPECT_EQ(find_species_of_label(s, "O2"), 0);
    EXPECT_EQ(find_species_of_label(s, "Qq"), -1);
}

TEST(Geometry, InitialGeometryReplacesTheSupercellPositions) {
    ScopedWorkFolder folder;
    auto calc = calculation_with_p1(fcc_copper_p1, "1x1x1");
    std::ofstream("final.xyz") << "4\nthree header words\nCu 0.1 0 0\nNi 1.8 1.8 0\nCu 1.8 0 1.8\nCu 0 1.8 1.8\n";
    const GeometryRun run = run_geometry(*calc, "final.xyz");
    ASSERT_EQ(run.code, -1);
    const Structure& s = calc->structures[0];
    EXPECT_EQ(s.supercell_atoms[0].x, 0.1);
    EXPECT_EQ(s.supercell_atoms[1].label, "Ni");
    EXPECT_EQ(s.working_atoms[0].x, 0.1) << "images follow the new positions";
    EXPECT_EQ(s.species_labels, std::vector<std::string>{"Cu"}) << "species stay those of the structure file";
    EXPECT_EQ(find_species_of_label(s, "Ni"), -1);
}

TEST(Geometry, CommandLineFileIsNoGeometryWithMdOrSpectrum) {
    ScopedWorkFolder folder;
    for (const bool spectrum : {false, true}) {
        auto calc = calculation_with_p1(fcc_copper_p1, "1x1x1");
        calc->flags.md = !spectrum;
        calc->flags.spectrum = spectrum;
        const GeometryRun run = run_geometry(*calc, "trajectory_or_spectrum.dat");
        EXPECT_EQ(run.code, -1) << run.output;
        EXPECT_EQ(run.output.find("Initial geometry"), std::string::npos);
        EXPECT_EQ(calc->structures[0].atom_count, 4);
    }
}

TEST(Geometry, WrongGeometryFilesEndTheRun) {
    ScopedWorkFolder folder;
    const struct {
        const char* text;
        bool pbc;
        int code;
        const char* message;
    } cases[] = {
        {"5\na b c\nCu 0 0 0\n", true, 4, "ERROR: WRONG NUMBER OF ATOMS IN geometry.xyz\n"},
        {"4\na b c\nCu 0 0 0\nCu 1 1 1\n", true, 4, "ERROR: WRONG NUMBER OF ATOMS IN geometry.xyz\n"},
        {"0\na b c\n", false, 4, "ERROR: WRONG NUMBER OF ATOMS IN geometry.xyz\n"},
        {"3\na b c\nCu 0 0 0\nCu 1 x 1\nCu 2 2 2\n", false, 4, "ERROR: WRONG NUMBER OF ATOMS IN geometry.xyz\n"},
        {"2000000000\na b c\nCu 0 0 0\n", false, 4, "ERROR: WRONG NUMBER OF ATOMS IN geometry.xyz\n"},
        {"2\na b c\nCu 0 0 0\nCu 1e308 0 0\n", false, 4, "ERROR: VALUE 1e+308 IN FILE geometry.xyz CANNOT BE USED!\n"},
        {"4\na b c\nCu 0 0 0\nCu 0 0 -1e31\nCu 1 1 1\nCu 2 2 2\n", true, 4, "ERROR: VALUE -1e+31 IN FILE geometry.xyz CANNOT BE USED!\n"},
    };
    for (const auto& c : cases) {
        auto calc = calculation_with_p1(fcc_copper_p1, "1x1x1");
        calc->structure_parameters[0].bools[StructureBoolKey::pbc] = c.pbc;
        std::ofstream("geometry.xyz") << c.text;
        const GeometryRun run = run_geometry(*calc, "geometry.xyz");
        EXPECT_EQ(run.code, c.code) << c.text;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
    }
    auto calc = calculation_with_p1(fcc_copper_p1, "1x1x1");
    const GeometryRun missing = run_geometry(*calc, "absent.xyz");
    EXPECT_EQ(missing.code, 4);
    EXPECT_NE(missing.output.find("ERROR: FILE WITH STRUCTURE CANNOT BE OPENED! (absent.xyz: No such file or directory)\n"),
              std::string::npos);

    calc->parameters.ints[IntKey::Number_of_structures] = 2;
    std::ofstream("geometry.xyz") << "4\na b c\nCu 0 0 0\nCu 1 1 1\nCu 2 2 2\nCu 3 3 3\n";
    EXPECT_EQ(run_geometry(*calc, "geometry.xyz").code, 1);
}
