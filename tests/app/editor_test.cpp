#include "app/editor.hpp"

#include "control/calculation.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace {

const std::string refusal = "ERROR: CHOICE NOT RECKOGNIZED!\n";

int occurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

struct EditorRun {
    int code;
    std::string text;
};

class EditorTest : public ::testing::Test {
protected:
    EditorTest() { set_parameter_defaults(*calc); }

    EditorRun run(std::string input) {
        FeedStdin feed(std::move(input));
        CaptureStdout capture;
        const int code = exit_code_of([&] { edit_parameters_interactively(*calc); });
        return {code, capture.text()};
    }

    static std::string listing(const std::vector<std::string>& names) {
        std::string text = "\t\tSelect parameter:\n";
        for (std::size_t i = 0; i < names.size(); ++i) text += "\t\t\t " + std::to_string(i) + " " + names[i] + "\n";
        return text;
    }

    std::int32_t& ints(int slot) { return calc->parameters.ints[slot]; }

    std::unique_ptr<Calculation> calc = std::make_unique<Calculation>();
};

TEST_F(EditorTest, FirstRoundWritesTheConsoleTextExactly) {
    const EditorRun result = run("7\n0\n42\n0\n");
    EXPECT_EQ(result.code, -1);
    EXPECT_EQ(ints(IntKey::Number_of_threads), 42);
    ASSERT_GE(result.text.size(), 38u);
    EXPECT_EQ(result.text.substr(0, 19), std::string(19, '-'));
    EXPECT_TRUE(std::regex_match(result.text.substr(19, 19), std::regex(R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d)")));
    EXPECT_EQ(result.text.substr(38),
              "---------------------\n"
              "\tEDIT PARAMETERS\n"
              "\t\tSelect ctg:\n"
              "\t\t\t 1: STRUCTURE_MODEL_DEFINITION\n"
              "\t\t\t 2: STRUCTURE_MODEL_OPTIMIZATION\n"
              "\t\t\t 3: EXPERIMENTAL_DATA\n"
              "\t\t\t 4: THEORETICAL_DATA\n"
              "\t\t\t 5: THEORY_AND_EXPERIMENT_COMPARISON\n"
              "\t\t\t 6: OUTPUT\n"
              "\t\t\t 7: PARALELIZATION\n"
              "\t\t\t -1: ADVANCED_AND_OBSOLETE\n"
              "\t\tSelect parameter:\n"
              "\t\t\t 0 Number_of_threads\n"
              "\t\t\t Number_of_threads\n"
              "\t\t\t Current value:12\n"
              "\t\t\t New value:\t\tRepeat?\n"
              "\t\t\t 0: No\n"
              "\t\t\t 1: Yes\n");
}

TEST_F(EditorTest, NumbersKeysAcrossTablesInTableOrder) {
    // Category 2 spans global ints, doubles, strings, bools, the MT_seed array and both structure tables.
    const EditorRun result = run("2 12 harmonic 0");
    EXPECT_NE(result.text.find(listing({"Froze_in", "Stop_after", "Number_of_states", "Maximal_step_length",
                                        "Weight_increment", "Acceptance_rate", "Energy_weight", "Move_type",
                                        "adjust_acceptance", "adjust_weights", "MT_seed", "Maximal_displacement",
                                        "Potential_type"}) +
                               "\t\t\t Potential_type\n"),
              std::string::npos);
    EXPECT_EQ(calc->structure_parameters[0].strings[StructureStringKey::Potential_type], "harmonic");
}

TEST_F(EditorTest, SectionZeroListsOnlyTheNamedKeyNotTheSeedSlots) {
    const EditorRun result = run("0 1");
    EXPECT_NE(result.text.find(listing({"File_with_potential"}) + refusal), std::string::npos);
    EXPECT_EQ(result.code, 5);
}

TEST_F(EditorTest, WrongOrUnreadableAnswersEndWithCode5InsteadOfLooping) {
    // Numbers out of range, end of input at every question, letters, and a bool that is neither 0 nor 1.
    for (const char* input : {"8", "-2", "7 -1", "7 1", "", "x", "7", "7 zero", "7 0", "7 0 many", "7 0 5 yes",
                              "2 9 2"}) {
        const EditorRun result = run(input);
        EXPECT_EQ(result.code, 5) << input;
        EXPECT_TRUE(result.text.ends_with(refusal)) << input;
    }
    EXPECT_EQ(ints(IntKey::Number_of_threads), 5);  // only "7 0 5 yes" got as far as storing a value
}

TEST_F(EditorTest, RecordKeysReadOneValuePerRecordInUse) {
    ints(IntKey::Number_of_spectra) = 2;
    ints(IntKey::Number_of_structures) = 2;
    calc->spectrum_parameters[1].doubles[SpectrumDoubleKey::S02] = 0.5;
    // S02 follows the four int keys of category 3; pbc is the ninth key of category 1.
    const EditorRun result = run("3 5 0.7 0.9 1  1 8 0 1 0");
    EXPECT_EQ(result.code, -1);
    EXPECT_NE(result.text.find("\t\t\t S02\n\t\t\t Current value: 1 0.5\n"), std::string::npos);
    EXPECT_NE(result.text.find("\t\t\t pbc\n\t\t\t Current value: 1 1\n"), std::string::npos);
    const auto& spectra = calc->spectrum_parameters;
    EXPECT_EQ(spectra[0].doubles[SpectrumDoubleKey::S02], 0.7);
    EXPECT_EQ(spectra[1].doubles[SpectrumDoubleKey::S02], 0.9);
    EXPECT_EQ(spectra[2].doubles[SpectrumDoubleKey::S02], 1.0);
    EXPECT_FALSE(calc->structure_parameters[0].bools[StructureBoolKey::pbc]);
    EXPECT_TRUE(calc->structure_parameters[1].bools[StructureBoolKey::pbc]);
}

TEST_F(EditorTest, RecordCountsOutside1To10AreRefusedAndNotStored) {
    for (const char* input : {"3 0 11", "3 0 0", "1 0 11", "1 0 -1"}) {
        EXPECT_EQ(run(input).code, 5) << input;
    }
    EXPECT_EQ(ints(IntKey::Number_of_spectra), 1);
    EXPECT_EQ(ints(IntKey::Number_of_structures), 1);
    EXPECT_EQ(run("3 0 10 1 1 0 10 0").code, -1);
    EXPECT_EQ(ints(IntKey::Number_of_spectra), 10);
    EXPECT_EQ(ints(IntKey::Number_of_structures), 10);
}

TEST_F(EditorTest, MtSeedShowsAndReadsFourValues) {
    const EditorRun result = run("2 10 1 2 3 4 0");
    EXPECT_EQ(result.code, -1);
    EXPECT_NE(result.text.find("\t\t\t MT_seed\n\t\t\t Current value:291 564 837 1110\n"), std::string::npos);
    for (int i = 0; i < MT_seed_length; ++i) EXPECT_EQ(ints(IntKey::MT_seed_first + i), i + 1);
    EXPECT_EQ(run("2 10 7 7 7").code, 5);
}

TEST_F(EditorTest, LjEpsilonsGoesStraightToRepeat) {
    const EditorRun result = run("-1 12 0");
    EXPECT_EQ(result.code, -1);
    EXPECT_TRUE(result.text.ends_with("\t\t\t 12 LJ_epsilons\n"
                                      "\t\t\t 13 File_for_EXAFS_history\n"
                                      "\t\t\t 14 File_with_phase\n"
                                      "\t\t\t 15 File_with_amplitude\n"
                                      "\t\t\t 16 Structure\n"
                                      "\t\t\t 17 File_with_initial_geometry\n"
                                      "\t\t\t 18 File_for_actual_geometry\n"
                                      "\t\t\t LJ_epsilons\n"
                                      "\t\tRepeat?\n\t\t\t 0: No\n\t\t\t 1: Yes\n"));
    EXPECT_EQ(calc->parameters.lj_epsilons[0], 0.1);
}

TEST_F(EditorTest, RepeatsOnlyOnAnswer1) {
    const EditorRun result = run("7 0 5 1 7 0 6 2");
    EXPECT_EQ(result.code, -1);
    EXPECT_EQ(ints(IntKey::Number_of_threads), 6);
    EXPECT_EQ(occurrences(result.text, "\tEDIT PARAMETERS\n"), 2);
    EXPECT_EQ(occurrences(result.text, "---------------------\n"), 1);  // the header is not repeated
}

}  // namespace
