#include "structure/xyz_converter.hpp"

#include "control/record_parameters.hpp"
#include "structure/structure.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// The first number of the first box vector.
double box_side(const std::string& p1) { return std::stod(p1.substr(p1.find("\n1.0\n") + 5)); }

class XyzTest : public ::testing::Test {
protected:
    XyzTest() {
        set_structure_parameter_defaults(parameters_);
        structure_.parameters = &parameters_;
        structure_.margin = 5.0;
    }

    // Exit code (-1 when the conversion returned); the console text is kept in console_.
    int convert(const std::string& text, const std::string& name = "cluster.xyz") {
        std::ofstream("cluster.xyz", std::ios::binary) << text;
        parameters_.strings[StructureStringKey::File_with_structure] = name;
        CaptureStdout capture;
        const int code = exit_code_of([&] { convert_xyz_to_p1(structure_); });
        console_ = capture.text();
        return code;
    }

    // The P1 text written for a file that must convert.
    std::string converted(const std::string& text) {
        EXPECT_EQ(convert(text), -1) << console_;
        std::ostringstream p1;
        p1 << std::ifstream("temp_P1.p1").rdbuf();
        return p1.str();
    }

    ScopedWorkFolder folder_;
    StructureParameters parameters_;
    Structure structure_;
    std::string console_;
};

}  // namespace

TEST_F(XyzTest, BoxSideFollowsPerAxisSpreadsAndMargin) {
    EXPECT_EQ(converted("2\npair\nFe 0 0 0\nO 1 2 2\n"),
              "cluster.xyz\n1.0\n12.000000000 0.000000000 0.000000000\n0.000000000 12.000000000 0.000000000\n"
              "0.000000000 0.000000000 12.000000000\nFe O \n1 1 \nDirect\n"
              "0.000000000 0.000000000 0.000000000 Fe\n0.083333333 0.166666667 0.166666667 O\n");
    // Spreads start at -1, so a single atom still gets a box.
    EXPECT_NEAR(box_side(converted("1\n\nCu 7 8 9\n")), 2.0 * std::sqrt(3.0) + 6.0, 1e-9);
    structure_.margin = 2.0;
    EXPECT_NEAR(box_side(converted("3\nnot the largest distance\nO 0 0 0\nO 3 0 0\nO 0 4 0\n")), 13.0, 1e-9);
}

TEST_F(XyzTest, SpeciesInFirstSeenOrderAndCoordinatesUnwrapped) {
    const std::string p1 = converted("3\n\nFe -1 0 0\nO 0 2 2\nFe 0 0 0\n");
    EXPECT_NE(p1.find("\nFe O \n2 1 \nDirect\n-0.083333333 0.000000000 0.000000000 Fe\n"), std::string::npos) << p1;
    // CRLF, a count line with more words and extended-xyz columns read the same.
    EXPECT_EQ(converted("  3 atoms\r\nProperties=species:S:1:pos:R:3\r\nFe\t-1 0 0 0.1 0.2\r\nO 0 2 2\r\nFe 0 0 0\r\n"),
              p1);
}

TEST_F(XyzTest, WrongCountsAndUnreadableAtomsEndTheRun) {
    for (const char* text : {"0\n\n", "-2\n\nFe 0 0 0\n", "two\n\nFe 0 0 0\nFe 1 1 1\n", "3\n\nFe 0 0 0\nO 1 1 1\n",
                             "2\n\nFe 0 0 0\nO 1 x 1\n", "2\n\nFe 0 0 0\nO 1 1\n", "", "1.5\n\nFe 0 0 0\n"}) {
        EXPECT_EQ(convert(text), 4) << text;
        EXPECT_EQ(console_, "ERROR: WRONG NUMBER OF ATOMS IN cluster.xyz\n") << text;
    }
    // A coordinate whose square overflows would give the box, and every fractional coordinate, no number.
    EXPECT_EQ(convert("2\n\nFe 0 0 0\nO 1e308 0 0\n"), 4);
    EXPECT_EQ(console_, "ERROR: VALUE 1e+308 IN FILE cluster.xyz CANNOT BE USED!\n");
    EXPECT_EQ(convert("", "absent.xyz"), 4);
    EXPECT_EQ(console_, "ERROR: FILE WITH STRUCTURE CANNOT BE OPENED! (absent.xyz: No such file or directory)\n");
}
