#include "control/mt.hpp"
#include "optimisation/copper_model.hpp"
#include "optimisation/population/evaluation.hpp"
#include "optimisation/run/first_shell_fit.hpp"
#include "spectra/experimental_spectrum.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The copper model with only the nearest-neighbour path, its clusters given FEFF's amplitudes and phases.
struct FirstShellModel : CopperModel {
    explicit FirstShellModel(const std::string& parameters)
        : CopperModel("N_legs 2\nR_max_for_FEFF 2.8\n" + parameters) {
        CaptureStdout quiet;
        evaluate_states(*calc, true, true, true, true, true, -1, -1);
    }
    SpectrumContext& context() { return calc->spectra[0]; }
    double s02() { return calc->spectrum_parameters[0].doubles[SpectrumDoubleKey::S02]; }
    double de0() { return calc->spectrum_parameters[0].doubles[SpectrumDoubleKey::dE0]; }

    // Replaces the experiment by the first-shell model with known parameters, as the fit's own file holds it.
    void make_synthetic_experiment(double rho, double sigma2, double delta_e, double phi) {
        CaptureStdout quiet;
        first_shell_residual(context(), rho, sigma2, delta_e, phi, state(0));
        std::filesystem::copy_file("EXAFS.dat", "exp.dat", std::filesystem::copy_options::overwrite_existing);
        load_experimental_spectrum(context());
    }

    // The row is written in fixed notation; the console comes back as it was, so that a later message
    // prints its values as it would without the fit.
    std::string fit() {
        const std::ios_base::fmtflags flags = std::cout.flags();
        const std::streamsize precision = std::cout.precision();
        CaptureStdout capture;
        fit_first_shell(*calc);
        EXPECT_EQ(std::cout.flags(), flags);
        EXPECT_EQ(std::cout.precision(), precision);
        return capture.text();
    }

    // Whether the fit drew exactly `draws` numbers since `before`.
    bool drew(MersenneTwister before, int draws) {
        for (int i = 0; i < draws; ++i) before.genrand_real2();
        MersenneTwister now = calc->random;
        return now.genrand_int32() == before.genrand_int32();
    }
};

// S02, Delta_E0, r_1st, r/r_eff, Sigma^2 and R-factor of the result row: six words apart, each a whole
// number, as a reader that splits at blanks sees them.
std::vector<double> result_row(const std::string& text) {
    const auto header = text.find("R-factor\n");
    if (header == std::string::npos) return {};
    std::istringstream row(text.substr(header + 9, text.find('\n', header + 9) - header - 9));
    std::vector<double> numbers;
    for (std::string word; row >> word;) {
        std::size_t used = 0;
        numbers.push_back(std::stod(word, &used));
        if (used != word.size()) return {};
    }
    return numbers;
}

}  // namespace

// The structure is scaled by 1.02 so that a distance that applies the scale a second time is 0.05 A off.
TEST(FirstShellFit, RecoversS02E0AndDistanceOfASyntheticFirstShellAndAppliesThemWithAutoES) {
    FirstShellModel model("Scale_coordinates_by 1.02\n");
    const double r_eff = first_shell_distance(model.context());
    ASSERT_NEAR(r_eff, 1.02 * 3.61 / std::sqrt(2.0), 1e-9);
    model.make_synthetic_experiment(1.01, 0.006, 3.0, 0.85);
    model.calc->flags.autoES = true;
    const MersenneTwister before = model.calc->random;

    const std::string output = model.fit();
    EXPECT_NE(output.find("SPECTRUM ID = \t0\n       S02  Delta_E0     r_1st   r/r_eff  Sigma^2 R-factor\n"),
              std::string::npos) << output;
    const std::vector<double> row = result_row(output);
    ASSERT_EQ(row.size(), 6u) << output;
    EXPECT_NEAR(row[0], 0.85, 0.05 * 0.85);
    EXPECT_NEAR(row[1], 3.0, 1.0);
    EXPECT_NEAR(row[2], 1.01 * r_eff, 0.01);
    EXPECT_NEAR(row[3], 1.01, 0.005);
    EXPECT_NEAR(row[4], 0.006, 0.001);
    EXPECT_EQ(output.find("WARNING"), std::string::npos) << output;
    EXPECT_TRUE(model.drew(before, 4));
    // The printed E0 shift is the negative of the change to dE0.
    EXPECT_NEAR(model.s02(), row[0], 1e-6);
    EXPECT_NEAR(model.de0(), -row[1], 1e-6);

    // Read again with the estimates, the experiment is the unshifted model at full amplitude.
    {
        CaptureStdout capture;
        finish_first_shell_stage(*model.calc);
        EXPECT_EQ(capture.text(), "Applying determined E0 and S02 factors to experimental data\n\n");
    }
    CaptureStdout quiet;
    EXPECT_LT(first_shell_residual(model.context(), 1.01, 0.006, 0.0, 1.0, model.state(0)), 0.05);
}

TEST(FirstShellFit, WithoutAutoESTheEstimatesAreOnlyPrintedAndTheStageSaysSo) {
    FirstShellModel model("Space r\n");
    model.make_synthetic_experiment(0.99, 0.004, -2.0, 1.1);
    const std::vector<double> row = result_row(model.fit());
    ASSERT_EQ(row.size(), 6u);
    EXPECT_NEAR(row[0], 1.1, 0.05 * 1.1);
    EXPECT_NEAR(row[1], -2.0, 1.0);
    EXPECT_EQ(model.s02(), 1.0);
    EXPECT_EQ(model.de0(), 0.0);

    const std::vector<double> experiment_before = model.context().exp_chi.re;
    CaptureStdout capture;
    finish_first_shell_stage(*model.calc);
    EXPECT_EQ(capture.text(), "WARNING: flag -autoES was not specified.\n"
                              "         Determined E0 and S02 factors will have no effect\n\n");
    EXPECT_EQ(model.context().exp_chi.re, experiment_before);
}

// A model that breaks down gives no number anywhere: nothing is reported as an estimate and S02 and dE0
// stay, although -autoES is given.
TEST(FirstShellFit, AModelWithoutAFiniteResidualChangesNothing) {
    FirstShellModel model("Space k\nS02 0.9\ndE0 1.5\n");
    model.calc->flags.autoES = true;
    model.finder().paths[0].cluster_amplitude[100] = std::numeric_limits<double>::quiet_NaN();
    const MersenneTwister before = model.calc->random;

    const std::string output = model.fit();
    EXPECT_NE(output.find("Warning: 1st shell fit currently works properly only in R or W spaces.. :(\n"),
              std::string::npos);
    EXPECT_NE(output.find("R-factor\nWARNING: the first-shell model of spectrum 0 gives no finite residual; S02 and E0 "
                          "are left unchanged\n-----"),
              std::string::npos) << output;
    EXPECT_EQ(model.s02(), 0.9);
    EXPECT_EQ(model.de0(), 1.5);
    EXPECT_TRUE(model.drew(before, 4));
}

TEST(FirstShellFit, ASpectrumWithNothingInTheFirstShellWindowIsSkipped) {
    FirstShellModel model("Space w\nR_min 1.0\nR_max_for_1st_shell 0.9\n");
    model.calc->flags.autoES = true;
    const MersenneTwister before = model.calc->random;
    const std::string output = model.fit();
    EXPECT_NE(output.find("WARNING: the experiment of spectrum 0 has no weight between R_min and the first-shell "
                          "cut-off 0.9; its first-shell fit is skipped\n"),
              std::string::npos) << output;
    EXPECT_EQ(output.find("R-factor"), std::string::npos);
    EXPECT_EQ(model.s02(), 1.0);
    EXPECT_TRUE(model.drew(before, 0));
}
