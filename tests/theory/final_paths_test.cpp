#include "control/record_parameters.hpp"
#include "theory/absorber_edge.hpp"
#include "theory/final_paths.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <vector>

namespace {

// Two absorbers; path p reaches a Cu atom at 2 + p/10 from each (degeneracy 2, so 1 per absorber).
struct Fixture {
    ScopedWorkFolder folder;
    SpectrumParameters spectrum;
    AbsorberEdge edge;

    explicit Fixture(const std::vector<double>& importances) {
        std::filesystem::create_directory("feff_0");
        set_spectrum_parameter_defaults(spectrum);
        spectrum.doubles[SpectrumDoubleKey::FEFF_criteria] = 1.0;
        edge.spectrum = &spectrum;
        edge.path_header_lines = {"PATH  Rmax= 6.000", " ------", "leading path", "columns", "atom", "atom"};
        Pathfinder& finder = edge.pathfinder;
        finder.absorber_count = 2;
        finder.labels = {"Cu"};
        finder.nodes.resize(2);
        finder.nodes[1].root = 1;
        for (std::size_t p = 0; p < importances.size(); ++p) {
            Path& path = finder.paths.emplace_back();
            path.nleg = path.degeneracy = 2;
            path.representative = static_cast<std::int32_t>(finder.nodes.size());
            path.importance = importances[p];
            path.scale = 0.25;
            for (int root = 0; root < 2; ++root) {
                PathNode& node = finder.nodes.emplace_back();
                node.nleg = 2;
                node.parent = node.root = root;
                node.atom = {10.0 * root + 2.0 + static_cast<double>(p) / 10.0, 0, 0};
                node.path = static_cast<std::int32_t>(p);
            }
        }
    }

    std::vector<std::string> write() {
        CaptureStdout capture;
        write_final_paths_file(edge);
        std::vector<std::string> lines{capture.text()};
        std::ifstream in("feff_0/paths_fin.dat");
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    void store(const std::vector<std::string>& lines) {
        std::ofstream out("feff_0/paths_fin.dat");
        for (std::size_t i = 1; i < lines.size(); ++i) out << lines[i] << '\n';
    }

    // The kept paths by their distance, after the list has been edited.
    std::vector<double> load(const std::vector<std::string>& lines, ListedPaths listed_by = ListedPaths::by_position) {
        store(lines);
        CaptureStdout capture;
        load_final_paths(edge, listed_by);
        std::vector<double> kept;
        for (const Path& path : edge.pathfinder.paths) {
            EXPECT_EQ(path.scale, 1.0);
            kept.push_back(edge.pathfinder.nodes[static_cast<std::size_t>(path.representative)].atom.x);
        }
        return kept;
    }
};

}  // namespace

TEST(FinalPaths, PathsAboveTheCriteriaAreListedAndTheListDecidesWhatIsKept) {
    Fixture fixture({50, 0.5, 20, 1.0});
    const auto lines = fixture.write();
    EXPECT_EQ(lines[0], "Important paths: 2 (see path_fin.dat file in feff_X directory)\n")
        << "an importance equal to FEFF_criteria does not pass";
    ASSERT_EQ(lines.size(), 1u + 2 + 2 * 4);
    EXPECT_EQ(lines[2], " ------");
    EXPECT_EQ(lines[3], "     1    2   1.000000  index, nleg, degeneracy, r=  2.000000");
    EXPECT_EQ(lines[7], "     2    2   1.000000  index, nleg, degeneracy, r=  2.200000");
    EXPECT_EQ(fixture.load(lines), (std::vector<double>{2.0, 2.2}));

    Fixture edited({50, 0.5, 20});
    auto without_first = edited.write();
    without_first.erase(without_first.begin() + 3, without_first.begin() + 7);
    EXPECT_EQ(edited.load(without_first), (std::vector<double>{2.2})) << "block 2 is the third path of the table";
}

// A run that skips the importance check (the structure report) finds the listed paths by their atoms.
TEST(FinalPaths, WithoutTheImportancesTheBlocksNameTheirPathsByGeometry) {
    Fixture fixture({50, 0.5, 20, 1.0});
    const auto lines = fixture.write();
    for (Path& path : fixture.edge.pathfinder.paths) path.importance = path_tree_initial_importance;
    EXPECT_EQ(fixture.load(lines, ListedPaths::by_geometry), (std::vector<double>{2.0, 2.2}));

    const auto refused = [](const std::vector<std::string> edited, const std::string& message) {
        Fixture again({50, 0.5, 20, 1.0});
        again.store(edited);
        CaptureStdout capture;
        EXPECT_EQ(exit_code_of([&] { load_final_paths(again.edge, ListedPaths::by_geometry); }), 4);
        EXPECT_EQ(capture.text(), "ERROR: feff_0/paths_fin.dat LISTS " + message + "\n");
    };
    auto moved = lines;
    moved[9].replace(0, 9, " 2.450000");
    refused(moved, "PATH 2, WHOSE ATOMS MAKE NO PATH OF THE STRUCTURE!");
    auto twice = lines;
    std::copy(lines.begin() + 3, lines.begin() + 7, twice.begin() + 7);  // block 1 in the place of block 2
    refused(twice, "PATH 1 MORE THAN ONCE!");
}

TEST(FinalPaths, ListsNamingNoImportantPathAreRefused) {
    Fixture fixture({50, 0.5, 20});
    const auto written = fixture.write();
    for (const auto& [index, message] : std::vector<std::pair<std::string, std::string>>{
             {"     0", "PATH 0, WHICH IS NOT AN IMPORTANT PATH!"},
             {"     3", "PATH 3, WHICH IS NOT AN IMPORTANT PATH!"},
             {"     1", "PATH 1 MORE THAN ONCE!"},
             {"-2147483648", "PATH -2147483648, WHICH IS NOT AN IMPORTANT PATH!"}}) {
        auto lines = written;
        lines[7].replace(0, 6, index);
        fixture.store(lines);
        CaptureStdout capture;
        EXPECT_EQ(exit_code_of([&] { load_final_paths(fixture.edge, ListedPaths::by_position); }), 4);
        EXPECT_EQ(capture.text(), "ERROR: feff_0/paths_fin.dat LISTS " + message + "\n");
    }
    // Every block deleted, a leg count that cannot be read, a block head that cannot: the list read
    // would be empty or cut short, so it is refused.
    auto no_blocks = written;
    no_blocks.resize(3);
    auto bad_legs = written;
    bad_legs[7].replace(7, 5, "  two");
    auto bad_head = written;
    bad_head[7] = "path two";
    for (const auto& [lines, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {no_blocks, " LISTS NO PATH!"},
             {bad_legs, ": THE LEG COUNT OF THE BLOCK OF PATH 2 CANNOT BE READ!"},
             {bad_head, ": NO PATH BLOCK CAN BE READ AFTER BLOCK 1!"}}) {
        fixture.store(lines);
        CaptureStdout capture;
        EXPECT_EQ(exit_code_of([&] { load_final_paths(fixture.edge, ListedPaths::by_position); }), 4) << message;
        EXPECT_EQ(capture.text(), "ERROR: feff_0/paths_fin.dat" + message + "\n");
    }
    std::filesystem::remove("feff_0/paths_fin.dat");
    CaptureStdout capture;
    EXPECT_EQ(exit_code_of([&] { load_final_paths(fixture.edge, ListedPaths::by_position); }), 4);
    for (Path& path : fixture.edge.pathfinder.paths) path.importance = 1.0;
    EXPECT_EQ(exit_code_of([&] { write_final_paths_file(fixture.edge); }), 1);
    EXPECT_EQ(capture.text(), "ERROR: paths_fin.dat FILE CANNOT BE OPENED! (feff_0/paths_fin.dat: No such file or directory)\n"
                              "Important paths: 0 (see path_fin.dat file in feff_X directory)\n"
                              "ERROR! No important paths found!\n");
}

TEST(FinalPaths, ListStopsAt1200PathsWithAWarning) {
    for (const std::size_t count : {1300u, 1200u}) {
        Fixture fixture(std::vector<double>(count, 100.0));
        const auto lines = fixture.write();
        EXPECT_EQ(lines[0], "WARNING: 1200 paths limit reached. Skipping all other paths.\n"
                            "Important paths: 1200 (see path_fin.dat file in feff_X directory)\n");
        EXPECT_EQ(lines.size(), 1u + 2 + 1200 * 4);
    }
}
