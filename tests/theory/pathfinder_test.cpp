#include "structure/geometry.hpp"
#include "structure/structure_fixture.hpp"
#include "theory/pathfinder.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/structure.hpp"
#include "theory/absorber_edge.hpp"
#include "optimisation/population/state.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

// fcc copper (a = 3.61) in a 3x3x3 supercell with all periodic images, so every atom sees full shells.
struct CopperPaths {
    std::unique_ptr<Calculation> calc;
    Pathfinder finder;
    std::string output;

    CopperPaths(int legs, double r_max, int centre_atom = 0, Atom polarization = {"", 0, 0, 0}) {
        ScopedWorkFolder folder;
        calc = calculation_with_p1(fcc_copper_p1, "3x3x3");
        CaptureStdout capture;
        build_geometry(*calc, "");
        const Structure& s = calc->structures[0];
        const bool polarized = atom_norm(polarization) > 0;
        setup_and_run_pathfinder(finder, "Cu", legs, r_max, 0.5, s.atom_count, s.working_count, s.working_atoms,
                                 s.working_source, 2, centre_atom, atom_unit_vector(polarization), polarized);
        output = capture.text();
    }

    std::vector<int> degeneracies(int nleg) const {
        std::vector<int> result;
        for (const Path& path : finder.paths) {
            if (path.nleg == nleg) result.push_back(path.degeneracy);
        }
        return result;
    }

    // The path holding the chain from the absorber through the given scatterers, or -1.
    int path_of_chain(const std::vector<Atom>& scatterers) const {
        for (std::size_t index = 0; index < finder.nodes.size(); ++index) {
            const PathNode& node = finder.nodes[index];
            if (node.nleg != static_cast<int>(scatterers.size()) + 1 || node.path < 0) continue;
            const Vec3& absorber = finder.nodes[static_cast<std::size_t>(node.root)].atom;
            int n = static_cast<int>(index);
            bool same = true;
            for (int i = static_cast<int>(scatterers.size()) - 1; i >= 0 && same; --i) {
                const Vec3& atom = finder.nodes[static_cast<std::size_t>(n)].atom;
                same = vec_distance(vec_sub(atom, absorber), to_vec3(scatterers[static_cast<std::size_t>(i)])) < 1e-6;
                n = finder.nodes[static_cast<std::size_t>(n)].parent;
            }
            if (same) return node.path;
        }
        return -1;
    }
};

}  // namespace

TEST(Pathfinder, SingleScatteringShellsOfCopper) {
    CopperPaths copper(2, 6.0);
    EXPECT_EQ(copper.degeneracies(2), (std::vector<int>{12, 6, 24, 12, 24}));
    EXPECT_NEAR(copper.finder.paths[0].R, 3.61 / std::sqrt(2.0), 1e-9);
    EXPECT_NEAR(copper.finder.paths[4].R, std::sqrt(2.5) * 3.61, 1e-9);
    EXPECT_NE(copper.output.find("\nDetected absorbers: 1\nDetected paths (nleg =  2) 78\nNonequivalent paths: 5\n"),
              std::string::npos);
}

TEST(Pathfinder, TriangleAndCollinearPathsOfCopper) {
    CopperPaths copper(3, 6.0);
    const double h = 1.805;
    const int triangle = copper.path_of_chain({{"", h, h, 0}, {"", h, 0, h}});
    ASSERT_GE(triangle, 0);
    EXPECT_EQ(copper.finder.paths[static_cast<std::size_t>(triangle)].degeneracy, 48);
    EXPECT_NEAR(copper.finder.paths[static_cast<std::size_t>(triangle)].R, 3 * 2.55266 / 2, 1e-4);
    const int collinear = copper.path_of_chain({{"", h, h, 0}, {"", 2 * h, 2 * h, 0}});
    ASSERT_GE(collinear, 0);
    EXPECT_EQ(copper.finder.paths[static_cast<std::size_t>(collinear)].degeneracy, 12);
    const int reversed = copper.path_of_chain({{"", 2 * h, 2 * h, 0}, {"", h, h, 0}});
    EXPECT_NE(reversed, collinear) << "the order of the scatterers tells paths apart";
    for (std::size_t p = 1; p < copper.finder.paths.size(); ++p) {
        EXPECT_LE(copper.finder.paths[p - 1].R, copper.finder.paths[p].R);
    }
}

TEST(Pathfinder, ChainsBackToTheAbsorberAreParentsOnly) {
    CopperPaths copper(4, 5.2);
    const auto& nodes = copper.finder.nodes;
    int back_to_absorber = 0;
    for (const PathNode& node : nodes) {
        if (node.nleg == 3 && node.revisit && node.revisit_level == 1) {
            ++back_to_absorber;
            EXPECT_EQ(node.path, -1);
        }
    }
    EXPECT_EQ(back_to_absorber, copper.finder.level_end[2] - copper.finder.level_end[1]) << "one per first scatterer";
    const double h = 1.805;
    const int bounce = copper.path_of_chain({{"", h, h, 0}, {"", 0, 0, 0}, {"", -h, -h, 0}});
    ASSERT_GE(bounce, 0) << "absorber, s1, absorber, s2 is a four-leg path";
    EXPECT_EQ(copper.finder.paths[static_cast<std::size_t>(bounce)].nleg, 4);
}

TEST(Pathfinder, PolarizationSplitsTheFirstShell) {
    CopperPaths copper(2, 3.0, 0, {"", 0, 0, 1});
    EXPECT_EQ(copper.degeneracies(2), (std::vector<int>{4, 4, 4}));
}

TEST(Pathfinder, EveryAbsorberIsARootAndEquivalentChainsShareAPath) {
    CopperPaths copper(2, 3.0, -1);
    EXPECT_EQ(copper.finder.absorber_count, 108);
    EXPECT_EQ(copper.degeneracies(2), (std::vector<int>{108 * 12}));
}

TEST(Pathfinder, PruningKeepsTheSelectedPathsAndTheirAncestors) {
    CopperPaths copper(3, 4.5);
    Pathfinder& finder = copper.finder;
    const int last = static_cast<int>(finder.paths.size()) - 1;
    ASSERT_GE(last, 3);
    const std::vector<int> before = {finder.paths[1].degeneracy, finder.paths[static_cast<std::size_t>(last)].degeneracy};
    const int three_leg = finder.paths[static_cast<std::size_t>(last)].nleg;
    finder.selected_paths = {last, 1};
    prune_paths_to_selection(finder, 2);
    ASSERT_EQ(finder.paths.size(), 2u);
    EXPECT_EQ(finder.paths[0].degeneracy, before[1]);
    EXPECT_EQ(finder.paths[1].degeneracy, before[0]);
    EXPECT_EQ(finder.max_nleg, three_leg);
    for (const Path& path : finder.paths) {
        ASSERT_EQ(static_cast<int>(path.members.size()), path.degeneracy);
        for (const std::int32_t member : path.members) {
            const PathNode& node = finder.nodes[static_cast<std::size_t>(member)];
            EXPECT_EQ(&finder.paths[static_cast<std::size_t>(node.path)], &path);
            EXPECT_FALSE(finder.nodes[static_cast<std::size_t>(node.parent)].dropped);
        }
    }
    EXPECT_EQ(finder.level_end[static_cast<std::size_t>(three_leg)], static_cast<int>(finder.nodes.size()));
}

TEST(Pathfinder, PotentialIndicesAndTheFinalPathLine) {
    CopperPaths copper(3, 3.0);
    assign_potential_indices(copper.finder, copper.calc->structures[0]);
    EXPECT_EQ(copper.finder.nodes[0].potential_index, 0);
    EXPECT_EQ(copper.finder.nodes[1].potential_index, 1);
    CaptureStdout capture;
    print_final_path(copper.finder, copper.finder.paths[0]);
    EXPECT_EQ(capture.text(), "\tCu*-Cu-         \tr = 2.55266\tn = 12\n");
}

TEST(Pathfinder, MoreThanEightLegsIsRefused) {
    ScopedWorkFolder folder;
    Pathfinder finder;
    const std::vector<Atom> atoms{{"Cu", 0, 0, 0}};
    const std::vector<std::int32_t> sources{0};
    CaptureStdout capture;
    EXPECT_EQ(exit_code_of([&] {
                  setup_and_run_pathfinder(finder, "Cu", 9, 5.0, 0.5, 1, 1, atoms, sources, 1, -1, {}, false);
              }),
              1);
    EXPECT_EQ(capture.text().substr(0, 6), "ERROR:");
}

TEST(Pathfinder, CoincidentAtomsGiveNoZeroLengthLegs) {
    Pathfinder finder;
    const std::vector<Atom> atoms{{"Cu", 0, 0, 0}, {"O", 2, 0, 0}, {"O", 2, 0, 0}};
    const std::vector<std::int32_t> sources{0, 1, 2};
    CaptureStdout capture;
    setup_and_run_pathfinder(finder, "Cu", 3, 5.0, 0.5, 3, 3, atoms, sources, 1, -1, {}, false);
    for (const PathNode& node : finder.nodes) {
        if (node.parent < 0) continue;
        const PathNode& parent = finder.nodes[static_cast<std::size_t>(node.parent)];
        EXPECT_GT(vec_distance(node.atom, parent.atom), 0.5);
    }
}
