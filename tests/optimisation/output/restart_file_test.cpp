#include "test_support.hpp"
#include "control/parameter_writer.hpp"
#include "optimisation/copper_model.hpp"
#include "optimisation/population/evaluation.hpp"
#include "control/mt.hpp"
#include "optimisation/output/restart_file.hpp"
#include "spectra/spectrum_context.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

void write_text(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::vector<std::string> lines_in(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The model evaluated once and saved at iteration 100 (with default names, as "restart100").
void save_at_iteration_100(CopperModel& model) {
    CaptureStdout quiet;
    evaluate_states(*model.calc, true, true, true, true, true, -1, -1);
    model.calc->iteration = 100;
    model.calc->objective_normaliser = 0.125;
    model.calc->mean_energy_change = 0.25;
    write_restart_file(*model.calc);
}

struct LoadRun {
    int code;
    std::string output;
    std::unique_ptr<Calculation> calc;
};

// Stages 1 to 9 (or to the end of the mode) on the given restart file, with one mode flag set.
LoadRun load(const std::string& file_name, bool RunFlags::*mode) {
    LoadRun run{-1, "", std::make_unique<Calculation>()};
    run.calc->flags.*mode = true;
    CaptureStdout capture;
    run.code = exit_code_of([&] { prepare_calculation_through_paths(*run.calc, file_name, ""); });
    run.output = capture.text();
    return run;
}

double largest_displacement_gap(const State& a, const State& b) {
    double gap = 0.0;
    for (std::size_t k = 0; k < a.atoms.size(); ++k) {
        gap = std::max({gap, std::abs(a.atoms[k].x - b.atoms[k].x), std::abs(a.atoms[k].y - b.atoms[k].y),
                        std::abs(a.atoms[k].z - b.atoms[k].z)});
    }
    return gap;
}

std::string replaced_once(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    if (at == std::string::npos) throw std::runtime_error("no " + from);
    return text.replace(at, from.size(), to);
}

// The text with word `n` (from 0) of what follows `mark` on its line replaced.
std::string with_word_after(const std::string& text, const std::string& mark, int n, const std::string& word) {
    const auto line_start = text.find(mark) + mark.size();
    const auto line_end = text.find('\n', line_start);
    std::istringstream in(text.substr(line_start, line_end - line_start));
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    words.at(static_cast<std::size_t>(n)) = word;
    std::string line;
    for (const std::string& w : words) line += ' ' + w;
    return text.substr(0, line_start) + line + text.substr(line_end);
}

}  // namespace

TEST(RestartFile, NamedByIterationWithTheCountersInTheirColumnsAfterTheWholeParameterBlock) {
    CopperModel model("");
    save_at_iteration_100(model);
    EXPECT_EQ(restart_file_name(*model.calc), "restart100");
    ASSERT_TRUE(fs::exists("restart100"));
    EXPECT_FALSE(fs::exists("restart100.tmp"));

    const std::string text = file_text("restart100");
    std::ostringstream head;
    write_complete_parameter_file(*model.calc, head);
    ASSERT_EQ(text.substr(0, head.str().size()), head.str());

    const std::vector<std::string> lines = lines_in(text.substr(head.str().size()));
    EXPECT_EQ(lines[0], "Talq version:                   6.16");
    EXPECT_EQ(lines[1], "Total_iterations:                         100");
    std::ostringstream residuals;
    residuals << "Residuals:" << std::string(28, ' ');
    for (const State& state : model.calc->current_states) residuals << state.spectra[0].residual << ' ';
    EXPECT_EQ(lines[2], residuals.str());
    EXPECT_EQ(lines[3], "Average_delta:                       0.125 ");
    EXPECT_EQ(lines[4], "Average_delta_E:                       0.25 ");
    EXPECT_EQ(lines[5], "ATOMS");
    EXPECT_EQ(lines[6], "32");
    EXPECT_EQ(lines[7], "100 0 0");
    std::ostringstream first_atom;
    first_atom << std::setprecision(13) << "Cu " << model.state(0).atoms[0].x << ' ' << model.state(0).atoms[0].y << ' '
               << model.state(0).atoms[0].z;
    EXPECT_EQ(lines[8], first_atom.str()) << "the first atom sits at the origin, so its position is its displacement";
    const std::size_t spectra = 6 + 4 * (2 + 32);
    EXPECT_EQ(lines[spectra], "SPECTRA");
    ASSERT_EQ(lines.size(), spectra + 1 + 4 + 1 + 4 + 3 + 1 + 4 + 2);
    std::istringstream values(lines[spectra + 1]);
    int count = 0;
    for (double value; values >> value;) ++count;
    EXPECT_EQ(count, model.calc->spectrum_parameters[0].nk);
    EXPECT_EQ(lines[spectra + 1].back(), ' ');
    // Then what that layout leaves out: each state's structure weights (no path lengths outside the 1D
    // model).
    EXPECT_EQ(lines[spectra + 5], "WEIGHTS");
    EXPECT_EQ(lines[spectra + 6], "1 ");
    // And last the run state: the loop's values, one line of three per spectrum, every state's 3 x 32
    // displacements and the generator's 624 words and position.
    EXPECT_EQ(lines[spectra + 10], "RUN_STATE");
    EXPECT_EQ(lines[spectra + 11].rfind("0.125 0.25 ", 0), 0u) << lines[spectra + 11];
    EXPECT_EQ(lines_in(lines[spectra + 12]).size(), 1u);
    EXPECT_EQ(lines[spectra + 13], "DISPLACEMENTS");
    EXPECT_EQ(lines[spectra + 18], "GENERATOR");
    std::istringstream words(lines[spectra + 19]);
    count = 0;
    for (std::string word; words >> word;) ++count;
    EXPECT_EQ(count, 625);
}

// Two spectra of different k ranges and weights, and settings the canonical layout leaves out.
TEST(RestartFile, AContinuedRunGetsBackThePopulationTheCountersAndEverySetting) {
    CopperModel model("Number_of_spectra 2\nk_min 2 3\nSpectrum_weight 0.2 0.8\nNorm_type L1\ncrossoverT 0\n"
                      "adjust_step 1\nMC_temperature 250\nLJ_epsilons 0.1 0.2 0.3 0.4 0.5 0.625\n");
    save_at_iteration_100(model);
    for (int i = 0; i < 4; ++i) model.state(i).weights[0] = 1.0 / (3.0 + i);
    Calculation& saving = *model.calc;
    saving.objective_normaliser = 1.0 / 3.0;
    saving.log_acceptance = -1e100;
    saving.step_length = 0.1 / 1.1;
    saving.accepted_without_test = 7;
    saving.accepted_by_test = 2;
    saving.period_objective_sum = 12.0 / 7.0;
    saving.previous_period_objective_sum = 1e6;
    saving.spectra[1].mean_residual_change = 0.3 / 7.0;
    saving.spectrum_parameters[1].doubles[SpectrumDoubleKey::Spectrum_weight] = 0.8 / 3.0;
    saving.spectrum_parameters[0].doubles[SpectrumDoubleKey::Clustering_precision] = 0.1 / 3.0;
    for (int i = 0; i < 5; ++i) uniform_random(saving);
    {
        CaptureStdout quiet;
        write_restart_file(saving);
    }
    std::vector<double> next_draws;
    for (int i = 0; i < 3; ++i) next_draws.push_back(uniform_random(saving));

    std::ofstream("output.dat") << "[#] header\n0 1 \n100 2 \n105 3 \n110 4";
    const LoadRun run = load("restart100", &RunFlags::restart);
    ASSERT_EQ(run.code, -1) << run.output;
    EXPECT_NE(run.output.find("      --> LOADING RESTART FILE\n"), std::string::npos);
    Calculation& calc = *run.calc;
    EXPECT_EQ(calc.iteration, 100);
    // What the loop adapts comes back to the last bit, the loop's own values when the loop takes them up.
    EXPECT_EQ(calc.objective_normaliser, 1.0 / 3.0);
    EXPECT_EQ(calc.mean_energy_change, 0.25);
    EXPECT_EQ(calc.spectra[1].mean_residual_change, 0.3 / 7.0);
    EXPECT_EQ(calc.spectrum_parameters[1].doubles[SpectrumDoubleKey::Spectrum_weight], 0.8 / 3.0);
    EXPECT_EQ(calc.spectrum_parameters[0].doubles[SpectrumDoubleKey::Clustering_precision], 0.1 / 3.0);
    uniform_random(calc);  // a stage before the loop that draws
    take_up_resumed_loop(calc);
    EXPECT_EQ(calc.log_acceptance, -1e100);
    EXPECT_EQ(calc.step_length, 0.1 / 1.1);
    EXPECT_EQ(calc.accepted_without_test, 7);
    EXPECT_EQ(calc.accepted_by_test, 2);
    EXPECT_EQ(calc.period_objective_sum, 12.0 / 7.0);
    EXPECT_EQ(calc.previous_period_objective_sum, 1e6);
    for (const double draw : next_draws) EXPECT_EQ(uniform_random(calc), draw) << "the generator goes on where it was";
    EXPECT_EQ(calc.spectrum_parameters[0].norm_code, norm_L1);
    EXPECT_FALSE(calc.parameters.bools[BoolKey::crossoverT]);
    EXPECT_TRUE(calc.parameters.bools[BoolKey::adjust_step]);
    EXPECT_EQ(calc.parameters.doubles[DoubleKey::MC_temperature], 250.0);
    EXPECT_EQ(calc.parameters.lj_epsilons[5], 0.625);

    ASSERT_EQ(calc.current_states.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        const State& saved = model.state(i);
        const State& loaded = calc.current_states[static_cast<std::size_t>(i)];
        EXPECT_EQ(largest_displacement_gap(saved, loaded), 0.0) << i;
        const double r0 = loaded.spectra[0].residual, r1 = loaded.spectra[1].residual;
        EXPECT_NEAR(r0, saved.spectra[0].residual, 1e-5 * std::abs(saved.spectra[0].residual));
        EXPECT_NEAR(r1, saved.spectra[1].residual, 1e-5 * std::abs(saved.spectra[1].residual));
        EXPECT_GT(std::abs(r0 - r1), 1e-3) << "the spectra must differ for the mean to be told from the weighted sum";
        EXPECT_EQ(loaded.residual, (r0 + r1) / 2) << "the plain mean, not weighted by Spectrum_weight";
        EXPECT_EQ(loaded.weights[0], saved.weights[0]);
        for (int s = 0; s < 2; ++s) {
            const SignalArray& a = saved.spectra[static_cast<std::size_t>(s)].chi;
            const SignalArray& b = loaded.spectra[static_cast<std::size_t>(s)].chi;
            ASSERT_EQ(a.n, b.n);
            for (int m = 0; m < a.n; ++m) EXPECT_NEAR(a.re[static_cast<std::size_t>(m)], b.re[static_cast<std::size_t>(m)], 1e-12);
        }
    }
    EXPECT_NE(calc.spectrum_parameters[0].nk, calc.spectrum_parameters[1].nk);

    // The loaded population is reported on the console; the history is cut back to iteration 100 and gets
    // nothing more, as it holds that generation already.
    EXPECT_EQ(file_text("output.dat"), "[#] header\n0 1 \n100 2 \n");
    EXPECT_NE(run.output.find("\tGENERATION:\n\t\t100\n"), std::string::npos);
    // The file carries no model chi on the fixed grid: the run's spectrum files are not touched.
    for (const char* file : {"EXAFS.dat", "ft.dat", "histoEXAFS.dat", "output.xyz"}) EXPECT_FALSE(fs::exists(file)) << file;
    // That report is the loading stage's: reading the file by itself reports nothing.
    CaptureStdout again;
    load_restart_file(calc);
    EXPECT_EQ(again.text().find("GENERATION:"), std::string::npos) << again.text();
    EXPECT_EQ(calc.iteration, 100);
}

TEST(RestartFile, AFileWithoutTheAddedSettingsStillLoads) {
    CopperModel model("Norm_type L1\n");
    save_at_iteration_100(model);
    const std::string text = file_text("restart100");
    std::ostringstream canonical;
    write_parameter_file(*model.calc, canonical);

    const std::string after_block = text.substr(text.find("\nEND\n") + 5);
    write_text("older", canonical.str() + after_block.substr(0, after_block.find("WEIGHTS\n")));

    const LoadRun run = load("older", &RunFlags::phantoms);
    ASSERT_EQ(run.code, 0) << run.output;
    EXPECT_EQ(run.calc->parameters.strings[StringKey::Norm_type], "L2") << "what the older layout did not carry";
    for (int i = 0; i < 4; ++i) EXPECT_LT(largest_displacement_gap(model.state(i), run.calc->current_states[static_cast<std::size_t>(i)]), 1e-9);
    EXPECT_EQ(run.calc->current_states[0].weights[0], 1.0) << "the starting weight";
    EXPECT_FALSE(fs::exists("output.dat")) << "only a continued refinement reports";
    EXPECT_FALSE(fs::exists("EXAFS.dat"));

    write_text("without_run_state", text.substr(0, text.find("RUN_STATE\n")));
    const LoadRun earlier = load("without_run_state", &RunFlags::phantoms);
    ASSERT_EQ(earlier.code, 0) << earlier.output;
    EXPECT_FALSE(earlier.calc->resumed_loop.has_value()) << "the loop starts from its own values";
    EXPECT_LT(largest_displacement_gap(model.state(1), earlier.calc->current_states[1]), 1e-9);
}

TEST(RestartFile, TruncatedOrMismatchedFilesAreRefusedNamingTheFile) {
    CopperModel model("");
    save_at_iteration_100(model);
    const std::string good = file_text("restart100");
    const auto cut_at = [&good](const std::string& mark, std::ptrdiff_t offset = 0) {
        return good.substr(0, static_cast<std::size_t>(static_cast<std::ptrdiff_t>(good.find(mark)) + offset));
    };
    const std::string last_atoms_line = "\n100 3 0\n";
    const std::string spectra = cut_at("WEIGHTS\n");  // the file as the layout without weights ends
    const std::vector<std::pair<std::string, std::string>> broken = {
        {"cut before END", cut_at("\nEND\n", 1)},
        {"cut after END", cut_at("\nEND\n", 5)},
        {"cut after the residuals", cut_at("Average_delta:")},
        {"cut inside an atom line", cut_at("\n100 1 0\n", 30)},
        {"cut before the spectra", cut_at("SPECTRA")},
        {"cut inside the last spectrum", spectra.substr(0, spectra.size() - 40)},
        {"last spectrum missing", spectra.substr(0, spectra.rfind('\n', spectra.size() - 2) + 1)},
        {"wrong atom count", replaced_once(good, "\n32\n100 2 0\n", "\n31\n100 2 0\n")},
        {"wrong label", replaced_once(good, "100 1 0\nCu ", "100 1 0\nAg ")},
        {"wrong heading", replaced_once(good, "\n100 2 0\n", "\n100 3 0\n")},
        {"coordinate no number", with_word_after(good, "\n100 1 0\n", 2, "1.2.3")},
        {"coordinate not finite", with_word_after(good, "\n100 1 0\n", 3, "inf")},
        {"residual no number", with_word_after(good, "\nResiduals:", 1, "nan")},
        {"spectrum value no number", with_word_after(good, "\nSPECTRA\n", 7, "0,5")},
        {"negative iteration", with_word_after(good, "\nTotal_iterations:", 0, "-1")},
        {"normaliser that makes objectives overflow", with_word_after(good, "\nAverage_delta:", 0, "1e-320")},
        {"fewer states in the head", replaced_once(good, "Number_of_states                       4", "Number_of_states                       2")},
        {"more states in the head", replaced_once(good, "Number_of_states                       4", "Number_of_states                       6")},
        {"something after the spectra", replaced_once(good, "WEIGHTS\n", "0.5 0.5\nWEIGHTS\n")},
        {"something after the weights", good + "0.5 0.5\n"},
        {"a weight no number", with_word_after(good, "\nWEIGHTS\n", 0, "one")},
        {"the weights of a state missing", good.substr(0, good.rfind('\n', good.size() - 2) + 1)},
        {"path lengths of fewer paths than counted", good + "PATH_LENGTHS\n2\n1 2.5 \n"},
    };
    ASSERT_NE(good.find(last_atoms_line), std::string::npos);
    for (const auto& [what, text] : broken) {
        write_text("broken", text);
        const LoadRun run = load("broken", &RunFlags::phantoms);
        EXPECT_EQ(run.code, 4) << what << "\n" << run.output;
        const auto error = run.output.find("ERROR");
        ASSERT_NE(error, std::string::npos) << what;
        const std::string line = run.output.substr(error, run.output.find('\n', error) - error);
        EXPECT_NE(line.find("broken"), std::string::npos) << what << ": " << line;
    }
    write_text("intact", good);
    EXPECT_EQ(load("intact", &RunFlags::phantoms).code, 0);
}

TEST(RestartFile, AWriteThatFailsEndsTheRunAndLeavesTheEarlierFileWhole) {
    CopperModel model("");
    save_at_iteration_100(model);
    const std::string earlier = file_text("restart100");
    model.calc->mean_energy_change = 0.5;
    fs::remove("partialEXAFS.dat");

    fs::create_directory("restart100.tmp");  // the temporary file cannot be made
    {
        CaptureStdout capture;
        EXPECT_EQ(exit_code_of([&] { write_restart_file(*model.calc); }), 4);
        EXPECT_NE(capture.text().find("ERROR: FILE restart100 CANNOT BE WRITTEN! Is a directory\n"), std::string::npos)
            << capture.text();
    }
    EXPECT_EQ(file_text("restart100"), earlier);
    EXPECT_FALSE(fs::exists("partialEXAFS.dat")) << "a run without its checkpoint goes no further";

    fs::remove("restart100.tmp");
    {
        CaptureStdout quiet;
        write_restart_file(*model.calc);
    }
    EXPECT_NE(file_text("restart100"), earlier);
    EXPECT_NE(file_text("restart100").find("Average_delta_E:                       0.5 \n"), std::string::npos);

    model.calc->parameters.strings[StringKey::File_for_restart] = "missing/restart";
    CaptureStdout capture;
    EXPECT_EQ(exit_code_of([&] { write_restart_file(*model.calc); }), 4);
    EXPECT_NE(capture.text().find("ERROR: FILE missing/restart100 CANNOT BE WRITTEN! No such file or directory\n"),
              std::string::npos);
    EXPECT_FALSE(fs::exists("missing/restart100.tmp"));
}

TEST(RestartFile, BestStateModeWritesTheBestStateAloneAndReportsNothing) {
    CopperModel model("");
    save_at_iteration_100(model);
    int best = 0;
    for (int i = 1; i < 4; ++i) {
        if (model.state(i).residual < model.state(best).residual) best = i;
    }

    const LoadRun run = load("restart100", &RunFlags::beststate);
    ASSERT_EQ(run.code, 0) << run.output;
    const std::string name = "restart100_beststate_100";
    ASSERT_TRUE(fs::exists(name));
    const std::string text = file_text(name);
    EXPECT_NE(text.find("Number_of_states                       1\n"), std::string::npos);
    EXPECT_NE(text.find("\n100 0 0\n"), std::string::npos);
    EXPECT_EQ(text.find("\n100 1 0\n"), std::string::npos);
    EXPECT_FALSE(fs::exists("output.dat"));
    EXPECT_FALSE(fs::exists("EXAFS.dat"));

    const LoadRun again = load(name, &RunFlags::phantoms);
    ASSERT_EQ(again.code, 0) << again.output;
    ASSERT_EQ(again.calc->current_states.size(), 1u);
    const State& state = again.calc->current_states[0];
    EXPECT_LT(largest_displacement_gap(state, model.state(best)), 1e-9);
    EXPECT_NEAR(state.residual, model.state(best).residual, 1e-5 * model.state(best).residual);
}
