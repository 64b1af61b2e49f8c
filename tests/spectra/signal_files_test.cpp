#include "control/calculation.hpp"
#include "control/number_text.hpp"
#include "app/driver.hpp"
#include "spectra/signal_files.hpp"
#include "spectra_fixture.hpp"
#include "test_support.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/structure.hpp"
#include "theory/absorber_edge.hpp"
#include "optimisation/population/state.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A run of stage 3 on a two-shell spectrum with the default grid (nk 380, R window 0..5).
struct ExperimentalStage {
    std::unique_ptr<Calculation> calc = std::make_unique<Calculation>();
    int code = -1;
    std::string output;

    // `amplitude` scales the spectrum; a `replaced_row` puts that text in place of the row at k = 5.
    void run(bool skipwin, const std::string& extra_parameters = "", double amplitude = 1.0,
             const std::string& replaced_row = "") {
        std::ofstream("input.dat") << "BEGIN\nNumber_of_threads 3\n" << extra_parameters << "END\n";
        std::ofstream out("expEXAFS.dat");
        for (int i = 0; i <= 400; ++i) {
            const double k = 0.05 * i;
            if (i == 100 && !replaced_row.empty()) out << replaced_row << '\n';
            else out << amplitude * (std::sin(2 * k * 2.5) + 0.5 * std::sin(2 * k * 3.7)) << ' ' << k << '\n';
        }
        out.close();
        calc = std::make_unique<Calculation>();
        calc->flags.ftwt = true;
        calc->flags.skipwin = skipwin;
        CaptureStdout capture;
        code = exit_code_of([&] { run_calculation(*calc, "input.dat", ""); });
        output = capture.text();
    }
};

}  // namespace

TEST(SignalFiles, LayoutsFollowTheirModes) {
    ScopedWorkFolder folder;
    SpectrumParameters p = spectrum_with_range(1.0, 2.0, 0.5);
    p.doubles[SpectrumDoubleKey::k_power] = 3.0;
    SignalArray line;
    alloc_signal(line, p, signal_line);
    for (int i = 0; i < line.n; ++i) {
        line.re[i] = i + 1.0;
        line.im[i] = -1.0;
        line.mod[i] = 7.0;
    }
    write_signal_file(line, "chi.dat", signal_file_chi);
    write_signal_file(line, "ft.dat", signal_file_ft);
    write_signal_file(line, "bft.dat", signal_file_k_line);
    EXPECT_EQ(lines_of("chi.dat")[0], "1.000000e+00 1.000000e+00") << "chi first, weight restored to k^2";
    EXPECT_EQ(lines_of("chi.dat")[1], "1.333333e+00 1.500000e+00");
    EXPECT_EQ(lines_of("ft.dat")[2], "1.000000e+01 3.000000e+00 -1.000000e+00 7.000000e+00");
    EXPECT_EQ(lines_of("bft.dat")[2], "2.000000e+00 3.000000e+00");

    p.ints[SpectrumIntKey::Column_for_chi] = 3;
    write_signal_file(line, "chi.dat", 7);
    EXPECT_EQ(lines_of("chi.dat")[1], "1.500000e+00 1.333333e+00") << "an unknown mode writes chi, k first here";
}

// The numbers are put into text without a stream, a map's rows on the threads: the files must read as a
// stream set to std::scientific and precision 6 writes them, in row order, whatever the thread count.
TEST(SignalFiles, NumbersAndMapRowsAreWrittenAsAStreamWritesThem) {
    ScopedWorkFolder folder;
    const std::vector<double> values = {0.0, -0.0, 1.0078125 /* a tie at the sixth digit */, -2.5e-7, 9.9999995e12,
                                        5e-324, -1.7976931348623157e308, 123456789.0, std::nan(""),
                                        -std::numeric_limits<double>::infinity()};
    for (const double value : values) {
        std::ostringstream stream;
        stream << std::scientific << std::setprecision(6) << value;
        std::string text;
        append_scientific(text, value, 6);
        EXPECT_EQ(text, stream.str());
    }
    SpectrumParameters p = spectrum_with_range(1.0, 2.0, 0.5);
    SignalArray map;
    alloc_signal(map, p, signal_map);
    for (int i = 0; i < map.n; ++i) {
        map.re[static_cast<std::size_t>(i)] = values[static_cast<std::size_t>(i) % values.size()];
        map.im[static_cast<std::size_t>(i)] = 1.0 / (i + 3.0);
        map.mod[static_cast<std::size_t>(i)] = -i;
    }
    std::ostringstream expected;
    expected << std::scientific << std::setprecision(6);
    for (int r = 0; r < p.nk; ++r) {
        for (int k = 0; k < p.nk; ++k) {
            const auto i = static_cast<std::size_t>(r * p.nk + k);
            expected << k_grid_value(p, k) << ' ' << r_grid_value(p, r) << ' ' << map.re[i] << ' ' << map.im[i] << ' '
                     << map.mod[i] << '\n';
        }
    }
    for (const int threads : {1, 3, p.nk + 5}) {
        p.thread_count = threads;
        write_signal_file(map, "wt.dat", signal_file_wt);
        std::ifstream in("wt.dat");
        std::ostringstream written;
        written << in.rdbuf();
        EXPECT_EQ(written.str(), expected.str()) << threads << " threads";
    }
}

// A file is written whole under a temporary name and renamed, so that a kill never leaves it cut; what
// cannot be written is named with the system's reason, and a full disk ends the run.
TEST(SignalFiles, WrittenWholeOrReportedWithTheReason) {
    ScopedWorkFolder folder;
    SpectrumParameters p = spectrum_with_range(1.0, 2.0, 0.5);
    SignalArray line;
    alloc_signal(line, p, signal_line);
    std::filesystem::create_directory("ft.dat");
    {
        CaptureStdout capture;
        write_signal_file(line, "ft.dat", signal_file_ft);
        EXPECT_EQ(capture.text(), "WARNING: FILE ft.dat CANNOT BE WRITTEN! Is a directory\n");
    }
    EXPECT_TRUE(std::filesystem::is_directory("ft.dat"));
    // A device is written in place, never replaced by a file.
    write_signal_file(line, "/dev/null", signal_file_ft);
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
    {
        CaptureStdout capture;
        EXPECT_EQ(exit_code_of([&] { write_signal_file(line, "/dev/full", signal_file_ft); }), 4);
        EXPECT_EQ(capture.text(), "ERROR: FILE /dev/full CANNOT BE WRITTEN! No space left on device\n");
    }
    write_signal_file(line, "bft.dat", signal_file_k_line);
    EXPECT_EQ(lines_of("bft.dat").size(), static_cast<std::size_t>(line.n));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(".")) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"bft.dat", "ft.dat"})) << "no temporary file is left";
}

TEST(ExperimentalStage, WritesWindowsAndTransformsAndEndsWithTransformsOnly) {
    ScopedWorkFolder folder;
    ExperimentalStage stage;
    stage.run(false);
    ASSERT_EQ(stage.code, 0) << stage.output;
    EXPECT_NE(stage.output.find("      3: PROCESSING EXPERIMENTAL DATA\n"), std::string::npos);

    const auto r_window = lines_of("window_R_0");
    ASSERT_EQ(r_window.size(), 380u);
    EXPECT_EQ(r_window[189], "5.000000e+00 1.000000e+00 0.000000e+00 1.000000e+00");
    EXPECT_EQ(r_window[190].substr(12), " 0.000000e+00 0.000000e+00 0.000000e+00");
    const auto w_window = lines_of("window_W_0");
    ASSERT_EQ(w_window.size(), 144400u);
    EXPECT_EQ(w_window[380].substr(0, 26), "5.000000e-02 5.263158e-02 ");
    for (const char* file : {"window_K_0", "window_Q_0", "ipolEXAFS.dat", "expFT.dat", "expBFT.dat"}) {
        EXPECT_EQ(lines_of(file).size(), 380u) << file;
    }
    EXPECT_EQ(lines_of("expWT.dat").size(), 144400u);

    // The first shell dominates the experiment's transform inside the R window.
    const SpectrumContext& context = stage.calc->spectra[0];
    int peak = 0;
    for (int j = 0; j < 190; ++j) {
        if (context.exp_ft.mod[j] > context.exp_ft.mod[peak]) peak = j;
    }
    EXPECT_NEAR(r_grid_value(*context.parameters, peak), 2.5, 0.03);
    EXPECT_GT(context.norm_w, 0.0);
    EXPECT_GT(context.norm_k, 0.0);
}

TEST(ExperimentalStage, WindowsReadBackWithSkipwinAreTheWrittenOnes) {
    ScopedWorkFolder folder;
    ExperimentalStage written;
    written.run(false, "R_min 1.5\nR_max 3.0\n");
    ExperimentalStage read;
    read.run(true, "R_min 0.0\nR_max 10.0\n");
    ASSERT_EQ(read.code, 0);
    const SpectrumContext& a = written.calc->spectra[0];
    const SpectrumContext& b = read.calc->spectra[0];
    EXPECT_EQ(a.window_r.re, b.window_r.re);
    EXPECT_EQ(a.window_w.re, b.window_w.re);
    for (int i = 0; i < 380; ++i) {
        EXPECT_NEAR(b.window_k.re[i], 1.0, 1e-6);
        EXPECT_EQ(b.window_q.re[i], 1.0);
    }
}

TEST(ExperimentalStage, MissingWindowFilesKeepWeightOneWithAWarning) {
    ScopedWorkFolder folder;
    ExperimentalStage stage;
    stage.run(true);
    ASSERT_EQ(stage.code, 0);
    EXPECT_NE(stage.output.find("WARNING: window file window_R_0 not found; the window keeps weight 1\n"),
              std::string::npos);
    EXPECT_EQ(stage.calc->spectra[0].window_r.re[300], 1.0);
}

TEST(ExperimentalStage, ResultsDoNotDependOnTheThreadCount) {
    ScopedWorkFolder folder;
    std::vector<std::string> maps;
    for (int threads : {1, 7, 256}) {
        ExperimentalStage stage;
        stage.run(false, "Number_of_threads " + std::to_string(threads) + "\n");
        ASSERT_EQ(stage.code, 0);
        std::ifstream in("expWT.dat");
        std::ostringstream text;
        text << in.rdbuf();
        maps.push_back(text.str());
    }
    EXPECT_EQ(maps[0], maps[1]);
    EXPECT_EQ(maps[0], maps[2]);
}

TEST(ExperimentalStage, SpectrumWithoutWeightInTheFitSpaceIsReportedAfterLoading) {
    ScopedWorkFolder folder;
    ExperimentalStage stage;
    stage.run(false, "Space k\n", 0.0);
    ASSERT_EQ(stage.code, 0);
    const std::string warning = "WARNING: the experimental spectrum 0 has no weight in the fit space (reference norm 0); "
                                "its residuals are not normalised\n";
    ASSERT_GE(stage.output.size(), warning.size());
    EXPECT_EQ(stage.output.substr(stage.output.size() - warning.size()), warning) << "right after loading";
    ExperimentalStage weighted;
    weighted.run(false, "Space k\n");
    EXPECT_EQ(weighted.output.find("WARNING"), std::string::npos);
}

// Values that would overflow in a transform or a weight stop the stage before it writes any of them, so
// no output holds nan or inf.
TEST(ExperimentalStage, UnusableValuesAreRefusedBeforeTheTransformsAreWritten) {
    ScopedWorkFolder folder;
    const struct {
        std::string parameters;
        std::string row;
        int code;
        std::string message;
    } cases[] = {
        {"", "-1e308 5.0", 4, "ERROR: VALUE -1e+308 IN FILE expEXAFS.dat CANNOT BE USED!\n"},
        {"k_power 10\nk_power_in_IO 0\n", "1e25 5.0", 4,
         "ERROR: VALUE 1e+25 AT k = 5 IN FILE expEXAFS.dat CANNOT BE USED: WEIGHTED BY k AND DIVIDED BY S02 IT IS "
         "9.76563e+31!\n"},
        {"k_power_in_IO 1e26\n", "", 1,
         "ERROR: PARAMETER k_power_in_IO = 1e+26 CANNOT BE USED: a k weight lies between 0 and 10!\n"},
    };
    for (const auto& c : cases) {
        for (const char* output : {"ipolEXAFS.dat", "expFT.dat", "expBFT.dat", "expWT.dat"}) std::filesystem::remove(output);
        ExperimentalStage stage;
        stage.run(false, c.parameters, 1.0, c.row);
        EXPECT_EQ(stage.code, c.code) << c.row;
        EXPECT_NE(stage.output.find(c.message), std::string::npos) << stage.output.substr(stage.output.size() - 300);
        EXPECT_FALSE(std::filesystem::exists("expFT.dat"));
    }

    // A window weight read back under -skipwin multiplies the transforms as much as a spectrum value.
    ExperimentalStage written;
    written.run(false);
    std::vector<std::string> window = lines_of("window_R_0");
    window[100] = "2.631579e+00 1e308 0 1";
    std::ofstream out("window_R_0");
    for (const std::string& line : window) out << line << '\n';
    out.close();
    ExperimentalStage read;
    read.run(true);
    EXPECT_EQ(read.code, 4);
    EXPECT_NE(read.output.find("ERROR: VALUE 1e+308 IN FILE window_R_0 CANNOT BE USED!\n"), std::string::npos);
}
