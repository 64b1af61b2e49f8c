#include "optimisation/output/xyz_output.hpp"
#include "optimisation/output/history_files.hpp"
#include "optimisation/rdf_fixture.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/structure.hpp"
#include "theory/absorber_edge.hpp"
#include "optimisation/population/state.hpp"

#include <gtest/gtest.h>

TEST(XyzSnapshots, ReferenceAndBestStateWithAndWithoutImagesThenTheRdf) {
    ScopedWorkFolder folder;
    auto calc = run_with_edge(fcc_copper_p1, "1x1x1", true);
    calc->spectrum_parameters[0].doubles[SpectrumDoubleKey::R_max_for_FEFF] = 1.0;
    calc->best_state_index = 1;
    set_atom_position(calc->current_states[1], {"", 1.0 / 3, 0, 0}, 0, 0);
    write_state_xyz_files(*calc);
    const auto start = lines_of("start.xyz");
    ASSERT_EQ(start.size(), 110u);
    EXPECT_EQ(start[1], "#First 4 lines - real atoms, remaining 104 lines - copies due to PBC.");
    EXPECT_EQ(lines_of("final_no_PBC.xyz"),
              (std::vector<std::string>{"4", "#First 4 lines - real atoms", "Cu 0.3333333333333 0 0",
                                        "Cu 1.805 1.805 0", "Cu 1.805 0 1.805", "Cu 0 1.805 1.805"}));
    EXPECT_EQ(lines_of("final.xyz")[6].substr(0, 18), "Cu 0.3333333333333");  // atom 0's first image
    EXPECT_LT(calc->structures[0].working_count, 108);  // left with the selected images only
    EXPECT_EQ(lines_of("rdf.dat").size(), 1002u);
}

TEST(XyzSnapshots, ClusterNamesWithoutImagesAndUnwritableFiles) {
    EXPECT_EQ(no_pbc_file_name("geom.dat") + no_pbc_file_name("abc"), "geom_no_PBC.xyzabc_no_PBC.xyz");
    ScopedWorkFolder folder;
    auto calc = run_with_edge(fcc_copper_p1, "1x1x1", false);
    calc->flags.oneDrdf = true;
    calc->structure_parameters[0].strings[StructureStringKey::File_for_final_xyz] = "absent/final.xyz";
    CaptureStdout capture;
    write_state_xyz_files(*calc);
    EXPECT_EQ(capture.text(), "WARNING: FILE absent/final.xyz CANNOT BE WRITTEN! No such file or directory\n"
                              "WARNING: FILE absent/final_no_PBC.xyz CANNOT BE WRITTEN! No such file or directory\n");
    EXPECT_EQ(lines_of("start.xyz")[1], "#First 4 lines - real atoms, remaining 0 lines - copies due to PBC.");
    EXPECT_EQ(lines_of("rdf.dat")[0], "R ");  // the one-dimensional modes histogram paths: none here yet
}

TEST(XyzHistory, BestStateOncePerCallOrEveryStateWithTheNotationSwitch) {
    ScopedWorkFolder folder;
    auto calc = run_with_edge("t\n1\n3 0 0\n0 3 0\n0 0 3\nCu\n3\nDirect\n0 0 0 Cu\n0.5 0.5 0 Cu\n0.5 0 0.5 Cu\n", "1x1x1",
                              false);
    calc->iteration = 7;
    calc->best_state_index = 1;
    for (State& state : calc->current_states) {
        state.weights[0] = 0.25;
        for (std::size_t m = 0; m < state_chi_grid_points; ++m) state.spectra[0].chi_grid[m] = static_cast<double>(m);
    }
    append_states_xyz(*calc);
    append_states_xyz(*calc);
    auto frames = lines_of("output.xyz"), chi = lines_of("histoEXAFS.dat");
    ASSERT_EQ(frames.size(), 10u);
    EXPECT_EQ(frames[1] + '|' + frames[2] + '|' + frames[6], "7 1 0.25|Cu 0.000000e+00 0.000000e+00 0.000000e+00|7 1 0.25");
    ASSERT_EQ(chi.size(), 2u);
    EXPECT_EQ(chi[0].substr(0, 11) + '|' + chi[0].substr(chi[0].size() - 9), "7 1: 1 2 3 | 400 401 ");
    calc->parameters.ints[IntKey::Actual_geometry_format] = 2;
    append_states_xyz(*calc);
    EXPECT_EQ(lines_of("output.xyz")[11] + '|' + lines_of("output.xyz")[16], "7 0 0.25|7 1 2.500000e-01");
    calc->structure_parameters[0].strings[StructureStringKey::File_for_actual_geometry] = "absent/output.xyz";
    CaptureStdout capture;
    append_states_xyz(*calc);
    EXPECT_EQ(capture.text(), "WARNING: FILE absent/output.xyz CANNOT BE WRITTEN! No such file or directory\n");
    EXPECT_EQ(lines_of("histoEXAFS.dat").size(), 6u);

    // A full disk ends the run: every later checkpoint would be lost too.
    calc->structure_parameters[0].strings[StructureStringKey::File_for_actual_geometry] = "/dev/full";
    EXPECT_EQ(exit_code_of([&] { append_states_xyz(*calc); }), 4);
    EXPECT_NE(capture.text().find("ERROR: FILE /dev/full CANNOT BE WRITTEN! No space left on device\n"), std::string::npos);
}

TEST(XyzHistory, CutBackToAnIterationKeepsWholeLinesAndFramesOnly) {
    const std::string header = "[#] [Best_Res._(xi)] \n";
    EXPECT_EQ(kept_residual_history(header + "0 1 \n5 2 \n10 3 \n", 5), (header + "0 1 \n5 2 \n").size());
    EXPECT_EQ(kept_residual_history(header + "0 1 \n5 2", 10), (header + "0 1 \n").size()) << "a cut row goes";
    EXPECT_EQ(kept_residual_history(header + "0 1 \n10 3 \n5 2 \n", 5), (header + "0 1 \n").size())
        << "the rows of an earlier resumed run after a later iteration go too";
    EXPECT_EQ(kept_residual_history("", 5), 0u);

    const std::string frame0 = "2\n0 0 1\nCu 0 0 0\nCu 1 1 1\n", frame5 = "2\n5 1 1.000000e+00\nCu 0 0 0\nCu 1 1 1\n";
    EXPECT_EQ(kept_xyz_history(frame0 + frame5 + "2\n10 0 1\nCu 0 0 0\nCu 1 1 1\n", 5), (frame0 + frame5).size());
    EXPECT_EQ(kept_xyz_history(frame0 + frame5 + "2\n10 0 1\nCu 0 0 0\n", 10), (frame0 + frame5).size())
        << "a frame short of its atoms goes";
    EXPECT_EQ(kept_xyz_history(frame0 + frame5.substr(0, frame5.size() - 1), 10), frame0.size())
        << "a frame whose last line is cut goes";
    EXPECT_EQ(kept_xyz_history(frame0 + frame5, 4), frame0.size());

    EXPECT_EQ(kept_chi_history("0 0: 1 2 \n5 0: 3 4 \n5 1: 5", 5), std::string("0 0: 1 2 \n5 0: 3 4 \n").size());
    EXPECT_EQ(kept_chi_history("0 0: 1 2 \n5 0: 3 4 \n", 0), std::string("0 0: 1 2 \n").size());
}
