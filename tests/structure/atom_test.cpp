#include "structure/atom.hpp"
#include "structure/atom_io.hpp"
#include "structure/elements.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <vector>

TEST(AtomVectors, AnglesMeasureTheTurnOfTheDirectionOfTravel) {
    const Atom a{"Cu", 0, 0, 0}, b{"Cu", 1, 0, 0}, c{"Cu", 2, 0, 0}, side{"O", 1, 1, 0};
    EXPECT_EQ(angle_at_atom(a, b, c), 0.0);
    EXPECT_NEAR(angle_at_atom(a, b, a), 180.0, 1e-9) << "a path returning to its start turns fully";
    EXPECT_NEAR(angle_at_atom(a, b, side), 90.0, 1e-9);
    // Nearly parallel vectors whose cosine rounds above 1 are clamped, not turned into no number.
    EXPECT_EQ(angle_between_vectors({"", 1.1, 2.3, 0.7}, {"", 2.2, 4.6, 1.4}), 0.0);
}

TEST(AtomVectors, ZeroVectorHasNoDirection) {
    const Atom zero{"Fe", 0, 0, 0};
    const Atom unit = atom_unit_vector(zero);
    EXPECT_EQ(unit.label, "Fe");
    EXPECT_EQ(atom_norm(unit), 0.0);
    const Atom moved = atom_move_along({"O", 1, 2, 3}, zero, 5.0);
    EXPECT_EQ(moved.x, 1.0);
    EXPECT_EQ(moved.z, 3.0);
}

TEST(AtomVectors, DerivedVectorsLoseTheirLabels) {
    const Atom a{"Fe", 1, 0, 0}, b{"O", 0, 1, 0};
    const Atom cross = atom_cross(a, b);
    EXPECT_EQ(cross.label, "");
    EXPECT_EQ(cross.z, 1.0);
    const Atom rotated = atom_rotate_z(a, std::acos(-1.0) / 2);
    EXPECT_EQ(rotated.label, "");
    EXPECT_NEAR(rotated.y, 1.0, 1e-15);
    const Atom combination = atom_linear_combination(std::vector<Atom>{a, b}, std::vector<double>{2.0, 3.0});
    EXPECT_EQ(combination.label, "Fe");
    EXPECT_EQ(combination.x, 2.0);
    EXPECT_EQ(combination.y, 3.0);
}

TEST(AtomVectors, NearestAtomOfTheSameElementPrefersTheLowestIndex) {
    const std::vector<Atom> atoms{{"O", 1, 0, 0}, {"Fe2", 2, 0, 0}, {"Fe1", -2, 0, 0}, {"Fe", 0, 0, 3}};
    EXPECT_EQ(find_nearest_atom_of_element(atoms, {"Fe", 0, 0, 0}), 1);
    EXPECT_EQ(find_nearest_atom_of_element(atoms, {"Zn", 0, 0, 0}), -1);
    EXPECT_EQ(find_nearest_atom_of_element({}, {"Fe", 0, 0, 0}), -1);
    EXPECT_EQ(find_nearest_atom_of_element(std::vector<Atom>{{"Xx", 1, 0, 0}}, {"Qq", 0, 0, 0}), 0)
        << "unrecognised labels count as one element";
    EXPECT_EQ(find_nearest_atom_of_element(std::vector<Atom>{{"Fe", 2e6, 0, 0}}, {"Fe", 0, 0, 0}), -1);
}

TEST(AtomVectors, RmsDifferenceIsNotDividedByTheCount) {
    const std::vector<double> p{1, 2, 3}, q{1, 0, 3};
    EXPECT_EQ(rms_difference(p, q), 2.0);
    EXPECT_EQ(rms_difference({}, {}), 0.0);
}

TEST(ElementTable, LabelsNameTheirElementLongestSymbolFirst) {
    EXPECT_EQ(atomic_number_of_label("H"), 1);
    EXPECT_EQ(atomic_number_of_label("He"), 2);
    EXPECT_EQ(atomic_number_of_label("Cn"), 112);
    EXPECT_EQ(atomic_number_of_label("Uuo"), 118);
    EXPECT_EQ(atomic_number_of_label("Uux"), 92);
    EXPECT_EQ(atomic_number_of_label("Cu1"), 29);
    EXPECT_EQ(atomic_number_of_label("Co1"), 27);
    EXPECT_EQ(atomic_number_of_label("Ca"), 20);
    EXPECT_EQ(atomic_number_of_label("Cs"), 55);
    EXPECT_EQ(atomic_number_of_label("CO"), 6);
    EXPECT_EQ(atomic_number_of_label("Sn"), 50);
    EXPECT_EQ(atomic_number_of_label("Ow"), 8);
    EXPECT_EQ(atomic_number_of_label("Hw"), 1);
    EXPECT_EQ(atomic_number_of_label("fe"), 0);
    EXPECT_EQ(atomic_number_of_label("Xx"), 0);
    EXPECT_EQ(atomic_number_of_label(""), 0);
    EXPECT_EQ(element_symbol_of_label("Fe2+"), "Fe");
}

TEST(ElementTable, GreatestCommonDivisor) {
    EXPECT_EQ(gcd(0, 7), 7);
    EXPECT_EQ(gcd(4, 6), 2);
    EXPECT_EQ(gcd(6, 4), 2);
    EXPECT_EQ(gcd(16, 24), 8);
}

TEST(AtomLines, FormatsAreExactNamesAndUseTheStreamsNumberFormat) {
    const Atom atom{"Fe", 1.5, -2, 0.25};
    std::ostringstream out;
    write_atom(atom, "Fe", out, "GULP");
    write_atom(atom, "Fe", out, "feff ");
    EXPECT_EQ(out.str(), "");
    write_atom(atom, "X", out, "gulp");
    write_atom(atom, "Fe", out, "feff");
    write_atom(atom, "Fe", out, "no_new_line");
    write_atom(atom, "Fe", out, "no_new_line");
    write_atom_feff_ipot(atom, 2, out, "feff");
    write_atom_feff_ipot_tagged(atom, 0, "absorber", out, "feff");
    EXPECT_EQ(out.str(),
              "X 1.5 -2 0.25\n1.5 -2 0.25 Fe\nFe 1.5 -2 0.25 Fe 1.5 -2 0.25 1.5 -2 0.25 2 Fe\n"
              "1.5 -2 0.25 0 absorber\n");
}

TEST(AtomLines, ReadingTakesTokensAcrossLinesAndScales) {
    std::istringstream in("Fe 1\n 2 3\n26 5 1.0 2.0 3.0\n7 8 9\n");
    Atom atom;
    read_atom(atom, in, "gulp", 2.0);
    EXPECT_EQ(atom.label, "Fe");
    EXPECT_EQ(atom.z, 6.0);
    read_atom_unscaled(atom, in, "gulpmc");
    EXPECT_EQ(atom.label, "Fe");
    EXPECT_EQ(atom.x, 1.0);
    atom.label = "O";
    read_atom_unscaled(atom, in, "nolabel");
    EXPECT_EQ(atom.label, "O");
    EXPECT_EQ(atom.y, 8.0);
    read_atom_unscaled(atom, in, "gulp");
    EXPECT_FALSE(in) << "the end of the atoms leaves the stream failed";

    std::istringstream bad_z("200 1 0 0 0");
    read_atom_unscaled(atom, bad_z, "gulpmc");
    EXPECT_FALSE(bad_z);
}
