#include "structure/geometry.hpp"
#include "structure/periodic_images.hpp"
#include "structure/structure.hpp"
#include "structure/supercell.hpp"
#include "structure_fixture.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <tuple>

namespace {

struct Built {
    std::unique_ptr<Calculation> calc;
    std::string output;
    int code;
    Structure& structure() { return calc->structures[0]; }
};

Built build(const std::string& p1_text, const std::string& supercell, double scale = 1.0,
            const std::string& absorber = "Cu") {
    Built built{calculation_with_p1(p1_text, supercell), "", -1};
    built.calc->spectrum_parameters[0].strings[SpectrumStringKey::Edge] = absorber;
    built.calc->structure_parameters[0].doubles[StructureDoubleKey::Scale_coordinates_by] = scale;
    CaptureStdout capture;
    built.code = exit_code_of([&] { build_geometry(*built.calc, ""); });
    built.output = capture.text();
    return built;
}

}  // namespace

TEST(StructureLoading, FccCopperHasTwelveNearestAndSixNextNeighbours) {
    ScopedWorkFolder folder;
    Built built = build(fcc_copper_p1, "2x2x2");
    ASSERT_EQ(built.code, -1);
    EXPECT_EQ(built.output,
              "-----------------------------------------------------------\n"
              "                         STRUCTURE # 0\n"
              "                         4 atoms in the unit cell\n"
              "                         2 x 2 x 2 supercell\n"
              "                         32 atoms in the supercell\n"
              "-----------------------------------------------------------\n");
    const Structure& s = built.structure();
    EXPECT_EQ(s.atom_count, 32);
    EXPECT_EQ(s.working_count, 27 * 32);
    EXPECT_DOUBLE_EQ(s.basis.x, 3.61);
    EXPECT_DOUBLE_EQ(s.supercell_lengths[2], 7.22);
    const double nearest = 3.61 / std::sqrt(2.0);
    for (int centre : {0, 13, 31}) {
        EXPECT_EQ(neighbours_between(s, centre, nearest - 0.01, nearest + 0.01), 12) << centre;
        EXPECT_EQ(neighbours_between(s, centre, 3.60, 3.62), 6) << centre;
    }
    EXPECT_EQ(s.species_labels, std::vector<std::string>{"Cu"});
    EXPECT_EQ(s.species_counts, std::vector<std::int32_t>{1});
    EXPECT_EQ(s.species_z, std::vector<std::int32_t>{29});
}

TEST(StructureLoading, BccIronHasEightNearestNeighbours) {
    ScopedWorkFolder folder;
    Built built = build("Fe bcc\n1.0\n2.8665 0 0\n0 2.8665 0\n0 0 2.8665\nFe\n2\nDirect\n0 0 0 Fe\n0.5 0.5 0.5 Fe\n",
                        "3x3x3", 1.0, "Fe");
    const Structure& s = built.structure();
    ASSERT_EQ(s.atom_count, 54);
    const double nearest = 2.8665 * std::sqrt(3.0) / 2;
    EXPECT_EQ(neighbours_between(s, 0, nearest - 0.01, nearest + 0.01), 8);
    EXPECT_EQ(neighbours_between(s, 1, 2.86, 2.87), 6);
}

TEST(StructureLoading, HexagonalMagnesiumKeepsTwelveNeighboursInASkewCell) {
    ScopedWorkFolder folder;
    const double a = 3.21, c = 5.21;
    std::ostringstream p1;
    p1 << "Mg hcp\n1.0\n" << a << " 0 0\n" << -a / 2 << ' ' << a * std::sqrt(3.0) / 2 << " 0\n0 0 " << c
       << "\nMg\n2\nDirect\n0.333333333 0.666666667 0.25 Mg\n0.666666667 0.333333333 0.75 Mg\n";
    Built built = build(p1.str(), "3x3x2", 1.0, "Mg");
    const Structure& s = built.structure();
    ASSERT_EQ(s.atom_count, 36);
    const double out_of_plane = std::sqrt(a * a / 3 + c * c / 4);
    EXPECT_EQ(neighbours_between(s, 0, a - 0.001, a + 0.001), 6);
    EXPECT_EQ(neighbours_between(s, 0, out_of_plane - 0.001, out_of_plane + 0.001), 6);
    EXPECT_EQ(neighbours_between(s, 0, 0.1, std::min(a, out_of_plane) - 0.01), 0);
}

TEST(StructureLoading, ScaleAppliesToDirectAndCartesianFiles) {
    ScopedWorkFolder folder;
    Built direct = build("t\n1\n4 0 0\n0 4 0\n0 0 4\nFe\n1\nDirect\n0.5 0 0 Fe\n", "1x1x1", 2.0, "Fe");
    EXPECT_DOUBLE_EQ(direct.structure().supercell_atoms[0].x, 4.0);
    EXPECT_DOUBLE_EQ(direct.structure().basis.x, 8.0);
    EXPECT_DOUBLE_EQ(direct.structure().unit_cell_atoms[0].x, 0.5) << "unit cell keeps fractional coordinates";

    Built lower = build("t\n1\n4 0 0\n0 4 0\n0 0 4\nFe\n1\ndirect\n0.5 0 0 Fe\n", "1x1x1", 2.0, "Fe");
    EXPECT_DOUBLE_EQ(lower.structure().supercell_atoms[0].x, 1.0) << "only \"Direct\" means fractional";
}

TEST(StructureLoading, AtomListEndsAtTheFirstLineThatIsNoAtom) {
    ScopedWorkFolder folder;
    Built built = build("t\n1\r\n4 0 0\r\n0 4 0\r\n0 0 4\r\nFe O\r\n1 1\r\nCartesian\r\n0 0 0 Fe extra words\r\n"
                        "1 1 1 O\r\n\r\n2 2 2 O\r\n",
                        "1x1x1", 1.0, "Fe");
    EXPECT_EQ(built.structure().unit_cell_count, 2);
    EXPECT_EQ(built.structure().supercell_atoms[1].label, "O");
}

TEST(StructureLoading, LinesOfThousandsOfCharactersAreReadWhole) {
    ScopedWorkFolder folder;
    Built built = build(std::string(5000, 't') + "\n1\n4 0 0\n0 4 0\n0 0 4 " + std::string(3000, ' ') + "\nFe O\n1 1\n"
                            "Cartesian\n0 0 0 Fe " + std::string(4000, 'x') + "\n1 1 1 O\n",
                        "1x1x1", 1.0, "Fe");
    ASSERT_EQ(built.code, -1) << built.output;
    EXPECT_EQ(built.structure().unit_cell_count, 2);
    EXPECT_EQ(built.structure().supercell_atoms[1].label, "O");
}

TEST(StructureLoading, SpeciesCountsReduceToAFormula) {
    ScopedWorkFolder folder;
    std::string p1 = "t\n1\n10 0 0\n0 10 0\n0 0 10\nFe O\n4 6\nCartesian\n";
    for (int i = 0; i < 4; ++i) p1 += std::to_string(i) + " 0 0 Fe" + std::to_string(i % 2 + 1) + "\n";
    for (int i = 0; i < 6; ++i) p1 += std::to_string(i) + " 5 0 O\n";
    Built by_label = build(p1, "1x1x1", 1.0, "O");
    EXPECT_EQ(by_label.structure().species_labels, (std::vector<std::string>{"Fe1", "Fe2", "O"}));
    EXPECT_EQ(by_label.structure().species_counts, (std::vector<std::int32_t>{1, 1, 3}));

    auto calc = calculation_with_p1(p1, "1x1x1");
    calc->spectrum_parameters[0].strings[SpectrumStringKey::Edge] = "O";
    calc->structure_parameters[0].bools[StructureBoolKey::labels_to_element_name] = true;
    CaptureStdout capture;
    build_geometry(*calc, "");
    EXPECT_EQ(calc->structures[0].species_labels, (std::vector<std::string>{"Fe", "O"}));
    EXPECT_EQ(calc->structures[0].species_counts, (std::vector<std::int32_t>{2, 3}));
}

TEST(StructureLoading, BadFilesEndTheRunWithAClearError) {
    ScopedWorkFolder folder;
    const struct {
        const char* p1;
        const char* supercell;
        bool to_element;
        int code;
        const char* message;
    } cases[] = {
        {"t\n1\n4 0 0\n0 4 0\n0 0 4\nFe\n1\nDirect\n", "4x4x4", false, 4, "ERROR: NO ATOMS FOUND IN STRUCTURE FILE"},
        {fcc_copper_p1, "0x2x2", false, 1, "ERROR: WRONG SUPERCELL SIZE 0x2x2!"},
        {fcc_copper_p1, "2x65536x2", false, 1, "ERROR: SUPERCELL 2x65536x2 HOLDS 1048576 ATOMS, MORE THAN THE LIMIT OF 50000!\n"},
        {fcc_copper_p1, "23x23x24", false, 1, "ERROR: SUPERCELL 23x23x24 HOLDS 50784 ATOMS, MORE THAN THE LIMIT OF 50000!\n"},
        {fcc_copper_p1, "99999999999", false, 1,
         "ERROR: SUPERCELL 99999999999 HOLDS 4e+33 ATOMS, MORE THAN THE LIMIT OF 50000!\n"},
        {fcc_copper_p1, "50001x0", false, 1, "ERROR: SUPERCELL 50001x0 ASKS FOR 50001 ATOMS, MORE THAN THE LIMIT OF 50000!\n"},
        {fcc_copper_p1, "49999x0", false, 1, "ERROR: SUPERCELL 49999x0 HOLDS 50784 ATOMS, MORE THAN THE LIMIT OF 50000!\n"},
        {"t\n1\n4 0 0\n0 4 0\n0 0 4\nQ\n1\nDirect\n0 0 0 Qq\n", "1x1x1", true, 5, "ERROR: UNIDENTIFIED ATOM LABEL!"},
        // Values that overflow where they are used: in the cell's length, or in a distance.
        {"t\n1\n1e308 0 0\n0 4 0\n0 0 4\nCu\n1\nDirect\n0 0 0 Cu\n", "1x1x1", false, 4,
         "ERROR: VALUE 1e+308 IN FILE model.p1 CANNOT BE USED!\n"},
        {"t\n1\n4 0 0\n0 4 0\n0 0 4\nCu\n2\nCartesian\n0 0 0 Cu\n0 -1e308 0 Cu\n", "1x1x1", false, 4,
         "ERROR: VALUE -1e+308 IN FILE model.p1 CANNOT BE USED!\n"},
        {"t\n1\n1e25 0 0\n0 4 0\n0 0 4\nCu\n1\nDirect\n1e10 0 0 Cu\n", "1x1x1", false, 4,
         "ERROR: SCALED VALUE 1e+35 FROM FILE model.p1 CANNOT BE USED!\n"},
    };
    for (const auto& c : cases) {
        auto calc = calculation_with_p1(c.p1, c.supercell);
        calc->structure_parameters[0].bools[StructureBoolKey::labels_to_element_name] = c.to_element;
        CaptureStdout capture;
        EXPECT_EQ(exit_code_of([&] { build_geometry(*calc, ""); }), c.code) << c.supercell;
        EXPECT_NE(capture.text().find(c.message), std::string::npos) << capture.text();
    }
    auto missing = calculation_with_p1("", "1x1x1");
    missing->structure_parameters[0].strings[StructureStringKey::File_with_structure] = "absent.p1";
    CaptureStdout capture;
    EXPECT_EQ(exit_code_of([&] { build_geometry(*missing, ""); }), 4);
    EXPECT_EQ(capture.text(), "ERROR: FILE WITH STRUCTURE CANNOT BE OPENED! (absent.p1: No such file or directory)\n");
}

TEST(StructureLoading, AtomsOnOneSiteAreNamedAndKept) {
    ScopedWorkFolder folder;
    Built plain = build(fcc_copper_p1, "1x1x1");
    EXPECT_EQ(plain.output.find("SHARE ONE SITE"), std::string::npos) << plain.output;

    // A line written twice, and a fractional 1 that is the 0 of the next cell.
    Built doubled = build("t\n1\n3.61 0 0\n0 3.61 0\n0 0 3.61\nCu\n6\nDirect\n0 0 0 Cu\n0.5 0.5 0 Cu\n0.5 0 0.5 Cu\n"
                          "0 0.5 0.5 Cu\n0.5 0.5 0 Cu\n1 0 0.999999 Cu\n",
                          "1x1x1");
    ASSERT_EQ(doubled.code, -1) << doubled.output;
    EXPECT_NE(doubled.output.find("WARNING: ATOMS 1 (Cu) AND 6 (Cu) OF STRUCTURE FILE model.p1 SHARE ONE SITE, AND 1 "
                                  "MORE PAIRS: paths between them have no length\n"),
              std::string::npos)
        << doubled.output;
    EXPECT_EQ(doubled.structure().unit_cell_count, 6);

    // Cartesian files are not wrapped: 0 and the cell length are distinct positions there.
    Built cartesian = build("t\n1\n4 0 0\n0 4 0\n0 0 4\nFe\n3\nCartesian\n0 0 0 Fe\n4 0 0 Fe\n1 1 1 Fe\n", "1x1x1",
                            1.0, "Fe");
    EXPECT_EQ(cartesian.output.find("SHARE ONE SITE"), std::string::npos) << cartesian.output;
}

TEST(Supercell, SizesBelowOneThatTurnIntoTargetsAreNamed) {
    ScopedWorkFolder folder;
    Built none = build(fcc_copper_p1, "0x0x0");
    ASSERT_EQ(none.code, -1) << none.output;
    EXPECT_NE(none.output.find("WARNING: SUPERCELL 0x0x0 ASKS FOR NO ATOMS: THE UNIT CELL IS USED ALONE (1 x 1 x 1)\n"),
              std::string::npos)
        << none.output;
    EXPECT_EQ(none.structure().atom_count, 4);
    Built partial = build(fcc_copper_p1, "4x4x0");
    EXPECT_NE(partial.output.find("WARNING: SUPERCELL 4x4x0 HAS A SIZE BELOW 1: IT IS READ AS A TARGET OF 4 ATOMS\n"),
              std::string::npos)
        << partial.output;
    // The documented target forms say nothing.
    for (const char* quiet : {"32x0x0", "32", "2x2x2"}) {
        Built built = build(fcc_copper_p1, quiet);
        EXPECT_EQ(built.output.find("WARNING"), std::string::npos) << quiet << "\n" << built.output;
    }
}

TEST(Supercell, SizeTextsParseAsSizesOrTargets) {
    auto calc = std::make_unique<Calculation>();
    set_parameter_defaults(*calc);
    Structure structure;
    structure.parameters = &calc->structure_parameters[0];
    const std::pair<const char*, std::array<std::int32_t, 3>> cases[] = {
        {"4x4x4", {4, 4, 4}}, {"2x3x1", {2, 3, 1}}, {"6x2", {6, 2, 2}}, {"500", {500, 500, 500}},
        {"500x0", {500, 0, 0}}, {"500x0x0", {500, 0, 0}}, {" 3x 2xq", {3, 2, 0}},
    };
    for (const auto& [text, expected] : cases) {
        structure.parameters->strings[StructureStringKey::Supercell] = text;
        parse_supercell_spec(structure);
        EXPECT_EQ(structure.supercell_size, expected) << text;
    }
}

TEST(Supercell, TargetCountGrowsTheShortestSideAWinningTies) {
    auto calc = std::make_unique<Calculation>();
    set_parameter_defaults(*calc);
    Structure structure;
    structure.parameters = &calc->structure_parameters[0];
    structure.unit_cell_count = 10;
    atom_set(structure.basis, "basis", 1.0, 1.0, 1.0);
    structure.supercell_size = {100, 0, 0};
    EXPECT_EQ(choose_supercell_size(structure), (std::array<std::int32_t, 3>{3, 2, 2}));
    structure.supercell_size = {10, 0, 0};
    EXPECT_EQ(choose_supercell_size(structure), (std::array<std::int32_t, 3>{1, 1, 1}));
    atom_set(structure.basis, "basis", 4.0, 1.0, 2.0);
    structure.supercell_size = {80, 0, 0};
    EXPECT_EQ(choose_supercell_size(structure), (std::array<std::int32_t, 3>{1, 4, 2}));
}

TEST(Supercell, AtomsAreNumberedCellByCellWithTheirTranslations) {
    ScopedWorkFolder folder;
    Built built = build(fcc_copper_p1, "1x2x3");
    const Structure& s = built.structure();
    // Atom m belongs to cell ((ia*nb + ib)*nc + ic) and is unit-cell atom m mod 4.
    const int m = ((0 * 2 + 1) * 3 + 2) * 4 + 1;
    EXPECT_DOUBLE_EQ(s.cell_translations[m].y, 3.61);
    EXPECT_DOUBLE_EQ(s.cell_translations[m].z, 7.22);
    EXPECT_DOUBLE_EQ(s.supercell_atoms[m].x, 1.805);
    EXPECT_DOUBLE_EQ(s.supercell_atoms[m].y, 3.61 + 1.805);
    EXPECT_DOUBLE_EQ(s.supercell_atoms[m].z, 7.22);
}

namespace {

Built build_doped(double level, const std::array<std::int32_t, 4>& seed, const std::string& doping = "Cu>Ni") {
    Built built{calculation_with_p1(fcc_copper_p1, "4x4x4"), "", -1};
    Calculation& calc = *built.calc;
    calc.structure_parameters[0].strings[StructureStringKey::Doping] = doping;
    calc.structure_parameters[0].doubles[StructureDoubleKey::Doping_level] = level;
    for (int i = 0; i < 4; ++i) calc.parameters.ints[IntKey::MT_seed_first + i] = seed[i];
    seed_random_generator(calc);
    CaptureStdout capture;
    built.code = exit_code_of([&] { build_geometry(calc, ""); });
    built.output = capture.text();
    return built;
}

std::set<int> doped_atoms(const Structure& s) {
    std::set<int> doped;
    for (int i = 0; i < s.atom_count; ++i) {
        if (s.supercell_atoms[i].label == "Ni") doped.insert(i);
    }
    return doped;
}

}  // namespace

TEST(Doping, CountFollowsTheLevelWithAtLeastOneAndOneLeft) {
    ScopedWorkFolder folder;
    const std::array<std::int32_t, 4> seed{291, 564, 837, 1110};
    const std::pair<double, std::size_t> cases[] = {{0.25, 64}, {0.001, 1}, {1.0, 255}};
    for (const auto& [level, expected] : cases) {
        Built built = build_doped(level, seed);
        EXPECT_EQ(doped_atoms(built.structure()).size(), expected) << level;
        EXPECT_NE(built.output.find("                         " + std::to_string(expected) +
                                    " Cu will be replaced with Ni\n-----"),
                  std::string::npos);
    }
    Built built = build_doped(0.5, seed);
    EXPECT_EQ(built.structure().species_labels, (std::vector<std::string>{"Cu", "Ni"}));
    EXPECT_EQ(built.structure().unit_cell_atoms[0].label, "Cu") << "the unit cell is not doped";

    Built none = build_doped(0.5, seed, "Zn>Ni");
    EXPECT_NE(none.output.find("                         -1 Zn will be replaced with Ni\n"), std::string::npos);
    Built off = build_doped(-1.0, seed);
    EXPECT_EQ(off.output.find("replaced"), std::string::npos);
}

TEST(Doping, TheSeedReproducesTheDopedSitesAndDopingDrawsFirst) {
    ScopedWorkFolder folder;
    const std::array<std::int32_t, 4> seed{291, 564, 837, 1110};
    Built first = build_doped(0.1, seed);
    Built again = build_doped(0.1, seed);
    Built other = build_doped(0.1, {1, 2, 3, 4});
    EXPECT_EQ(doped_atoms(first.structure()), doped_atoms(again.structure()));
    EXPECT_NE(doped_atoms(first.structure()), doped_atoms(other.structure()));

    Built single = build_doped(0.001, seed);
    const int expected_site = static_cast<int>(0.2485689006280154 * 256);
    EXPECT_EQ(doped_atoms(single.structure()), (std::set<int>{expected_site}));
    EXPECT_EQ(uniform_random(*single.calc), 955945823.0 / 4294967296.0) << "one draw was used";
}

TEST(PeriodicImages, WorkingListHoldsAllImagesInTheirOrder) {
    ScopedWorkFolder folder;
    Built built = build(fcc_copper_p1, "1x1x1");
    const Structure& s = built.structure();
    ASSERT_EQ(s.working_count, 27 * 4);
    const auto images = make_periodic_images(s.faces, s.supercell_atoms[2]);
    for (int r = 0; r < image_count; ++r) {
        const Atom& entry = s.working_atoms[4 + 26 * 2 + r];
        EXPECT_EQ(s.working_source[4 + 26 * 2 + r], 2);
        EXPECT_EQ(entry.x, images[r].x);
        EXPECT_EQ(entry.label, "Cu");
    }
    // The images of the origin are the 26 points with coordinates in {-S, 0, S}, not all zero.
    std::set<std::tuple<long, long, long>> points;
    for (const Atom& image : make_periodic_images(s.faces, {"Cu", 0, 0, 0})) {
        points.insert({std::lround(image.x / 3.61), std::lround(image.y / 3.61), std::lround(image.z / 3.61)});
    }
    EXPECT_EQ(points.size(), 26u);
    EXPECT_EQ(points.count({0, 0, 0}), 0u);
    const auto first = make_periodic_images(s.faces, {"", 0, 0, 0});
    EXPECT_NEAR(first[0].z, -3.61, 1e-12) << "the first image crosses face 0, along -c";
    EXPECT_NEAR(first[18].x, -3.61, 1e-12);  // first triple shift: faces 2, 1, 0
    EXPECT_NEAR(first[18].y, -3.61, 1e-12);
}

TEST(PeriodicImages, SelectionKeepsImagesWithinTheCutoff) {
    ScopedWorkFolder folder;
    Built built = build(fcc_copper_p1, "2x2x2");
    const Structure& s = built.structure();
    std::vector<Atom> kept;
    EXPECT_EQ(select_images_inside_cell(s.faces, make_periodic_images(s.faces, {"", 3.61, 3.61, 3.61}), kept, 3.0), 0);
    const auto corner = make_periodic_images(s.faces, {"", 0, 0, 0});
    EXPECT_EQ(select_images_inside_cell(s.faces, corner, kept, 3.0), 7);
    for (const Atom& image : kept) {
        EXPECT_GE(image.x, -1e-9);
        EXPECT_GE(image.y, -1e-9);
    }

    EXPECT_EQ(signed_distance_to_face(s.faces[3], {"", 1, 1, 0}, s.faces[3].direction), 0.0);
    EXPECT_NEAR(signed_distance_to_face(s.faces[0], {"", 1, 1, 1}, s.faces[0].direction), 6.22, 1e-12);
}

TEST(PeriodicImages, WithoutPeriodicBoundariesTheWorkingListIsTheSupercell) {
    ScopedWorkFolder folder;
    auto calc = calculation_with_p1(fcc_copper_p1, "2x1x1");
    calc->structure_parameters[0].bools[StructureBoolKey::pbc] = false;
    CaptureStdout capture;
    build_geometry(*calc, "");
    Structure& s = calc->structures[0];
    EXPECT_EQ(s.working_count, 8);
    build_periodic_images(s, true);
    EXPECT_EQ(s.working_count, 8);
    EXPECT_EQ(s.working_source[7], 7);
}

TEST(PeriodicImages, RescalingStretchesTheSupercellAndSelectsImages) {
    ScopedWorkFolder folder;
    Built built = build(fcc_copper_p1, "2x2x2");
    Structure& s = built.structure();
    rescale_structure(s, {"", 3.7, 3.61, 3.61}, {"", 3.61, 3.61, 3.61});
    EXPECT_DOUBLE_EQ(s.supercell_lengths[0], 7.4);
    EXPECT_DOUBLE_EQ(s.supercell_atoms[1].x, 1.85);
    EXPECT_LT(s.working_count, 27 * 32);
    EXPECT_GT(s.working_count, 32);
}

// A restart loaded in a fresh run rescales from lengths that were never set.
TEST(PeriodicImages, RescalingFromAnUnsetOrUnchangedLengthKeepsThatAxis) {
    ScopedWorkFolder folder;
    Built built = build(fcc_copper_p1, "2x2x2");
    Structure& s = built.structure();
    const Atom before = s.supercell_atoms[1];
    rescale_structure(s, {"", 3.7, 3.61, 3.61}, {"", 0.0, -1.0, 3.61});
    EXPECT_EQ(s.supercell_lengths[0], 7.22);
    EXPECT_EQ(s.supercell_atoms[1].x, before.x);
    EXPECT_EQ(s.supercell_atoms[1].y, before.y);
    EXPECT_EQ(s.supercell_atoms[1].z, before.z);
}
