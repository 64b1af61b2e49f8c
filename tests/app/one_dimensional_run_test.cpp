#include "app/driver.hpp"
#include "control/calculation.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#ifdef FEFF_STANDIN
namespace {

std::string file_text(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// talq -oneD on copper (one path, 32 absorbers) in a fresh folder: its output, then the files the seed
// and the input decide (of the final restart file what follows its parameter block, which names the
// threads).
std::vector<std::string> run_oned(const std::string& threads) {
    ScopedWorkFolder folder;
    std::ofstream("cu.p1") << "Cu\n1\n3.61 0 0\n0 3.61 0\n0 0 3.61\nCu\n4\nDirect\n"
                              "0 0 0 Cu\n0.5 0.5 0 Cu\n0.5 0 0.5 Cu\n0 0.5 0.5 Cu\n";
    std::ofstream spectrum("exp.dat");
    for (int i = 1; i <= 300; ++i) spectrum << 0.05 * i << ' ' << 0.3 * std::sin(0.1 * i * 2.58) << '\n';
    spectrum.close();
    std::filesystem::copy_file(FEFF_STANDIN, "feff85L.exe");
    std::ofstream("input.dat") << "BEGIN\nFile_with_structure cu.p1\nFile_with_experimental_EXAFS_signal exp.dat\n"
                                  "Columns_in_input 2\nColumn_for_k 1\nColumn_for_chi 2\nEdge Cu\nSupercell 2x2x2\n"
                                  "k_min 2\nk_max 12\nNumber_of_states 4\nN_legs 2\nR_max_for_FEFF 3.0\nStop_after 4\n"
                                  "time1 1\ntime2 2\nMove_type one\nMaximal_step_length 0.02\nNumber_of_threads "
                               << threads << "\nEND\n";
    auto calc = std::make_unique<Calculation>();
    calc->flags.oneD = true;
    CaptureStdout capture;
    EXPECT_EQ(exit_code_of([&] { run_calculation(*calc, "input.dat", ""); }), -1);
    const std::string restart = file_text("restart6");
    return {capture.text(),          file_text("output.dat"), file_text("EXAFS.dat"),
            file_text("rdf.dat"),    restart.substr(restart.find("\nEND\n")), file_text("partialEXAFS.dat")};
}

}  // namespace

TEST(OneDimensionalRun, RunsTheOneDimensionalLoopToItsStopAlikeForEveryThreadCount) {
    const std::vector<std::string> one = run_oned("1");
    const std::string& output = one[0];
    EXPECT_NE(output.find("      13: MAIN LOOP: 1D calculation\noneD flag was specified!"), std::string::npos) << output;
    EXPECT_NE(output.find("      14: FINALIZING\n"), std::string::npos) << "the last iterations leave their files";
    EXPECT_EQ(output.find("ERROR"), std::string::npos) << output;
    // The rows of the iterations up to Stop_after + 1, then the final report's, which the final restart
    // file follows with the refined lengths.
    EXPECT_EQ(one[1].substr(one[1].rfind('\n', one[1].size() - 2) + 1, 2), "6 ");
    EXPECT_NE(one[1].find("\n5 "), std::string::npos);
    EXPECT_NE(one[4].find("\nPATH_LENGTHS\n1\n32 "), std::string::npos);

    // The histogram of the 32 counted members holds Coord_number = 12 neighbours per absorbing atom.
    std::istringstream rdf(one[3]);
    std::string header;
    std::getline(rdf, header);
    EXPECT_EQ(header, "R Cu-Cu_p0 ");
    double count = 0.0, r = 0.0, value = 0.0;
    while (rdf >> r >> value) count += 0.01 * value;
    EXPECT_NEAR(count, 12.0, 1e-9);

    const std::vector<std::string> eight = run_oned("8");
    for (std::size_t f = 1; f < one.size(); ++f) EXPECT_TRUE(one[f] == eight[f]) << "file " << f;
}
#endif
