// GULP that fails: it crashes, hangs for a while and then exits, writes half of its trajectory, or
// writes nothing. What the force-field evaluations read back must then be an error, or the frames GULP
// wrote whole (a trajectory cut short drops its last frame with a warning), never frames of an earlier
// run or a frame made of a cut-off number.

#include "optimisation/forcefield/gulp_input.hpp"
#include "optimisation/forcefield/gulp_run.hpp"
#include "optimisation/forcefield/gulp_trajectory.hpp"
#include "optimisation/rdf_fixture.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#ifdef GULP_STANDIN
namespace {

namespace fs = std::filesystem;

std::string read_file(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_program(const std::string& script) {
    std::ofstream(gulp_program_name) << script;
    fs::permissions(gulp_program_name, fs::perms::owner_all);
}

// The failing programs, in the run folder as gulp.exe.
std::string failing_gulp(const std::string& mode, const char* trajectory) {
    std::string script = "#!/bin/sh\n";
    if (mode == "crash") return script + "cat > /dev/null\nkill -SEGV $$\n";
    if (mode == "hang") return script + "sleep 1\nexit 0\n";
    if (mode == "nothing") return script + "exit 0\n";
    // half: the stand-in's whole run, then its trajectory cut in the middle; "lastnumber": cut inside the
    // last number of a frame, which still reads as a number.
    const std::string cut = mode == "half" ? "$((size / 2 + 7))" : "$(grep -b -m 3 '^trial' " + std::string(trajectory) +
                                                                     " | tail -1 | cut -d: -f1) - 3";
    return script + "'" + GULP_STANDIN + "'\nsize=$(wc -c < " + trajectory + ")\nhead -c $((" + cut + ")) " +
           trajectory + " > cut\nmv cut " + trajectory + "\n";
}

struct Reading {
    int code = -1;
    std::string output;
    std::vector<TrajectoryFrame> frames;
};

Reading read_trajectory(const Calculation& calc, const char* file, TrajectoryLayout layout) {
    const Structure& structure = calc.structures[0];
    Reading reading;
    CaptureStdout capture;
    reading.code = exit_code_of([&] {
        TrajectoryReader reader;
        open_trajectory(reader, file, layout, structure.parameters->doubles[StructureDoubleKey::Scale_coordinates_by],
                        structure.atom_count);
        for (TrajectoryFrame frame; read_trajectory_frame(reader, frame);) reading.frames.push_back(frame);
    });
    reading.output = capture.text();
    return reading;
}

bool same_frame(const TrajectoryFrame& a, const TrajectoryFrame& b) {
    if (a.step != b.step || a.atoms.size() != b.atoms.size()) return false;
    for (std::size_t i = 0; i < a.atoms.size(); ++i) {
        const Atom& p = a.atoms[i];
        const Atom& q = b.atoms[i];
        if (p.label != q.label || p.x != q.x || p.y != q.y || p.z != q.z) return false;
    }
    return true;
}

// Writes input.gin for a short Monte Carlo run, or (-gulpmd) a short molecular-dynamics run.
void write_run_input(Calculation& calc, bool dynamics) {
    calc.flags.useFF = calc.flags.guessFF = true;
    calc.flags.gulpmd = dynamics;
    if (!dynamics) {
        calc.parameters.ints[IntKey::Stop_after] = 400;
        calc.parameters.ints[IntKey::time1] = 50;
        write_gulp_template(calc, 0.1);
        write_gulp_input_mc(calc.structures[0], {});
        return;
    }
    std::ofstream(gulp_template_name) << "species\nCu 0\nlennard epsilon 12 6\nCu Cu 0.1 2.55266 12\nsupercell 2 2 2\n"
                                      << "temperature 300\nensemble nvt 0.1\nequil 0.1 ps\ntscale 0.02 ps\n"
                                      << "produ 0.2 ps\ntimestep 0.002 ps\nwrite 0.02 ps\noutput movie xyz gulp.xyz\n";
    write_gulp_input_md(calc.structures[0], {});
}

}  // namespace

TEST(FailingGulp, EveryFailureEndsInAnErrorOrInTheFramesWrittenWhole) {
    for (const bool dynamics : {false, true}) {
        ScopedWorkFolder folder;
        auto calc = run_with_edge(fcc_copper_p1, "2x2x2", true);
        const char* trajectory = dynamics ? gulp_md_trajectory_name : gulp_mc_trajectory_name;
        const TrajectoryLayout layout = dynamics ? TrajectoryLayout::xyz : TrajectoryLayout::gulp_mc;
        write_run_input(*calc, dynamics);

        fs::copy_file(GULP_STANDIN, gulp_program_name);
        {
            CaptureStdout quiet;
            run_gulp(*calc);
        }
        const Reading sound = read_trajectory(*calc, trajectory, layout);
        ASSERT_EQ(sound.code, -1) << sound.output;
        ASSERT_GE(sound.frames.size(), 4u);
        const std::string earlier = read_file(trajectory);

        for (const std::string mode : {"crash", "hang", "nothing", "half", "lastnumber"}) {
            if (mode == "lastnumber" && dynamics) continue;  // xyz files may lack their last line end
            SCOPED_TRACE(mode + (dynamics ? " (molecular dynamics)" : " (Monte Carlo)"));
            // The earlier run's trajectory is still there when the failing one starts.
            std::ofstream(trajectory, std::ios::binary) << earlier;
            fs::remove(gulp_program_name);
            write_program(failing_gulp(mode, trajectory));
            std::string warning;
            {
                CaptureStdout capture;
                run_gulp(*calc);
                warning = capture.text();
            }
            EXPECT_EQ(warning, mode == "crash" ? "WARNING: GULP WAS STOPPED BY SIGNAL 11! See gulp.log\n" : "");

            const Reading reading = read_trajectory(*calc, trajectory, layout);
            if (mode != "half" && mode != "lastnumber") {
                // Nothing of the earlier run passes for the failed one.
                EXPECT_EQ(reading.code, 4);
                EXPECT_EQ(reading.output,
                          "ERROR: FILE WITH XYZ DATA CANNOT BE OPENED! (" + std::string(trajectory) + ": No such file or directory)\n");
                continue;
            }
            ASSERT_EQ(reading.code, -1) << reading.output;
            EXPECT_EQ(reading.output, "WARNING: INCOMPLETE LAST FRAME OF " + std::string(trajectory) + " IS IGNORED!\n");
            ASSERT_GE(reading.frames.size(), 1u);
            ASSERT_LT(reading.frames.size(), sound.frames.size());
            for (std::size_t f = 0; f < reading.frames.size(); ++f)
                EXPECT_TRUE(same_frame(reading.frames[f], sound.frames[f])) << "frame " << f;
        }
    }
}
#endif
