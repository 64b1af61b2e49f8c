#include "optimisation/rdf_fixture.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/structure.hpp"
#include "theory/absorber_edge.hpp"
#include "optimisation/population/state.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace {

const double a = 3.61;  // lattice constant of fcc_copper_p1

// Neighbours within 0.05 angstrom of r: the bins there summed, times the bin width 0.01.
double shell_count(const AbsorberEdge& edge, double r) {
    double sum = 0.0;
    for (auto b = static_cast<std::size_t>((r - 0.05) / 0.01); b <= (r + 0.05) / 0.01; ++b) sum += edge.rdf_histograms[0][b];
    return sum * 0.01;
}

}  // namespace

TEST(PartialRdf, FccCopperShellsGiveTheCoordinationNumbers) {
    ScopedWorkFolder folder;
    auto calc = run_with_edge(fcc_copper_p1, "4x4x4", true);
    compute_partial_rdf(*calc, 0);
    const double shells[] = {a / std::sqrt(2.0), a, a * std::sqrt(1.5), a * std::sqrt(2.0), a * std::sqrt(2.5)};
    const double expected[] = {12, 6, 24, 12, 24};
    for (int s = 0; s < 5; ++s) EXPECT_NEAR(shell_count(calc->edges[0], shells[s]), expected[s], 1e-9) << shells[s];
    const auto lines = lines_of("rdf.dat");
    ASSERT_EQ(lines.size(), 1002u);
    EXPECT_EQ(lines[0] + '|' + lines[1] + '|' + lines[1000].substr(0, 6) + '|' + lines[1001],
              "R Cu-Cu |0.005 0|9.995 |" + std::string(49, '#'));
}

TEST(PartialRdf, PairsCountAtTheStatePositionsBeyondOneBinAndBelowTenAngstrom) {
    ScopedWorkFolder folder;
    auto calc = run_with_edge(fcc_copper_p1, "1x1x1", false);  // a cluster of four atoms
    const auto& bins = calc->edges[0].rdf_histograms[0];
    // Atom 1 (its reference put on atom 0, so the distances are exact) moved along x: the pair counts
    // once from each end over four absorbers, or not at all.
    calc->structures[0].working_atoms[1] = {"Cu", 0, 0, 0};
    const std::pair<double, std::size_t> cases[] = {{0.01, 1}, {0.025, 2}, {9.9999, 999}, {10.0, 999}};
    for (auto [x, bin] : cases) {
        set_atom_position(calc->current_states[1], {"", x, 0, 0}, 0, 1);
        compute_partial_rdf(*calc, 1);
        EXPECT_EQ(bins[bin], x > 0.01 && x < 10.0 ? 2 / 4.0 / 0.01 : 0.0) << x;
        EXPECT_EQ(bins[0] + bins[1000], 0.0) << x;
    }
    EXPECT_EQ(min_interatomic_distance(*calc, 0, 0), 0.0);  // atoms 0 and 1 share their reference
    EXPECT_NEAR(min_interatomic_distance(*calc, 0, 1), a / std::sqrt(2.0), 1e-12);
}

TEST(PartialRdf, NoAbsorbersGiveZerosUnwritableFilesWarnAndUnknownLabelsEndTheRun) {
    ScopedWorkFolder folder;
    auto calc = run_with_edge(fcc_copper_p1, "1x1x1", false);
    SpectrumParameters& spectrum = calc->spectrum_parameters[0];
    spectrum.strings[SpectrumStringKey::Edge] = "Zn";
    compute_partial_rdf(*calc, 0);
    EXPECT_EQ(lines_of("rdf.dat")[0] + '|' + lines_of("rdf.dat")[256], "R Zn-Cu |2.555 0");  // a Cu-Cu bin
    spectrum.strings[SpectrumStringKey::Edge] = "Cu";
    spectrum.strings[SpectrumStringKey::File_for_partial_RDFs] = "absent/rdf.dat";
    CaptureStdout capture;
    compute_partial_rdf(*calc, 0);
    calc->structures[0].working_atoms[3].label = "Xx";
    EXPECT_EQ(exit_code_of([&] { compute_partial_rdf(*calc, 0); }), 5);
    EXPECT_EQ(capture.text(), "WARNING: FILE absent/rdf.dat CANNOT BE WRITTEN! No such file or directory\nERROR: UNIDENTIFIED ATOM LABEL!\n");
}
