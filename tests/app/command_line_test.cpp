#include "control/calculation.hpp"
#include "app/command_line.hpp"
#include "app/entry.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

struct ProgramRun {
    int code;
    std::string output;
};

// Runs the entry point in-process, as the command line "talq <arguments...>" would.
ProgramRun run_talq(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "talq");
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    CaptureStdout capture;
    const int code = talq_main(static_cast<int>(arguments.size()), argv.data());
    return {code, capture.text()};
}

bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

const std::string dashes(79, '-');

}  // namespace

TEST(CommandLine, WithoutArgumentsPrintsBannerAndThreeErrorLinesAndEndsWith3) {
    const ProgramRun run = run_talq({});
    EXPECT_EQ(run.code, 3);
    const std::string banner = dashes + "\n \n" + std::string(34, ' ') + "T a l q \n \n" + std::string(33, ' ') +
                               "version 6.16\n\n   Version for Linux OS (64 bit).\t\n \n \n" + dashes + "\n" + dashes +
                               "\n";
    EXPECT_EQ(run.output, banner +
                              "ERROR - file with parameters should be specified!\n"
                              "Use ' -help' for more information\n"
                              "Use ' -example' to create an example of parameter file");
}

TEST(CommandLine, HelpAsFirstArgumentPrintsHelpAndSucceedsWhateverFollows) {
    const ProgramRun run = run_talq({"-help", "-bogus"});
    EXPECT_EQ(run.code, 0);
    EXPECT_NE(run.output.find("Use 'talq file_name flag' to start calculation\n" + dashes + "\nFlags:\n"),
              std::string::npos);
    EXPECT_NE(run.output.find("\n -setcenter         - use cluster's central atom as absorber (with -md)\n"),
              std::string::npos);
    EXPECT_NE(run.output.find("\n  Version for Linux OS (64 bit).\t\n"), std::string::npos);
    EXPECT_TRUE(ends_with(run.output, "                     - start new calculation from scratch\n" + dashes + "\n" +
                                          dashes + "\n"));
    EXPECT_EQ(run.output.find("Calculations started"), std::string::npos);
}

TEST(CommandLine, UnknownFirstSwitchEndsWith3BeforeTheRunStarts) {
    const ProgramRun run = run_talq({"-restart"});
    EXPECT_EQ(run.code, 3);
    EXPECT_TRUE(ends_with(run.output, "ERROR - keyword is not recognized\nUse ' -help' for more information"));
    EXPECT_EQ(run.output.find("Calculations started"), std::string::npos);
}

TEST(CommandLine, UnknownLaterSwitchEndsWith3AfterTheStartLine) {
    for (const char* bad : {"-Restart", "-restar", "-restartx", "-"}) {
        const ProgramRun run = run_talq({"input.dat", bad});
        EXPECT_EQ(run.code, 3) << bad;
        EXPECT_NE(run.output.find("   Calculations started\n"), std::string::npos);
        EXPECT_TRUE(ends_with(run.output, "ERROR - keyword is not recognized\nUse ' -help' for more information"));
    }
}

TEST(CommandLine, HelpAfterTheParameterFilePrintsHelpThenFailsWith3) {
    const ProgramRun run = run_talq({"input.dat", "-help"});
    EXPECT_EQ(run.code, 3);
    const auto help = run.output.find("Flags:");
    const auto error = run.output.find("ERROR - keyword is not recognized");
    ASSERT_NE(help, std::string::npos);
    EXPECT_LT(help, error);
}

namespace {

struct ParsedArguments {
    bool accepted;
    RunFlags flags;
    std::string extra;
};

ParsedArguments parse_further(std::vector<std::string> arguments) {
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    ParsedArguments parsed{};
    parsed.accepted = apply_further_arguments(parsed.flags, parsed.extra, static_cast<int>(argv.size()), argv.data());
    return parsed;
}

}  // namespace

TEST(CommandLine, PlainWordsBecomeTheExtraArgumentTheLastOneWinning) {
    const ParsedArguments md = parse_further({"-md", "traj.xyz", "-setcenter"});
    EXPECT_TRUE(md.accepted);
    EXPECT_TRUE(md.flags.md);
    EXPECT_TRUE(md.flags.setcenter);
    EXPECT_TRUE(md.flags.has_extra_argument);
    EXPECT_EQ(md.extra, "traj.xyz");

    EXPECT_EQ(parse_further({"first.xyz", "second.xyz"}).extra, "second.xyz");

    const ParsedArguments example = parse_further({"-example"});
    EXPECT_FALSE(example.flags.example);
    EXPECT_EQ(example.extra, "-example");

    const ParsedArguments spectrum = parse_further({"-spectrum", "mine.dat"});
    EXPECT_TRUE(spectrum.flags.spectrum);
    EXPECT_EQ(spectrum.extra, "mine.dat");

    EXPECT_FALSE(parse_further({"-gulp", "-Restart"}).accepted);
    EXPECT_TRUE(parse_further({"-gulp"}).flags.md) << "-gulp and -md share one flag";
}

TEST(CommandLine, GuessFFSetsBothForceFieldFlags) {
    RunFlags flags;
    ASSERT_TRUE(set_run_flag(flags, parse_command_line_flag("-guessFF")));
    EXPECT_TRUE(flags.useFF);
    EXPECT_TRUE(flags.guessFF);
    EXPECT_FALSE(flags.fitFF);
}

TEST(CommandLine, ResetRunCountersKeepsTheExtraArgumentMarker) {
    auto calc = std::make_unique<Calculation>();
    calc->flags.restart = true;
    calc->flags.has_extra_argument = true;
    calc->iteration = 7;
    reset_run_counters(*calc);
    EXPECT_FALSE(calc->flags.restart);
    EXPECT_TRUE(calc->flags.has_extra_argument);
    EXPECT_EQ(calc->iteration, 0);
    EXPECT_EQ(calc->selection_worst, -1000000.0);
    EXPECT_EQ(calc->previous_period_objective_sum, 1000000.0);
}

TEST(CommandLine, ExampleAsFirstArgumentWritesTheExampleFileAndEndsWith0) {
    ScopedWorkFolder folder;
    const ProgramRun run = run_talq({"-example"});
    EXPECT_EQ(run.code, 0);
    EXPECT_TRUE(std::ifstream("example.dat").good());
    EXPECT_NE(run.output.find("      1: PARAMETERS INITIALIZATION\n"), std::string::npos);
    EXPECT_EQ(run.output.find("Done"), std::string::npos);
}

// The real process: exit codes and output must survive the way the program ends.
TEST(CommandLine, TheProgramExitsWithTheCodeOfItsEnding) {
    ScopedWorkFolder folder;
    auto status_of = [](const std::string& arguments) {
        const int status = std::system((std::string(TALQ_BINARY) + " " + arguments + " > out.txt 2>&1").c_str());
        return WEXITSTATUS(status);
    };
    EXPECT_EQ(status_of(""), 3);
    EXPECT_EQ(status_of("-help"), 0);
    EXPECT_EQ(status_of("-example"), 0);
    EXPECT_EQ(status_of("missing.dat"), 4);
    std::ifstream out("out.txt");
    const std::string text((std::istreambuf_iterator<char>(out)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("ERROR: PARAMETER FILE CANNOT BE OPENED! (missing.dat: No such file or directory)\n"), std::string::npos);
}
