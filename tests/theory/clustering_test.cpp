#include "control/threads.hpp"
#include "test_support.hpp"
#include "theory/cluster_sums.hpp"
#include "theory/clustering.hpp"
#include "theory/member_terms.hpp"
#include "theory/path_update.hpp"
#include "theory/pathfinder.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace {

// A small molecule around one absorber, searched for paths up to `legs` legs and every path kept, with
// one cluster per path over `states` states.
struct Molecule {
    std::vector<Atom> atoms;
    std::vector<std::int32_t> sources;
    Pathfinder finder;

    Molecule(std::vector<Atom> list, int legs, int states, bool complex_mode = true, double r_max = 4.0)
        : atoms(std::move(list)) {
        for (std::size_t i = 0; i < atoms.size(); ++i) sources.push_back(static_cast<std::int32_t>(i));
        CaptureStdout quiet;
        const int n = static_cast<int>(atoms.size());
        setup_and_run_pathfinder(finder, "Cu", legs, r_max, 0.5, n, n, atoms, sources, 2, -1, {}, false);
        for (std::size_t p = 0; p < finder.paths.size(); ++p) finder.selected_paths[p] = static_cast<std::int32_t>(p);
        prune_paths_to_selection(finder, static_cast<int>(finder.paths.size()));
        set_state_count_on_paths(finder, states);
        for (Path& path : finder.paths) init_path_clusters(path, 1, states, complex_mode);
    }

    std::vector<Vec3> displacements(const std::vector<Vec3>& moved) const {
        std::vector<Vec3> result(atoms.size());
        for (std::size_t i = 0; i < moved.size() && i < result.size(); ++i) result[i] = moved[i];
        return result;
    }

    // Clusters started from the given per-state displacements, as the binding of the states does it.
    void start_clusters(const std::vector<std::vector<Vec3>>& states) {
        for (const std::vector<Vec3>& moved : states) {
            launch_path_update_threads(finder, displacements(moved));
            single_cluster_for_all_paths(finder);
        }
        launch_cluster_update_threads(finder);
    }

    int path_of_legs(int nleg) const {
        for (std::size_t p = 0; p < finder.paths.size(); ++p)
            if (finder.paths[p].nleg == nleg) return static_cast<int>(p);
        return -1;
    }
};

Vec3 rotate(const Vec3& v, double angle_z, double angle_x) {
    const Vec3 z{v.x * std::cos(angle_z) - v.y * std::sin(angle_z), v.x * std::sin(angle_z) + v.y * std::cos(angle_z), v.z};
    return {z.x, z.y * std::cos(angle_x) - z.z * std::sin(angle_x), z.z * std::cos(angle_x) + z.y * std::sin(angle_x)};
}

const std::vector<Atom> cluster_of_five{
    {"Cu", 0, 0, 0}, {"O", 1.9, 0.1, 0}, {"O", -0.2, 2.0, 0.3}, {"Cu", 0.3, -0.1, 2.4}, {"O", -1.8, -0.6, -0.9}};

}  // namespace

TEST(PathUpdate, ZeroDisplacementReproducesTheBuildTimeGeometryExactly) {
    Molecule molecule(cluster_of_five, 4, 1);
    launch_path_update_threads(molecule.finder, molecule.displacements({}));
    const Pathfinder& finder = molecule.finder;
    ASSERT_GT(finder.nodes.size(), 20u);
    for (std::size_t n = 0; n < finder.nodes.size(); ++n) {
        const PathNode& node = finder.nodes[n];
        const NodeGeometry& current = finder.current[n];
        EXPECT_EQ(current.R, node.R);
        EXPECT_EQ(current.open_length, node.open_length);
        for (int c = 0; c < node.coordinate_count; ++c) EXPECT_EQ(current.coordinates[c], node.coordinates[c]) << n;
    }
}

TEST(PathUpdate, ARigidMotionOfEveryAtomLeavesEveryDescriptorUnchanged) {
    Molecule molecule(cluster_of_five, 4, 1);
    std::vector<Vec3> moved;
    for (const Atom& atom : molecule.atoms) {
        const Vec3 at = to_vec3(atom);
        const Vec3 target = vec_add(rotate(at, 0.7, -1.1), Vec3{3.0, -2.0, 0.5});
        moved.push_back(vec_sub(target, at));
    }
    launch_path_update_threads(molecule.finder, molecule.displacements(moved));
    const Pathfinder& finder = molecule.finder;
    for (std::size_t n = 0; n < finder.nodes.size(); ++n) {
        const PathNode& node = finder.nodes[n];
        EXPECT_NEAR(finder.current[n].R, node.R, 1e-9);
        for (int c = 0; c < node.coordinate_count; ++c)
            EXPECT_NEAR(finder.current[n].coordinates[c], node.coordinates[c], 1e-9) << n;
    }
}

TEST(PathUpdate, AFirstScattererMovedOntoTheAbsorberGivesFiniteDescriptors) {
    Molecule molecule(cluster_of_five, 3, 1);
    // Atom 1 is moved onto the absorber: its legs have zero length and its chains no direction.
    launch_path_update_threads(molecule.finder, molecule.displacements({{}, {-1.9, -0.1, 0}}));
    const Pathfinder& finder = molecule.finder;
    Descriptor descriptor{};
    for (const Path& path : finder.paths) {
        for (const std::int32_t member : path.members) {
            const int length = collect_chain_descriptor(finder, member, descriptor);
            for (int c = 0; c < length; ++c) EXPECT_TRUE(std::isfinite(descriptor[c]));
            EXPECT_TRUE(std::isfinite(finder.current[static_cast<std::size_t>(member)].R));
        }
    }
}

// Two oxygen neighbours at 1.9 and 2.1 form one single-scattering path of two members.
TEST(Clustering, TwoMembersGiveTheirMeanAsCentroidAndTheirSumsDirectly) {
    Molecule molecule({{"Cu", 0, 0, 0}, {"O", 1.9, 0, 0}, {"O", 0, -2.1, 0}}, 2, 1);
    Pathfinder& finder = molecule.finder;
    ASSERT_EQ(finder.paths.size(), 1u);
    Path& path = finder.paths[0];
    ASSERT_EQ(path.degeneracy, 2);
    molecule.start_clusters({{}});
    EXPECT_DOUBLE_EQ(path.clusters[0].centroid[0], 2.0);
    EXPECT_EQ(path.clusters[0].member_count, 2);

    reset_cluster_counts(path);
    launch_cluster_chi_threads(finder, 0, -1.0, false);
    EXPECT_EQ(path.sums[0].counts[0], 2);
    EXPECT_NEAR(path.clusters[0].spread, 0.01 + 0.01, 1e-15);
    // Both members lie 0.1 from the centroid: the first one found is the representative.
    EXPECT_DOUBLE_EQ(path.clusters[0].representative_atoms[1].x, 1.9);
    for (int i : {0, 1, 57, 199, 200, 349, 350, 400}) {
        const double sine = std::sin(0.1 * i * 1.9) / (1.9 * 1.9) + std::sin(0.1 * i * 2.1) / (2.1 * 2.1);
        const double cosine = std::cos(0.1 * i * 1.9) / (1.9 * 1.9) + std::cos(0.1 * i * 2.1) / (2.1 * 2.1);
        EXPECT_NEAR(path.sums[0].sine[static_cast<std::size_t>(i)], sine, 1e-14) << i;
        EXPECT_NEAR(path.sums[0].cosine[static_cast<std::size_t>(i)], cosine, 1e-14) << i;
    }
    EXPECT_EQ(path.sums[0].sine[0], 0.0);
}

TEST(Clustering, AWideClusterSplitsAndTheNextPassSeparatesItsModes) {
    // A bimodal shell: three oxygens near 1.9 and three near 2.3, all one path within the tolerance.
    Molecule molecule({{"Cu", 0, 0, 0}, {"O", 1.9, 0, 0}, {"O", 0, 1.9, 0}, {"O", 0, 0, 1.9}, {"O", -2.3, 0, 0},
                       {"O", 0, -2.3, 0}, {"O", 0, 0, -2.3}},
                      2, 1);
    Pathfinder& finder = molecule.finder;
    ASSERT_EQ(finder.paths.size(), 1u);
    Path& path = finder.paths[0];
    molecule.start_clusters({{}});
    reset_cluster_counts(path);
    launch_cluster_chi_threads(finder, 0, -1.0, false);
    EXPECT_NEAR(path.clusters[0].spread, 6 * 0.2 * 0.2, 1e-12);

    path.clustering_precision = 0.1;
    split_wide_clusters(path);
    ASSERT_EQ(path.cluster_count, 2);
    const double seed = path.clusters[1].centroid[0];
    EXPECT_TRUE(seed == 1.9 || seed == 2.3) << "the seed is a farthest member";

    snapshot_clusters(path);
    launch_path_update_threads(finder, molecule.displacements({}));
    launch_cluster_assign_threads(finder);
    launch_cluster_update_threads(finder);
    ASSERT_EQ(path.cluster_count, 2);
    EXPECT_NEAR(path.clusters[1].centroid[0], seed, 1e-12) << "the seed's cluster holds its mode";
    EXPECT_NEAR(path.clusters[0].centroid[0], seed == 1.9 ? 2.3 : 1.9, 1e-12);
    EXPECT_EQ(path.clusters[0].member_count, 3);
}

TEST(Clustering, ClustersLeftEmptyAreDroppedInOrderWithTheirArrays) {
    Molecule molecule({{"Cu", 0, 0, 0}, {"O", 2.0, 0, 0}}, 2, 2);
    Path& path = molecule.finder.paths[0];
    molecule.start_clusters({{}, {}});
    // Three clusters, of which only the middle one is near the member.
    init_path_clusters(path, 3, 2, true);
    path.clusters[0].centroid[0] = 9.0;
    path.clusters[1].centroid[0] = 2.0;
    path.clusters[2].centroid[0] = 7.0;
    path.cluster_chi[1 * path_chi_points + 5] = 42.0;
    path.check = true;
    snapshot_clusters(path);
    launch_path_update_threads(molecule.finder, molecule.displacements({}));
    launch_cluster_assign_threads(molecule.finder);
    launch_cluster_update_threads(molecule.finder);
    ASSERT_EQ(path.cluster_count, 1);
    EXPECT_DOUBLE_EQ(path.clusters[0].centroid[0], 2.0);
    EXPECT_EQ(path.cluster_chi[5], 42.0) << "the kept cluster keeps its signal";
    ASSERT_EQ(path.sums.size(), 2u);
    EXPECT_EQ(path.sums[1].counts.size(), 1u);
}

TEST(Clustering, AMemberCountThatDisagreesWithTheMembersEndsTheRun) {
    Molecule molecule({{"Cu", 0, 0, 0}, {"O", 2.0, 0, 0}}, 2, 1);
    Path& path = molecule.finder.paths[0];
    molecule.start_clusters({{}});
    launch_cluster_chi_threads(molecule.finder, 0, -1.0, false);
    std::vector<std::int32_t> members;
    EXPECT_EQ(check_cluster_member_counts(path, 0, members, 0), 1);
    path.sums[0].counts[0] = 3;
    CaptureStdout capture;
    EXPECT_EQ(exit_code_of([&] { check_cluster_member_counts(path, 0, members, 0); }), 1);
    EXPECT_EQ(capture.text(), "ERROR: Inconsistency in the number of points in cluster 0\n");
}

// The series around the mean R against the direct sums, for clusters spread over 0.05 to 0.45 A.
TEST(ClusterSums, TheSeriesMeetsTheAccuracyItIsAskedForOverWideSpreads) {
    for (const double spread : {0.05, 0.15, 0.25, 0.35, 0.45}) {
        for (const double digits : {4.0, 6.0, 8.0}) {
            std::vector<double> R;
            for (int m = 0; m < 9; ++m) R.push_back(2.5 + spread * std::sin(1.3 * m + 0.4));
            double mean = 0.0;
            for (double r : R) mean += r;
            mean /= static_cast<double>(R.size());
            double deviation = 0.0;
            for (double r : R) deviation = std::max(deviation, std::abs(r - mean));
            const int terms = series_term_count(std::max(0.5, 40.0 * deviation), digits);
            std::vector<double> moments(cluster_moment_slots, 0.0);
            for (double r : R) {
                double power = r - mean;
                for (int j = 2; j <= terms; ++j) {
                    power *= r - mean;
                    moments[static_cast<std::size_t>(j)] += power;
                }
            }
            double worst = 0.0, largest = 0.0;
            for (int i = 0; i < path_chi_points; ++i) {
                double sine = 0.0, cosine = 0.0, exact_sine = 0.0, exact_cosine = 0.0;
                series_sums_at_point(moments.data(), static_cast<int>(R.size()), mean, deviation, terms, digits, i, sine,
                                     cosine);
                for (double r : R) {
                    exact_sine += std::sin(0.1 * i * r) / (r * r);
                    exact_cosine += std::cos(0.1 * i * r) / (r * r);
                }
                worst = std::max({worst, std::abs(sine - exact_sine), std::abs(cosine - exact_cosine)});
                largest = std::max({largest, std::abs(exact_sine), std::abs(exact_cosine)});
            }
            // Wide clusters at many digits meet the rounding of the series' alternating terms first.
            const double floor = spread > 0.3 ? 1e-6 : 0.0;
            EXPECT_LT(worst / largest, std::max(std::pow(10.0, -digits), floor)) << "spread " << spread << ", P " << digits;
        }
    }
}

TEST(ClusterSums, EqualRGiveExactlyTheFirstTerm) {
    std::vector<double> moments(cluster_moment_slots, 0.0);
    double sine = 0.0, cosine = 0.0;
    series_sums_at_point(moments.data(), 3, 2.0, 0.0, series_term_count(0.5, 6.0), 6.0, 123, sine, cosine);
    EXPECT_DOUBLE_EQ(sine, 3 * std::sin(0.1 * 123 * 2.0) / 4.0);
    EXPECT_DOUBLE_EQ(cosine, 3 * std::cos(0.1 * 123 * 2.0) / 4.0);
}

TEST(ClusterSums, CountModeCountsAndKeepsRepresentativesWithoutSums) {
    Molecule molecule({{"Cu", 0, 0, 0}, {"O", 1.9, 0, 0}, {"O", 0, -2.1, 0}}, 2, 1, false);
    Path& path = molecule.finder.paths[0];
    molecule.start_clusters({{}});
    launch_cluster_chi_threads(molecule.finder, 0, -1.0, false);
    EXPECT_TRUE(path.sums[0].sine.empty());
    EXPECT_EQ(path.sums[0].counts[0], 2);
    path.cluster_chi.assign(path_chi_points, 0.5);
    std::vector<double> chi(path_chi_points);
    class_chi_of_path(path, 0, chi.data());
    EXPECT_DOUBLE_EQ(chi[17], 1.0);
}

// Members made side by side give the numbers of members made one after the other, bit for bit, whether
// they share rows or not, on any range of points; a range holds on its points the numbers of the whole
// grid and leaves every other point as it was.
TEST(ClusterSums, MembersMadeSideBySideGiveTheNumbersOfMembersMadeInTurn) {
    const std::vector<double> radii = {2.55, 3.61, 2.553, 4.42, 5.1, 2.9, 3.3};
    const std::size_t width = path_chi_points;
    const auto make = [&](bool shared, bool side, int first, int end) {
        std::vector<double> rows(4 * width, 0.25);
        std::vector<MemberTermsJob> jobs;
        for (std::size_t m = 0; m < radii.size(); ++m) {
            const std::size_t row = shared ? 0 : (m % 2) * 2 * width;
            const double R = radii[m];
            const double weight = (m == 3 ? -1.0 : 1.0) / (R * R);
            if (side) {
                jobs.push_back({&rows[row], &rows[row + width], member_turns(R), weight});
            } else {
                add_member_terms(&rows[row], &rows[row + width], member_turns(R), weight, first, end);
            }
        }
        add_members_terms(jobs.data(), static_cast<int>(jobs.size()), first, end);
        return rows;
    };
    for (const bool shared : {true, false}) {
        const std::vector<double> whole = make(shared, false, 0, path_chi_points);
        EXPECT_EQ(make(shared, true, 0, path_chi_points), whole) << shared;
        for (const auto& [first, end] : {std::pair{50, 250}, std::pair{37, 203}, std::pair{1, 2}, std::pair{348, 401},
                                         std::pair{398, 400}, std::pair{120, 120}}) {
            const std::vector<double> in_turn = make(shared, false, first, end);
            EXPECT_EQ(make(shared, true, first, end), in_turn) << first << ' ' << end << ' ' << shared;
            for (std::size_t v = 0; v < in_turn.size(); ++v) {
                const int point = static_cast<int>(v % width);
                const double expected = point >= first && point < end ? whole[v] : 0.25;
                ASSERT_EQ(in_turn[v], expected) << "value " << v << " of points " << first << ".." << end;
            }
        }
    }
}

// Two children of a crossed pair whose terms are made together get, each in its own rows, the numbers
// of its own update made alone: a swapped member's terms serve both (the second child takes them away
// in its own order, old then new), a member of one child only serves that child; with the rows shared
// within each child or not, on any range of points, and with a lone pair left at the end.
TEST(ClusterSums, TwoChildrenMadeTogetherGetTheNumbersOfTheirOwnUpdates) {
    const std::size_t width = path_chi_points;
    struct Member {
        bool swapped;
        double old_R, new_R;              // the first child's (a swapped member's second child has them the other way)
        double second_old, second_new;    // the second child's own, when not swapped
    };
    const std::vector<Member> members = {{true, 2.55, 2.61, 0, 0},   {true, 3.61, 3.55, 0, 0},
                                         {false, 2.9, 2.95, 4.4, 4.3}, {true, 5.1, 5.0, 0, 0},
                                         {false, 3.3, 3.2, 2.7, 2.75}, {false, 4.0, 4.1, 3.9, 3.8},
                                         {true, 2.553, 2.56, 0, 0}};
    const auto rows_of = [&](std::vector<double>& rows, bool shared, std::size_t m, bool old) {
        const std::size_t row = shared ? 0 : ((m + (old ? 0 : 1)) % 2) * 2 * width;
        return PairedTermsBatch::Rows{&rows[row], &rows[row + width]};
    };
    const auto weight = [](double R, bool old) { return old ? -1.0 * (1.0 / (R * R)) : 1.0 / (R * R); };
    for (const bool shared : {true, false}) {
        for (const auto& [first, end] : {std::pair{0, 401}, std::pair{37, 203}, std::pair{1, 2}, std::pair{398, 400}}) {
            std::vector<double> first_alone(4 * width, 0.25), second_alone(4 * width, -0.5);
            std::vector<double> first_paired = first_alone, second_paired = second_alone;
            PairedTermsBatch batch{};
            batch.first_point = first;
            batch.end_point = end;
            for (std::size_t m = 0; m < members.size(); ++m) {
                const Member& member = members[m];
                const double second_old = member.swapped ? member.new_R : member.second_old;
                const double second_new = member.swapped ? member.old_R : member.second_new;
                for (const auto& [rows, old_R, new_R] : {std::tuple{&first_alone, member.old_R, member.new_R},
                                                         std::tuple{&second_alone, second_old, second_new}}) {
                    const PairedTermsBatch::Rows old_rows = rows_of(*rows, shared, m, true);
                    const PairedTermsBatch::Rows new_rows = rows_of(*rows, shared, m, false);
                    add_member_terms(old_rows.sine, old_rows.cosine, member_turns(old_R), weight(old_R, true), first, end);
                    add_member_terms(new_rows.sine, new_rows.cosine, member_turns(new_R), weight(new_R, false), first, end);
                }
                const auto first_old = rows_of(first_paired, shared, m, true), first_new = rows_of(first_paired, shared, m, false);
                const auto second_old_rows = rows_of(second_paired, shared, m, true);
                const auto second_new_rows = rows_of(second_paired, shared, m, false);
                if (member.swapped) {
                    batch.add_swapped(first_old, first_new, second_old_rows, second_new_rows, member_turns(member.old_R),
                                      weight(member.old_R, true), member_turns(member.new_R), weight(member.new_R, false));
                } else {
                    batch.add_one(false, first_old, first_new, member_turns(member.old_R), weight(member.old_R, true),
                                  member_turns(member.new_R), weight(member.new_R, false));
                    batch.add_one(true, second_old_rows, second_new_rows, member_turns(second_old),
                                  weight(second_old, true), member_turns(second_new), weight(second_new, false));
                }
            }
            batch.flush();
            EXPECT_EQ(first_paired, first_alone) << shared << ' ' << first << ".." << end;
            EXPECT_EQ(second_paired, second_alone) << shared << ' ' << first << ".." << end;
        }
    }
}
