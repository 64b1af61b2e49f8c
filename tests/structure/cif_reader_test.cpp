#include "structure/cif_reader.hpp"

#include "control/record_parameters.hpp"
#include "structure/structure.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

// Pm-3m: every permutation of the axes with every choice of signs, `shift` appended to the items.
std::vector<std::string> cubic_operations(const std::array<const char*, 3>& shift = {"", "", ""}) {
    std::vector<std::string> operations;
    std::array<int, 3> axes{0, 1, 2};
    do {
        for (int signs = 0; signs < 8; ++signs) {
            std::string operation;
            for (std::size_t i = 0; i < 3; ++i) {
                operation += std::string(i > 0 ? ", " : "") + ((signs >> i) & 1 ? "-" : "") + "xyz"[axes[i]] + shift[i];
            }
            operations.push_back(operation);
        }
    } while (std::next_permutation(axes.begin(), axes.end()));
    return operations;
}

const std::vector<std::string> hcp_operations = {
    "x,y,z",    "-y,x-y,z",  "-x+y,-x,z",  "-x,-y,z+1/2",  "y,-x+y,z+1/2",  "x-y,x,z+1/2",
    "y,x,-z",   "x-y,-y,-z", "-x,-x+y,-z", "-y,-x,-z+1/2", "-x+y,y,-z+1/2", "x,x-y,-z+1/2",
    "-x,-y,-z", "y,-x+y,-z", "x-y,x,-z",   "x,y,-z+1/2",   "-y,x-y,-z+1/2", "-x+y,-x,-z+1/2",
    "-y,-x,z",  "-x+y,y,z",  "x,x-y,z",    "y,x,z+1/2",    "x-y,-y,z+1/2",  "-x,-x+y,z+1/2"};

// Single items, then the quoted operations, then sites (label, symbol, x, y, z, occupancy).
std::string cif_text(const std::string& cell, const std::vector<std::string>& operations, const std::string& sites) {
    std::istringstream values(cell);
    std::ostringstream out;
    out << "data_test\n_chemical_formula_sum 'A B'\n";
    for (std::string value;
         const char* tag : {"length_a", "length_b", "length_c", "angle_alpha", "angle_beta", "angle_gamma"}) {
        if (values >> value) out << "_cell_" << tag << ' ' << value << '\n';
    }
    out << "loop_\n_space_group_symop_id\n_space_group_symop_operation_xyz\n";
    for (std::size_t i = 0; i < operations.size(); ++i) out << i + 1 << " '" << operations[i] << "'\n";
    out << "loop_\n_atom_site_label\n_atom_site_type_symbol\n_atom_site_fract_x\n_atom_site_fract_y\n"
        << "_atom_site_fract_z\n_atom_site_occupancy\n"
        << sites;
    return out.str();
}

std::string read_text(const std::string& name) {
    std::ostringstream text;
    text << std::ifstream(name).rdbuf();
    return text.str();
}

std::vector<Atom> p1_atoms(const std::string& p1) {
    const auto direct = p1.find("Direct\n");
    std::istringstream in(direct == std::string::npos ? "" : p1.substr(direct + 7));
    std::vector<Atom> atoms;
    for (Atom atom; in >> atom.x >> atom.y >> atom.z >> atom.label;) atoms.push_back(atom);
    return atoms;
}

class CifTest : public ::testing::Test {
protected:
    CifTest() {
        set_structure_parameter_defaults(parameters_);
        structure_.parameters = &parameters_;
    }

    // Exit code (-1 when the conversion returned); the console text is kept in console_.
    int convert(const std::string& text, const std::string& name = "model.cif") {
        std::ofstream("model.cif", std::ios::binary) << text;
        parameters_.strings[StructureStringKey::File_with_structure] = name;
        CaptureStdout capture;
        const int code = exit_code_of([&] { convert_cif_to_p1(structure_); });
        console_ = capture.text();
        return code;
    }

    // The P1 text written for a file that must convert.
    std::string converted(const std::string& text) {
        EXPECT_EQ(convert(text), -1) << console_;
        return read_text("temp_P1.p1");
    }

    ScopedWorkFolder folder_;
    StructureParameters parameters_;
    Structure structure_;
    std::string console_;
};

const std::string cubic_cell = "4 4 4 90 90 90";
const std::string iron_site = "Fe1 Fe 0 0 0 1\n";

}  // namespace

TEST(SymmetryExpression, ArithmeticPrecedenceAndWrappingIntoHalfOpenInterval) {
    EXPECT_NEAR(evaluate_symmetry_expression("-x+1/2", 0.2, 0, 0), 0.3, 1e-12);
    EXPECT_NEAR(evaluate_symmetry_expression("x+1/2-y", 0.1, 0.3, 0), 0.3, 1e-12);
    EXPECT_EQ(evaluate_symmetry_expression("1/2+x", 0.2, 0, 0), evaluate_symmetry_expression("x+1/2", 0.2, 0, 0));
    EXPECT_NEAR(evaluate_symmetry_expression("2*Z/4+0.1", 0, 0, 0.5), 0.35, 1e-12);
    EXPECT_NEAR(evaluate_symmetry_expression("x+1/2", 0.7, 0, 0), 0.2, 1e-12);
    EXPECT_EQ(evaluate_symmetry_expression("x+1/2", 0.5, 0, 0), 0.0);
    // 1 - 1e-18 rounds to 1, which must still come back as 0.
    EXPECT_EQ(evaluate_symmetry_expression("-x", 1e-18, 0, 0), 0.0);
}

TEST(SymmetryOperation, ItemsIgnoreQuotesAndWhitespace) {
    for (const char* text : {"'x, y, z'", "x,y,z", "\"x,\ty ,z\"", " x , y , z "}) {
        for (int i = 0; i < 3; ++i) EXPECT_EQ(symmetry_operation_item(text, i), std::string(1, "xyz"[i])) << text;
    }
}

TEST(SymmetryOperation, MalformedOperationsEndTheRun) {
    for (const char* text :
         {"'x, y'", "x,y,z,1", "''", "2x,y,z", "x+,y,z", ",y,z", "x/0,y,z", "a+1/2,y,z", "x*-1,y,z"}) {
        CaptureStdout capture;
        EXPECT_EQ(exit_code_of([&] { apply_symmetry_operation(Atom{"A", 0.1, 0.2, 0.3}, text); }), 4) << text;
        EXPECT_EQ(capture.text().rfind("ERROR", 0), 0u) << text;
    }
}

TEST_F(CifTest, SmallFileGivesExactP1TextWhateverItsLayout) {
    const std::string expected =
        " 'A B'\n1.0\n3.000000000 0.000000000 0.000000000\n-1.500000000 2.598076211 0.000000000\n"
        "0.000000000 0.000000000 5.000000000\nCs1 Cl1 \n1 1 \nDirect\n"
        "0.000000000 0.000000000 0.000000000 Cs1\n0.500000000 0.500000000 0.500000000 Cl1\n";
    EXPECT_EQ(converted(cif_text("3 3 5 90 90 120", {"x, y, z", "-x, -y, -z"}, "Cs1 Cs 0 0 0 1\nCl1 Cl .5 .5 .5 1\n")),
              expected);
    // CRLF, tabs, the older operation tag, unquoted upper-case operations and uncertainties in brackets.
    EXPECT_EQ(converted("data_test\r\n_chemical_formula_sum 'A B'\r\n_cell_length_a 3.000(2)\r\n_cell_length_b\t3\r\n"
                        "_cell_length_c 5\r\n_cell_angle_alpha 90.0(0)\r\n_cell_angle_beta 90\r\n"
                        "_cell_angle_gamma 120\r\nloop_\r\n_symmetry_equiv_pos_site_id\r\n"
                        "_symmetry_equiv_pos_as_xyz\r\n1\tx,y,z\r\n2 -X, -Y, -Z\r\nloop_\r\n_atom_site_label\r\n"
                        "_atom_site_fract_x\r\n_atom_site_fract_y\r\n_atom_site_fract_z\r\n"
                        "Cs1\t0(0)\t0\t0\r\nCl1 0.5 0.50(1) 0.5\r\n"),
              expected);
}

TEST_F(CifTest, SymmetryImagesWithinToleranceMergeIntoOneAtom) {
    const std::string perovskite = converted(cif_text("3.905 3.905 3.905 90 90 90", cubic_operations(),
                                                      "Sr1 Sr 0 0 0 1\nTi1 Ti 0.5 0.5 0.5 1\nO1 O 0 0.5 0.5 1\n"));
    EXPECT_NE(perovskite.find("\nSr1 Ti1 O1 \n1 1 3 \nDirect\n"), std::string::npos) << perovskite;

    std::vector<std::string> fm3m;  // Pm-3m with each face-centring translation
    for (const auto& shift : std::vector<std::array<const char*, 3>>{
             {"", "", ""}, {"", "+1/2", "+1/2"}, {"+1/2", "", "+1/2"}, {"+1/2", "+1/2", ""}}) {
        const auto part = cubic_operations(shift);
        fm3m.insert(fm3m.end(), part.begin(), part.end());
    }
    std::map<std::string, int> counts;
    for (const auto& atom :
         p1_atoms(converted(cif_text("5.64 5.64 5.64 90 90 90", fm3m, "Na1 Na 0 0 0 1\nCl1 Cl 0.5 0.5 0.5 1\n")))) {
        ++counts[atom.label];
        EXPECT_TRUE(atom.x >= 0 && atom.x < 1 && atom.y >= 0 && atom.y < 1 && atom.z >= 0 && atom.z < 1);
    }
    EXPECT_EQ(counts, (std::map<std::string, int>{{"Cl1", 4}, {"Na1", 4}}));

    const std::string hcp_site = "Mg1 Mg 0.3333 0.6667 0.25 1\n";  // thirds to four decimals
    const auto magnesium = p1_atoms(converted(cif_text("3.2094 3.2094 5.2108 90 90 120", hcp_operations, hcp_site)));
    ASSERT_EQ(magnesium.size(), 2u);
    EXPECT_NEAR(magnesium[1].x, 0.6667, 1e-9);
}

TEST_F(CifTest, LoopsEndAtSingleItemsAndCommentsAndTextFieldsAreSkipped) {
    const std::string p1 = converted(
        "data_test # loop_\n_publ_section_abstract\n;\nloop_\n_atom_site_fract_x\n0.9 0.9\n;\n"
        "loop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n"
        "Fe1 0 0 0\n# the sites end here\n_cell_length_a 2.87\n_cell_length_b 2.87\n_cell_length_c 2.87\n"
        "_cell_angle_alpha 90\n_cell_angle_beta 90\n_cell_angle_gamma 90\n"
        "loop_\n_space_group_symop_operation_xyz\n'x, y, z'\n\"x+1/2, y+1/2, z+1/2\"\n"
        "_chemical_formula_sum Fe\n");
    EXPECT_EQ(p1.substr(0, 8), " Fe\n1.0\n");
    const auto atoms = p1_atoms(p1);
    ASSERT_EQ(atoms.size(), 2u);
    EXPECT_EQ(atoms[1].x, 0.5);
}

TEST_F(CifTest, MissingFileAndListsGiveTheirMessages) {
    EXPECT_EQ(convert("", "absent.cif"), 4);
    EXPECT_EQ(console_, "ERROR: FILE WITH STRUCTURE CANNOT BE OPENED! (absent.cif: No such file or directory)\n");
    const std::string full = cif_text(cubic_cell, {"x, y, z"}, iron_site);
    const auto first_loop = full.find("loop_");
    const auto second_loop = full.find("loop_", first_loop + 1);
    EXPECT_EQ(convert(full.substr(0, second_loop)), 4);
    EXPECT_EQ(console_, "ERROR: CANNOT FIND THE LIST OF ATOMS WITHIN CIF FILE!\n");
    EXPECT_EQ(convert(full.substr(0, first_loop) + full.substr(second_loop)), 4);
    EXPECT_EQ(console_, "ERROR: CANNOT FIND THE LIST OF SYMMETRY OPERATIONS WITHIN CIF FILE!\n");
}

TEST_F(CifTest, BadCellsSitesAndOperationsEndTheRunWithAnErrorLine) {
    std::vector<std::pair<std::string, const char*>> cases{
        {cif_text(cubic_cell, {"x, y, z"}, "Fe1 Fe ? 0 0 1\n"), "ATOM"},
        {cif_text(cubic_cell, {"x, y, z"}, "Fe1 Fe 0 0\n"), "ATOM"},
        {cif_text(cubic_cell, {"x, y"}, iron_site), "SYMMETRY"},
        {cif_text(cubic_cell, {"x, y, 2z"}, iron_site), "SYMMETRY"}};
    for (const char* cell : {"4 4", "0 4 4 90 90 90", "4 -4 4 90 90 90", "4 4 ? 90 90 90", "4 4 4 90 90 0",
                             "4 4 4 90 90 180", "4 4 4 120 120 120", "4 4 4 130 130 130"}) {
        cases.emplace_back(cif_text(cell, {"x, y, z"}, iron_site), "CELL");
    }
    // Values that would overflow in the cell vectors or the P1 file.
    cases.emplace_back(cif_text("1e308 4 4 90 90 90", {"x, y, z"}, iron_site), "VALUE 1e+308 IN FILE model.cif");
    cases.emplace_back(cif_text(cubic_cell, {"x, y, z"}, "Fe1 Fe 0 -1e31 0 1\n"), "VALUE -1e+31 IN FILE model.cif");
    for (const auto& [text, topic] : cases) {
        EXPECT_EQ(convert(text), 4) << text;
        EXPECT_EQ(console_.rfind("ERROR", 0), 0u) << console_;
        EXPECT_NE(console_.find(topic), std::string::npos) << console_;
    }
}

TEST_F(CifTest, LoopsEndAtTheNextDataBlock) {
    // Without the header ending the loops, the sites would take "data_second" as a row (an incomplete
    // one), and the operations loop, still open, its tag and cell items.
    const std::string p1 = converted(
        "data_first\n_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\n_cell_angle_alpha 90\n"
        "_cell_angle_beta 90\n_cell_angle_gamma 90\nloop_\n_atom_site_label\n_atom_site_fract_x\n"
        "_atom_site_fract_y\n_atom_site_fract_z\nFe1 0 0 0\ndata_second\nloop_\n_space_group_symop_operation_xyz\n"
        "x,y,z\n-x,-y,-z\ndata_third\n_chemical_formula_sum Fe\n");
    EXPECT_EQ(p1_atoms(p1).size(), 1u) << p1;
    EXPECT_EQ(p1.substr(0, 8), " Fe\n1.0\n");
}
