#pragma once

#include "structure/atom.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

constexpr int max_descriptor_length = 18;
constexpr int max_cluster_atoms = 8;
constexpr int cluster_moment_slots = 256;
using Descriptor = std::array<double, max_descriptor_length>;

// Descriptor coordinates are summed exactly, as whole numbers of 2^-64 A (every double of magnitude at
// least 2^-12 is one), so a sum does not depend on the order of its additions: the centroid made from
// the states' own sums, kept as their members move, is the one a pass over every member makes.
using DescriptorSum = __int128;
inline DescriptorSum descriptor_fixed(double coordinate) {
    // Coordinates are lengths of a few angstrom; anything not finite or beyond 2^62 adds nothing rather
    // than overflow. The whole part and the fraction (exact, in [0, 1)) are converted apart: two plain
    // conversions rather than one to a 128-bit integer.
    if (!(std::abs(coordinate) < 0x1p62)) return 0;
    const double whole = std::floor(coordinate);
    const auto fraction = static_cast<std::uint64_t>((coordinate - whole) * 0x1p64);
    return static_cast<DescriptorSum>(static_cast<std::int64_t>(whole)) * (static_cast<DescriptorSum>(1) << 64) +
           static_cast<DescriptorSum>(fraction);
}
double descriptor_from_fixed(DescriptorSum sum);
// Adds a member's descriptor (sign +1) to a cluster's descriptor sums, or takes it out (-1).
inline void add_descriptor(DescriptorSum* sums, const Descriptor& descriptor, std::size_t width, int sign) {
    for (std::size_t c = 0; c < width; ++c) sums[c] += sign * descriptor_fixed(descriptor[c]);
}

// A group of similar member geometries of one path. FEFF computes the signal of its representative
// geometry once, and the cluster sums rebuild the signal of every member from it.
struct Cluster {
    std::array<Atom, max_cluster_atoms> representative_atoms;  // the member nearest the centroid
    std::array<std::int32_t, max_cluster_atoms> representative_potentials{};
    std::int32_t descriptor_length = 0;
    std::int32_t atom_count = 0;  // the path's nleg
    Descriptor centroid{};        // the mean of the members' descriptors, once finished
    std::array<DescriptorSum, max_descriptor_length> descriptor_sum{};  // of the members added so far
    Descriptor farthest{};        // descriptor of the member farthest from the centroid
    Descriptor nearest{};         // descriptor of the member nearest to it
    std::int32_t member_count = 0;
    double largest_distance = -1e6;
    double smallest_distance = 1e6;
    double spread = 0.0;  // sum of squared member-to-centroid distances
    double reserved_error = 0.0;
    double exafs_error = 0.0;
    bool split = false;
    // The representative whose signal the cluster's FEFF arrays hold, as its first nleg atoms' x, y, z
    // and potential indices: a cluster whose representative has not moved since needs no FEFF run.
    // Copied with the cluster and its arrays, and unset in a new cluster.
    bool has_feff_signal = false;
    std::array<double, 3 * max_cluster_atoms> feff_coordinates{};
    std::array<std::int32_t, max_cluster_atoms> feff_potentials{};
};

// What one state's sums pass finds about a cluster; the passes of several states are folded into the
// cluster in state order, so the result does not depend on which thread evaluated which state.
struct ClusterStateStatistics {
    double spread = 0.0;
    double smallest_distance = 1e6;
    std::int32_t nearest_member = -1;  // position in the path's member list
    double largest_distance = -1e6;
    std::int32_t farthest_member = -1;
    Descriptor nearest{};
    Descriptor farthest{};
};

void cluster_reset(Cluster& cluster);
void cluster_add_member(Cluster& cluster, std::span<const double> descriptor);
// Adds `count` members whose descriptors sum to `sums` (descriptor_length of them).
void cluster_add_members(Cluster& cluster, const DescriptorSum* sums, std::int32_t count);
void cluster_finish_centroid(Cluster& cluster);
double cluster_distance(const Cluster& cluster, std::span<const double> descriptor);
void cluster_copy(const Cluster& cluster, Cluster& target);
