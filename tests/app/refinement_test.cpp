#include "copper_inputs.hpp"
#include "app/driver.hpp"
#include "control/calculation.hpp"
#include "optimisation/population/state.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/structure.hpp"
#include "test_support.hpp"
#include "theory/absorber_edge.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#ifdef FEFF_STANDIN
namespace {

namespace fs = std::filesystem;

struct TalqRun {
    int code = -1;
    std::string output;
};

// A small copper refinement with the FEFF stand-in, in the current folder.
const std::string tiny_refinement =
    "File_with_structure cu.p1\nFile_with_experimental_EXAFS_signal exp.dat\nColumns_in_input 2\n"
    "Column_for_k 1\nColumn_for_chi 2\nEdge Cu\nSupercell 2x2x2\nk_min 2\nk_max 12\nNumber_of_states 4\n"
    "N_legs 2\nR_max_for_FEFF 3.0\nStop_after 3\ntime1 1\ntime2 2\nMove_type one\nMaximal_displacement 2\n"
    "Maximal_step_length 0.02\n";

void write_inputs() {
    write_copper_cell();
    write_copper_spectrum();
    if (!fs::exists("feff85L.exe")) fs::copy_file(FEFF_STANDIN, "feff85L.exe");
}

TalqRun run_talq(const std::string& parameters, const std::string& file_name = "input.dat", RunFlags flags = {}) {
    if (!parameters.empty()) std::ofstream(file_name) << "BEGIN\n" << parameters << "END\n";
    auto calc = std::make_unique<Calculation>();
    calc->flags = flags;
    CaptureStdout capture;
    const int code = exit_code_of([&] { run_calculation(*calc, file_name, ""); });
    return {code, capture.text()};
}

// The files of a finished refinement whose contents the seed and the input decide.
std::vector<std::string> result_files() {
    // The restart file's parameter block names the thread count; what follows it must agree.
    const std::string restart = file_text("restart5");
    return {file_text("output.dat"), file_text("EXAFS.dat"), file_text("final.xyz"),
            restart.substr(restart.find("\nEND\n")), file_text("histoEXAFS.dat"), file_text("partialEXAFS.dat")};
}

// Every file under the current folder, by its path, with its bytes.
std::map<std::string, std::string> folder_files() {
    std::map<std::string, std::string> files;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(".")) {
        if (entry.is_regular_file()) files[entry.path().string()] = file_text(entry.path().string());
    }
    return files;
}

// The names of the files whose bytes differ between the two, or that only one of them holds.
std::vector<std::string> changed_files(const std::map<std::string, std::string>& before,
                                       const std::map<std::string, std::string>& after) {
    std::vector<std::string> changed;
    for (const auto& [name, bytes] : after) {
        const auto earlier = before.find(name);
        if (earlier == before.end() || earlier->second != bytes) changed.push_back(name);
    }
    for (const auto& [name, bytes] : before) {
        if (!after.contains(name)) changed.push_back(name);
    }
    return changed;
}

// The path lines of the structure report: index, legs, degeneracy and length of every path.
std::vector<std::string> reported_paths(const std::string& output) {
    std::vector<std::string> paths;
    const std::size_t report = output.find("STRUCTURE PARAMETERS");
    if (report == std::string::npos) return paths;
    std::istringstream lines(output.substr(report));
    for (std::string line; std::getline(lines, line);) {
        if (line.find("index, nleg, degeneracy, r=") != std::string::npos) paths.push_back(line);
    }
    return paths;
}

}  // namespace

TEST(Refinement, RunsEveryStageInOrderAndStopsAfterStopAfterPlusOne) {
    ScopedWorkFolder folder;
    write_inputs();
    const TalqRun run = run_talq(tiny_refinement);
    ASSERT_EQ(run.code, -1) << run.output;
    std::size_t at = 0;
    for (const char* stage : {"      1: PARAMETERS INITIALIZATION", "      4: DEFINING GEOMETRY", "      9: WRITING EQUILIBRIUM PATHS",
                              "      10: FIRST ITERATION", "      11: FIRST SHELL FIT", "      12: DIAGNOSTICS",
                              "      13: MAIN LOOP", "      14: FINALIZING", "STRUCTURE PARAMETERS"}) {
        const std::size_t found = run.output.find(stage, at);
        ASSERT_NE(found, std::string::npos) << stage << "\n" << run.output;
        at = found;
    }
    EXPECT_EQ(run.output.find("ERROR"), std::string::npos) << run.output;

    // The history: its header, the starting row (iteration 0), one row per iteration up to Stop_after + 1,
    // and the final report's.
    const std::vector<std::string> history = lines_of("output.dat");
    ASSERT_EQ(history.size(), 7u);
    EXPECT_EQ(history[0].substr(0, 87),
              "[#] [Best_Res._(xi)] [Best_Energy] [Best_Objective] [Best_Weight_(0)] [Change_(Delta)] ");
    EXPECT_NE(history[0].find("[Res(3)] [En.(3)] [Obj.(3)] [Weight_(3-0)] "), std::string::npos);
    for (std::size_t row = 1; row < history.size(); ++row)
        EXPECT_EQ(history[row].substr(0, 2), std::to_string(row - 1) + " ") << history[row];
    for (const char* file : {"restart0", "restart2", "restart4", "restart5", "restartClusters.dat", "final.xyz", "EXAFS.dat",
                             "ft.dat", "bft.dat", "wt.dat", "partialEXAFS.dat", "partialFT.dat", "partialWT.dat"}) {
        EXPECT_TRUE(fs::exists(file)) << file;
    }
    EXPECT_FALSE(fs::exists("restart5.tmp"));
}

TEST(Refinement, ALoopWithoutCheckpointsSaysSoAtItsStartAndSavesAtItsEnd) {
    ScopedWorkFolder folder;
    write_inputs();
    const TalqRun run = run_talq(tiny_refinement + "time2 0\n");
    ASSERT_EQ(run.code, -1) << run.output;
    const std::size_t warning =
        run.output.find("WARNING: time2 = 0: the main loop writes no restart file before it ends after iteration 4\n");
    ASSERT_NE(warning, std::string::npos) << run.output;
    const std::size_t loop = run.output.find("      13: MAIN LOOP\n");
    EXPECT_LT(loop, warning);
    EXPECT_LT(warning, run.output.find("GENERATION:", loop)) << "said before the first iteration";
    EXPECT_FALSE(fs::exists("restart2"));
    EXPECT_TRUE(fs::exists("restart5"));
}

TEST(Refinement, TheSameSeedGivesTheSameFilesForEveryThreadCount) {
    std::vector<std::vector<std::string>> results;
    for (const std::string threads : {"1", "8"}) {
        ScopedWorkFolder folder;
        write_inputs();
        const TalqRun run = run_talq(tiny_refinement + "Number_of_threads " + threads + "\n");
        ASSERT_EQ(run.code, -1) << run.output;
        results.push_back(result_files());
    }
    ASSERT_EQ(results[0].size(), results[1].size());
    for (std::size_t f = 0; f < results[0].size(); ++f) {
        EXPECT_FALSE(results[0][f].empty()) << f;
        EXPECT_TRUE(results[0][f] == results[1][f]) << "file " << f;
    }
    ScopedWorkFolder folder;
    write_inputs();
    ASSERT_EQ(run_talq(tiny_refinement + "MT_seed 5 6 7 8\n").code, -1);
    EXPECT_FALSE(result_files()[0] == results[0][0]) << "another seed, another refinement";
}

// A run stopped after its restart file of iteration N and resumed from it writes the same histories from
// N on as the run that was never stopped, whatever the stopped run left after N: rows and frames of later
// iterations, a cut last line or frame. Reports every third iteration, checkpoints every fourth, so that
// the move counters and period sums are mid-way at the checkpoints, and the step adapts.
TEST(Refinement, AResumedRunWritesTheHistoriesOfTheRunThatWasNeverStopped) {
    ScopedWorkFolder folder;
    write_inputs();
    std::string parameters = tiny_refinement;
    for (const auto& [from, to] : {std::pair{"Stop_after 3", "Stop_after 9"}, std::pair{"time1 1", "time1 3"},
                                   std::pair{"time2 2", "time2 4\nadjust_step 1"}}) {
        parameters.replace(parameters.find(from), std::string(from).size(), to);
    }
    ASSERT_EQ(run_talq(parameters).code, -1);
    std::map<std::string, std::string> never_stopped;
    for (const char* history : {"output.dat", "output.xyz", "histoEXAFS.dat"}) never_stopped[history] = file_text(history);

    RunFlags flags;
    flags.restart = true;
    for (const char* restart : {"restart0", "restart4", "restart8"}) {
        for (const auto& [name, text] : never_stopped) std::ofstream(name, std::ios::trunc) << text.substr(0, text.size() - 9);
        const TalqRun run = run_talq("", restart, flags);
        ASSERT_EQ(run.code, -1) << run.output;
        EXPECT_NE(run.output.find("      10: PREPARING RESTART"), std::string::npos);
        EXPECT_NE(run.output.find("      5: SCF POTENTIAL CALCULATIONS - skipped!"), std::string::npos);
        for (const auto& [name, text] : never_stopped) EXPECT_TRUE(file_text(name) == text) << restart << ": " << name;
    }
}

// An output that cannot be written is named with the system's reason: an optional one with a warning and
// the run goes on; a restart file or a full disk ends the run with an error, not with "Done".
TEST(Refinement, OutputsThatCannotBeWrittenAreNamedAndCheckpointsOrAFullDiskEndTheRun) {
    ScopedWorkFolder folder;
    write_inputs();
    fs::create_directory("ft-folder");
    TalqRun run = run_talq(tiny_refinement + "File_for_FT ft-folder\n");
    EXPECT_EQ(run.code, -1) << run.output;
    EXPECT_NE(run.output.find("WARNING: FILE ft-folder CANNOT BE WRITTEN! Is a directory\n"), std::string::npos) << run.output;
    EXPECT_TRUE(fs::exists("restart5") && fs::exists("bft.dat"));

    run = run_talq(tiny_refinement + "File_for_restart missing/restart\n");
    EXPECT_EQ(run.code, 4);
    EXPECT_NE(run.output.find("ERROR: FILE missing/restart0 CANNOT BE WRITTEN! No such file or directory\n"),
              std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("13: MAIN LOOP"), std::string::npos) << "no run goes on without its checkpoint";

    for (const std::string key : {"File_for_residuals", "File_for_actual_geometry", "File_for_calculated_EXAFS_signal"}) {
        run = run_talq(tiny_refinement + key + " /dev/full\n");
        EXPECT_EQ(run.code, 4) << key;
        EXPECT_NE(run.output.find("ERROR: FILE /dev/full CANNOT BE WRITTEN! No space left on device\n"), std::string::npos)
            << key << "\n" << run.output;
    }
}

// The modes that read a finished run write their own output and nothing of the run's. The importance
// check kept paths 0, 1, 2 and 6 of the table: the structure report, which runs no FEFF, must find the
// same paths without it.
TEST(Refinement, ReportModesLeaveTheFilesOfAFinishedRunAsTheyWere) {
    ScopedWorkFolder folder;
    write_inputs();
    RunFlags skipcheck;
    skipcheck.skipcheck = true;
    const TalqRun run = run_talq("File_with_structure cu.p1\nFile_with_experimental_EXAFS_signal exp.dat\n"
                                 "Columns_in_input 2\nColumn_for_k 1\nColumn_for_chi 2\nEdge Cu\nSupercell 2x2x2\n"
                                 "k_min 2\nk_max 12\nNumber_of_states 2\nN_legs 3\nR_max_for_FEFF 4.5\n"
                                 "FEFF_criteria 10\nStop_after 1\ntime1 1\ntime2 1\nNumber_of_threads 4\n",
                                 "input.dat", skipcheck);
    ASSERT_EQ(run.code, -1) << run.output;
    ASSERT_EQ(reported_paths(run.output).size(), 4u) << run.output;
    const std::map<std::string, std::string> finished = folder_files();
    const std::string last = "restart3";
    ASSERT_TRUE(finished.contains("./" + last));

    RunFlags structure;
    structure.structure = true;
    const TalqRun report = run_talq("", last, structure);
    EXPECT_EQ(report.code, 0) << report.output;
    EXPECT_NE(report.output.find("      8: PATHS IMPORTANCE CHECK - skipped\n"), std::string::npos);
    EXPECT_EQ(reported_paths(report.output), reported_paths(run.output));
    EXPECT_EQ(changed_files(finished, folder_files()), std::vector<std::string>{});

    RunFlags beststate;
    beststate.beststate = true;
    EXPECT_EQ(run_talq("", last, beststate).code, 0);
    EXPECT_EQ(changed_files(finished, folder_files()), std::vector<std::string>{"./" + last + "_beststate_3"});
    fs::remove(last + "_beststate_3");

    // Writing the xyz snapshots and RDFs of the file's states is what the mode is for.
    RunFlags phantoms;
    phantoms.phantoms = true;
    EXPECT_EQ(run_talq("", last, phantoms).code, 0);
    for (const std::string& name : changed_files(finished, folder_files())) {
        EXPECT_TRUE(name == "./final.xyz" || name == "./final_no_PBC.xyz" || name == "./start.xyz" ||
                    name == "./start_no_PBC.xyz" || name == "./rdf.dat")
            << name;
    }
}
#endif
