// FEFF that fails in each stage that runs it: it crashes, hangs for a while and then exits, writes half
// of each file, or writes nothing. The run must end with an ERROR (or, when nothing it reads was lost,
// with the results of a run of a sound FEFF), and what earlier runs and earlier stages left must stay
// whole.

#include "copper_inputs.hpp"
#include "app/driver.hpp"
#include "control/calculation.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#ifdef FEFF_STANDIN
namespace {

namespace fs = std::filesystem;

// Every plain file of the folder with its text.
std::map<std::string, std::string> folder_files(const fs::path& folder) {
    std::map<std::string, std::string> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        if (entry.is_regular_file()) files[entry.path().filename().string()] = file_text(entry.path().string());
    }
    return files;
}

// A short refinement with one worker folder, so that FEFF runs one at a time in a fixed order, and a
// path-importance stage, so that every stage that runs FEFF does.
const char* const parameters =
    "BEGIN\nFile_with_structure cu.p1\nFile_with_experimental_EXAFS_signal exp.dat\nColumns_in_input 2\n"
    "Column_for_k 1\nColumn_for_chi 2\nEdge Cu\nSupercell 2x2x2\nk_min 2\nk_max 6\ndk 0.1\nNumber_of_states 4\n"
    "N_legs 2\nR_max_for_FEFF 3.0\nFEFF_criteria 0.5\nStop_after 2\ntime1 1\ntime2 2\nMove_type one\n"
    "Maximal_displacement 2\nMaximal_step_length 0.02\nNumber_of_threads 1\nFEFF_path fakefeff\nEND\n";

void write_inputs() {
    write_copper_cell();
    write_copper_spectrum();
    std::ofstream("input.dat") << parameters;
}

// The stand-in behind a wrapper that counts its runs in `calls` (in the run folder) and notes for each
// what the run folder held then, and that fails in the given way on run `fail_at` (never when 0).
void write_fake_feff(const fs::path& run_folder, const std::string& mode, int fail_at) {
    const std::string calls = (run_folder / "calls").string();
    std::ofstream script("fakefeff");
    script << "#!/bin/sh\n"
           << "n=$(( $(cat '" << calls << "' 2>/dev/null || echo 0) + 1 ))\n"
           << "echo $n > '" << calls << "'\n"
           // What tells the stages apart: the edge folder, a path list of the leading path alone, the
           // final path list, the diagnostics' file and the rows of the residual history.
           << "blocks=$(grep -c 'index, nleg' paths.dat 2>/dev/null)\n"
           << "echo \"$n $(basename \"$PWD\") $([ \"$blocks\" = 1 ] && echo leading) "
           << "$(ls ../feff_0/paths_fin.dat ../approx_0.dat 2>/dev/null | tr '\\n' ' ')"
           << "$(cat ../output.dat 2>/dev/null | wc -l) rows\" >> '" << calls << ".log'\n"
           << "if [ $n -eq " << fail_at << " ]; then\n"
           << "  case " << mode << " in\n"
           << "  crash) kill -SEGV $$ ;;\n"
           << "  hang) sleep 1; exit 0 ;;\n"
           << "  nothing) exit 0 ;;\n"
           << "  half)\n"
           << "    touch .before; sleep 0.01\n"
           << "    '" << FEFF_STANDIN << "'\n"
           << "    for f in $(find . -maxdepth 1 -type f -newer .before); do\n"
           << "      size=$(wc -c < \"$f\"); head -c $((size / 2)) \"$f\" > \"$f.cut\"; mv \"$f.cut\" \"$f\"\n"
           << "    done\n"
           << "    exit 0 ;;\n"
           << "  esac\n"
           << "fi\n"
           << "exec '" << FEFF_STANDIN << "'\n";
    script.close();
    fs::permissions("fakefeff", fs::perms::owner_all);
}

struct TalqRun {
    int code = -1;
    std::string output;
};

TalqRun run_talq(const std::string& parameter_file = "input.dat") {
    auto calc = std::make_unique<Calculation>();
    CaptureStdout capture;
    const int code = exit_code_of([&] { run_calculation(*calc, parameter_file, ""); });
    return {code, capture.text()};
}

// A restart file that loads: the parameter block, then every state, checked against it.
int restart_load_code(const std::string& file_name) {
    auto calc = std::make_unique<Calculation>();
    calc->flags.phantoms = true;
    CaptureStdout quiet;
    return exit_code_of([&] { prepare_calculation_through_paths(*calc, file_name, ""); });
}

bool is_restart_file(const std::string& name) {
    return name.size() > 7 && name.rfind("restart", 0) == 0 &&
           name.find_first_not_of("0123456789", 7) == std::string::npos;
}

// The first FEFF run of each kind of moment in the clean run: the distinct lines of its log without the
// run number, in order.
std::vector<std::pair<int, std::string>> first_run_of_each_moment(const std::string& log) {
    std::vector<std::pair<int, std::string>> firsts;
    std::istringstream lines(log);
    std::string previous;
    for (std::string line; std::getline(lines, line);) {
        const std::size_t blank = line.find(' ');
        const std::string moment = line.substr(blank + 1);
        if (moment != previous) firsts.emplace_back(std::stoi(line.substr(0, blank)), moment);
        previous = moment;
    }
    return firsts;
}

class FailingFeff : public ::testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(FailingFeff, EndsTheRunWithAnErrorAndLeavesWhatWasWrittenBeforeWhole) {
    const std::string mode = GetParam();
    ScopedWorkFolder folder;
    write_inputs();

    // A run with a sound FEFF: its results are the earlier results every failing run starts among.
    write_fake_feff(folder.path(), mode, 0);
    const TalqRun clean = run_talq();
    ASSERT_EQ(clean.code, -1) << clean.output;
    const std::string log = file_text("calls.log");
    const auto moments = first_run_of_each_moment(log);
    ASSERT_GE(moments.size(), 5u) << log;
    fs::remove("calls");
    fs::remove("calls.log");
    const std::map<std::string, std::string> earlier = folder_files(folder.path());
    const std::string last_line = log.substr(log.rfind('\n', log.size() - 2) + 1);
    const int last_run = std::stoi(last_line);

    std::vector<std::pair<int, std::string>> cases = moments;
    if (cases.back().first != last_run) cases.emplace_back(last_run, last_line.substr(last_line.find(' ') + 1));
    for (const auto& [fail_at, moment] : cases) {
        SCOPED_TRACE("FEFF run " + std::to_string(fail_at) + " fails (" + mode + "), at: " + moment);
        for (const auto& [name, text] : earlier) std::ofstream(name, std::ios::binary) << text;
        fs::remove_all("feff_0");
        fs::remove_all("feff_0_0");
        fs::remove("calls");
        write_fake_feff(folder.path(), mode, fail_at);

        const TalqRun run = run_talq();
        std::cout << mode << " at FEFF run " << fail_at << " (" << moment << "): code " << run.code << '\n';
        const std::map<std::string, std::string> after = folder_files(folder.path());
        if (run.code == -1) {
            // Nothing the program reads was lost (half of FEFF's own path list still holds its head):
            // the results are those of the sound run.
            for (const char* result : {"output.dat", "EXAFS.dat", "restart2", "final.xyz"})
                EXPECT_TRUE(after.at(result) == earlier.at(result)) << result << " differs from the sound run's";
        } else {
            EXPECT_TRUE(run.code == 1 || run.code == 4) << run.code << "\n" << run.output;
            const std::size_t error = run.output.find("\nERROR");
            ASSERT_NE(error, std::string::npos) << run.output;
            EXPECT_EQ(run.output.find("Done"), std::string::npos);
        }
        // A failure before the refinement starts (no final path list yet) leaves the earlier results as
        // they were; later ones leave every restart file written so far whole and loadable.
        const bool before_refinement = moment.find("paths_fin.dat") == std::string::npos;
        for (const auto& [name, text] : after) {
            EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
            if (before_refinement && (name == "output.dat" || name == "EXAFS.dat")) {
                EXPECT_TRUE(text == earlier.at(name)) << name << " was changed";
            }
            if (is_restart_file(name)) {
                const auto sound = earlier.find(name);
                ASSERT_NE(sound, earlier.end()) << name;
                EXPECT_TRUE(text == sound->second) << name << " differs from the same iteration of the sound run";
                EXPECT_EQ(restart_load_code(name), 0) << name;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, FailingFeff, ::testing::Values("crash", "hang", "half", "nothing"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });
#endif
