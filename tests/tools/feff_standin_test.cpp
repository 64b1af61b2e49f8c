// The FEFF stand-in is run as a process, exactly as the driver runs FEFF: input files in a fresh
// folder, no arguments, outputs read back from the folder.

#include "test_support.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#ifdef FEFF_STANDIN

namespace {

namespace fs = std::filesystem;

constexpr double cu_lattice = 3.61;

struct InputOptions {
    std::string control = " CONTROL   1      1     1     1     1      1";
    std::string print = " PRINT     1      0     0     0     0      0";
    std::string exafs = " EXAFS 20.0";
    double offset = 0.0;       // the whole cluster is shifted: coordinates are not relative to the absorber
    int neighbour_ipot = 1;    // the potential index of every atom after the absorber
};

// feff.inp as the system writes it for fcc Cu (structure type code >= 4): the absorber line carries
// potential index 1, not 0, and the atoms follow in increasing distance.
std::string cu_feff_inp(const InputOptions& options = {}) {
    std::vector<std::pair<double, std::vector<double>>> atoms;
    const double h = cu_lattice / 2.0;
    for (int i = -3; i <= 3; ++i)
        for (int j = -3; j <= 3; ++j)
            for (int k = -3; k <= 3; ++k) {
                const double d = h * std::sqrt(double(i * i + j * j + k * k));
                if ((i + j + k) % 2 == 0 && d < 5.2) atoms.push_back({d, {i * h, j * h, k * h}});
            }
    std::stable_sort(atoms.begin(), atoms.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::ostringstream out;
    out << " \n TITLE   Talq_FEFF_inp\n  \n EDGE      K \n S02       1.000000000000\n \n"
        << " *         pot    xsph  fms   paths genfmt ff2chi\n"
        << options.control << "\n" << options.print << "\n  \n"
        << " *         r_scf   [ l_scf  n_scf  ca ]\n SCF       4.000000000000   0      30     0.100000000000     1\n \n"
        << " *         ixc  [ Vr  Vi ]\n EXCHANGE  0      0   0\n\n"
        << options.exafs << "\n RPATH    5.000000000000\n NLEGS    4\n CRITERIA  0.0  2.500000000000 \n"
        << "CFAVERAGE 1 1 5.000000000000\n  \n \n POTENTIALS\n *   ipot   z [ label   l_scmt  l_fms  stoichiometry ]\n"
        << "       0   29    Cu     -1      -1       0\n       1   29    Cu     -1      -1       4\n  \n ATOMS\n";
    char line[160];
    for (std::size_t n = 0; n < atoms.size(); ++n) {
        const auto& p = atoms[n].second;
        std::snprintf(line, sizeof line, "%.12f %.12f %.12f %d Cu\n", p[0] + options.offset, p[1] + options.offset,
                      p[2] + options.offset, n == 0 ? 1 : options.neighbour_ipot);
        out << line;
    }
    out << "  END\n";
    return out.str();
}

// Paths 1 and 5 of a Cu path list, the leading path first, as the system hands them to a path run.
const char* const two_paths =
    "PATH  Rmax= 5.000,  Keep_limit= 0.00, Heap_limit 0.00  Pwcrit= 2.50%\n"
    " -----------------------------------------------------------------------\n"
    "     1    2  12.000  index, nleg, degeneracy, r=  2.5527\n"
    "      x           y           z     ipot  label      rleg      beta        eta\n"
    "    1.805000    0.000000   -1.805000   1 'Cu    '     2.5527  180.0000    0.0000\n"
    "    0.000000    0.000000    0.000000   0 'Cu    '     2.5527  180.0000    0.0000\n"
    "     5    2  24.000  index, nleg, degeneracy, r=  4.4213\n"
    "x           y           z     ipot  label      rleg      beta        eta\n"
    " -1.805000 3.610000 1.805000  1 'Cu     '     4.421300  180.000000    0.0000\n"
    " 0.000000 0.000000 0.000000  0 'Cu     '     4.421300  180.000000    0.0000\n";

void write_file(const std::string& name, const std::string& text) { std::ofstream(name) << text; }

std::string read_file(const std::string& name) {
    std::ifstream in(name);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

int run_standin() {
    const int status = std::system(("\"" + std::string(FEFF_STANDIN) + "\" > out.txt 2> err.txt").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The numeric rows after the column line, the way the system reads chi.dat and the chip files.
std::vector<std::vector<double>> data_rows(const std::string& name) {
    std::istringstream in(read_file(name));
    std::string word;
    while (in >> word && word.front() != '@') {}
    std::vector<std::vector<double>> rows;
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::vector<double> row;
        for (double v; fields >> v;) row.push_back(v);
        rows.push_back(row);
    }
    return rows;
}

// A path-run folder: the system's feff.inp with the last two modules on, stale bytes after END as the
// worker copy may have them, and the given path list.
void prepare_path_run(const std::string& paths) {
    InputOptions options;
    options.control = " CONTROL   0      0     0     0     1      1";
    options.print = " PRINT   1      0     0     0     0      2";
    write_file("feff.inp", cu_feff_inp(options) + "\n 0.0 0.0 0.0 7 Xx\n  END\n");
    write_file("paths.dat", paths);
}

double reff_of_path_5() { return std::sqrt(1.805 * 1.805 + 3.61 * 3.61 + 1.805 * 1.805); }

}  // namespace

TEST(FeffStandin, PotentialRunWritesPotentialsAndPathsLeadingWithTheNearestShell) {
    ScopedWorkFolder folder;
    InputOptions options;
    options.offset = 10.0;
    write_file("feff.inp", cu_feff_inp(options));
    ASSERT_EQ(run_standin(), 0) << read_file("err.txt");
    EXPECT_TRUE(fs::exists("pot.bin"));

    std::istringstream paths(read_file("paths.dat"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(paths, line);) lines.push_back(line);
    ASSERT_GE(lines.size(), 6u);
    // The system stores lines 1-2 as the head of every path list, so the dashes must be line 2.
    EXPECT_EQ(lines[1], " -----------------------------------------------------------------------");
    EXPECT_EQ(lines[2], "     1    2  12.000  index, nleg, degeneracy, r=  2.5527");
    // The absorber comes last and at the origin although the input cluster is shifted.
    EXPECT_EQ(lines[5], "    0.000000    0.000000    0.000000   0 'Cu    '     2.5527  180.0000    0.0000");

    // Every single-scattering shell within RPATH, with its full degeneracy, in order of length.
    std::vector<std::string> singles;
    double previous_r = 0.0;
    for (const std::string& line : lines) {
        if (line.find("index, nleg") == std::string::npos) continue;
        const double r = std::stod(line.substr(line.find("r=") + 2));
        EXPECT_GE(r, previous_r);
        EXPECT_LE(r, 5.0);
        previous_r = r;
        if (line.substr(6, 5) == "    2") singles.push_back(line.substr(11, 8) + line.substr(line.find("r=") + 2));
    }
    EXPECT_EQ(singles, (std::vector<std::string>{"  12.000  2.5527", "   6.000  3.6100", "  24.000  4.4213"}));

    const auto rows = data_rows("chi.dat");
    ASSERT_EQ(rows.size(), 401u);
    EXPECT_EQ(rows.front()[0], 0.0);
    EXPECT_EQ(rows.back()[0], 20.0);
    // PRINT ends in 0: no per-path files are asked for.
    EXPECT_FALSE(fs::exists("chip0001.dat"));
}

TEST(FeffStandin, ExafsCardSetsTheLastK) {
    ScopedWorkFolder folder;
    InputOptions options;
    options.exafs = " exafs 15.0";
    write_file("feff.inp", cu_feff_inp(options));
    ASSERT_EQ(run_standin(), 0) << read_file("err.txt");
    const auto rows = data_rows("chi.dat");
    ASSERT_EQ(rows.size(), 301u);
    EXPECT_EQ(rows.back()[0], 15.0);
}

TEST(FeffStandin, PathRunWritesOneChipFilePerBlockAndTheirSumInChiDat) {
    ScopedWorkFolder folder;
    prepare_path_run(two_paths);
    write_file("chip0002.dat", "from an earlier run\n");
    ASSERT_EQ(run_standin(), 0) << read_file("err.txt");
    EXPECT_FALSE(fs::exists("pot.bin"));
    EXPECT_EQ(read_file("chip0002.dat"), "from an earlier run\n");

    const auto first = data_rows("chip0001.dat");
    const auto fifth = data_rows("chip0005.dat");
    const auto total = data_rows("chi.dat");
    ASSERT_EQ(first.size(), 401u);
    ASSERT_EQ(fifth.size(), 401u);
    ASSERT_EQ(total.size(), 401u);
    const std::string chip_text = read_file("chip0001.dat");
    EXPECT_NE(chip_text.front(), '#');
    EXPECT_EQ(chip_text.find("\n#"), std::string::npos);
    for (std::size_t i = 0; i < total.size(); ++i) {
        const double k = 0.05 * double(i);
        ASSERT_EQ(first[i].size(), 5u);
        EXPECT_NEAR(first[i][0], k, 1e-9);
        for (const auto* chip : {&first[i], &fifth[i]}) {
            const auto& row = *chip;
            // Seven printed digits leave the phase (up to ~180) good to 1e-4 only.
            EXPECT_NEAR(row[1], row[2] * std::sin(row[3]), 1e-4 * row[2]) << "k = " << k;
        }
        EXPECT_NEAR(fifth[i][4], fifth[i][3] - 2.0 * k * reff_of_path_5(), 2e-5 * (1.0 + std::abs(fifth[i][3])));
        EXPECT_NEAR(total[i][1], first[i][1] + fifth[i][1], 1.5e-6 * (first[i][2] + fifth[i][2]));
    }
}

// The system turns chip rows into A_eff = k reff^2 mag / deg and phi_eff = column 5 and rebuilds
// chi = deg A_eff / (k R^2) sin(2kR + phi_eff); at R = reff that must give the path's chi back.
TEST(FeffStandin, EffectiveAmplitudeAndPhaseRebuildTheChipChiAtReff) {
    ScopedWorkFolder folder;
    prepare_path_run(two_paths);
    ASSERT_EQ(run_standin(), 0) << read_file("err.txt");
    const struct {
        const char* file;
        double deg;
        double reff;
    } paths[] = {{"chip0001.dat", 12.0, std::sqrt(2.0) * 1.805}, {"chip0005.dat", 24.0, reff_of_path_5()}};
    for (const auto& path : paths) {
        const auto rows = data_rows(path.file);
        ASSERT_EQ(rows.size(), 401u);
        for (std::size_t i = 1; i < rows.size(); ++i) {
            const double k = rows[i][0];
            const double amplitude = k * path.reff * path.reff * rows[i][2] / path.deg;
            const double rebuilt = path.deg * amplitude / (k * path.reff * path.reff) * std::sin(2.0 * k * path.reff + rows[i][4]);
            EXPECT_NEAR(rebuilt, rows[i][1], 1e-4 * rows[i][2]) << path.file << " k = " << k;
        }
    }
}

TEST(FeffStandin, QuotedLabelsIndicesBeyondFourDigitsAndAtSignsInTitles) {
    ScopedWorkFolder folder;
    // A word starting with '@' in a title would end the readers' search for the column line early.
    prepare_path_run("title one\nsample @ 300 K\n ---\n"
                     " 10000 2 4.0 index, nleg, degeneracy, r= 2.0\n columns\n"
                     " 2.0 0.0 0.0 1 'Cu a  ' 2.0 180.0 0.0\n 0.0 0.0 0.0 0 'Cu b' 2.0 180.0 0.0\n");
    ASSERT_EQ(run_standin(), 0) << read_file("err.txt");
    const auto rows = data_rows("chip****.dat");
    ASSERT_EQ(rows.size(), 401u);
    EXPECT_EQ(rows.front().size(), 5u);
    EXPECT_EQ(data_rows("chi.dat").size(), 401u);
}

// A straight line absorber -> A -> B lets A focus the wave onto B; the same legs bent at A do not.
TEST(FeffStandin, StraightThroughScatteringIsStrongerThanABentPath) {
    ScopedWorkFolder folder;
    prepare_path_run("head\n ---\n"
                     " 1 3 1.0 straight\n c\n 2.5 0 0 1 Cu\n 5.0 0 0 1 Cu\n 0 0 0 0 Cu\n"
                     " 2 3 1.0 bent\n c\n 2.5 0 0 1 Cu\n 3.75 2.1650635 0 1 Cu\n 0 0 0 0 Cu\n");
    ASSERT_EQ(run_standin(), 0) << read_file("err.txt");
    const auto straight = data_rows("chip0001.dat");
    const auto bent = data_rows("chip0002.dat");
    ASSERT_EQ(straight.size(), 401u);
    ASSERT_EQ(bent.size(), 401u);
    // At k = 10 (row 200) the bent path is even shorter, yet much weaker.
    EXPECT_GT(straight[200][2], 3.0 * bent[200][2]);
}

TEST(FeffStandin, AnAtomWithoutPotentialStopsThePotentialRunWithoutPotBin) {
    ScopedWorkFolder folder;
    InputOptions options;
    options.neighbour_ipot = 2;
    write_file("feff.inp", cu_feff_inp(options));
    EXPECT_NE(run_standin(), 0);
    EXPECT_FALSE(fs::exists("pot.bin"));
    EXPECT_FALSE(fs::exists("paths.dat"));
    EXPECT_NE(read_file("err.txt").find("potential index 2"), std::string::npos);
}

TEST(FeffStandin, NoAtomsStopsThePotentialRun) {
    ScopedWorkFolder folder;
    std::string input = cu_feff_inp();
    input.erase(input.find(" ATOMS"));
    write_file("feff.inp", input + "  END\n");
    EXPECT_NE(run_standin(), 0);
    EXPECT_FALSE(fs::exists("pot.bin"));
    EXPECT_FALSE(read_file("err.txt").empty());
}

TEST(FeffStandin, PathListWithoutDashLineIsRefused) {
    ScopedWorkFolder folder;
    std::string paths = two_paths;
    paths.erase(paths.find(" ---"), paths.find('\n', paths.find(" ---")) - paths.find(" ---") + 1);
    prepare_path_run(paths);
    EXPECT_NE(run_standin(), 0);
    EXPECT_FALSE(fs::exists("chi.dat"));
    EXPECT_FALSE(fs::exists("chip0001.dat"));
}

#endif
