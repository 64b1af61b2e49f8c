#include "optimisation/forcefield/gulp_trajectory.hpp"
#include "optimisation/rdf_fixture.hpp"
#include "optimisation/population/state.hpp"
#include "structure/structure.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <vector>

namespace {

struct ReadResult {
    int code = -1;
    std::string output;
    std::vector<TrajectoryFrame> frames;
};

ReadResult read_all(const std::string& text, TrajectoryLayout layout, std::int32_t max_atoms = 4, double scale = 1.0) {
    std::ofstream("trajectory") << text;
    ReadResult result;
    CaptureStdout capture;
    result.code = exit_code_of([&] {
        TrajectoryReader reader;
        open_trajectory(reader, "trajectory", layout, scale, max_atoms);
        for (TrajectoryFrame frame; read_trajectory_frame(reader, frame);) result.frames.push_back(frame);
    });
    result.output = capture.text();
    return result;
}

const std::string mc_words = " w1 w2 w3 w4 w5 w6 w7 w8 w9 w10 w11 w12\n";

std::string mc_frame(int step, const std::string& atoms, int count = 2) {
    return "trial " + std::to_string(step) + "\n" + mc_words + std::to_string(count) + "\n" + atoms;
}

const std::string wrong_count = "ERROR: WRONG NUMBER OF ATOMS IN trajectory\n";
const std::string unidentified = "ERROR: UNIDENTIFIED ATOM LABEL!\n";

}  // namespace

TEST(GulpTrajectory, MonteCarloFramesCarryTheirTrialAndScaledPositions) {
    ScopedWorkFolder folder;
    const ReadResult r =
        read_all(mc_frame(100, "29 1 1.0 2.0 3.0\n8 1 -1 0 0.5\n") + mc_frame(200, "29 1 1.5 2 3\n8 1 -1 0 0\n"),
                 TrajectoryLayout::gulp_mc, 4, 2.0);
    ASSERT_EQ(r.code, -1) << r.output;
    EXPECT_EQ(r.output, "");
    ASSERT_EQ(r.frames.size(), 2u);
    EXPECT_EQ(r.frames[0].step, 100);
    EXPECT_EQ(r.frames[1].step, 200);
    ASSERT_EQ(r.frames[0].atoms.size(), 2u);
    EXPECT_EQ(r.frames[0].atoms[0].label, "Cu");
    EXPECT_EQ(r.frames[0].atoms[1].label, "O");
    EXPECT_EQ(r.frames[0].atoms[1].z, 1.0);
    EXPECT_EQ(r.frames[1].atoms[0].x, 3.0);
}

TEST(GulpTrajectory, XyzFramesAreNumberedFromZeroAndMayWrapAcrossLines) {
    ScopedWorkFolder folder;
    const ReadResult r = read_all("2\na b c\nCu 1 2 3\nFe 4 5 6\n2 x y z Cu 1 2\n3 Fe 4 5 6\n", TrajectoryLayout::xyz);
    ASSERT_EQ(r.code, -1) << r.output;
    ASSERT_EQ(r.frames.size(), 2u);
    EXPECT_EQ(r.frames[1].step, 1);
    EXPECT_EQ(r.frames[1].atoms[1].label, "Fe");
    EXPECT_EQ(r.frames[1].atoms[0].z, 3.0);
}

TEST(GulpTrajectory, ATruncatedLastFrameIsDroppedWithAWarning) {
    ScopedWorkFolder folder;
    const ReadResult r = read_all("1\na b c\nCu 1 2 3\n1\na b c\nCu 1 2 3\n1\na b c\nCu 1 2", TrajectoryLayout::xyz);
    ASSERT_EQ(r.code, -1);
    EXPECT_EQ(r.frames.size(), 2u);
    EXPECT_EQ(r.output, "WARNING: INCOMPLETE LAST FRAME OF trajectory IS IGNORED!\n");
    const ReadResult mc = read_all(mc_frame(1, "29 1 0 0 0\n", 1) + "trial 2 w1 w2", TrajectoryLayout::gulp_mc);
    EXPECT_EQ(mc.frames.size(), 1u);
    EXPECT_EQ(mc.output, "WARNING: INCOMPLETE LAST FRAME OF trajectory IS IGNORED!\n");
    // GULP ends every line it writes: a last number that runs into the end of the file may be cut short.
    const ReadResult cut = read_all(mc_frame(1, "29 1 0 0 0\n", 1) + mc_frame(2, "29 1 0 0 1.25", 1), TrajectoryLayout::gulp_mc);
    EXPECT_EQ(cut.frames.size(), 1u);
    EXPECT_EQ(cut.output, "WARNING: INCOMPLETE LAST FRAME OF trajectory IS IGNORED!\n");
    const ReadResult xyz = read_all("1\na b c\nCu 1 2 3", TrajectoryLayout::xyz);
    EXPECT_EQ(xyz.frames.size(), 1u) << "an xyz file may lack its last line end";
}

TEST(GulpTrajectory, BrokenFramesEndTheRunInsteadOfReadingPastTheModel) {
    ScopedWorkFolder folder;
    const struct {
        const char* what;
        std::string text;
        TrajectoryLayout layout;
        int code;
        std::string message;
        double scale = 1.0;
    } cases[] = {
        {"empty file", "", TrajectoryLayout::xyz, 4, wrong_count},
        {"first frame cut off", "2\na b c\nCu 1 2 3\n", TrajectoryLayout::xyz, 4, wrong_count},
        {"count is not a number", "two\na b c\nCu 1 2 3\n", TrajectoryLayout::xyz, 4, wrong_count},
        {"no atoms", "0\na b c\n", TrajectoryLayout::xyz, 4, wrong_count},
        {"more atoms than the model", "5\na b c\n" + std::string(5, 'x'), TrajectoryLayout::xyz, 4, wrong_count},
        {"count changes", "1\na b c\nCu 1 2 3\n2\na b c\nCu 1 2 3\nCu 1 2 3\n", TrajectoryLayout::xyz, 4, wrong_count},
        {"word in place of a coordinate", "1\na b c\nCu 1 2x 3\n", TrajectoryLayout::xyz, 4, wrong_count},
        {"label in place of a coordinate", "2\na b c\nCu 1 2\nCu 1 2 3\n", TrajectoryLayout::xyz, 4, wrong_count},
        {"trial is not a whole number", "trial 1.5" + mc_words + "1\n29 1 0 0 0\n", TrajectoryLayout::gulp_mc, 4,
         wrong_count},
        {"atomic number 0", mc_frame(1, "0 1 0 0 0\n", 1), TrajectoryLayout::gulp_mc, 5, unidentified},
        {"atomic number 119", mc_frame(1, "119 1 0 0 0\n", 1), TrajectoryLayout::gulp_mc, 5, unidentified},
        // Distances and displacements are made of the positions; beyond the usable range they overflow.
        {"coordinate beyond the usable range", "1\na b c\nCu 1 1e308 3\n", TrajectoryLayout::xyz, 4,
         "ERROR: VALUE 1e+308 IN FILE trajectory CANNOT BE USED!\n"},
        {"coordinate scaled beyond it", mc_frame(1, "29 1 0 0 1e30\n", 1), TrajectoryLayout::gulp_mc, 4,
         "ERROR: VALUE 2e+30 IN FILE trajectory CANNOT BE USED!\n", 2.0},
    };
    for (const auto& c : cases) {
        const ReadResult r = read_all(c.text, c.layout, 4, c.scale);
        EXPECT_EQ(r.code, c.code) << c.what;
        EXPECT_EQ(r.output, c.message) << c.what;
    }
    std::filesystem::remove("trajectory");
    CaptureStdout capture;
    TrajectoryReader reader;
    EXPECT_EQ(exit_code_of([&] { open_trajectory(reader, "gulp.gmc", TrajectoryLayout::gulp_mc, 1.0, 4); }), 4);
    EXPECT_EQ(capture.text(), "ERROR: FILE WITH XYZ DATA CANNOT BE OPENED! (gulp.gmc: No such file or directory)\n");
}

TEST(GulpTrajectory, SitesAreTheNearestWorkingEntriesOfTheSameElementImagesIncluded) {
    ScopedWorkFolder folder;
    auto calc = run_with_edge(fcc_copper_p1, "1x1x1", true);
    const Structure& structure = calc->structures[0];
    // Atom 0 has crossed the cell face at x = 0 and sits next to its image at x = 3.61.
    const std::vector<Atom> frame = {
        {"Cu", 3.60, 0.02, 0.0}, {"Cu", 1.805, 1.805, 0.03}, {"Cu", 1.8, 0.0, 1.805}, {"Cu", 0.0, 1.805, 1.805}};
    const std::vector<std::int32_t> sites = map_frame_to_sites(structure, frame);
    ASSERT_EQ(sites.size(), 4u);
    EXPECT_GE(sites[0], structure.atom_count);
    EXPECT_EQ(structure.working_source[sites[0]], 0);
    EXPECT_EQ(std::vector<std::int32_t>(sites.begin() + 1, sites.end()), (std::vector<std::int32_t>{1, 2, 3}));

    State& state = calc->current_states[0];
    const double dmax = store_frame_at_sites(state, 0, frame, sites, -1000000.0);
    EXPECT_NEAR(get_structure_atom(state, 0, 0).x, -0.01, 1e-12);
    EXPECT_NEAR(get_structure_atom(state, 0, 0).y, 0.02, 1e-12);
    EXPECT_EQ(get_structure_atom(state, 0, 0).label, "Cu");
    EXPECT_NEAR(dmax, 0.03, 1e-12);
    EXPECT_EQ(store_frame_at_sites(state, 0, frame, sites, 5.0), 5.0);  // a running maximum

    const double in_order = store_frame_in_order(state, 0, frame, -1000000.0);
    EXPECT_NEAR(in_order, 3.6, 1e-3);  // atom 0 is taken at face value, across the cell
    EXPECT_NEAR(get_atom_position(state, 0, 0).x, 3.60, 1e-12);

    for (const char* label : {"O", "Xx"}) {
        const std::vector<Atom> stranger = {{label, 0.0, 0.0, 0.0}};
        CaptureStdout capture;
        EXPECT_EQ(exit_code_of([&] { map_frame_to_sites(structure, stranger); }), 5) << label;
        EXPECT_EQ(capture.text(), unidentified);
    }
}
