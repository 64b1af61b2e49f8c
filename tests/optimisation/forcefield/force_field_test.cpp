#include "optimisation/copper_model.hpp"
#include "optimisation/forcefield/force_field_evaluation.hpp"
#include "optimisation/forcefield/force_field_fit.hpp"
#include "optimisation/forcefield/gulp_input.hpp"
#include "optimisation/population/partial_rdf.hpp"
#include "optimisation/rdf_fixture.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <span>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string text_of(const std::string& file_name) {
    std::ostringstream text;
    text << std::ifstream(file_name).rdbuf();
    return text.str();
}

// An earlier GULP run's trajectory (-skipgulp): every atom at its site plus shift(i), one frame per trial.
template <class Shift>
void write_monte_carlo_trajectory(const Calculation& calc, const std::vector<int>& trials, Shift shift) {
    const Structure& structure = calc.structures[0];
    std::ofstream out("gulp.gmc");
    for (const int trial : trials) {
        out << "trial " << trial << "\n w w w w w w w w w w w w\n" << structure.atom_count << '\n';
        for (int i = 0; i < structure.atom_count; ++i) {
            const Atom a = atom_add(structure.supercell_atoms[static_cast<std::size_t>(i)], shift(i));
            out << "29 1 " << a.x << ' ' << a.y << ' ' << a.z << '\n';
        }
    }
}

double evaluate(Calculation& calc, std::vector<double> multipliers, ForceFieldBest& best, std::string& output) {
    CaptureStdout capture;
    const double residual = evaluate_force_field_mc(calc, multipliers, best);
    output = capture.text();
    return residual;
}

struct ForceFieldModel : CopperModel {
    ForceFieldBest best;
    ForceFieldModel() : CopperModel("N_legs 2\nR_max_for_FEFF 3.0\n") {
        calc->flags.skipgulp = true;
        write_gulp_template(*calc, 0.1);
        best.parameters = {1.0, 1.0};
    }
};

}  // namespace

// The clustering check between frames uses the backup population as scratch; the best force field must
// not live there. The frames are carried by state 0, whichever state the starting population ranked best.
TEST(ForceFieldEvaluation, TheBestEvaluationSurvivesTheClusteringCheckAndLaterWorseOnes) {
    ForceFieldModel model;
    Calculation& calc = *model.calc;
    std::string output;
    write_monte_carlo_trajectory(calc, {41000}, [](int i) {
        return Atom{"", 0.25 * std::sin(1.7 * i), 0.25 * std::cos(2.3 * i), 0.2 * std::sin(0.9 * i + 1.0)};
    });
    calc.best_state_index = 3;
    const double first = evaluate(calc, {0.9, 1.1}, model.best, output);
    EXPECT_NE(output.find("Checking clustering!"), std::string::npos) << output;
    EXPECT_NE(output.find("\tSTATE : 0.9 1.1 \n"), std::string::npos);
    EXPECT_EQ(model.best.residual, first);
    const std::string rdf = text_of("rdf.dat");
    compute_partial_rdf(calc, 0);
    EXPECT_EQ(text_of("rdf.dat"), rdf) << "the average of one frame is the frame's own RDF";
    const std::string best_spectrum = text_of("best_EXAFS.dat");
    EXPECT_EQ(best_spectrum, text_of("averaged_EXAFS_0_1"));
    EXPECT_EQ(text_of("EXAFS.dat"), best_spectrum);

    write_monte_carlo_trajectory(calc, {41000}, [](int i) { return Atom{"", 0.01 * (i % 3), 0.0, -0.01 * (i % 2)}; });
    const double worse = evaluate(calc, {1.4, 0.6}, model.best, output);
    ASSERT_GT(worse, first) << "the test needs a worse second force field";
    EXPECT_NE(output.find("Checking clustering!"), std::string::npos);
    EXPECT_EQ(model.best.residual, first);
    EXPECT_EQ(model.best.parameters, (std::vector<double>{0.9, 1.1}));
    EXPECT_EQ(text_of("best_EXAFS.dat"), best_spectrum);
    EXPECT_NE(text_of("EXAFS.dat"), best_spectrum) << "the run's own files hold the last evaluation";
}

TEST(ForceFieldEvaluation, NoFramePastTheEquilibrationRejectsTheForceFieldWithoutAveragedFiles) {
    ForceFieldModel model;
    std::string output;
    write_monte_carlo_trajectory(*model.calc, {20000, 40000}, [](int) { return Atom{"", 0.0, 0.0, 0.0}; });
    EXPECT_EQ(evaluate(*model.calc, {1.0, 1.0}, model.best, output), 1000000.0);
    EXPECT_NE(output.find("WARNING: NO FRAME OF gulp.gmc WAS AVERAGED"), std::string::npos) << output;
    EXPECT_NE(output.find("----- Residual: 1e+06\n"), std::string::npos) << output;
    EXPECT_EQ(model.best.residual, 10000000.0);
    EXPECT_FALSE(fs::exists("best_EXAFS.dat"));
    for (const auto& entry : fs::directory_iterator("."))
        EXPECT_NE(entry.path().filename().string().rfind("averaged_EXAFS_", 0), 0u) << entry.path();
}

// Edges are numbered spectrum-major: with two structures, edge 1 belongs to spectrum 0 and structure 1.
TEST(ForceFieldEvaluation, EachSpectrumAveragesTheRdfOfItsOwnEdgeOnStructureZero) {
    auto calc = std::make_unique<Calculation>();
    calc->absorber_edge_count = 3;
    const int edge_spectrum[] = {0, 0, 1};
    const int edge_structure[] = {0, 1, 1};
    for (std::size_t e = 0; e < 3; ++e) {
        calc->edges[e].structure = &calc->structures[static_cast<std::size_t>(edge_structure[e])];
        SpectrumContext& context = calc->spectra[static_cast<std::size_t>(edge_spectrum[e])];
        context.edge_indices[static_cast<std::size_t>(context.edge_count++)] = static_cast<std::int32_t>(e);
    }
    EXPECT_EQ(force_field_edge_of_spectrum(*calc, 0), 0);
    EXPECT_EQ(force_field_edge_of_spectrum(*calc, 1), -1) << "spectrum 1 has no absorbers in structure 0";
    calc->edges[2].structure = &calc->structures[0];
    EXPECT_EQ(force_field_edge_of_spectrum(*calc, 1), 2);
}

// The external force field decides the work: with -useFF (or -guessFF) a -fitFF evaluates the starting
// vertices and fits nothing, as the warning says.
TEST(ForceFieldFit, WithAnExternalForceFieldOnlyTheStartingVerticesAreEvaluated) {
    ForceFieldModel model;
    Calculation& calc = *model.calc;
    write_monte_carlo_trajectory(calc, {41000}, [](int i) { return Atom{"", 0.01 * (i % 3), 0.0, -0.01 * (i % 2)}; });
    std::ofstream("force_field") << "species\nCu 0\nlennard epsilon 12 6\nCu Cu 0.1 2.55266 & 6.0\n";
    const std::string warning = "WARNING: -fitFF has no effect together with -useFF or -guessFF: the force field is "
                                "evaluated, not fitted.\n";
    calc.flags.useFF = calc.flags.fitFF = true;
    for (const bool guessed : {false, true}) {
        calc.flags.guessFF = guessed;
        CaptureStdout capture;
        EXPECT_EQ(exit_code_of([&] { fit_force_field(calc); }), -1);
        const std::string output = capture.text();
        EXPECT_NE(output.find(warning), std::string::npos) << output;
        EXPECT_NE(output.find(guessed ? "\tDEFAULTS: \n" : "\tDEFAULTS: 6 \n"), std::string::npos) << output;
        std::size_t evaluations = 0;
        for (std::size_t at = output.find("----- Residual: "); at != std::string::npos; at = output.find("----- Residual: ", at + 1))
            ++evaluations;
        EXPECT_EQ(evaluations, guessed ? 1u : 2u) << output;
        EXPECT_EQ(output.find("Trying"), std::string::npos);
        EXPECT_NE(output.find("CONVERGED: stddev = 1e+06\n"), std::string::npos);
        EXPECT_EQ(output.find("ERROR"), std::string::npos) << output;
    }
}

TEST(ForceFieldSimplex, VerticesRankNumbersFirstAndAFlatObjectiveEndsAfterOnePass) {
    EXPECT_EQ(rank_force_field_vertices({1e6, 3.0, NAN, 1e6, 2.0}), (std::vector<int>{4, 1, 0, 3, 2}));
    auto calc = std::make_unique<Calculation>();
    ForceFieldBest best;
    std::vector<std::vector<double>> seen;
    const ForceFieldObjective flat = [&](std::span<const double> p) {
        seen.emplace_back(p.begin(), p.end());
        return 5.0;
    };
    {
        CaptureStdout capture;
        run_force_field_simplex(*calc, 2, true, flat, best);
        EXPECT_NE(capture.text().find("\tTrying contraction...\nShrinking...\n"), std::string::npos);
        EXPECT_NE(capture.text().find("CONVERGED: stddev = 0\n"), std::string::npos);
    }
    // Three vertices, the reflection, the contraction and the two vertices shrunk.
    ASSERT_EQ(seen.size(), 7u);
    EXPECT_EQ(seen[0], (std::vector<double>{1.0, 1.0}));
    EXPECT_EQ(seen[1][1], 1.0);
    EXPECT_TRUE(seen[1][0] >= 0.5 && seen[1][0] < 1.5) << seen[1][0];
    EXPECT_NEAR(seen[3][1], 2.0 - seen[2][1], 1e-15) << "vertex 2, the last of the ties, reflected";

    seen.clear();
    CaptureStdout capture;
    run_force_field_simplex(*calc, 0, false, flat, best);
    EXPECT_EQ(seen.size(), 1u) << "the external force field alone";
    EXPECT_NE(capture.text().find("CONVERGED: stddev = 1e+06\n"), std::string::npos);
}
