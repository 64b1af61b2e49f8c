#include "optimisation/output/structure_report.hpp"

#include "control/console_log.hpp"
#include "optimisation/copper_model.hpp"
#include "theory/pathfinder.hpp"

#include <gtest/gtest.h>

#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> lines_in(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Drops the time stamp ("dd.mm.yyyy hh:mm:ss", 19 characters) of a logged line.
std::string without_stamp(const std::string& line) { return line.size() > 19 ? line.substr(19) : line; }

std::vector<std::string> tab_fields(const std::string& line) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
    return fields;
}

const std::string dashes(59, '-');
const std::string column_line = " x        y        z        ipot label\t<rleg>   \t<beta>   \tMAD[rleg]\tMAD[beta]";

// A Cu absorber at the origin with two O neighbours at (2, 0, 0) and (0, 2, 0): a single-scattering
// path with both as members and the triangle through both, walked either way round. The current
// geometry moves the first O out to 2.1 and the second in to 1.9.
struct TinyEdge {
    SpectrumParameters spectrum;
    Structure structure;
    AbsorberEdge edge;

    TinyEdge() {
        spectrum.strings[SpectrumStringKey::Edge] = "Cu";
        spectrum.strings[SpectrumStringKey::Edge_type] = "K";
        structure.structure_number = 1;
        edge.spectrum = &spectrum;
        edge.structure = &structure;
        Pathfinder& finder = edge.pathfinder;
        finder.labels = {"Cu", "O"};
        add_node(0, -1, {0, 0, 0}, {0, 0, 0}, 0);
        add_node(1, 0, {2, 0, 0}, {2.1, 0, 0}, 1);
        add_node(1, 0, {0, 2, 0}, {0, 1.9, 0}, 1);
        add_node(1, 1, {0, 2, 0}, {0, 1.9, 0}, 1);
        add_node(1, 2, {2, 0, 0}, {2.1, 0, 0}, 1);
        add_path(2, {1, 2});
        add_path(3, {3, 4});
    }

    void add_node(std::int32_t label, std::int32_t parent, Vec3 built, Vec3 now, std::int32_t potential) {
        PathNode& node = edge.pathfinder.nodes.emplace_back();
        node.label = label;
        node.parent = parent;
        node.atom = built;
        node.potential_index = potential;
        edge.pathfinder.current.push_back(NodeGeometry{});
        edge.pathfinder.current.back().atom = now;
    }

    void add_path(std::int32_t nleg, std::vector<std::int32_t> members) {
        Path& path = edge.pathfinder.paths.emplace_back();
        path.nleg = nleg;
        path.degeneracy = static_cast<std::int32_t>(members.size());
        path.representative = members.front();
        path.members = std::move(members);
    }

    std::string report() {
        // The table is written in fixed notation; the console comes back as it was, so that a later
        // message prints its values as it would without the report.
        const std::ios_base::fmtflags flags = std::cout.flags();
        const std::streamsize precision = std::cout.precision();
        CaptureStdout capture;
        print_averaged_path_geometry(edge);
        EXPECT_EQ(std::cout.flags(), flags);
        EXPECT_EQ(std::cout.precision(), precision);
        return capture.text();
    }
};

// Structure p of the calculation: atoms of the given labels (all at the origin) and the species table.
void add_structure(Calculation& calc, int p, const std::vector<std::string>& labels,
                   const std::vector<std::string>& species) {
    Structure& structure = calc.structures[static_cast<std::size_t>(p)];
    for (const std::string& label : labels) structure.working_atoms.push_back({label, 0, 0, 0});
    structure.atom_count = static_cast<std::int32_t>(labels.size());
    structure.species_labels = species;
    structure.species_count = static_cast<std::int32_t>(species.size());
}

}  // namespace

// The examples of three and four atoms, species matched by their whole label, a species none of whose
// atoms carries its label any more left out rather than reported from no atoms, and the values in the
// default notation whatever an earlier block left on the console.
TEST(MsdReport, OneLinePerSpeciesOfEveryStructureFromTheBestState) {
    std::vector<double> four{0.1, 0.2, 0.3, 0.4};
    EXPECT_NEAR(msd_of_displacements(four), 0.07924875, 1e-15);

    Calculation calc;
    calc.parameters.ints[IntKey::Number_of_structures] = 2;
    add_structure(calc, 0, {"Cu", "O", "Cu", "O", "O", "Cu", "O"}, {"Cu", "O"});
    add_structure(calc, 1, {"Zn", "Zn", "Zn2"}, {"Zn", "S"});
    calc.best_state_index = 1;
    {
        CaptureStdout capture;
        print_msd_per_element(calc);
        EXPECT_EQ(capture.text(), "WARNING: there is no state whose displacements could be reported\n");
    }
    calc.current_states.resize(2);
    for (State& state : calc.current_states) init_state(state, 0, 2, calc.structures.data());
    const std::vector<Atom> moves{{"Cu", 0.1, 0, 0}, {"O", 0, 0.1, 0},  {"Cu", 0, 0.3, 0}, {"O", 0.2, 0, 0},
                                  {"O", 0, 0, 0.3},  {"Cu", 0, 0, 0.2}, {"O", 0, 0.4, 0}};
    for (int i = 0; i < 7; ++i) set_structure_atom(calc.current_states[1], moves[static_cast<std::size_t>(i)], 0, i);
    set_structure_atom(calc.current_states[0], {"Cu", 5, 5, 5}, 0, 0);  // not the best state

    const SavedNumberFormat keep(std::cout);
    std::cout << std::fixed << std::setprecision(2);
    CaptureStdout capture;
    print_msd_per_element(calc);
    const std::vector<std::string> expected{"\tSTRUCTURE # 0", "\t\tCu\t0.0507192", "\t\tO\t0.0792488",
                                            "\tSTRUCTURE # 1", "\t\tZn\t0"};
    EXPECT_EQ(lines_in(capture.text()), expected);
}

// Worked by hand: the legs of 2.1 and 1.9 average to 2 with a deviation of 0.1 each, 0.1^2 * 1.4826^2 =
// 0.021981; round the triangle the two members turn by 180 - atan(1.9 / 2.1) = 137.862405 and by
// 132.137595 at the O atoms, 135 on average, (2.862405 * 1.4826)^2 = 18.009855; at the absorber both turn
// by 90. The betas are scattering angles, so a closed triangle turns once round (90 + 135 + 135 = 360)
// and backscattering gives 180. The atoms and r are those of the reference geometry: r = 2 + sqrt 2.
TEST(PathGeometryReport, GoldenTableOfASingleScatteringAndATrianglePath) {
    TinyEdge tiny;
    const std::vector<std::string> expected{
        std::string(25, ' ') + "STRUCTURE #1  [Cu K-edge]",
        dashes,
        "     1    2   2  index, nleg, degeneracy, r=  2.000000",
        column_line,
        "O 2.000000 0.000000 0.000000    1    O\t2.000000\t180.000000\t0.021981\t0.000000",
        "Cu 0.000000 0.000000 0.000000    0    Cu\t2.000000\t180.000000\t0.021981\t0.000000",
        "     2    3   2  index, nleg, degeneracy, r=  3.414214",
        column_line,
        "O 0.000000 2.000000 0.000000    1    O\t2.000000\t135.000000\t0.021981\t18.009855",
        "O 2.000000 0.000000 0.000000    1    O\t2.831960\t135.000000\t0.000000\t18.009855",
        "Cu 0.000000 0.000000 0.000000    0    Cu\t2.000000\t90.000000\t0.021981\t0.000000",
        dashes,
    };
    EXPECT_EQ(lines_in(tiny.report()), expected);
}

// One member has no spread; a path without members is read from its representative rather than
// averaged over nothing.
TEST(PathGeometryReport, OneMemberOrNoneGivesNoSpread) {
    TinyEdge tiny;
    tiny.edge.pathfinder.paths[0].members = {2};
    tiny.edge.pathfinder.paths[1].members.clear();
    const std::vector<std::string> lines = lines_in(tiny.report());
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_EQ(lines[4], "O 2.000000 0.000000 0.000000    1    O\t1.900000\t180.000000\t0.000000\t0.000000");
    EXPECT_EQ(lines[8], "O 0.000000 2.000000 0.000000    1    O\t1.900000\t132.137595\t0.000000\t0.000000");
    EXPECT_EQ(lines[10], "Cu 0.000000 0.000000 0.000000    0    Cu\t2.100000\t90.000000\t0.000000\t0.000000");
}

TEST(PathGeometryReport, LegsOrChainsOutsideTheTablesEndTheRunWithArrayOverflow) {
    for (const int broken : {0, 1, 2}) {
        TinyEdge tiny;
        Path& path = tiny.edge.pathfinder.paths[1];
        if (broken == 0) path.nleg = 11;
        if (broken == 1) path.nleg = 0;
        if (broken == 2) path.members.push_back(99);
        CaptureStdout capture;
        EXPECT_EQ(exit_code_of([&] { print_averaged_path_geometry(tiny.edge); }), 1);
        EXPECT_NE(capture.text().find("\nERROR! ARRAY OVERFLOW!\n"), std::string::npos) << broken;
    }
}

// The copper model. The report mode shows the best state (the one left on its reference positions, so
// every first-shell member has the same legs) and gives the potential indices, which it does not get
// from the FEFF inputs. The final report of a disordered best state shows a spread, and releases each
// edge's paths once its table is out.
TEST(StructureReport, ReportModeAndFinalReportOfTheBestState) {
    CopperModel model("Initial_displacement 0.05\n", false);
    Calculation& calc = *model.calc;
    for (State& state : calc.current_states) randomise_state(calc, state);
    for (int i = 0; i < calc.structures[0].atom_count; ++i) set_structure_atom(model.state(3), {"Cu", 0, 0, 0}, 0, i);
    calc.best_state_index = 3;
    Pathfinder& finder = model.finder();
    const std::size_t paths = finder.paths.size();
    for (PathNode& node : finder.nodes) node.potential_index = 0;

    std::vector<std::string> lines;
    {
        CaptureStdout capture;
        report_structure_mode(calc);
        lines = lines_in(capture.text());
    }
    ASSERT_GT(lines.size(), 16u);
    const std::vector<std::string> head{dashes, "              MSD <u^2>", dashes, "\tSTRUCTURE # 0", "\t\tCu\t0",
                                        dashes, "              STRUCTURE PARAMETERS", dashes,
                                        std::string(25, ' ') + "STRUCTURE #0  [Cu K-edge]", dashes};
    for (std::size_t i = 0; i < head.size(); ++i) {
        EXPECT_EQ(i == 1 || i == 6 ? without_stamp(lines[i]) : lines[i], head[i]);
    }
    EXPECT_EQ(lines[10].rfind("     1    2   ", 0), 0u) << lines[10];
    EXPECT_NE(lines[10].find("  index, nleg, degeneracy, r=  2.552655"), std::string::npos) << lines[10];
    EXPECT_EQ(lines[11], column_line);
    EXPECT_EQ(tab_fields(lines[12]), (std::vector<std::string>{"Cu 1.805000 0.000000 -1.805000    1    Cu", "2.552655",
                                                               "180.000000", "0.000000", "0.000000"}));
    EXPECT_EQ(tab_fields(lines[13]), (std::vector<std::string>{"Cu 0.000000 0.000000 0.000000    0    Cu", "2.552655",
                                                               "180.000000", "0.000000", "0.000000"}));
    std::size_t blocks = 0;
    for (const std::string& line : lines) blocks += line.find("  index, nleg, degeneracy, r=  ") != std::string::npos;
    EXPECT_EQ(blocks, paths);
    EXPECT_EQ(lines.back(), dashes);

    calc.best_state_index = 1;
    {
        CaptureStdout capture;
        report_final_structure(calc);
        lines = lines_in(capture.text());
    }
    EXPECT_GT(std::stod(tab_fields(lines[12]).at(3)), 0.0);
    EXPECT_GT(std::stod(lines[4].substr(5)), 0.0);
    EXPECT_TRUE(finder.paths.empty());
    EXPECT_EQ(finder.nodes.size(), 0u);
}
