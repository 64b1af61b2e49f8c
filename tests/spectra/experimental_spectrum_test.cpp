#include "spectra/experimental_spectrum.hpp"
#include "spectra_fixture.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <utility>

namespace {

struct Reading {
    int code;
    std::string output;
    SignalArray chi;
};

Reading read_spectrum(const SpectrumParameters& p, const std::string& text, double dE0 = 0.0, double S02 = 1.0) {
    std::ofstream("exp.dat", std::ios::binary) << text;
    Reading reading{-1, "", {}};
    alloc_signal(reading.chi, p, signal_line);
    CaptureStdout capture;
    reading.code = exit_code_of([&] { read_experimental_exafs(reading.chi, "exp.dat", dE0, S02); });
    reading.output = capture.text();
    return reading;
}

}  // namespace

TEST(ExperimentalSpectrum, DataOnTheGridIsReproducedAndDividedByS02) {
    ScopedWorkFolder folder;
    const SpectrumParameters p = spectrum_with_range(2.0, 12.0);
    std::ostringstream text;
    text << std::setprecision(17) << "# chi k\n";
    for (int i = 0; i < p.nk; ++i) text << std::sin(0.3 * i) << ' ' << k_grid_value(p, i) << "\r\n";
    const Reading reading = read_spectrum(p, text.str(), 0.0, 0.5);
    ASSERT_EQ(reading.code, -1);
    EXPECT_EQ(reading.output, "");
    for (int i = 0; i < p.nk; ++i) EXPECT_NEAR(reading.chi.re[i], 2 * std::sin(0.3 * i), 1e-12) << i;
    std::ifstream written("ipolEXAFS.dat");
    double chi = 0, k = 0;
    written >> chi >> k;
    EXPECT_NEAR(chi, 0.0, 1e-12);
    EXPECT_NEAR(k, 2.0, 1e-12) << "the interpolated file keeps chi before k like the input";
}

TEST(ExperimentalSpectrum, EnergyShiftMovesTheAbscissae) {
    EXPECT_NEAR(energy_shift_term(10.0), -2.6242934, 1e-6);
    ScopedWorkFolder folder;
    const SpectrumParameters p = spectrum_with_range(1.0, 3.0, 0.001);
    // chi equal to k in a k^2-weighted file: a straight line is interpolated exactly.
    const Reading reading = read_spectrum(p, "0 0.5\n1 1\n2 2\n3 3\n4 4\n", 10.0);
    const double placed = std::sqrt(1.0 + 2.6242934);
    const int at = static_cast<int>(std::lround((placed - 1.0) / 0.001));
    EXPECT_NEAR(reading.chi.re[at], 1.0, 1e-3) << "the point at k = 1 now sits at 1.9038";
    EXPECT_NEAR(reading.chi.re[0], 0.0, 1e-12) << "below the first shifted point the first row's value is taken";
}

TEST(ExperimentalSpectrum, KWeightingAndEnds) {
    ScopedWorkFolder folder;
    SpectrumParameters p = spectrum_with_range(0.5, 6.0, 0.5);
    p.doubles[SpectrumDoubleKey::k_power] = 3.0;
    const Reading reading = read_spectrum(p, "2 0\n3 1\n5 2\n7 4\n");
    EXPECT_NEAR(reading.chi.re[0], 1.5, 1e-12) << "a row at k = 0 reweighted gets 0";
    EXPECT_NEAR(reading.chi.re[1], 3.0, 1e-12) << "k_power 3 over an input of 2 multiplies by k";
    EXPECT_NEAR(reading.chi.re[7], 28.0, 1e-12);
    EXPECT_NEAR(reading.chi.re[11], 28.0, 1e-12) << "above the last row its value is kept";
}

TEST(ExperimentalSpectrum, BrokenTablesAreReportedNeverMisread) {
    ScopedWorkFolder folder;
    const SpectrumParameters p = spectrum_with_range(1.0, 3.0, 0.5);
    const Reading partial = read_spectrum(p, "1 1\n2 2\n3 x\n4 4\n");
    EXPECT_EQ(partial.code, -1);
    EXPECT_EQ(partial.output,
              "WARNING: only 2 of 4 data rows of exp.dat could be read; reading stopped at the first incomplete row\n"
              "WARNING: the data of exp.dat end at k = 2, below k_max 3: their last value is held up to k_max\n");
    EXPECT_NEAR(partial.chi.re[4], 2.0, 1e-12);
    EXPECT_EQ(file_text("tempfile"), "1 1\n2 2\n3 x\n4 4");

    const Reading blank_comment = read_spectrum(p, "1 1\n2 2\n # a blank first: a data row\n");
    EXPECT_NE(blank_comment.output.find("only 2 of 3 data rows"), std::string::npos);

    const Reading empty = read_spectrum(p, "# only\r\n#comments\r\n\r\n");
    EXPECT_EQ(empty.code, 4);
    EXPECT_EQ(empty.output, "ERROR: NO DATA IN FILE WITH EXPERIMENTAL EXAFS!\n");

    // Data that are there but cannot be read as rows: the error says what stands in their place.
    const std::pair<std::string, std::string> unreadable[] = {
        {std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\xed\x9d", 12),
         "ERROR: exp.dat is gzip-compressed, not a text table: decompress it, or export the data as a text file of "
         "columns\n"},
        {std::string("PK\x03\x04\x00\x00", 6), "ERROR: exp.dat holds binary content (line 1), not a text table of numbers\n"},
        {"# chi,k\n0.1,1\n0.2,2\n",
         "ERROR: line 2 of exp.dat, '0.1,1', is not a row of 2 numbers: the numbers are separated by commas; separate "
         "them by blanks or tabs\n"},
        {"\xEF\xBB\xBF  # chi k\n0.1 1\n0.2 2\n",
         "ERROR: line 1 of exp.dat, '  # chi k', is not a row of 2 numbers: a comment line must begin with '#' as its "
         "very first character\n"},
        {"chi k\n0.1 1\n", "ERROR: line 1 of exp.dat, 'chi k', is not a row of 2 numbers\n"},
    };
    for (const auto& [text, message] : unreadable) {
        const Reading reading = read_spectrum(p, text);
        EXPECT_EQ(reading.code, 4) << message;
        EXPECT_EQ(reading.output, message);
    }

    SpectrumParameters bad_column = p;
    bad_column.ints[SpectrumIntKey::Column_for_k] = 0;
    const Reading column = read_spectrum(bad_column, "1 1\n");
    EXPECT_EQ(column.code, 1);
    EXPECT_EQ(column.output, "ERROR: WRONG COLUMN NUMBER FOR k OR chi!\n");

    SignalArray chi;
    alloc_signal(chi, p, signal_line);
    CaptureStdout capture;
    EXPECT_EQ(exit_code_of([&] { read_experimental_exafs(chi, "absent.dat", 0, 1); }), 4);
    EXPECT_EQ(capture.text(), "ERROR: FILE WITH EXPERIMENTAL EXAFS CANNOT BE OPENED! (absent.dat: No such file or directory)\n");
}

TEST(ExperimentalSpectrum, TablesThatCannotBeChiOfKAreRefused) {
    ScopedWorkFolder folder;
    SpectrumParameters p = spectrum_with_range(2.0, 12.0);
    // mu(E) with the energies in column 1.
    p.ints[SpectrumIntKey::Column_for_k] = 1;
    p.ints[SpectrumIntKey::Column_for_chi] = 2;
    const Reading energies = read_spectrum(p, "# E mu\n8800 0.11\n8810 0.12\n8820 0.14\n");
    EXPECT_EQ(energies.code, 4);
    EXPECT_EQ(energies.output, "ERROR: exp.dat is not a chi(k) spectrum: its k column (column 1, Column_for_k) holds "
                               "8800 on line 2, where k stays below 30 1/A; is it mu(E) over energies in eV? talq "
                               "needs chi(k)\n");

    // A "k chi" file read with the default columns, chi in column 1 and k in column 2.
    p.ints[SpectrumIntKey::Column_for_k] = 2;
    p.ints[SpectrumIntKey::Column_for_chi] = 1;
    const Reading swapped = read_spectrum(p, "2 0.5\n3 0.25\n4 -0.125\n5 0.2\n");
    EXPECT_EQ(swapped.code, 4);
    EXPECT_EQ(swapped.output, "ERROR: the k column of exp.dat does not increase: with Column_for_k 2 and "
                              "Column_for_chi 1, line 2 has k = 0.25 after k = 0.5 on line 1; column 1 increases: if "
                              "it holds k, set Column_for_k 1 and Column_for_chi 2\n");
    const Reading repeated = read_spectrum(p, "0.1 2\n0.2 3\n0.3 3\n0.2 12\n");
    EXPECT_EQ(repeated.output, "ERROR: the k column of exp.dat does not increase: with Column_for_k 2 and "
                               "Column_for_chi 1, line 3 has k = 3 after k = 3 on line 2\n");
}

TEST(ExperimentalSpectrum, DataThatEndBeforeKmaxAreReportedAndTooShortOnesRefused) {
    ScopedWorkFolder folder;
    const SpectrumParameters p = spectrum_with_range(2.0, 13.0);
    std::ostringstream to_8, to_6;  // chi k on k = 0, 0.1, ...
    for (int i = 0; i <= 80; ++i) to_8 << std::sin(0.3 * i) << ' ' << 0.1 * i << '\n';
    for (int i = 0; i <= 60; ++i) to_6 << std::sin(0.3 * i) << ' ' << 0.1 * i << '\n';
    const Reading short_data = read_spectrum(p, to_8.str());
    EXPECT_EQ(short_data.code, -1);
    EXPECT_EQ(short_data.output,
              "WARNING: the data of exp.dat end at k = 8, below k_max 13: their last value is held up to k_max\n");
    const Reading shifted = read_spectrum(p, to_8.str(), -10.0);
    EXPECT_NE(shifted.output.find("end at k = 7.83"), std::string::npos) << shifted.output;
    EXPECT_NE(shifted.output.find("(after the dE0 shift of -10 eV)"), std::string::npos);

    const Reading too_short = read_spectrum(p, to_6.str());
    EXPECT_EQ(too_short.code, 1);
    EXPECT_EQ(too_short.output, "ERROR: the data of exp.dat cover k = 0 to 6, less than half of the compared range "
                                "from k_min 2 to k_max 13: choose k_min and k_max inside the data\n");

    std::ostringstream from_1;
    for (int i = 10; i <= 80; ++i) from_1 << std::sin(0.3 * i) << ' ' << 0.1 * i << '\n';
    const Reading late = read_spectrum(spectrum_with_range(0.05, 8.0), from_1.str());
    EXPECT_EQ(late.output,
              "WARNING: the data of exp.dat begin at k = 1, above k_min 0.05: their first value is held down to k_min\n");
}

TEST(ExperimentalSpectrum, ColumnsArePickedByNumber) {
    ScopedWorkFolder folder;
    SpectrumParameters p = spectrum_with_range(1.0, 2.0, 1.0);
    p.ints[SpectrumIntKey::Columns_in_input] = 3;
    p.ints[SpectrumIntKey::Column_for_k] = 1;
    p.ints[SpectrumIntKey::Column_for_chi] = 3;
    const Reading reading = read_spectrum(p, "1 99 5\n2 99 6\n");
    EXPECT_NEAR(reading.chi.re[0], 5.0, 1e-12);
    EXPECT_NEAR(reading.chi.re[1], 6.0, 1e-12);
}

TEST(FixedGridInterpolation, TablesMapOntoTheModelGrid) {
    ScopedWorkFolder folder;
    std::ofstream("amp.dat") << "# k amplitude\n0 0\n10 1\n20 2\n";
    double grid[fixed_grid_points];
    read_experimental_amplitude_phase("amp.dat", grid);
    EXPECT_NEAR(grid[0], 0.0, 1e-12);
    EXPECT_NEAR(grid[100], 0.5, 1e-12);
    EXPECT_NEAR(grid[400], 2.0, 1e-12);

    CaptureStdout capture;
    EXPECT_EQ(exit_code_of([&] { read_experimental_amplitude_phase("pha.dat", grid); }), 4);
    EXPECT_EQ(capture.text(), "ERROR: FILE WITH EXPERIMENTAL AMPLITUDE CANNOT BE OPENED! (pha.dat: No such file or directory)\n");
}

TEST(FixedGridInterpolation, AmplitudeTablesWithoutDataOrWithBrokenRowsAreReported) {
    ScopedWorkFolder folder;
    double grid[fixed_grid_points];
    std::ofstream("amp.dat") << "# k amplitude\n\n#only comments\n";
    {
        CaptureStdout capture;
        EXPECT_EQ(exit_code_of([&] { read_experimental_amplitude_phase("amp.dat", grid); }), 4);
        EXPECT_EQ(capture.text(), "ERROR: NO DATA IN FILE WITH EXPERIMENTAL AMPLITUDE!\n");
    }
    std::ofstream("amp.dat") << "0 0\n10 1\n15 x\n20 4\n";
    {
        CaptureStdout capture;
        EXPECT_EQ(exit_code_of([&] { read_experimental_amplitude_phase("amp.dat", grid); }), -1);
        EXPECT_EQ(capture.text(), "WARNING: only 2 of 4 data rows of amp.dat could be read; reading stopped at the first "
                                  "incomplete row\n");
        EXPECT_NEAR(grid[400], 1.0, 1e-12) << "the table ends at its last row read";
    }
    std::ofstream("amp.dat") << "0 0\n10 1e300\n";
    CaptureStdout capture;
    EXPECT_EQ(exit_code_of([&] { read_experimental_amplitude_phase("amp.dat", grid); }), 4);
    EXPECT_EQ(capture.text(), "ERROR: VALUE 1e+300 IN FILE amp.dat CANNOT BE USED!\n");
}

TEST(ExperimentalSpectrum, LinesOfThousandsOfCharactersAreReadWhole) {
    ScopedWorkFolder folder;
    const SpectrumParameters p = spectrum_with_range(1.0, 2.0, 1.0);
    const std::string long_comment = "#" + std::string(5000, 'c') + "\n";
    const Reading reading = read_spectrum(p, long_comment + "1 1" + std::string(3000, ' ') + "\n2 2 " +
                                                 std::string(4000, '7') + "\n");
    EXPECT_EQ(reading.code, -1);
    EXPECT_EQ(reading.output, "") << "nothing dropped";
    EXPECT_NEAR(reading.chi.re[0], 1.0, 1e-12);
    EXPECT_NEAR(reading.chi.re[1], 2.0, 1e-12);
}

TEST(ExperimentalSpectrum, ValuesThatOverflowWhenUsedAreRefused) {
    ScopedWorkFolder folder;
    const SpectrumParameters p = spectrum_with_range(1.0, 3.0, 0.5);
    const Reading huge = read_spectrum(p, "1 1\n-1e308 2\n3 3\n");
    EXPECT_EQ(huge.code, 4);
    EXPECT_EQ(huge.output, "ERROR: VALUE -1e+308 IN FILE exp.dat CANNOT BE USED!\n");
    const Reading far = read_spectrum(p, "1 1\n2 1e31\n");
    EXPECT_EQ(far.output, "ERROR: VALUE 1e+31 IN FILE exp.dat CANNOT BE USED!\n") << "k as much as chi";
    const Reading divided = read_spectrum(p, "1 1\n2 2\n", 0.0, 1e-30);
    EXPECT_EQ(divided.code, 4);
    EXPECT_EQ(divided.output, "ERROR: VALUE 2 AT k = 2 IN FILE exp.dat CANNOT BE USED: WEIGHTED BY k AND DIVIDED BY "
                              "S02 IT IS 2e+30!\n");
}

TEST(GridInterpolation, ModelTablesWithoutSentinelsStopAtTheirLastEntry) {
    const SpectrumParameters p = spectrum_with_range(0.05, 3.0, 0.5);
    SignalArray target;
    alloc_signal(target, p, signal_line);
    const std::vector<double> x{0.0, 1.0, 2.0}, y{0.0, 10.0, 20.0};
    interpolate_to_grid(target, x, y);
    EXPECT_NEAR(target.re[1], 5.5, 1e-12);
    EXPECT_EQ(target.re[5], 20.0) << "beyond the table the last value is kept";
    interpolate_with_e0_shift(target, x, y, 5.0, 2.0);
    EXPECT_EQ(target.re[0], 0.0) << "a positive shift never reads before the table";
    EXPECT_EQ(target.re[5], 10.0);
}
