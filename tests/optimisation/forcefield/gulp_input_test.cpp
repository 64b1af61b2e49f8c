#include "optimisation/forcefield/gulp_input.hpp"
#include "structure/geometry.hpp"
#include "structure/structure.hpp"
#include "structure/structure_fixture.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <vector>

namespace {

// Rock salt FeO, a = 4.3: Fe-Fe and O-O at a / sqrt 2, Fe-O at a / 2.
const char* const rock_salt_p1 =
    "FeO\n1.0\n4.3 0 0\n0 4.3 0\n0 0 4.3\nFe O\n4 4\nDirect\n"
    "0 0 0 Fe\n0.5 0.5 0 Fe\n0.5 0 0.5 Fe\n0 0.5 0.5 Fe\n"
    "0.5 0 0 O\n0 0.5 0 O\n0 0 0.5 O\n0.5 0.5 0.5 O\n";

std::unique_ptr<Calculation> built(const std::string& p1_text, const std::string& supercell, bool pbc = true) {
    auto calc = calculation_with_p1(p1_text, supercell);
    calc->structure_parameters[0].bools[StructureBoolKey::pbc] = pbc;
    calc->parameters.ints[IntKey::Stop_after] = 50000;
    CaptureStdout quiet;
    build_geometry(*calc, "");
    return calc;
}

std::string read_file(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string transcribed(const std::string& template_text, const std::vector<double>& multipliers) {
    std::istringstream in(template_text);
    std::ostringstream out;
    transcribe_gulp_template(in, out, multipliers);
    return out.str();
}

struct Ended {
    int code;
    std::string output;
};

template <class F>
Ended ended(F&& run) {
    CaptureStdout capture;
    const int code = exit_code_of(std::forward<F>(run));
    return {code, capture.text()};
}

const std::string special_symbols_error = "ERROR: Check GULP template! Cannot interpret special symbols\n";

}  // namespace

TEST(GulpTemplate, FittedFormMarksEveryPairValueAndInputGinCarriesTheScaledValues) {
    ScopedWorkFolder folder;
    auto calc = built(rock_salt_p1, "2x1x1");
    write_gulp_template(*calc, 0.1);
    EXPECT_EQ(read_file("gulp_template"),
              "species\nFe 0\nO 0\nlennard epsilon 12 6\n"
              "Fe Fe & 0.1 & 3.04056 12\nFe O & 0.1 & 2.15 12\nO O & 0.1 & 3.04056 12\n"
              "supercell 2 1 1\ntemperature 300\nmctrial 50000\nmcsample 10\n");

    write_gulp_input_mc(calc->structures[0], std::vector<double>{1.0, 1.0, 2.0, 0.5, 1.0, 1.0});
    EXPECT_EQ(read_file("input.gin"),
              "montecarlo\tconv\tcartesian\tfull\ncell\n4.3 4.3 4.3 90 90 90\nfractional\n"
              "Fe core 0 0 0\nFe core 0.5 0.5 0\nFe core 0.5 0 0.5\nFe core 0 0.5 0.5\n"
              "O core 0.5 0 0\nO core 0 0.5 0\nO core 0 0 0.5\nO core 0.5 0.5 0.5\n"
              "species \nFe 0 \nO 0 \nlennard epsilon 12 6 \n"
              "Fe Fe 0.1 3.04056 12 \nFe O 0.2 1.075 12 \nO O 0.1 3.04056 12 \n"
              "supercell 2 1 1 \ntemperature 300 \nmctrial 50000 \nmcsample 10 \n");
    write_gulp_input_md(calc->structures[0], std::vector<double>(6, 1.0));
    EXPECT_EQ(read_file("input.gin").substr(0, 28), "md\tconv\tcartesian\tfull\ncell\n");
}

TEST(GulpTemplate, GuessedFormCyclesTheEpsilonsAndMarksTypesWithoutPartners) {
    ScopedWorkFolder folder;
    // One atom of each of four types and no periodic images: no type has a partner of its own kind.
    auto calc = built(
        "mix\n1.0\n4 0 0\n0 4 0\n0 0 4\nFe O Cu Ni\n1 1 1 1\nDirect\n"
        "0 0 0 Fe\n0.5 0 0 O\n0 0.5 0 Cu\n0 0 0.5 Ni\n",
        "1x1x1", false);
    calc->flags.useFF = calc->flags.guessFF = true;
    calc->parameters.lj_epsilons = {0.5, 1.5, 2.5, 3.5, 4.5, 5.5};
    calc->parameters.doubles[DoubleKey::MC_temperature] = 77.5;
    write_gulp_template(*calc, 0.1);
    std::istringstream text(read_file("gulp_template"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 20u);
    EXPECT_EQ(lines[6], "Fe Fe 0.5 1e+06 12");
    EXPECT_EQ(lines[7], "Fe O 1.5 2 12");
    EXPECT_EQ(lines[9], "Fe Ni 3.5 2 12");
    EXPECT_EQ(lines[11], "O Cu 5.5 2.82843 12");
    EXPECT_EQ(lines[12], "O Ni 0.5 2.82843 12");  // the seventh pair line starts the epsilons over
    EXPECT_EQ(lines[15], "Ni Ni 3.5 1e+06 12");
    EXPECT_EQ(lines[17], "temperature 77.5");
}

TEST(GulpTemplate, MolecularDynamicsBlockAndExternalForceFieldCopy) {
    ScopedWorkFolder folder;
    auto calc = built(fcc_copper_p1, "1x1x1");
    calc->flags.gulpmd = true;
    calc->flags.useFF = true;
    calc->parameters.ints[IntKey::Stop_after] = 10000;
    const std::string long_line = "# " + std::string(300, 'x');
    std::ofstream("force_field") << "lennard 12 6\nCu Cu & 1.0 & % 2 12\n" << long_line << '\n';
    write_gulp_template(*calc, 0.1);
    EXPECT_EQ(read_file("gulp_template"),
              "lennard 12 6\nCu Cu & 1.0 & % 2 12\n" + long_line +
                  "\n\nsupercell 1 1 1\ntemperature 300\n"
                  "shrink  20\naccuracy\t10\nrspeed\t100\nintegrator\tleapfrog\tverlet\nensemble\tnvt\t0.25\n"
                  "equil\t4\tps\ntscale\t0.02\tps\nprodu\t4.5 ps\ntimestep\t0.0005\tps\nsample\t0.0045\tps\n"
                  "write\t0.045\tps\noutput movie xyz gulp.xyz\n");

    std::filesystem::remove("force_field");
    const Ended missing = ended([&] { write_gulp_template(*calc, 0.1); });
    EXPECT_EQ(missing.code, 4);
    EXPECT_EQ(missing.output, "ERROR: FILE WITH FORCE FIELD CANNOT BE OPENED! (force_field: No such file or directory)\n");
}

TEST(GulpInput, CartesianUnitCellsAreWrittenFractionalInUnscaledCellUnits) {
    ScopedWorkFolder folder;
    auto calc = calculation_with_p1(
        "hex\n1.0\n3 0 0\n-1.5 2.598076211 0\n0 0 5\nCu\n2\nCartesian\n"
        "0 0 0 Cu\n0 1.732050808 2.5 Cu\n",
        "1x1x1");
    calc->structure_parameters[0].doubles[StructureDoubleKey::Scale_coordinates_by] = 2.0;
    {
        CaptureStdout quiet;
        build_geometry(*calc, "");
    }
    std::ofstream("gulp_template") << "temperature 300\n";
    write_gulp_input_mc(calc->structures[0], {});
    EXPECT_EQ(read_file("input.gin"),
              "montecarlo\tconv\tcartesian\tfull\ncell\n3 3 5 90 90 120\nfractional\n"
              "Cu core 0 0 0\nCu core 0.333333 0.666667 0.5\ntemperature 300 \n");

    std::filesystem::remove("gulp_template");
    const Ended missing = ended([&] { write_gulp_input_mc(calc->structures[0], {}); });
    EXPECT_EQ(missing.code, 4);
    EXPECT_EQ(missing.output, "ERROR: FILE GULP TEMPLATE CANNOT BE OPENED! (gulp_template: No such file or directory)\n");
    EXPECT_EQ(read_file("input.gin"),
              "montecarlo\tconv\tcartesian\tfull\ncell\n3 3 5 90 90 120\nfractional\n"
              "Cu core 0 0 0\nCu core 0.333333 0.666667 0.5\n");
}

TEST(GulpTemplateSymbols, ParametersAndTiesTakeTheirMultipliers) {
    EXPECT_EQ(transcribed("A B & 0.1 & 2.0 12\n", {1.5, 0.5}), "A B 0.15 1 12 \n");
    // The tie writes 3 times the value written for the parameter before it, not 3 times a multiplier.
    EXPECT_EQ(transcribed("& 2.0 & % 3\n", {0.5}), "1 3 \n");
    // Only the first character marks a word; tabs become blanks; runs of empty lines collapse.
    EXPECT_EQ(transcribed("\tx&y\t%z\n\n\n  C\n", {}), "x&y %z \nC \n");
    EXPECT_EQ(transcribed("\nA\n", {}), "\nA \n");
}

TEST(GulpTemplateSymbols, TrailingBlanksAndCarriageReturnsStillEndTheLine) {
    const std::string clean = transcribed("species\nCu 0\nlennard epsilon 12 6\nCu Cu & 0.1 & 2.5 12\n", {2.0, 1.0});
    EXPECT_EQ(clean, "species \nCu 0 \nlennard epsilon 12 6 \nCu Cu 0.2 2.5 12 \n");
    EXPECT_EQ(transcribed("species  \nCu 0\t\nlennard epsilon 12 6 \n\n Cu Cu & 0.1 & 2.5 12   \n", {2.0, 1.0}), clean);
    EXPECT_EQ(transcribed("species\r\nCu 0\r\nlennard epsilon 12 6\r\nCu Cu & 0.1 & 2.5 12\r\n", {2.0, 1.0}), clean);
    EXPECT_EQ(transcribed("A  ", {}), "A ");  // blanks before the end of the file write no empty word
}

TEST(GulpTemplateSymbols, UnreadableSymbolsEndTheRunWithCodeFive) {
    // Values beyond the usable range would reach GULP as "inf" once multiplied.
    for (const char* text : {"& % 3\n", "A & x B\n", "A & 0.1 & 0.2\n", "& 0.1 & % x\n", "A &", "A & 1e308\n",
                             "& 0.1 & % 1e300\n"}) {
        std::istringstream in(text);
        std::ostringstream out;
        const Ended run = ended([&] { transcribe_gulp_template(in, out, std::vector<double>{2.0}); });
        EXPECT_EQ(run.code, 5) << text;
        EXPECT_EQ(run.output, special_symbols_error) << text;
    }
}
