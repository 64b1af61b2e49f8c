#include "optimisation/output/chi_output.hpp"
#include "optimisation/rdf_fixture.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/structure.hpp"
#include "theory/absorber_edge.hpp"
#include "optimisation/population/state.hpp"

#include <gtest/gtest.h>

TEST(ChiOutput, FourHundredLinesInTheColumnOrderAndWeightingOfTheInputFiles) {
    ScopedWorkFolder folder;
    SpectrumParameters parameters;
    set_spectrum_parameter_defaults(parameters);
    SpectrumContext context;
    context.parameters = &parameters;
    std::array<double, state_chi_grid_points> grid{};
    for (std::size_t m = 0; m < grid.size(); ++m) grid[m] = static_cast<double>(m);
    write_chi_file(context, grid.data(), "chi.dat");
    const auto lines = lines_of("chi.dat");
    ASSERT_EQ(lines.size(), 400u);
    EXPECT_EQ(lines.front() + '|' + lines.back(), "2.000000e+00 5.000000e-02|4.010000e+02 2.000000e+01");
    parameters.ints[SpectrumIntKey::Column_for_k] = 1;
    parameters.ints[SpectrumIntKey::Column_for_chi] = 2;
    parameters.doubles[SpectrumDoubleKey::k_power_in_IO] = 3.0;
    write_chi_file(context, grid.data(), "chi.dat");
    EXPECT_EQ(lines_of("chi.dat").front(), "5.000000e-02 1.000000e-01");  // k, then chi times k
    CaptureStdout capture;
    write_chi_file(context, grid.data(), "absent/chi.dat");
    EXPECT_EQ(capture.text(), "WARNING: FILE absent/chi.dat CANNOT BE WRITTEN! No such file or directory\n");
}

TEST(Statistics, MedianSortsAndMadVarianceScalesTheMedianDeviation) {
    double odd[] = {3, 1, 2}, even[] = {4, 1, 3, 2}, outlier[] = {1, 2, 3, 4, 100};
    EXPECT_EQ(median_of_array(odd, 3), 2.0);
    EXPECT_EQ(median_of_array(even, 4), 2.5);
    EXPECT_DOUBLE_EQ(mad_variance(outlier, 5), 1.4826 * 1.4826);
    EXPECT_EQ(outlier[4], 97.0);  // the deviations from the median 3, sorted
}
