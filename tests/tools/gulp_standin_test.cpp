// The GULP stand-in is run the way the force-field modes run GULP: input.gin written by the program,
// the stand-in named gulp.exe in the run folder, its trajectory read back with the program's readers.

#include "optimisation/forcefield/gulp_input.hpp"
#include "optimisation/forcefield/gulp_run.hpp"
#include "optimisation/forcefield/gulp_trajectory.hpp"
#include "optimisation/rdf_fixture.hpp"
#include "optimisation/population/state.hpp"
#include "structure/structure.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#ifdef GULP_STANDIN

namespace {

namespace fs = std::filesystem;

std::string read_file(const std::string& name) {
    std::ifstream in(name);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// fcc copper in a 2x2x2 supercell (32 atoms), the stand-in installed as the run folder's gulp.exe.
std::unique_ptr<Calculation> copper_run() {
    auto calc = run_with_edge(fcc_copper_p1, "2x2x2", true);
    calc->flags.useFF = calc->flags.guessFF = true;  // guessed Lennard-Jones lines, epsilon 0.1 eV
    fs::copy_file(GULP_STANDIN, gulp_program_name);
    return calc;
}

// Runs GULP the way an evaluation does; the stand-in must not give any warning.
void run_quietly(const Calculation& calc) {
    CaptureStdout capture;
    run_gulp(calc);
    ASSERT_EQ(capture.text(), "") << read_file(gulp_log_name);
}

void run_monte_carlo(Calculation& calc, double temperature, int trials, int sample) {
    calc.parameters.doubles[DoubleKey::MC_temperature] = temperature;
    calc.parameters.ints[IntKey::Stop_after] = trials;
    calc.parameters.ints[IntKey::time1] = sample;
    write_gulp_template(calc, 0.1);
    write_gulp_input_mc(calc.structures[0], {});
    run_quietly(calc);
}

// A molecular-dynamics template with short times (the program's own block equilibrates for 4 ps).
void run_dynamics(Calculation& calc, double temperature) {
    std::ofstream(gulp_template_name) << "species\nCu 0\nlennard epsilon 12 6\nCu Cu 0.1 2.55266 12\nsupercell 2 2 2\n"
                                      << "temperature " << temperature << "\nensemble nvt 0.1\nequil 0.2 ps\n"
                                      << "tscale 0.02 ps\nprodu 1.0 ps\ntimestep 0.002 ps\nwrite 0.02 ps\n"
                                      << "output movie xyz gulp.xyz\n";
    write_gulp_input_md(calc.structures[0], {});
    run_quietly(calc);
}

std::vector<TrajectoryFrame> frames_of(const Calculation& calc, const char* file, TrajectoryLayout layout) {
    const Structure& structure = calc.structures[0];
    TrajectoryReader reader;
    open_trajectory(reader, file, layout, structure.parameters->doubles[StructureDoubleKey::Scale_coordinates_by],
                    structure.atom_count);
    std::vector<TrajectoryFrame> frames;
    for (TrajectoryFrame frame; read_trajectory_frame(reader, frame);) frames.push_back(frame);
    return frames;
}

// Mean square displacement per axis from the sites of the first frame, over the last three quarters of
// the frames, through the program's own site map and state displacements.
double msd_per_axis(Calculation& calc, const std::vector<TrajectoryFrame>& frames) {
    const Structure& structure = calc.structures[0];
    State& state = calc.current_states[0];
    const std::vector<std::int32_t> sites = map_frame_to_sites(structure, frames.front().atoms);
    double sum = 0.0;
    std::size_t count = 0;
    for (std::size_t f = frames.size() / 4; f < frames.size(); ++f) {
        store_frame_at_sites(state, 0, frames[f].atoms, sites, 0.0);
        for (int i = 0; i < structure.atom_count; ++i) {
            const Atom d = get_structure_atom(state, 0, i);
            sum += atom_dot(d, d) / 3.0;
            ++count;
        }
    }
    return sum / static_cast<double>(count);
}

}  // namespace

TEST(GulpStandin, MonteCarloFramesReadBackWithEveryAtomOnItsOwnSite) {
    ScopedWorkFolder folder;
    auto calc = copper_run();
    run_monte_carlo(*calc, 300.0, 2000, 100);
    EXPECT_NE(read_file(gulp_log_name).find("Job Finished"), std::string::npos);

    const std::string text = read_file(gulp_mc_trajectory_name);
    EXPECT_EQ(text.substr(0, text.find('\n')), "trial 100");
    const auto frames = frames_of(*calc, gulp_mc_trajectory_name, TrajectoryLayout::gulp_mc);
    ASSERT_EQ(frames.size(), 20u);
    EXPECT_EQ(frames.back().step, 2000);
    ASSERT_EQ(frames.front().atoms.size(), 32u);
    EXPECT_EQ(frames.front().atoms[5].label, "Cu");
    std::vector<std::int32_t> sources;
    for (std::int32_t site : map_frame_to_sites(calc->structures[0], frames.back().atoms))
        sources.push_back(calc->structures[0].working_source[site]);
    std::sort(sources.begin(), sources.end());
    EXPECT_EQ(std::unique(sources.begin(), sources.end()), sources.end());

    // The centre of mass does not drift: the mean displacement stays at zero.
    Atom mean{"", 0, 0, 0};
    for (const Atom& atom : frames.back().atoms) mean = atom_add(mean, atom);
    Atom reference{"", 0, 0, 0};
    for (const Atom& atom : calc->structures[0].supercell_atoms) reference = atom_add(reference, atom);
    EXPECT_NEAR(atom_distance(mean, reference) / 32.0, 0.0, 1e-7);
}

TEST(GulpStandin, SameInputSameTrajectory) {
    ScopedWorkFolder folder;
    auto calc = copper_run();
    run_monte_carlo(*calc, 300.0, 1000, 100);
    const std::string first = read_file(gulp_mc_trajectory_name);
    run_monte_carlo(*calc, 300.0, 1000, 100);
    EXPECT_EQ(read_file(gulp_mc_trajectory_name), first);
    run_dynamics(*calc, 300.0);
    const std::string movie = read_file(gulp_md_trajectory_name);
    run_dynamics(*calc, 300.0);
    EXPECT_EQ(read_file(gulp_md_trajectory_name), movie);
}

// A 12-6 well 0.1 eV deep at the nearest-neighbour distance holds copper atoms about as tightly as the
// real crystal (about 0.007 A^2 per axis at room temperature); the spread grows with temperature.
TEST(GulpStandin, MonteCarloMeanSquareDisplacementGrowsWithTemperature) {
    ScopedWorkFolder folder;
    auto calc = copper_run();
    run_monte_carlo(*calc, 300.0, 8000, 40);
    const double room = msd_per_axis(*calc, frames_of(*calc, gulp_mc_trajectory_name, TrajectoryLayout::gulp_mc));
    run_monte_carlo(*calc, 600.0, 8000, 40);
    const double hot = msd_per_axis(*calc, frames_of(*calc, gulp_mc_trajectory_name, TrajectoryLayout::gulp_mc));
    EXPECT_GT(room, 0.004);
    EXPECT_LT(room, 0.010);
    EXPECT_GT(hot, 1.5 * room);
    EXPECT_LT(hot, 2.5 * room);
}

TEST(GulpStandin, DynamicsWritesProductionFramesOnlyAndWarmsWithTemperature) {
    ScopedWorkFolder folder;
    auto calc = copper_run();
    run_dynamics(*calc, 300.0);
    std::istringstream text(read_file(gulp_md_trajectory_name));
    std::string count, comment;
    std::getline(text, count);
    std::getline(text, comment);
    EXPECT_EQ(count, "32");
    EXPECT_EQ(comment.substr(0, 21), "time/ps 0.0200 E/eV=-");
    EXPECT_EQ(std::count(comment.begin(), comment.end(), ' '), 2);
    const auto frames = frames_of(*calc, gulp_md_trajectory_name, TrajectoryLayout::xyz);
    ASSERT_EQ(frames.size(), 50u);  // 1.0 ps of production, a frame every 0.02 ps
    EXPECT_EQ(frames.front().atoms.front().label, "Cu");
    const double room = msd_per_axis(*calc, frames);
    run_dynamics(*calc, 600.0);
    const double hot = msd_per_axis(*calc, frames_of(*calc, gulp_md_trajectory_name, TrajectoryLayout::xyz));
    EXPECT_GT(room, 0.003);
    EXPECT_LT(room, 0.012);
    EXPECT_GT(hot, 1.3 * room);
}

// The same 0.1 eV well at 2.55266 A written three ways: minimum form, zero-crossing form, coefficients.
TEST(GulpStandin, TheThreeLennardFormsOfOneWellGiveOneTrajectory) {
    ScopedWorkFolder folder;
    auto calc = copper_run();
    const double sigma = 2.55266, epsilon = 0.1;
    std::ostringstream zero, coefficients;
    zero.precision(17);
    coefficients.precision(17);
    zero << "lennard epsilon zero 12 6\nCu Cu " << epsilon << ' ' << sigma / std::pow(2.0, 1.0 / 6.0) << " 12\n";
    coefficients << "lennard 12 6\nCu Cu " << epsilon * std::pow(sigma, 12) << ' ' << 2 * epsilon * std::pow(sigma, 6)
                 << " 0.0 12\n";
    std::vector<std::vector<TrajectoryFrame>> runs;
    for (const std::string& potential :
         {std::string("lennard epsilon 12 6\nCu Cu 0.1 2.55266 12\n"), zero.str(), coefficients.str()}) {
        std::ofstream(gulp_template_name)
            << potential << "supercell 2 2 2\ntemperature 300\nmctrial 600\nmcsample 200\n";
        write_gulp_input_mc(calc->structures[0], {});
        run_quietly(*calc);
        runs.push_back(frames_of(*calc, gulp_mc_trajectory_name, TrajectoryLayout::gulp_mc));
    }
    for (std::size_t r = 1; r < runs.size(); ++r) {
        ASSERT_EQ(runs[r].size(), 3u);
        for (std::size_t f = 0; f < 3; ++f)
            for (std::size_t a = 0; a < 32; ++a)
                EXPECT_NEAR(atom_distance(runs[r][f].atoms[a], runs[0][f].atoms[a]), 0.0, 1e-7)
                    << r << ' ' << f << ' ' << a;
    }
}

TEST(GulpStandin, MissingCellAtomsOrPotentialAndUnsupportedTermsFailWithoutTrajectory) {
    ScopedWorkFolder folder;
    Calculation calc;
    fs::copy_file(GULP_STANDIN, gulp_program_name);
    const std::string cell = "cell\n3.61 3.61 3.61 90 90 90\n";
    const std::string atoms = "fractional\nCu core 0 0 0\nCu core 0.5 0.5 0\n";
    const std::string potential = "lennard epsilon 12 6\nCu Cu 0.1 2.55 12\n";
    const std::string run = "temperature 300\nmctrial 100\nmcsample 10\n";
    const std::string head = "montecarlo\tconv\tcartesian\tfull\n";
    for (const std::string& input :
         {head + atoms + potential + run, head + cell + potential + run, head + cell + atoms + run,
          head + cell + atoms + potential + "mctrial -1\n", head + cell + atoms + "species\nCu 1.0\n" + potential + run,
          head + cell + atoms + potential + "buck\nCu Cu 1000.0 0.3 0.0 12\n" + run}) {
        std::ofstream(gulp_input_name) << input;
        CaptureStdout capture;
        run_gulp(calc);
        EXPECT_EQ(capture.text(), "WARNING: GULP ENDED WITH EXIT STATUS 1! See gulp.log\n") << input;
        EXPECT_FALSE(fs::exists(gulp_mc_trajectory_name)) << input;
        EXPECT_NE(read_file(gulp_log_name).find("!! ERROR"), std::string::npos) << input;
    }
}

#endif
