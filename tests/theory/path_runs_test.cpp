#include "control/record_parameters.hpp"
#include "theory/absorber_edge.hpp"
#include "theory/feff_run.hpp"
#include "theory/path_runs.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

namespace {

void write_program(const std::string& text, const std::string& path = feff_program_name) {
    std::ofstream(path) << text;
    fs::permissions(path, fs::perms::owner_all);
}

// In FEFF's place: each block of paths.dat gets the constant chi degeneracy * (x of its first atom line),
// chi.dat their sum, with rows up to k = 21. The values are exact in binary, so no sum depends on its order.
const char* const fake_feff = R"(#!/bin/sh
awk '/index, nleg, degeneracy/ { i = $1; g = $3; atom = 1; next }
atom && /ipot/ { next }
atom { chi[i] = g * $1; order[++n] = i; atom = 0 }
END { for (m = 1; m <= n; m++) {
        f = sprintf("chip%04d.dat", order[m]); print "# k chi mag phase phase @#" > f; total += chi[order[m]]
        for (r = 0; r <= 420; r++) printf "%.2f %.10g 0 0 0\n", r * 0.05, chi[order[m]] > f }
      print "# k chi mag phase @#" > "chi.dat"
      for (r = 0; r <= 420; r++) printf "%.2f %.10g 0 0\n", r * 0.05, total > "chi.dat" }' paths.dat
)";

// FEFF's stage-5 list: the leading path gives a reference chi of 12 * 1.5 = 18.
const char* const feff_paths_head =
    "PATH  Rmax= 6.000\n ------\n     1    2  12.000  index, nleg, degeneracy, r=   1.5000\n"
    "      x           y           z     ipot  label      rleg      beta        eta\n"
    "    1.500000    0.000000    0.000000   1 'Cu    '\n    0.000000    0.000000    0.000000   0 'Cu    '\n";

const char* const edge_feff_inp =
    " \n TITLE   Talq_FEFF_inp\n  \n EDGE      K \n S02       1.000000000000\n \n"
    " *         pot    xsph  fms   paths genfmt ff2chi\n CONTROL   1      1     1     1     1      1\n"
    " PRINT     1      0     0     0     0      0\n  \n EXAFS 20.0\n"
    "CFAVERAGE 2 1 6.500000000000\n  \n ATOMS\n0.000000000000 0.000000000000 0.000000000000 1 Cu\n  END\n";

// One absorber at the origin and single-scattering paths to Cu atoms on the x axis.
struct Fixture {
    ScopedWorkFolder folder;
    SpectrumParameters spectrum;
    AbsorberEdge edge;

    explicit Fixture(int workers, const std::string& leading = feff_paths_head) {
        set_spectrum_parameter_defaults(spectrum);
        edge.spectrum = &spectrum;
        edge.worker_count = workers;
        edge.pathfinder.absorber_count = 1;
        edge.pathfinder.nodes.resize(1);
        edge.pathfinder.labels = {"Cu"};
        write_program(fake_feff);
        fs::create_directory("feff_0");
        std::ofstream("feff_0/feff.inp") << edge_feff_inp;
        std::ofstream("feff_0/paths.dat") << leading;
        write_worker_feff_inputs(edge);
    }

    void add_path(double x, int degeneracy) {
        Path& path = edge.pathfinder.paths.emplace_back();
        path.nleg = 2;
        path.degeneracy = degeneracy;
        path.representative = static_cast<std::int32_t>(edge.pathfinder.nodes.size());
        PathNode& node = edge.pathfinder.nodes.emplace_back();
        node.parent = 0;
        node.atom = {x, 0, 0};
    }

    std::vector<double> importances() {
        run_leading_path_feff(edge);
        compute_path_importance(edge);
        std::vector<double> result;
        for (const Path& path : edge.pathfinder.paths) result.push_back(path.importance);
        return result;
    }
};

}  // namespace

TEST(PathBlock, LegsAndTurnsRunFromTheLastScattererBackToTheAbsorber) {
    PathGeometry geometry;
    geometry.atoms = {Atom{"X", 0, 0, 0}, Atom{"Y", 3, 0, 0}, Atom{"Z", 0, 2, 0}};
    geometry.potential_indices = {0, 1, 2};
    std::ostringstream out;
    write_path_block(out, geometry, 7, 1.5, 2);
    write_path_block(out, geometry, 2, 1.0, 3);  // legs X-Y 3, Y-Z sqrt(13), Z-X 2
    const std::string columns = "x           y           z     ipot  label      rleg      beta        eta\n";
    EXPECT_EQ(out.str(), "     7    2   1.500000  index, nleg, degeneracy, r=  3.000000\n" + columns +
                             " 3.000000 0.000000 0.000000  1 'Y     '     3.000000  180.000000    0.0000\n"
                             " 0.000000 0.000000 0.000000  0 'X     '     3.000000  180.000000    0.0000\n"
                             "     2    3   1.000000  index, nleg, degeneracy, r=  4.302776\n" + columns +
                             " 0.000000 2.000000 0.000000  2 'Z     '     2.000000  123.690068    0.0000\n"
                             " 3.000000 0.000000 0.000000  1 'Y     '     3.605551  146.309932    0.0000\n"
                             " 0.000000 0.000000 0.000000  0 'X     '     3.000000  90.000000    0.0000\n");
}

TEST(PathRuns, WorkerInputIsTheEdgeInputWithPathRunCardsAndNothingAfterIt) {
    Fixture fixture(2);
    std::string expected = edge_feff_inp;
    for (const std::string line : {" CONTROL   0      0     0     0     1      1",
                                   " PRINT   1      0     0     0     0      2", "CFAVERAGE 1 1 6"}) {
        const std::size_t at = expected.find("\n" + line.substr(0, 6)) + 1;
        expected.replace(at, expected.find('\n', at) - at, line);
    }
    expected += "\n";  // after "  END"
    ASSERT_LT(expected.size(), std::string(edge_feff_inp).size()) << "a copy written over would keep a stale tail";
    for (int worker = 0; worker < 2; ++worker) EXPECT_EQ(file_text(feff_worker_file_path(0, worker, "feff.inp")), expected);
}

TEST(PathRuns, ItemsGoToAsFewRunsAsTheListsHoldAndTheirChipFilesAreRemovedOnceRead) {
    EXPECT_EQ(feff_batch_layout(100, 8, 9998).folders, 1) << "a run for a few blocks costs more than the blocks";
    EXPECT_EQ(feff_batch_layout(300, 8, 9998).folders, 3);
    EXPECT_EQ(feff_batch_layout(5000, 8, 20000).folders, 8);
    EXPECT_EQ(feff_batch_layout(100000, 8, 20000).blocks_per_list, 6250) << "above 9999 FEFF names every chip file alike";
    EXPECT_EQ(feff_batch_layout(4131 * 8, 8, 2000).blocks_per_list, 1377) << "three even lists per folder";
    EXPECT_EQ(batch_slot(8, {4, 9998}).index, 4);
    EXPECT_EQ(batch_slot(9, {4, 9998}).worker, 1);
    EXPECT_EQ(batch_slot(1199, {1, 1199}).list, 1);
    EXPECT_EQ(batch_slot(1199, {1, 1199}).index, 2) << "first item of the folder's second list";

    Fixture fixture(2);
    write_program(std::string("#!/bin/sh\necho run >> runs\n") + (fake_feff + 10), "feff_0_0/feff_win.exe");
    const auto write_item = [](int item, const BatchSlot& slot, std::ostream& out) {
        PathGeometry geometry;
        geometry.atoms[1] = {"Cu", static_cast<double>(item), 0, 0};
        write_path_block(out, geometry, slot.index, 1.0, 2);
    };
    std::vector<double> chi(2500, -1.0);
    run_feff_batches(fixture.edge, 2500, {1, 1199}, write_item,
                     [&](int item, const std::vector<FeffRow>& rows) { chi[static_cast<std::size_t>(item)] = rows[7][1]; });
    for (int item = 0; item < 2500; ++item) ASSERT_EQ(chi[static_cast<std::size_t>(item)], item);
    EXPECT_EQ(file_text("feff_0_0/runs"), "run\nrun\nrun\n") << "lists of 1199, 1199 and 102 blocks";
    EXPECT_FALSE(fs::exists("feff_0_1/runs"));
    const std::string list = file_text("feff_0_0/paths.dat");
    EXPECT_NE(list.find("   103    2   1.000000  index"), std::string::npos);
    EXPECT_EQ(list.find("   104    2   1.000000  index"), std::string::npos);
    for (const auto& entry : fs::directory_iterator("feff_0_0"))
        EXPECT_NE(entry.path().filename().string().substr(0, 4), "chip") << entry.path();

    // Folders 1 and 2 leave nothing: the report is that of the lowest item, whichever folder stops first.
    Fixture failing(3);
    write_program("#!/bin/sh\n", "feff_0_1/feff_win.exe");
    write_program("#!/bin/sh\n", "feff_0_2/feff_win.exe");
    const auto run_failing = [&] {
        CaptureStdout capture;
        EXPECT_EQ(exit_code_of([&] {
                      run_feff_batches(failing.edge, 900, {3, 9998}, write_item, [](int, const std::vector<FeffRow>&) {});
                  }),
                  1);
        return capture.text();
    };
    EXPECT_EQ(run_failing(), "ERROR: FEFF OUTPUT feff_0_1/chip0002.dat NOT FOUND! (No such file or directory)\n");
    // A folder's program that ends abnormally is reported for that folder, whatever it left behind.
    write_program(std::string("#!/bin/sh\n") + (fake_feff + 10) + "exit 3\n", "feff_0_1/feff_win.exe");
    EXPECT_EQ(run_failing(), "ERROR: FEFF IN feff_0_1 ended with exit status 3!\n");
}

TEST(Importance, ShareOfTheTotalSignalWhateverTheWorkerCount) {
    for (const int workers : {4, 1, 3}) {
        Fixture fixture(workers);
        for (int p = 0; p < 10; ++p) fixture.add_path(1.0, p + 1);
        const std::vector<double> importances = fixture.importances();
        // One shape for all paths: the importance is the share of the degeneracy. Ten paths are too few
        // to start more than one run: path 9 is index 11 of worker 0 whatever the worker count.
        for (int p = 0; p < 10; ++p) EXPECT_DOUBLE_EQ(importances[static_cast<std::size_t>(p)], 100.0 * (p + 1) / 55.0);
        const std::string worker0 = file_text("feff_0_0/paths.dat");
        EXPECT_EQ(worker0.substr(0, std::string(feff_paths_head).size()), feff_paths_head);
        EXPECT_NE(worker0.find("     11    2   10.000000  index"), std::string::npos);
    }
    std::vector<double> chi(401, 0.0);
    chi[40] = 1.0;  // k = 2
    chi[0] = 3.0;
    EXPECT_DOUBLE_EQ(k_weighted_square_sum(chi, 2.0), 16.0);
    EXPECT_DOUBLE_EQ(k_weighted_square_sum(chi, 0.0), 10.0) << "k = 0 weighs only with k_power 0";
}

TEST(Importance, NoTotalSignalGivesZerosWithAWarning) {
    Fixture cancelling(3);
    cancelling.add_path(2.0, 1);
    cancelling.add_path(-2.0, 1);
    CaptureStdout capture;
    EXPECT_EQ(cancelling.importances(), (std::vector<double>{0.0, 0.0}));
    EXPECT_EQ(capture.text(), "WARNING: the paths give no total signal; every path importance is set to 0.\n");
    EXPECT_TRUE(cancelling.edge.pathfinder.paths[0].chi.empty()) << "released";
}

TEST(PathRuns, LeadingPathKeepsItsWholeHeadAndOnlyFreshOutputsAreRead) {
    std::string head = "title\n ----\n     1    5   2.000  index, nleg, degeneracy, r=   4.0000\n ipot\n";
    for (int leg = 0; leg < 5; ++leg) head += "    1.000000    0.000000    0.000000   1 'Cu    '\n";
    Fixture fixture(1, head + "     2    2   6.000  index, nleg, degeneracy, r=   2.0000\n");
    fixture.add_path(1.0, 1);
    EXPECT_EQ(fixture.importances(), std::vector<double>{100.0}) << "the path is the whole signal";
    EXPECT_EQ(fixture.edge.path_header_lines.size(), 9u);
    EXPECT_EQ(file_text("feff_0_0/paths.dat").substr(0, head.size()), head);
    EXPECT_EQ(fixture.edge.reference_chi[0], 2.0);
    // FEFF's rows run to k = 21 here; only k up to 20 is kept, in the reference as in every path's chi.
    EXPECT_EQ(fixture.edge.reference_chi[400], 2.0);
    EXPECT_EQ(fixture.edge.reference_chi[401], 0.0);

    write_program("#!/bin/sh\n", "feff_0_0/feff_win.exe");  // a FEFF that fails
    const std::pair<void (*)(AbsorberEdge&), const char*> failing_runs[] = {
        {compute_path_importance, "ERROR: FEFF OUTPUT feff_0_0/chip0002.dat NOT FOUND! (No such file or directory)\n"},
        {run_leading_path_feff, "ERROR: FEFF OUTPUT feff_0_0/chi.dat NOT FOUND! (No such file or directory)\n"}};
    for (const auto& [run, message] : failing_runs) {
        std::ofstream("feff_0_0/chi.dat") << "# k chi @#\n0 1 0 0\n";
        std::ofstream("feff_0_0/chip0002.dat") << "k chi mag phase phase-2kr @#\n0 1 0 0 0\n";
        CaptureStdout capture;
        EXPECT_EQ(exit_code_of([&] { run(fixture.edge); }), 1);
        EXPECT_EQ(capture.text(), message);
    }
    fs::remove("feff_0/paths.dat");
    CaptureStdout capture;
    EXPECT_EQ(exit_code_of([&] { run_leading_path_feff(fixture.edge); }), 1);
    EXPECT_EQ(capture.text(), "ERROR: FILE feff_0/paths.dat CANNOT BE OPENED! (No such file or directory)\n");
}
