#include "control/calculation.hpp"
#include "theory/absorber_edge.hpp"
#include "theory/feff_input.hpp"
#include "theory/feff_outputs.hpp"
#include "theory/feff_run.hpp"
#include "theory/path_runs.hpp"
#include "test_support.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/structure.hpp"
#include "optimisation/population/state.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

TEST(FeffFolders, NamesFollowTheEdgeAndWorkerNumbers) {
    EXPECT_EQ(feff_worker_folder_name(12, 3), "feff_12_3");
    EXPECT_EQ(feff_worker_file_path(12, 3, "chi.dat"), "feff_12_3/chi.dat");
    EXPECT_EQ(feff_folder_file_path(0, "feff.inp"), "feff_0/feff.inp");
    EXPECT_EQ(chip_file_name(7), "chip0007.dat");
    EXPECT_EQ(chip_file_name(1200), "chip1200.dat");
    EXPECT_EQ(chip_file_name(12345), "chip12345.dat");
}

TEST(FeffFolders, ProgramsRunInTheirOwnFolderAndKeepTheirExecutableBit) {
    ScopedWorkFolder folder;
    std::ofstream(feff_program_name) << "#!/bin/sh\npwd > where.txt\necho noise\n";
    fs::permissions(feff_program_name, fs::perms::owner_all);
    prepare_feff_folder(2);
    std::ofstream("feff_2/pot.bin") << "potentials";
    prepare_feff_worker_folder(2, 0);
    prepare_feff_worker_folder(2, 0);  // an existing folder is refilled
    EXPECT_TRUE(fs::exists("feff_2_0/pot.bin"));
    run_feff(2, 0);
    run_feff(2, -1);
    std::ifstream worker("feff_2_0/where.txt"), edge("feff_2/where.txt");
    std::string worker_path, edge_path;
    std::getline(worker, worker_path);
    std::getline(edge, edge_path);
    EXPECT_EQ(fs::path(worker_path).filename(), "feff_2_0");
    EXPECT_EQ(fs::path(edge_path).filename(), "feff_2");
    EXPECT_EQ(fs::current_path(), folder.path()) << "the program's own folder never changes";
    EXPECT_EQ(run_program_in_folder("absent.exe", "feff_2").start_error, ENOENT);

    // A later run that kept the potentials brings another program: its workers run that one.
    std::ofstream(feff_program_name, std::ios::trunc) << "#!/bin/sh\necho later > which.txt\n";
    prepare_feff_worker_folder(2, 0);
    EXPECT_EQ(file_text("feff_2_0/feff_win.exe"), file_text(feff_program_name));
    EXPECT_NE(file_text("feff_2/feff_win.exe"), file_text(feff_program_name));

    // A FEFF that a killed run left running in the worker folder holds its program file busy: the folder
    // still gets the new program, and the old process goes on with its own file.
    fs::copy_file("/bin/sleep", "feff_2_0/feff_win.exe", fs::copy_options::overwrite_existing);
    const pid_t left_running = fork();
    if (left_running == 0) {
        execl("feff_2_0/feff_win.exe", "feff_win.exe", "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(left_running, 0);
    std::error_code not_yet;
    for (int tries = 0; tries < 500; ++tries) {
        const fs::path image = fs::read_symlink("/proc/" + std::to_string(left_running) + "/exe", not_yet);
        if (!not_yet && image.filename() == "feff_win.exe") break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    prepare_feff_worker_folder(2, 0);
    EXPECT_EQ(file_text("feff_2_0/feff_win.exe"), file_text(feff_program_name));
    EXPECT_FALSE(fs::exists("feff_2_0/feff_win.exe.tmp"));
    kill(left_running, SIGKILL);
    waitpid(left_running, nullptr, 0);
}

// FEFF reports success by ending with status 0; every other end is an error that names the folder and
// the system's reason, so that a program that never ran is not taken for one that wrote nothing.
TEST(FeffFolders, AProgramThatCannotStartCrashesOrFailsEndsTheRunNamingTheCause) {
    ScopedWorkFolder folder;
    fs::create_directory("feff_2");
    struct Case {
        const char* program;
        fs::perms permissions;
        const char* message;
    };
    const Case cases[] = {
        {"echo no interpreter line\n", fs::perms::owner_all,
         "ERROR: FEFF IN feff_2 could not be started: Exec format error (it is no program for this machine, nor a script "
         "whose first line is #!)!\n"},
        {"#!/bin/sh\n", fs::perms::owner_read | fs::perms::owner_write,
         "ERROR: FEFF IN feff_2 could not be started: Permission denied!\n"},
        {"#!/bin/sh\nexit 2\n", fs::perms::owner_all, "ERROR: FEFF IN feff_2 ended with exit status 2!\n"},
        {"#!/bin/sh\nkill -SEGV $$\n", fs::perms::owner_all,
         "ERROR: FEFF IN feff_2 was ended by signal 11 (Segmentation fault)!\n"},
        {"#!/bin/sh\nexit 0\n", fs::perms::owner_all, ""},
    };
    for (const Case& c : cases) {
        fs::remove("feff_2/feff_win.exe");
        std::ofstream("feff_2/feff_win.exe") << c.program;
        fs::permissions("feff_2/feff_win.exe", c.permissions);
        CaptureStdout capture;
        const int code = exit_code_of([] { require_normal_feff_end(run_feff(2, -1), "feff_2"); });
        EXPECT_EQ(code, c.message[0] ? 1 : -1) << c.program;
        EXPECT_EQ(capture.text(), c.message);
    }
    // A full disk: a FEFF that fails writing, and the outputs it could not write, say so.
    fs::create_symlink("/dev/full", "feff_2/.write_check");
    std::ofstream("feff_2/feff_win.exe", std::ios::trunc) << "#!/bin/sh\nexit 2\n";
    CaptureStdout capture;
    EXPECT_EQ(exit_code_of([] { require_normal_feff_end(run_feff(2, -1), "feff_2"); }), 1);
    fs::create_symlink("/dev/full", "feff_2/.write_check");
    EXPECT_EQ(exit_code_of([] { read_feff_table("feff_2/chi.dat", 4); }), 1);
    std::ofstream("feff_2/chi.dat") << "# the header, and no room for more\n";
    fs::create_symlink("/dev/full", "feff_2/.write_check");
    EXPECT_EQ(exit_code_of([] { read_feff_table("feff_2/chi.dat", 4); }), 1);
    EXPECT_EQ(capture.text(), "ERROR: FEFF IN feff_2 ended with exit status 2! (feff_2 cannot be written: No space left on device)\n"
                              "ERROR: FEFF OUTPUT feff_2/chi.dat NOT FOUND! (No such file or directory; feff_2 cannot be "
                              "written: No space left on device)\n"
                              "ERROR: FEFF OUTPUT feff_2/chi.dat HOLDS NO DATA! (feff_2 cannot be written: No space left on device)\n");
}

// A copy or a removal that fails would leave an older program, or an older run's files, in the folder to
// be run or read in place of this run's.
TEST(FeffFolders, FailedCopiesAndRemovalsInTheFoldersEndTheRun) {
    ScopedWorkFolder folder;
    std::ofstream(feff_program_name) << "#!/bin/sh\n";
    std::ofstream("feff_3") << "a file where the folder belongs";
    CaptureStdout capture;
    EXPECT_EQ(exit_code_of([] { prepare_feff_folder(3); }), 1);
    EXPECT_EQ(capture.text(), "ERROR: FOLDER feff_3 CANNOT BE MADE: File exists!\n");
    fs::create_directories("feff_2_0/feff_win.exe");
    prepare_feff_folder(2);
    CaptureStdout worker_capture;
    EXPECT_EQ(exit_code_of([] { prepare_feff_worker_folder(2, 0); }), 1);
    EXPECT_EQ(worker_capture.text().rfind("ERROR: FILE feff_win.exe CANNOT BE COPIED INTO feff_2_0: ", 0), 0u)
        << worker_capture.text();
    // An earlier run's output that cannot be removed would pass for the next run's.
    fs::create_directories("feff_2/chi.dat/held");
    CaptureStdout remove_capture;
    EXPECT_EQ(exit_code_of([] { remove_stale_feff_output("feff_2/chi.dat"); }), 1);
    EXPECT_EQ(remove_capture.text().rfind("ERROR: FILE feff_2/chi.dat OF AN EARLIER FEFF RUN CANNOT BE REMOVED: ", 0), 0u)
        << remove_capture.text();
    EXPECT_EQ(exit_code_of([] { remove_stale_feff_output("feff_2/absent.dat"); }), -1);
    // The mode that only writes FEFF's input needs no program.
    fs::remove(feff_program_name);
    EXPECT_EQ(exit_code_of([] { prepare_feff_folder(4, false); }), -1);
    EXPECT_TRUE(fs::is_directory("feff_4"));
}

TEST(FeffFolders, AWaitThatGoesOnIsReportedWithTheFolderUntilTheProgramEnds) {
    ScopedWorkFolder folder;
    fs::create_directory("feff_3_1");
    std::ofstream("feff_3_1/slow.exe") << "#!/bin/sh\nsleep 1\necho done > ended.txt\n";
    fs::permissions("feff_3_1/slow.exe", fs::perms::owner_all);
    CaptureStdout capture;
    const ProgramEnd slow = run_program_in_folder("slow.exe", "feff_3_1", std::chrono::milliseconds(50));
    ASSERT_EQ(slow.start_error, 0);
    EXPECT_TRUE(WIFEXITED(slow.status) && WEXITSTATUS(slow.status) == 0) << "the status of the program waited for";
    EXPECT_TRUE(fs::exists("feff_3_1/ended.txt")) << "the wait lasts until the program ends";
    const std::string output = capture.text();
    const std::string line = " --> still waiting for FEFF in folder feff_3_1, running for 0 min\n";
    ASSERT_NE(output.find(line), std::string::npos) << output;
    // Each line is time-stamped: "dd.mm.yyyy hh:mm:ss" and the six blanks of a note.
    EXPECT_EQ(output.find("      --> still waiting"), 19u) << output;

    // A program that ends before the first report passes in silence.
    std::ofstream("feff_3_1/quick.exe") << "#!/bin/sh\n";
    fs::permissions("feff_3_1/quick.exe", fs::perms::owner_all);
    CaptureStdout quiet;
    EXPECT_EQ(run_program_in_folder("quick.exe", "feff_3_1", std::chrono::minutes(5)).start_error, 0);
    EXPECT_EQ(quiet.text(), "");
}

TEST(AbsorberEdges, SpectraAndStructuresPairUpSpectrumMajor) {
    auto calc = std::make_unique<Calculation>();
    set_parameter_defaults(*calc);
    calc->parameters.ints[IntKey::Number_of_spectra] = 2;
    calc->parameters.ints[IntKey::Number_of_structures] = 2;
    calc->parameters.ints[IntKey::Number_of_threads] = 5;
    calc->spectrum_parameters[0].strings[SpectrumStringKey::Edge] = "Ge";
    calc->spectrum_parameters[1].strings[SpectrumStringKey::Edge] = "Ge";
    Structure& without = calc->structures[0];
    without.working_atoms = {{"Ge1", 0, 0, 0}, {"O", 1, 0, 0}, {"Ge", 5, 5, 5}};  // the last is an image
    without.atom_count = 2;
    Structure& with = calc->structures[1];
    with.working_atoms = {{"O", 0, 0, 0}, {"Ge", 1, 0, 0}};
    with.atom_count = 2;
    add_species(with, "O", 8);
    add_species(with, "Ge", 32);
    setup_absorber_edges(*calc);
    EXPECT_EQ(calc->absorber_edge_count, 2);
    EXPECT_EQ(calc->edges[0].structure, &with);
    EXPECT_EQ(calc->edges[1].spectrum, &calc->spectrum_parameters[1]);
    EXPECT_EQ(calc->spectra[1].edge_count, 1);
    EXPECT_EQ(calc->spectra[1].edge_indices[0], 1);
    EXPECT_EQ(calc->edges[1].worker_count, 5);

    calc->spectrum_parameters[1].strings[SpectrumStringKey::Edge] = "Zn";
    {
        CaptureStdout capture;
        EXPECT_EQ(exit_code_of([&] { setup_absorber_edges(*calc); }), 1);
        EXPECT_EQ(capture.text(), "ERROR: no absorbing atoms for Zn edge!\n"
                                  "       structure 0 holds no atom labelled Zn; its labels are Ge1, O\n"
                                  "       structure 1 holds no atom labelled Zn; its labels are O, Ge\n");
    }
    // Site labels of a CIF file name the element with a suffix; the error says how to read them.
    calc->parameters.ints[IntKey::Number_of_structures] = 1;
    CaptureStdout capture;
    EXPECT_EQ(exit_code_of([&] { setup_absorber_edges(*calc); }), 1);
    EXPECT_EQ(capture.text(), "ERROR: no absorbing atoms for Ge edge!\n"
                              "       the atom labels of structure 0 (Ge1) do not name the element Ge of the Edge: set "
                              "labels_to_element_name 1 to read such labels as element names\n");
}

TEST(AbsorberEdges, LabelsWithoutAPotentialAreRefusedBeforeAnyFeffRun) {
    auto calc = std::make_unique<Calculation>();
    set_parameter_defaults(*calc);
    Structure& structure = calc->structures[0];
    // A label naming no element ("Qq" read without labels_to_element_name), and one whose element has no
    // species (an initial geometry bringing a new element).
    for (const auto& [label, z] : std::vector<std::pair<std::string, int>>{{"Qq", 0}, {"Zn", 0}}) {
        structure = Structure{};
        structure.working_atoms = {{"Ge", 0, 0, 0}, {label, 1, 0, 0}};
        structure.atom_count = 2;
        add_species(structure, "Ge", 32);
        if (label == "Qq") add_species(structure, label, z);
        CaptureStdout capture;
        EXPECT_EQ(exit_code_of([&] { setup_absorber_edges(*calc); }), 5) << label;
        EXPECT_EQ(capture.text(), "ERROR: UNIDENTIFIED ATOM LABEL!\n");
    }
    structure.working_atoms[1].label = "Ge7";  // relabelled: the first germanium species serves
    EXPECT_EQ(exit_code_of([&] { setup_absorber_edges(*calc); }), -1);
}

TEST(FeffOutputs, RealFeffTablesReadOntoTheFixedGrid) {
    // Outputs of a real FEFF 8.5L run on fcc copper.
    const std::string samples = std::string(TALQ_SOURCE_DIR) + "/tests/theory/data/feff85l_";
    const auto chi = read_feff_table(samples + "chi.dat", 4);
    ASSERT_EQ(chi.size(), 401u);
    double grid[402] = {};
    place_on_fixed_grid(chi, 1, grid, 402);
    EXPECT_DOUBLE_EQ(grid[0], chi[0][1]) << "a first row at k = 0 goes to element 0";
    const auto chip = read_feff_table(samples + "chip0001.dat", 5);
    ASSERT_EQ(chip.size(), 401u);
    EXPECT_DOUBLE_EQ(chip[1][0], 0.05);
    EXPECT_DOUBLE_EQ(chip[1][4], -1.453158);
    // chi = mag sin(phase) in a real per-path file.
    EXPECT_NEAR(chip[100][1], chip[100][2] * std::sin(chip[100][3]), 1e-6);

    const std::vector<FeffRow> shifted{{0.05, 1.0, 0, 0, 0}, {0.10, 2.0, 0, 0, 0}};
    double target[3] = {9, 9, 9};
    place_on_fixed_grid(shifted, 1, target, 3);
    EXPECT_EQ(target[0], 0.0);
    EXPECT_EQ(target[2], 2.0);
    double short_target[3] = {9, 9, 9};
    place_on_fixed_grid(shifted, 1, short_target, 2);
    EXPECT_EQ(short_target[1], 1.0);
    EXPECT_EQ(short_target[2], 9.0) << "rows past the grid are dropped";
}

TEST(FeffOutputs, MissingOrEmptyOutputsStopTheRun) {
    ScopedWorkFolder folder;
    std::ofstream("chi.dat") << "# header without the column line\n1 2 3 4\n";
    CaptureStdout capture;
    EXPECT_EQ(exit_code_of([] { read_feff_table("chi.dat", 4); }), 1);
    EXPECT_EQ(exit_code_of([] { read_feff_table("absent.dat", 4); }), 1);
    EXPECT_EQ(capture.text(), "ERROR: FEFF OUTPUT chi.dat HOLDS NO DATA!\n"
                              "ERROR: FEFF OUTPUT absent.dat NOT FOUND! (No such file or directory)\n");
}

TEST(FeffOutputs, ValuesThatAreNoUsableNumbersAreRefusedNotTakenForTheEnd) {
    ScopedWorkFolder folder;
    for (const char* word : {"NaN", "Infinity", "1e308", "********"}) {
        std::ofstream("chi.dat") << "# k chi mag phase @#\n0.00 1 1 0\n0.05 " << word << " 1 0\n0.10 1 1 0\n";
        CaptureStdout capture;
        EXPECT_EQ(exit_code_of([] { read_feff_table("chi.dat", 4); }), 4) << word;
        EXPECT_EQ(capture.text(), std::string("ERROR: VALUE ") + word + " IN FILE chi.dat CANNOT BE USED!\n");
    }
    std::ofstream("chi.dat") << "# k chi mag phase @#\n0.00 1 1 0\n0.05 2 1 0\n0.10 3\n";
    EXPECT_EQ(read_feff_table("chi.dat", 4).size(), 2u) << "a row cut short at the end is dropped";
}

// FEFF writes its tables to k = 20; one cut off on the way (a crash, a full disk) must not leave the
// rest of a signal at stale values.
TEST(FeffOutputs, ATableCutOffBeforeTheEndOfTheGridStopsTheRun) {
    ScopedWorkFolder folder;
    std::ostringstream sample;
    sample << std::ifstream(std::string(TALQ_SOURCE_DIR) + "/tests/theory/data/feff85l_chi.dat").rdbuf();
    const std::string whole = sample.str();
    std::ofstream("chi.dat") << whole.substr(0, whole.size() / 2);
    std::vector<double> grid(path_chi_points, 7.0);
    CaptureStdout capture;
    EXPECT_EQ(exit_code_of([&] { read_feff_chi("chi.dat", 4, grid.data(), path_chi_points); }), 1);
    EXPECT_EQ(capture.text().rfind("ERROR: FEFF OUTPUT chi.dat IS INCOMPLETE: IT ENDS AFTER ", 0), 0u) << capture.text();
    EXPECT_NE(capture.text().find(" ROWS, BEFORE k = 20!\n"), std::string::npos) << capture.text();

    std::ofstream("chi.dat") << whole;
    EXPECT_EQ(exit_code_of([&] { read_feff_chi("chi.dat", 4, grid.data(), path_chi_points); }), -1);
    // A table that starts at k = 0.05 needs one row less.
    std::ostringstream shifted;
    shifted << "@#\n";
    for (int i = 1; i <= 400; ++i) shifted << 0.05 * i << " 1 1 0 0\n";
    std::ofstream("chip0001.dat") << shifted.str();
    EXPECT_EQ(exit_code_of([&] { read_feff_chi("chip0001.dat", 5, grid.data(), path_chi_points); }), -1);
    EXPECT_EQ(grid[0], 0.0);
    EXPECT_EQ(grid[400], 1.0);
}

// Every table of the real FEFF 8.5L runs is read; one of another shape is refused naming the file,
// not read as numbers in the wrong places.
TEST(FeffOutputs, TablesOfTheWrongShapeAreRefusedNamingTheFile) {
    ScopedWorkFolder folder;
    const std::string source = std::string(TALQ_SOURCE_DIR) + "/tests/";
    std::vector<double> grid(path_chi_points);
    for (const auto& [sample, fields] : std::vector<std::pair<std::string, int>>{
             {"theory/data/feff85l_chi.dat", 4}, {"theory/data/feff85l_chip0001.dat", 5}, {"fuzz/seeds/feff85l_chi_pathrun.dat", 4}}) {
        EXPECT_EQ(exit_code_of([&] { read_feff_chi(source + sample, fields, grid.data(), path_chi_points); }), -1) << sample;
    }
    // The real chi.dat: its column line is line 20, the row of k = 5 is line 121.
    std::vector<std::string> lines;
    {
        std::ifstream in(source + "theory/data/feff85l_chi.dat");
        for (std::string line; std::getline(in, line);) lines.push_back(line);
    }
    ASSERT_EQ(lines[120].substr(0, 11), "     5.0000");
    const auto table_with = [&lines](std::size_t index, const std::string& line) {
        std::ofstream out("chi.dat", std::ios::trunc);
        for (std::size_t i = 0; i < lines.size(); ++i) out << (i == index ? line : lines[i]) << '\n';
    };
    struct Case {
        std::string line121;
        int code;
        std::string message;
    };
    const std::string row = lines[120];
    const Case cases[] = {
        {row.substr(0, row.rfind(' ')), 1, "ERROR: FEFF OUTPUT chi.dat IS MALFORMED: LINE 121 HOLDS 3 VALUES WHERE 4 WERE EXPECTED!\n"},
        {row + " 1.0", 1, "ERROR: FEFF OUTPUT chi.dat IS MALFORMED: LINE 121 HOLDS 5 VALUES WHERE 4 WERE EXPECTED!\n"},
        {"     5.0100" + row.substr(11), 1,
         "ERROR: FEFF OUTPUT chi.dat IS NOT ON FEFF'S k GRID: ROW 101 HAS k = 5.01 WHERE 5 WAS EXPECTED (k = 0, 0.05, ..., 20)!\n"},
        {"     5.0000   1.000000E+29  1.0 1.0", 4,
         "ERROR: VALUE 1.000000E+29 IN FILE chi.dat CANNOT BE USED! (line 121: no FEFF signal or phase exceeds 1e+06 in size)\n"},
        {"     5.0000  -9.000000E+05  1.0 1.0", -1, ""},
    };
    for (const Case& c : cases) {
        table_with(120, c.line121);
        CaptureStdout capture;
        EXPECT_EQ(exit_code_of([&] { read_feff_chi("chi.dat", 4, grid.data(), path_chi_points); }), c.code) << c.line121;
        EXPECT_EQ(capture.text(), c.message);
    }
    EXPECT_EQ(grid[100], -9e5);
    // A table on a coarser grid covers k = 0 to 20 in half the rows.
    std::ofstream coarse("chip0001.dat");
    coarse << "@#\n";
    for (int i = 0; i <= 200; ++i) coarse << 0.1 * i << " 1 1 0 0\n";
    coarse.close();
    CaptureStdout capture;
    EXPECT_EQ(exit_code_of([&] { read_feff_chi("chip0001.dat", 5, grid.data(), path_chi_points); }), 1);
    EXPECT_EQ(capture.text(), "ERROR: FEFF OUTPUT chip0001.dat IS NOT ON FEFF'S k GRID: ROW 2 HAS k = 0.1 WHERE 0.05 WAS EXPECTED "
                              "(k = 0, 0.05, ..., 20)!\n");
}

#ifdef FEFF_STANDIN
// The stand-in in FEFF's place: the input the program writes goes in, and what comes out is read back
// by the program's own readers.
TEST(FeffOutputs, StandInRunsOnTheProgramsOwnInput) {
    ScopedWorkFolder folder;
    auto calc = std::make_unique<Calculation>();
    set_parameter_defaults(*calc);
    Structure& copper = calc->structures[0];
    copper.parameters = &calc->structure_parameters[0];
    copper.parameters->type_code = structure_type_p1;
    const double h = 1.805;
    copper.working_atoms = {{"Cu", 0, 0, 0}, {"Cu", h, h, 0}, {"Cu", h, 0, h}, {"Cu", 0, h, h}, {"Cu", -h, -h, 0},
                            {"Cu", -h, 0, -h}, {"Cu", 0, -h, -h}, {"Cu", 3.61, 0, 0}};
    copper.atom_count = copper.working_count = 8;
    add_species(copper, "Cu", 29);
    calc->spectrum_parameters[0].strings[SpectrumStringKey::Edge] = "Cu";
    AbsorberEdge& edge = calc->edges[0];
    edge.spectrum = &calc->spectrum_parameters[0];
    edge.structure = &copper;
    fs::copy_file(FEFF_STANDIN, feff_program_name);
    prepare_feff_folder(0);
    write_feff_inp(edge, false);
    EXPECT_TRUE(fs::exists("feff_0/pot.bin"));
    const auto chi = read_feff_table("feff_0/chi.dat", 4);
    EXPECT_EQ(chi.size(), 401u);
    double grid[402] = {};
    place_on_fixed_grid(chi, 1, grid, 402);
    double signal = 0.0;
    for (double value : grid) signal += std::abs(value);
    EXPECT_GT(signal, 0.0);
}
#endif
