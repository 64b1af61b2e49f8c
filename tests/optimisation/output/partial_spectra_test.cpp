#include "test_support.hpp"
#include "optimisation/copper_model.hpp"
#include "optimisation/population/evaluation.hpp"
#include "optimisation/output/partial_spectra.hpp"
#include "spectra/signal.hpp"
#include "theory/cluster_sums.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<double> numbers_of(const std::string& line) {
    std::istringstream in(line);
    std::vector<double> numbers;
    for (double value; in >> value;) numbers.push_back(value);
    return numbers;
}

// The copper model (three paths: two single-scattering shells and one triangle) after a full pass.
void evaluate(CopperModel& model) {
    CaptureStdout quiet;
    evaluate_states(*model.calc, true, true, true, true, true, -1, -1);
}

void write_partials(CopperModel& model) {
    CaptureStdout quiet;
    write_partial_spectra_files(model.calc->spectra[0], model.calc->best_state_index);
}

const std::string hashes(49, '#');

}  // namespace

TEST(PartialSpectra, ABlockHasTheLabelledHeaderThenOneColumnPerPath) {
    CopperModel model("");
    evaluate(model);
    ASSERT_EQ(model.finder().paths.size(), 3u);
    write_partials(model);
    const SpectrumParameters& p = model.calc->spectrum_parameters[0];
    const int nk = p.nk;

    const std::vector<std::string> header = {"path Cu*-Cu-         Cu*-Cu-         Cu*-Cu-Cu-      ", "nleg 2 2 3 ",
                                             "deg 12 6 48 ", "r 2.55266 3.61 3.82898 "};
    const std::vector<std::string> exafs = lines_of("partialEXAFS.dat");
    const std::vector<std::string> ft = lines_of("partialFT.dat");
    const std::vector<std::string> wt = lines_of("partialWT.dat");
    ASSERT_EQ(exafs.size(), 4u + 400 + 1);
    ASSERT_EQ(ft.size(), 4u + static_cast<std::size_t>(nk) + 1);
    ASSERT_EQ(wt.size(), 4u + static_cast<std::size_t>(nk) * static_cast<std::size_t>(nk) + 1);
    for (const auto* file : {&exafs, &ft, &wt}) {
        EXPECT_EQ(std::vector<std::string>(file->begin(), file->begin() + 4), header);
        EXPECT_EQ(file->back(), hashes);
    }

    EXPECT_EQ(numbers_of(exafs[4]).size(), 4u);
    EXPECT_EQ(numbers_of(exafs[4])[0], 0.05);
    EXPECT_EQ(numbers_of(exafs[403])[0], 20.0);
    EXPECT_EQ(exafs[4].back(), ' ');
    EXPECT_EQ(numbers_of(ft[4]).size(), 4u);
    EXPECT_NEAR(numbers_of(ft[4])[0], r_grid_value(p, 0), 1e-6);
    // The k grid runs fastest within each R.
    const std::vector<double> first = numbers_of(wt[4]), second = numbers_of(wt[5]), next_r = numbers_of(wt[4 + nk]);
    EXPECT_EQ(first.size(), 5u);
    EXPECT_NEAR(second[0] - first[0], p.doubles[SpectrumDoubleKey::dk], 1e-6);
    EXPECT_EQ(second[1], first[1]);
    EXPECT_EQ(next_r[0], first[0]);
    EXPECT_NEAR(next_r[1] - first[1], p.dR, 1e-5);
}

// The path columns of the chi file add up to the best state's model chi (one structure of weight 1, the
// same k weighting in and out), which is made from the same path signals by another route.
TEST(PartialSpectra, PathColumnsAddUpToTheBestStatesChi) {
    CopperModel model("Number_of_threads 3\n");
    evaluate(model);
    const int best = model.calc->best_state_index;
    const std::vector<std::vector<double>> shared_chi = {model.finder().paths[0].chi, model.finder().paths[1].chi};
    write_partials(model);
    EXPECT_EQ(model.finder().paths[0].chi, shared_chi[0]) << "the paths' own arrays are not written";
    EXPECT_EQ(model.finder().paths[1].chi, shared_chi[1]);

    const std::vector<std::string> exafs = lines_of("partialEXAFS.dat");
    const auto& grid = model.state(best).spectra[0].chi_grid;
    double largest = 0.0;
    for (int i = 1; i <= 400; ++i) largest = std::max(largest, std::abs(grid[static_cast<std::size_t>(i + 1)]));
    ASSERT_GT(largest, 0.0);
    for (int i = 1; i <= 400; ++i) {
        const std::vector<double> row = numbers_of(exafs[static_cast<std::size_t>(3 + i)]);
        EXPECT_NEAR(row[1] + row[2] + row[3], grid[static_cast<std::size_t>(i + 1)], 2e-5 * largest) << i;
    }

    // Each call starts the files afresh.
    write_partials(model);
    EXPECT_EQ(lines_of("partialEXAFS.dat"), exafs);
}

TEST(PartialSpectra, AFileThatCannotBeWrittenGivesOneWarningAndTheOthersAreWritten) {
    CopperModel model("File_for_partial_FT missing/partialFT.dat\n");
    evaluate(model);
    CaptureStdout capture;
    write_partial_spectra_files(model.calc->spectra[0], model.calc->best_state_index);
    const std::string output = capture.text();
    EXPECT_EQ(output, "WARNING: FILE missing/partialFT.dat CANNOT BE WRITTEN! No such file or directory\n");
    EXPECT_EQ(lines_of("partialEXAFS.dat").size(), 405u);
    EXPECT_FALSE(lines_of("partialWT.dat").empty());
}

// Before the states are bound the paths have no tables of the state to read.
TEST(PartialSpectra, PathsWithoutTablesOfTheStateGiveZeroColumns) {
    CopperModel model("", false);
    write_partials(model);
    const std::vector<std::string> exafs = lines_of("partialEXAFS.dat");
    ASSERT_EQ(exafs.size(), 405u);
    EXPECT_EQ(numbers_of(exafs[99]), (std::vector<double>{4.8, 0.0, 0.0, 0.0}));
}
