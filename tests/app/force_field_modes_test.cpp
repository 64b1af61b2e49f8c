// Whole runs of the trajectory and force-field modes in a temporary folder, with the FEFF stand-in and
// the GULP stand-in installed as the run folder's gulp.exe.

#include "app/driver.hpp"
#include "control/calculation.hpp"
#include "optimisation/population/state.hpp"
#include "structure/structure.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#if defined(FEFF_STANDIN) && defined(GULP_STANDIN)
namespace {

namespace fs = std::filesystem;

struct TalqRun {
    int code = -1;
    std::string output;
    std::unique_ptr<Calculation> calc = std::make_unique<Calculation>();
};

const std::string copper =
    "File_with_structure cu.p1\nFile_with_experimental_EXAFS_signal exp.dat\nColumns_in_input 2\n"
    "Column_for_k 1\nColumn_for_chi 2\nEdge Cu\nSupercell 2x2x2\nk_min 2\nk_max 12\nNumber_of_states 2\n"
    "N_legs 2\nR_max_for_FEFF 3.0\nNumber_of_threads 1\n";

void write_inputs() {
    std::ofstream("cu.p1") << "Cu\n1\n3.61 0 0\n0 3.61 0\n0 0 3.61\nCu\n4\nDirect\n"
                              "0 0 0 Cu\n0.5 0.5 0 Cu\n0.5 0 0.5 Cu\n0 0.5 0.5 Cu\n";
    std::ofstream spectrum("exp.dat");
    for (int i = 1; i <= 300; ++i) spectrum << 0.05 * i << ' ' << 0.3 * std::sin(0.256 * i) * std::exp(-0.002 * i * i) << '\n';
    fs::copy_file(FEFF_STANDIN, "feff85L.exe");
    fs::copy_file(GULP_STANDIN, "gulp.exe");
}

TalqRun run_talq(const std::string& parameters, RunFlags flags, const std::string& extra_argument = "") {
    std::ofstream("input.dat") << "BEGIN\n" << parameters << "END\n";
    TalqRun run;
    flags.has_extra_argument = !extra_argument.empty();
    run.calc->flags = flags;
    CaptureStdout capture;
    run.code = exit_code_of([&] { run_calculation(*run.calc, "input.dat", extra_argument); });
    run.output = capture.text();
    return run;
}

std::string text_of(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// The numbers printed after `key`, in order.
std::vector<double> values_after(const std::string& output, const std::string& key) {
    std::vector<double> values;
    for (std::size_t at = output.find(key); at != std::string::npos; at = output.find(key, at + 1))
        values.push_back(std::stod(output.substr(at + key.size())));
    return values;
}

// The supercell atoms the geometry stage builds (a run of -md on a missing trajectory stops right after it).
std::vector<Atom> copper_supercell(const std::string& parameters, RunFlags flags) {
    const TalqRun probe = run_talq(parameters, flags, "missing.xyz");
    EXPECT_EQ(probe.code, 4) << probe.output;
    EXPECT_NE(probe.output.find("ERROR: FILE WITH XYZ DATA CANNOT BE OPENED!"), std::string::npos);
    const Structure& structure = probe.calc->structures[0];
    return {structure.supercell_atoms.begin(), structure.supercell_atoms.begin() + structure.atom_count};
}

// The supercell atoms, shifted a little, make a frame.
std::string copper_frame(const std::vector<Atom>& atoms) {
    std::ostringstream frame;
    frame.precision(12);
    frame << atoms.size() << "\nframe of copper\n";
    for (std::size_t i = 0; i < atoms.size(); ++i)
        frame << "Cu " << atoms[i].x + 0.03 * (i % 2) << ' ' << atoms[i].y << ' ' << atoms[i].z - 0.02 << '\n';
    return frame.str();
}

bool holds_non_numbers(const std::string& path) {
    const std::string text = text_of(path);
    return text.find("nan") != std::string::npos || text.find("inf") != std::string::npos;
}

}  // namespace

TEST(TrajectoryMode, ThreeIdenticalFramesAverageToTheOneFrameResult) {
    ScopedWorkFolder folder;
    write_inputs();
    RunFlags flags;
    flags.md = true;
    flags.skipcheck = true;  // the check refines the clusters between frames
    const std::string parameters = copper + "time2 1\n";
    const std::string frame = copper_frame(copper_supercell(parameters, flags));
    std::ofstream("one.xyz") << frame;
    std::ofstream("three.xyz") << frame << frame << frame;

    const TalqRun one = run_talq(parameters, flags, "one.xyz");
    ASSERT_EQ(one.code, 0) << one.output;
    const TalqRun three = run_talq(parameters, flags, "three.xyz");
    ASSERT_EQ(three.code, 0) << three.output;
    EXPECT_NE(three.output.find("Done. Averaged signal saved to averaged_EXAFS_..."), std::string::npos);
    const auto& single = one.calc->current_states[0].spectra[0].chi_grid;
    const auto& average = three.calc->current_states[0].spectra[0].chi_grid;
    EXPECT_NE(single[401], 0.0) << "k = 20 is averaged too";
    for (std::size_t i = 0; i < single.size(); ++i) EXPECT_NEAR(average[i], single[i], 1e-12) << i;
    // The means written between frames reach k = 20 like the final one.
    for (const char* file : {"averaged_EXAFS_0", "averaged_EXAFS_1", "averaged_EXAFS_2"})
        EXPECT_EQ(text_of(file), text_of("averaged_EXAFS_3")) << file;
}

// Frame atom i is model atom i: a repeated atom line, or an atom that has jumped onto a neighbour's site,
// puts two atoms on one spot, whose EXAFS is no number.
TEST(TrajectoryMode, FramesWithTwoAtomsOnOneSpotAreLeftOutOfTheAverage) {
    ScopedWorkFolder folder;
    write_inputs();
    RunFlags flags;
    flags.md = flags.skipcheck = true;
    const std::vector<Atom> atoms = copper_supercell(copper, flags);
    std::vector<Atom> repeated = atoms;
    repeated[5] = repeated[4];
    std::vector<Atom> jumped = atoms;
    jumped[0].x += 3.61;  // onto the next cell's corner atom (moved a little in the frame)
    std::ofstream("one.xyz") << copper_frame(atoms);
    std::ofstream("mixed.xyz") << copper_frame(atoms) << copper_frame(repeated) << copper_frame(jumped) << copper_frame(atoms);

    const TalqRun one = run_talq(copper, flags, "one.xyz");
    ASSERT_EQ(one.code, 0) << one.output;
    const TalqRun mixed = run_talq(copper, flags, "mixed.xyz");
    ASSERT_EQ(mixed.code, 0) << mixed.output;
    for (const char* frame : {"2", "3"}) {
        const std::string warning = std::string(" A) in frame ") + frame + " of mixed.xyz; the frame is not averaged.\n";
        EXPECT_NE(mixed.output.find(warning), std::string::npos) << warning << mixed.output;
    }
    EXPECT_NE(mixed.output.find("WARNING: atoms too close! ( 0.03 A) in frame 2"), std::string::npos);
    EXPECT_EQ(mixed.calc->iteration, 2) << "two frames averaged";
    const auto& single = one.calc->current_states[0].spectra[0].chi_grid;
    const auto& average = mixed.calc->current_states[0].spectra[0].chi_grid;
    for (std::size_t i = 0; i < single.size(); ++i) ASSERT_NEAR(average[i], single[i], 1e-12) << i;
    for (const char* file : {"averaged_EXAFS_0", "averaged_EXAFS_2"}) EXPECT_FALSE(holds_non_numbers(file)) << file;

    std::ofstream("broken.xyz") << copper_frame(repeated) << copper_frame(jumped);
    const TalqRun broken = run_talq(copper, flags, "broken.xyz");
    EXPECT_EQ(broken.code, 4);
    EXPECT_NE(broken.output.find("ERROR: NO FRAME OF broken.xyz COULD BE AVERAGED!\n"), std::string::npos) << broken.output;
}

TEST(ForceFieldModes, GuessedForceFieldRunsGulpAndAveragesTheFramesPastEquilibration) {
    ScopedWorkFolder folder;
    write_inputs();
    RunFlags flags;
    flags.useFF = flags.guessFF = true;
    flags.skipcheck = true;
    // FEFF refreshes the clusters at the first frame only.
    const TalqRun run = run_talq(copper + "Stop_after 60000\ntime1 1000\nUpdate_basis_every_... 100\n", flags);
    ASSERT_EQ(run.code, -1) << run.output;
    std::size_t at = 0;
    for (const char* step : {"      3: PROCESSING EXPERIMENTAL DATA\n", "13: MC CALCULATIONS WITH EXTERNAL FORCE FIELD",
                             "\tDEFAULTS: \n", "Starting Nelder-Mead", "\tSTATE : \n", "----- dmax = ",
                             "----- Residual: ", "CONVERGED: stddev = 1e+06\n"}) {
        at = run.output.find(step, at);
        ASSERT_NE(at, std::string::npos) << step << "\n" << run.output;
    }
    EXPECT_EQ(run.output.find("14: FINALIZING"), std::string::npos);
    EXPECT_EQ(run.output.find("WARNING: GULP"), std::string::npos) << run.output;
    const std::vector<double> residual = values_after(run.output, "----- Residual: ");
    ASSERT_EQ(residual.size(), 1u) << "one evaluation";
    EXPECT_GT(residual[0], 0.1) << "measured against the experiment, which this force field did not make";
    EXPECT_NE(text_of("gulp_template").find("Cu Cu 0.1 2.55266 12\nsupercell 2 2 2\n"), std::string::npos);
    EXPECT_EQ(text_of("input.gin").substr(0, 31), "montecarlo\tconv\tcartesian\tfull\n");
    // Trials 41000 .. 60000 are averaged, one frame every 1000 trials.
    for (const char* file : {"gulp.log", "averaged_EXAFS_0_0", "best_EXAFS.dat", "ft.dat", "bft.dat", "wt.dat", "rdf.dat"})
        EXPECT_TRUE(fs::exists(file)) << file;
    EXPECT_EQ(text_of("averaged_EXAFS_0_20"), text_of("EXAFS.dat"));
    EXPECT_EQ(run.calc->iteration, 20);

    // Molecular dynamics: every frame of the movie counts (10 frames of the 0.45 ps production).
    flags.gulpmd = true;
    const TalqRun md = run_talq(copper + "Stop_after 1000\nUpdate_basis_every_... 100\n", flags);
    ASSERT_EQ(md.code, -1) << md.output;
    EXPECT_EQ(text_of("input.gin").substr(0, 23), "md\tconv\tcartesian\tfull\n");
    EXPECT_FALSE(fs::exists("gulp.gmc")) << "removed before the run";
    EXPECT_EQ(text_of("averaged_EXAFS_0_10"), text_of("EXAFS.dat"));
    EXPECT_EQ(md.calc->iteration, 10);
}

// The spectrum of the guessed force field as the experiment: the fit starts on the force field that made
// it, which the residual shows, and ends converged no worse than there.
TEST(ForceFieldModes, AFitOfTheGuessedPairConvergesNoWorseThanItsStart) {
    ScopedWorkFolder folder;
    write_inputs();
    const std::string parameters = copper + "Stop_after 42000\ntime1 1000\nMC_temperature 0.001\n";
    RunFlags flags;
    flags.useFF = flags.guessFF = flags.skipcheck = true;
    ASSERT_EQ(run_talq(parameters, flags).code, -1);
    fs::copy_file("EXAFS.dat", "exp.dat", fs::copy_options::overwrite_existing);

    flags.useFF = flags.guessFF = false;
    flags.fitFF = true;
    const TalqRun fit = run_talq(parameters, flags);
    ASSERT_EQ(fit.code, -1) << fit.output;
    EXPECT_NE(fit.output.find("      3: PROCESSING EXPERIMENTAL DATA\n"), std::string::npos) << "the fit needs the spectrum";
    EXPECT_NE(fit.output.find("13: FORCE FIELD FITTING"), std::string::npos);
    EXPECT_NE(fit.output.find("\tDEFAULTS: 0.1 2.55266 \n"), std::string::npos) << fit.output;
    EXPECT_EQ(fit.output.find("ERROR"), std::string::npos);
    const std::vector<double> residuals = values_after(fit.output, "----- Residual: ");
    const std::vector<double> best = values_after(fit.output, "\t[BEST STATE RESIDUAL: ");
    const std::vector<double> converged = values_after(fit.output, "CONVERGED: stddev = ");
    ASSERT_EQ(converged.size(), 1u) << fit.output;
    EXPECT_LE(converged[0], 1e-6);
    ASSERT_GE(residuals.size(), 4u);
    EXPECT_LT(residuals.front(), 1e-6) << "the defaults are the force field that made the spectrum";
    EXPECT_GT(*std::max_element(residuals.begin(), residuals.end()), 0.1) << "other force fields do not fit it";
    ASSERT_FALSE(best.empty());
    EXPECT_LE(best.back(), residuals.front());
    EXPECT_EQ(best.back(), *std::min_element(residuals.begin(), residuals.end()));
}
#endif
