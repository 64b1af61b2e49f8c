#include "control/calculation.hpp"
#include "app/driver.hpp"
#include "control/parameter_writer.hpp"
#include "test_support.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/structure.hpp"
#include "theory/absorber_edge.hpp"
#include "optimisation/run/starting_states.hpp"
#include "optimisation/population/state.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

struct DriverRun {
    int code;
    std::string output;
};

// Runs the driver on a parameter file holding the given body, with the given flags set.
DriverRun run_driver(Calculation& calc, const std::string& body, const std::string& extra = "") {
    std::ofstream("input.dat") << "BEGIN\n" << body << "END\n";
    CaptureStdout capture;
    const int code = exit_code_of([&] { run_calculation(calc, "input.dat", extra); });
    return {code, capture.text()};
}

// Stages 1 to 9 only: the parameters, the spectra, the geometry and the final path list.
DriverRun run_path_stages(Calculation& calc, const std::string& body, const std::string& extra = "") {
    std::ofstream("input.dat") << "BEGIN\n" << body << "END\n";
    CaptureStdout capture;
    const int code = exit_code_of([&] { prepare_calculation_through_paths(calc, "input.dat", extra); });
    return {code, capture.text()};
}

}  // namespace

TEST(Driver, ReseedShiftsEachSeedWithTruncatingRemainders) {
    auto calc = std::make_unique<Calculation>();
    set_parameter_defaults(*calc);
    const std::int32_t seeds[] = {999, -5, 2147483647, 9999};
    for (int i = 0; i < 4; ++i) calc->parameters.ints[IntKey::MT_seed_first + i] = seeds[i];
    reseed_parameters(*calc);
    EXPECT_EQ(calc->parameters.ints[IntKey::MT_seed_first + 0], 0);
    EXPECT_EQ(calc->parameters.ints[IntKey::MT_seed_first + 1], -3) << "a negative seed stays non-positive";
    EXPECT_EQ(calc->parameters.ints[IntKey::MT_seed_first + 2], 650);
    EXPECT_EQ(calc->parameters.ints[IntKey::MT_seed_first + 3], 0);
}

TEST(Driver, ReseedModeWritesTheReseededCopyAndEndsWith0) {
    ScopedWorkFolder folder;
    auto calc = std::make_unique<Calculation>();
    calc->flags.reseed = true;
    const DriverRun run = run_driver(*calc, "MT_seed 1 2 3 4\nTitle seeds\n");
    EXPECT_EQ(run.code, 0);
    const std::string copy = file_text("input.dat_reseed");
    EXPECT_NE(copy.find("\n              MT_seed" + std::string(32, ' ') + "2 4 6 5\n"), std::string::npos);
    EXPECT_NE(copy.find("\nTitle" + std::string(33, ' ') + " seeds\n"), std::string::npos);
    EXPECT_NE(run.output.find("      2: READING PARAMETERS\n"), std::string::npos);
    EXPECT_EQ(run.output.find("3: PROCESSING"), std::string::npos);
}

TEST(Driver, EditModeWritesTheEditedCopy) {
    ScopedWorkFolder folder;
    auto calc = std::make_unique<Calculation>();
    calc->flags.edit = true;
    FeedStdin answers("7\n0\n4\n0\n");
    const DriverRun run = run_driver(*calc, "");
    EXPECT_EQ(run.code, 0);
    EXPECT_NE(file_text("input.dat_new").find("Number_of_threads" + std::string(21, ' ') + " 4\n"), std::string::npos);
}

TEST(Driver, RefusedEditWritesNothing) {
    ScopedWorkFolder folder;
    auto calc = std::make_unique<Calculation>();
    calc->flags.edit = true;
    FeedStdin answers("3\n0\n11\n");
    EXPECT_EQ(run_driver(*calc, "").code, 5);
    EXPECT_FALSE(fs::exists("input.dat_new"));
}

TEST(Driver, TransformsOnlyWithSkippedDataEndsAfterTheSkipLine) {
    ScopedWorkFolder folder;
    auto calc = std::make_unique<Calculation>();
    calc->flags.ftwt = true;
    calc->flags.structure = true;
    const DriverRun run = run_driver(*calc, "");
    EXPECT_EQ(run.code, 0);
    const std::string tail = "      3: PROCESSING EXPERIMENTAL DATA - skipped!\n";
    ASSERT_GE(run.output.size(), tail.size());
    EXPECT_EQ(run.output.substr(run.output.size() - tail.size()), tail);
}

TEST(Driver, BindsOneSpectrumContextPerUsedSpectrum) {
    ScopedWorkFolder folder;
    auto calc = std::make_unique<Calculation>();
    calc->flags.ftwt = true;
    calc->flags.atoms = true;
    run_driver(*calc, "Number_of_spectra 2\n");
    EXPECT_EQ(calc->spectra[1].parameters, &calc->spectrum_parameters[1]);
    EXPECT_EQ(calc->spectra[1].index, 1);
    EXPECT_EQ(calc->spectrum_parameters[1].index, 1);
    EXPECT_EQ(calc->spectra[2].parameters, nullptr);
}

TEST(Driver, SeedsTheGeneratorFromTheParameterFile) {
    ScopedWorkFolder folder;
    auto calc = std::make_unique<Calculation>();
    calc->flags.ftwt = true;
    calc->flags.atoms = true;
    run_driver(*calc, "MT_seed 7 8 9 10\n");
    EXPECT_EQ(calc->random.init_key(), (std::vector<std::uint32_t>{7, 8, 9, 10}));
}

TEST(Driver, AtomsModeWritesTheFeffInputOfTheFirstEdgeAndEnds) {
    ScopedWorkFolder folder;
    auto calc = std::make_unique<Calculation>();
    calc->flags.atoms = true;
    std::ofstream("structure.p1") << "Cu\n1\n3.61 0 0\n0 3.61 0\n0 0 3.61\nCu\n1\nDirect\n0 0 0 Cu\n";
    const DriverRun run = run_driver(*calc, "Edge Cu\nSupercell 2x2x2\n");
    EXPECT_EQ(run.code, 0) << run.output;
    EXPECT_NE(run.output.find("      5: SCF POTENTIAL CALCULATIONS\n                         STRUCTURE #0  [Cu K-edge]\n"),
              std::string::npos);
    EXPECT_NE(file_text("feff_0/feff.inp").find(" PRINT     1      0     0     0     0      3\n"), std::string::npos);
    EXPECT_TRUE(fs::exists("start.xyz"));
    EXPECT_TRUE(fs::exists("final_no_PBC.xyz"));
    EXPECT_FALSE(fs::exists("feff_win.exe")) << "no FEFF program is looked for or copied";
}

TEST(Driver, PopulationsBeyondTheMachinesMemoryAreRefusedBeforeTheyAreMade) {
    ScopedWorkFolder folder;
    auto calc = std::make_unique<Calculation>();
    calc->flags.atoms = true;
    std::ofstream("structure.p1") << "Cu\n1\n3.61 0 0\n0 3.61 0\n0 0 3.61\nCu\n1\nDirect\n0 0 0 Cu\n";
    // Three populations of a million states of about 3.5 MB each.
    const DriverRun run = run_driver(*calc, "Edge Cu\nSupercell 2x2x2\nNumber_of_states 1000000\n");
    EXPECT_EQ(run.code, 1) << run.output;
    EXPECT_NE(run.output.find("ERROR: THE RUN NEEDS ABOUT "), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(" OF MEMORY (three populations of states), BUT THE MACHINE HAS "), std::string::npos);
    EXPECT_TRUE(calc->current_states.empty());
    EXPECT_EQ(run.output.find("5: SCF POTENTIAL CALCULATIONS"), std::string::npos);
}

TEST(Driver, InputsFeffCannotUseAreRefusedBeforeAnyFeffInputIsWritten) {
    ScopedWorkFolder folder;
    // "Qq" names no element: it would reach the potentials card as z 0.
    std::ofstream("structure.p1") << "CuQ\n1\n3.61 0 0\n0 3.61 0\n0 0 3.61\nCu Qq\n1 1\nDirect\n0 0 0 Cu\n0.5 0.5 0.5 Qq\n";
    const std::pair<std::string, int> cases[] = {{"Edge Cu\n", 5}, {"Edge Cu\nN_legs 9\n", 1}};
    for (const auto& [parameters, code] : cases) {
        auto calc = std::make_unique<Calculation>();
        calc->flags.atoms = true;
        const DriverRun run = run_driver(*calc, parameters);
        EXPECT_EQ(run.code, code) << run.output;
        EXPECT_FALSE(fs::exists("feff_0/feff.inp"));
        EXPECT_EQ(run.output.find("5: SCF POTENTIAL CALCULATIONS"), std::string::npos);
    }
}

TEST(Driver, MainLoopThatCanNeitherEndNorSaveIsRefusedBeforeTheExperimentIsRead) {
    ScopedWorkFolder folder;
    for (const char* time2 : {"0", "-1"}) {
        auto calc = std::make_unique<Calculation>();
        const DriverRun run = run_driver(*calc, std::string("time2 ") + time2 + "\n");
        EXPECT_EQ(run.code, 1) << run.output;
        EXPECT_NE(run.output.find(std::string("ERROR: time2 = ") + time2 +
                                  " and Stop_after = -1: the main loop would never end and never write a restart "
                                  "file! Set time2 or Stop_after above 0.\n"),
                  std::string::npos)
            << run.output;
        EXPECT_EQ(run.output.find("3: PROCESSING EXPERIMENTAL DATA"), std::string::npos);
    }
    // The modes without a main loop go on: here to the missing experiment of stage 3.
    auto fit = std::make_unique<Calculation>();
    fit->flags.fit = true;
    const DriverRun run = run_driver(*fit, "time2 0\n");
    EXPECT_EQ(run.output.find("never end"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("3: PROCESSING EXPERIMENTAL DATA"), std::string::npos) << run.output;
}

namespace {

// A process that holds the folder's lock until it is told to end (or is killed).
struct LockHolder {
    pid_t pid = -1;
    int release = -1;
    LockHolder() {
        int held[2], go[2];
        if (pipe(held) != 0 || pipe(go) != 0) return;
        pid = fork();
        if (pid == 0) {
            close(held[0]);
            close(go[1]);  // else the child would never see the end of the pipe
            RunFolderLock lock;
            lock_run_folder(lock);
            char byte = 'x';
            if (write(held[1], &byte, 1) != 1 || read(go[0], &byte, 1) < 0) _exit(1);
            _exit(0);
        }
        char byte = 0;
        if (read(held[0], &byte, 1) != 1) pid = -1;
        close(held[0]);
        close(held[1]);
        close(go[0]);
        release = go[1];
    }
    ~LockHolder() {
        close(release);
        if (pid > 0) waitpid(pid, nullptr, 0);
    }
};

}  // namespace

TEST(Driver, ASecondRunInAFolderThatALiveRunHoldsIsRefusedAtOnce) {
    ScopedWorkFolder folder;
    {
        LockHolder live;
        ASSERT_GT(live.pid, 0);
        auto calc = std::make_unique<Calculation>();
        const DriverRun run = run_driver(*calc, "");
        EXPECT_EQ(run.code, 1);
        EXPECT_NE(run.output.find("ERROR: FOLDER " + fs::current_path().string() + " IS IN USE BY ANOTHER RUN (process " +
                                  std::to_string(live.pid) + "): two runs in one folder overwrite each other's files!\n"),
                  std::string::npos)
            << run.output;
        EXPECT_EQ(run.output.find("3: PROCESSING EXPERIMENTAL DATA"), std::string::npos);

        // The report modes read a finished run and take no lock: they go on (here to a missing restart file).
        for (const bool beststate : {false, true}) {
            auto report = std::make_unique<Calculation>();
            (beststate ? report->flags.beststate : report->flags.structure) = true;
            const DriverRun read = run_driver(*report, "");
            EXPECT_EQ(read.output.find("IN USE"), std::string::npos) << read.output;
            EXPECT_NE(read.output.find("4: DEFINING GEOMETRY"), std::string::npos) << read.output;
        }
    }
    // The system lets go of the lock of a process that is killed.
    const pid_t child = fork();
    if (child == 0) {
        RunFolderLock held;
        lock_run_folder(held);
        raise(SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    auto calc = std::make_unique<Calculation>();
    calc->flags.ftwt = true;
    const DriverRun run = run_driver(*calc, "");
    EXPECT_EQ(run.output.find("IN USE"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("3: PROCESSING EXPERIMENTAL DATA"), std::string::npos) << run.output;
}

TEST(Driver, ANewRunNamesTheFilesAnEarlierRunLeftAndKeepsThem) {
    ScopedWorkFolder folder;
    for (const char* name : {"restart12", "restart3", "restart40", "restart5.tmp", "restart5_beststate_3", "restartClusters.dat",
                             "precise_EXAFS.dat", "approx_0.dat", "approx_x.dat", "output.dat"}) {
        std::ofstream(name) << "earlier\n";
    }
    auto calc = std::make_unique<Calculation>();
    set_parameter_defaults(*calc);
    EXPECT_EQ(earlier_run_files(*calc),
              (std::vector<std::string>{"restart3", "restart12", "restart40", "approx_0.dat", "precise_EXAFS.dat"}));

    auto fresh = std::make_unique<Calculation>();
    const DriverRun run = run_driver(*fresh, "");
    EXPECT_NE(run.output.find("WARNING: THIS FOLDER HOLDS FILES OF AN EARLIER RUN, WHICH THIS RUN MAY NOT REPLACE: 3 "
                              "restart files (restart3 to restart40), approx_0.dat, precise_EXAFS.dat; they are kept "
                              "beside the files of this run\n"),
              std::string::npos)
        << run.output;
    EXPECT_TRUE(fs::exists("restart40"));

    // A restart continues the run those files belong to.
    auto resumed = std::make_unique<Calculation>();
    resumed->flags.restart = true;
    const DriverRun restart = run_driver(*resumed, "");
    EXPECT_EQ(restart.output.find("EARLIER RUN"), std::string::npos) << restart.output;

    // Restart files named into another folder are looked for there.
    fs::create_directory("kept");
    std::ofstream("kept/run7") << "earlier\n";
    auto other = std::make_unique<Calculation>();
    set_parameter_defaults(*other);
    other->parameters.strings[StringKey::File_for_restart] = "kept/run";
    EXPECT_EQ(earlier_run_files(*other), (std::vector<std::string>{"kept/run7", "approx_0.dat", "precise_EXAFS.dat"}));
}

#ifdef FEFF_STANDIN
// Copper with the FEFF stand-in through the path stages.
TEST(Driver, CopperRunsThroughThePathStagesWithTheStandIn) {
    ScopedWorkFolder folder;
    std::ofstream("structure.p1") << "Cu\n1\n3.61 0 0\n0 3.61 0\n0 0 3.61\nCu\n4\nDirect\n"
                                     "0 0 0 Cu\n0.5 0.5 0 Cu\n0.5 0 0.5 Cu\n0 0.5 0.5 Cu\n";
    std::ofstream spectrum("expEXAFS.dat");
    for (int i = 1; i <= 300; ++i) spectrum << std::sin(0.1 * i * 5.1) << ' ' << 0.05 * i << '\n';
    spectrum.close();
    fs::copy_file(FEFF_STANDIN, "feff85L.exe");
    const std::string parameters =
        "Edge Cu\nSupercell 2x2x2\nk_min 2\nk_max 12\nNumber_of_states 2\nNumber_of_threads 3\n"
        "N_legs 3\nR_max_for_FEFF 4.0\nFEFF_criteria 2.0\n";
    auto calc = std::make_unique<Calculation>();
    const DriverRun run = run_path_stages(*calc, parameters);
    EXPECT_EQ(run.code, -1) << run.output;
    for (const char* stage : {"      6: PATHFINDER\n", "      7: LEADING PATH EXAFS\n", "      8: PATHS IMPORTANCE CHECK\n",
                              "      9: WRITING EQUILIBRIUM PATHS\n"}) {
        EXPECT_NE(run.output.find(stage), std::string::npos) << stage;
    }
    EXPECT_TRUE(fs::exists("feff_0/paths_fin.dat"));
    EXPECT_TRUE(fs::exists("feff_0_2/feff.inp")) << "one worker folder per thread";
    EXPECT_NE(run.output.find("Final number of paths: "), std::string::npos);

    // A second run with -skippaths reads the list back as it stands.
    auto again = std::make_unique<Calculation>();
    again->flags.skippaths = true;
    const DriverRun skipped = run_path_stages(*again, parameters);
    EXPECT_NE(skipped.output.find("      9: WRITING EQUILIBRIUM PATHS - skipped\n"), std::string::npos);
    EXPECT_EQ(again->edges[0].pathfinder.paths.size(), calc->edges[0].pathfinder.paths.size());

    // The importances, and so the final list, do not depend on how many threads ran FEFF.
    std::vector<std::vector<double>> importances;
    for (const char* threads : {"1", "4"}) {
        auto single = std::make_unique<Calculation>();
        run_path_stages(*single, parameters + "Number_of_threads " + threads + "\n");
        importances.emplace_back();
        for (const Path& path : single->edges[0].pathfinder.paths) importances.back().push_back(path.importance);
    }
    EXPECT_EQ(importances[0], importances[1]);
    EXPECT_FALSE(importances[0].empty());
}

// A cluster whose species group by element: Cu2, Cu3 and O2 carry no species label of their own. The O1
// and O2 shells are the same shell turned by 90 degrees, so their paths must be the same apart from the
// label: an O2 taken for the absorber's potential would be computed as Cu-Cu*.
TEST(Driver, RelabelledAtomsOfAClusterTakeThePotentialOfTheirElement) {
    ScopedWorkFolder folder;
    std::ofstream("cluster.xyz") << "9\nrelabelled copper oxide\nCu 0 0 0\nO1 1.9 0 0\nO1 -1.9 0 0\nO2 0 1.9 0\n"
                                    "O2 0 -1.9 0\nCu2 0 0 2.6\nCu2 0 0 -2.6\nCu3 2.0 2.0 1.0\nCu3 -2.0 -2.0 -1.0\n";
    std::ofstream spectrum("expEXAFS.dat");
    for (int i = 1; i <= 300; ++i) spectrum << std::sin(0.1 * i * 3.8) << ' ' << 0.05 * i << '\n';
    spectrum.close();
    fs::copy_file(FEFF_STANDIN, "feff85L.exe");
    auto calc = std::make_unique<Calculation>();
    calc->flags.has_extra_argument = true;
    const DriverRun run = run_path_stages(*calc,
                                     "Edge Cu\npbc 0\nk_min 2\nk_max 12\nNumber_of_states 2\nNumber_of_threads 2\n"
                                     "N_legs 2\nR_max_for_FEFF 3.2\nFEFF_criteria 0.5\n",
                                     "cluster.xyz");
    ASSERT_EQ(run.code, -1) << run.output;
    EXPECT_EQ(calc->structures[0].species_labels, (std::vector<std::string>{"Cu", "O1"}));

    // Each block: head, columns, scatterer, absorber. Coordinates aside, the O1 and O2 blocks agree.
    std::ifstream list("feff_0/paths_fin.dat");
    std::vector<std::string> lines;
    for (std::string line; std::getline(list, line);) lines.push_back(line);
    std::map<std::string, std::vector<std::string>> blocks;  // by scatterer label: head, then per atom ipot to eta
    for (std::size_t head = 2; head + 3 < lines.size(); head += 4) {
        const auto from_ipot = [](const std::string& line) {
            std::istringstream fields(line);
            double coordinate;
            fields >> coordinate >> coordinate >> coordinate;
            std::string rest;
            std::getline(fields, rest);
            return rest;
        };
        const std::string scatterer = from_ipot(lines[head + 2]);
        const std::string label = scatterer.substr(scatterer.find('\'') + 1, scatterer.find(' ', scatterer.find('\'')) -
                                                                              scatterer.find('\'') - 1);
        blocks[label] = {lines[head].substr(lines[head].find("    ", 5)), scatterer, from_ipot(lines[head + 3])};
    }
    ASSERT_EQ(blocks.size(), 4u) << run.output;
    EXPECT_EQ(blocks["O1"][1].substr(0, 4), "  2 ") << "the potential of the O1 species";
    EXPECT_EQ(blocks["O2"][1].substr(0, 4), "  2 ");
    EXPECT_EQ(blocks["Cu2"][1].substr(0, 4), "  1 ") << "the potential of the Cu species, not the absorber's";
    EXPECT_EQ(blocks["Cu3"][1].substr(0, 4), "  1 ");
    EXPECT_EQ(blocks["O1"][2], blocks["O2"][2]) << "the absorber line";
    EXPECT_EQ(blocks["O1"][0], blocks["O2"][0]) << "degeneracy and length";
    const std::string o1 = blocks["O1"][1], o2 = blocks["O2"][1];
    EXPECT_EQ(o1.substr(o1.rfind('\'')), o2.substr(o2.rfind('\''))) << "leg and angle";

    std::map<std::string, double> importance;
    for (const Path& path : calc->edges[0].pathfinder.paths) {
        const PathNode& scatterer = calc->edges[0].pathfinder.nodes[static_cast<std::size_t>(path.representative)];
        importance[node_label(calc->edges[0].pathfinder, scatterer)] = path.importance;
    }
    EXPECT_EQ(importance["O1"], importance["O2"]) << "the same signal";
    EXPECT_NE(importance["O1"], importance["Cu2"]);
    EXPECT_NE(run.output.find("\tCu*-O2-"), std::string::npos);
    EXPECT_EQ(run.output.find("O2*"), std::string::npos);
}
#endif

TEST(Driver, FeffProgramIsCopiedKeepingItsExecutableBit) {
    ScopedWorkFolder folder;
    auto calc = std::make_unique<Calculation>();
    set_parameter_defaults(*calc);
    calc->parameters.strings[StringKey::FEFF_path] = "myfeff";
    std::ofstream("myfeff") << "#!/bin/sh\n";
    fs::permissions("myfeff", fs::perms::owner_all);
    install_feff_program(*calc);
    ASSERT_TRUE(fs::exists("feff_win.exe"));
    EXPECT_NE(fs::status("feff_win.exe").permissions() & fs::perms::owner_exec, fs::perms::none);
    EXPECT_EQ(file_text("feff_win.exe"), "#!/bin/sh\n");
}

TEST(Driver, MissingFeffProgramEndsWith1UnlessOnlyInputFilesAreWanted) {
    ScopedWorkFolder folder;
    auto calc = std::make_unique<Calculation>();
    set_parameter_defaults(*calc);
    calc->parameters.strings[StringKey::FEFF_path] = "absent";
    {
        CaptureStdout capture;
        EXPECT_EQ(exit_code_of([&] { install_feff_program(*calc); }), 1);
        EXPECT_EQ(capture.text(), "ERROR! Specified FEFF program not found! (absent: No such file or directory)\n");
    }
    calc->flags.atoms = true;
    EXPECT_EQ(exit_code_of([&] { install_feff_program(*calc); }), -1);
}

// What would only show, after the potentials' setup, as outputs that never appear is refused before:
// a folder or a file that cannot be run. An older copy of the program in the run folder never runs in
// place of the one named.
TEST(Driver, FeffProgramThatCannotBeRunOrCopiedEndsWith1) {
    ScopedWorkFolder folder;
    auto calc = std::make_unique<Calculation>();
    set_parameter_defaults(*calc);
    std::ofstream("feff_win.exe") << "#!/bin/sh\necho stale program\n";
    fs::create_directory("feffdir");
    std::ofstream("plain") << "#!/bin/sh\n";
    std::ofstream("myfeff") << "#!/bin/sh\n";
    fs::permissions("myfeff", fs::perms::owner_all);
    const std::pair<const char*, const char*> cases[] = {
        {"feffdir", "ERROR! Specified FEFF program not found! (feffdir: Is a directory)\n"},
        {"plain", "ERROR: FEFF PROGRAM plain CANNOT BE RUN: Permission denied (it is not executable)!\n"},
    };
    for (const auto& [path, message] : cases) {
        calc->parameters.strings[StringKey::FEFF_path] = path;
        CaptureStdout capture;
        EXPECT_EQ(exit_code_of([&] { install_feff_program(*calc); }), 1) << path;
        EXPECT_EQ(capture.text(), message);
        EXPECT_EQ(file_text("feff_win.exe"), "#!/bin/sh\necho stale program\n");
    }
    // The copy itself fails: a folder stands where the copy goes.
    fs::remove("feff_win.exe");
    fs::create_directories("feff_win.exe/old");
    calc->parameters.strings[StringKey::FEFF_path] = "myfeff";
    {
        CaptureStdout capture;
        EXPECT_EQ(exit_code_of([&] { install_feff_program(*calc); }), 1);
        EXPECT_EQ(capture.text().rfind("ERROR: FEFF PROGRAM myfeff CANNOT BE COPIED TO feff_win.exe: ", 0), 0u) << capture.text();
    }
    // The program named as the copy itself is in place already.
    fs::remove_all("feff_win.exe");
    std::ofstream("feff_win.exe") << "#!/bin/sh\n";
    fs::permissions("feff_win.exe", fs::perms::owner_all);
    calc->parameters.strings[StringKey::FEFF_path] = "feff_win.exe";
    EXPECT_EQ(exit_code_of([&] { install_feff_program(*calc); }), -1);
    // Only writing FEFF's input needs no program.
    calc->flags.atoms = true;
    calc->parameters.strings[StringKey::FEFF_path] = "feffdir";
    EXPECT_EQ(exit_code_of([&] { install_feff_program(*calc); }), -1);
}

TEST(Driver, UnwritableCopyIsReportedNotIgnored) {
    ScopedWorkFolder folder;
    auto calc = std::make_unique<Calculation>();
    set_parameter_defaults(*calc);
    CaptureStdout capture;
    EXPECT_EQ(exit_code_of([&] { write_parameter_copy(*calc, "no-such-folder/example.dat"); }), 4);
    EXPECT_EQ(capture.text(), "ERROR: FILE no-such-folder/example.dat CANNOT BE WRITTEN! No such file or directory\n");
}

TEST(Driver, FeffThatWritesNoPotentialsStopsTheRun) {
    ScopedWorkFolder folder;
    std::ofstream("structure.p1") << "Cu\n1\n3.61 0 0\n0 3.61 0\n0 0 3.61\nCu\n1\nDirect\n0 0 0 Cu\n";
    std::ofstream("expEXAFS.dat") << "0.1 1\n0.2 5\n0.1 10\n0.0 19\n";
    std::ofstream("silentfeff") << "#!/bin/sh\nexit 0\n";
    fs::permissions("silentfeff", fs::perms::owner_all);
    fs::create_directory("feff_0");
    std::ofstream("feff_0/pot.bin") << "left from an earlier run";
    auto calc = std::make_unique<Calculation>();
    const DriverRun run = run_driver(*calc, "Edge Cu\nFEFF_path silentfeff\nk_min 1\nk_max 3\nNumber_of_states 2\n");
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.output.find("ERROR! FEFF potential missing! (feff_0/pot.pad, feff_0/pot.bin: No such file or directory)\n"),
              std::string::npos)
        << "stale potentials are not taken for new ones";

    // A script without its #! line cannot be started: the run says so rather than that potentials are missing.
    std::ofstream("scriptfeff") << "exit 0\n";
    fs::permissions("scriptfeff", fs::perms::owner_all);
    auto script_calc = std::make_unique<Calculation>();
    const DriverRun script =
        run_driver(*script_calc, "Edge Cu\nFEFF_path scriptfeff\nk_min 1\nk_max 3\nNumber_of_states 2\n");
    EXPECT_EQ(script.code, 1);
    EXPECT_NE(script.output.find("\nERROR: FEFF IN feff_0 could not be started: Exec format error"), std::string::npos)
        << script.output;
}
