#include "model.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace feff_standin {
namespace {

constexpr double pi = std::numbers::pi;

// The model is a plane-wave picture with smooth, invented but plausible curves. Amplitudes are kept as
// |f(k)|/k, which stays finite at k = 0, so that mag needs no division by k anywhere.

// |f(k, theta)| / k for a scatterer of atomic number z.
double amplitude_over_k(double k, int z, double theta) {
    const double zz = z;
    const double peak = 0.15 + 0.015 * zz;      // |f| at its maximum, in angstrom
    const double k_peak = 2.5 + 0.07 * zz;      // heavier atoms scatter best at higher k
    const double backward = 0.5 * (1.0 - std::cos(theta));  // 1 for backscattering, 0 straight through
    const double back = peak / k_peak * std::exp(1.0 - k / k_peak) * (0.25 + 0.75 * backward * backward);
    // Forward focusing: a lobe around theta = 0 that grows and narrows with k.
    const double width = 0.5 / (1.0 + 0.08 * k);
    const double forward = 4.0 * peak / (k + 2.0) * std::exp(-theta * theta / (2.0 * width * width));
    return back + forward;
}

double scattering_phase(double k, int z, double theta) {
    const double zz = z;
    const double backward = 0.5 * (1.0 - std::cos(theta));
    const double back = (0.8 - 0.04 * zz) - (0.25 + 0.004 * zz) * k + 0.35 * std::sqrt(zz) * (1.0 - std::exp(-k / 3.0));
    const double forward = -0.3 * std::sqrt(zz / 29.0) * k / (k + 2.0);
    return backward * back + (1.0 - backward) * forward;
}

// 2 delta_c of the absorber.
double central_phase(double k, int z) {
    return -0.8 - (0.30 + 0.003 * z) * k + 0.6 * (1.0 - std::exp(-k / 2.5));
}

double mean_free_path(double k) { return 3.0 + 0.4 * k; }

// Atoms closer than this count as one point: no direction, and leg lengths are floored to it so that a
// degenerate geometry gives large but finite numbers instead of infinities.
constexpr double tiny_length = 1e-3;

Vec3 absorber_to(const PathBlock& path, int i) { return path.atoms[static_cast<std::size_t>(i)].position - path.absorber().position; }

}  // namespace

std::vector<double> make_k_grid(double kmax) {
    const int last = static_cast<int>(std::floor(kmax / 0.05 + 1e-6));
    std::vector<double> k(static_cast<std::size_t>(last) + 1);
    for (int i = 0; i <= last; ++i) k[static_cast<std::size_t>(i)] = 0.05 * i;
    return k;
}

std::vector<double> leg_lengths(const PathBlock& path) {
    std::vector<double> legs;
    Vec3 previous = path.absorber().position;
    for (const PathAtom& atom : path.atoms) {
        legs.push_back(distance(previous, atom.position));
        previous = atom.position;
    }
    return legs;
}

double half_path_length(const PathBlock& path) {
    const auto legs = leg_lengths(path);
    double sum = 0.0;
    for (double leg : legs) sum += leg;
    return 0.5 * sum;
}

double deflection_angle(const PathBlock& path, int i) {
    const int n = path.nleg();
    const auto at = [&](int j) { return path.atoms[static_cast<std::size_t>((j % n + n) % n)].position; };
    const Vec3 incoming = at(i) - at(i - 1);
    const Vec3 outgoing = at(i + 1) - at(i);
    const double lengths = norm(incoming) * norm(outgoing);
    if (lengths < tiny_length * tiny_length) return pi;
    return std::acos(std::clamp(dot(incoming, outgoing) / lengths, -1.0, 1.0));
}

double polarization_factor(const PathBlock& path, const std::optional<Vec3>& polarization) {
    if (!polarization) return 1.0;
    const Vec3 first = absorber_to(path, 0);
    const Vec3 last = absorber_to(path, path.nleg() - 2);
    const double lengths = norm(first) * norm(last) * dot(*polarization, *polarization);
    if (lengths < tiny_length * tiny_length) return 1.0;
    return 3.0 * dot(*polarization, first) * dot(*polarization, last) / lengths;
}

PathSignal compute_path_signal(const PathBlock& path, const FeffInput& input, const std::vector<double>& k) {
    const std::string where = "path " + std::to_string(path.index);
    const int absorber_z = input.required_potential(0, where).z;
    const int scatterers = path.nleg() - 1;
    std::vector<int> z(static_cast<std::size_t>(scatterers));
    std::vector<double> theta(static_cast<std::size_t>(scatterers));
    for (int i = 0; i < scatterers; ++i) {
        z[static_cast<std::size_t>(i)] = input.required_potential(path.atoms[static_cast<std::size_t>(i)].ipot, where).z;
        theta[static_cast<std::size_t>(i)] = deflection_angle(path, i);
    }
    double leg_product = 1.0;
    for (double leg : leg_lengths(path)) leg_product *= std::max(leg, tiny_length);

    const double polarization = polarization_factor(path, input.polarization);
    // A negative dipole factor is a sign change of chi: kept in the phase so that mag stays an amplitude.
    const double phase_offset = polarization < 0.0 ? pi : 0.0;
    const double prefactor = input.s02 * path.degeneracy * std::abs(polarization) / leg_product;

    PathSignal signal;
    signal.reff = half_path_length(path);
    const std::size_t n = k.size();
    signal.chi.resize(n);
    signal.mag.resize(n);
    signal.phase.resize(n);
    signal.phase_minus_2kr.resize(n);
    for (std::size_t j = 0; j < n; ++j) {
        const double kj = k[j];
        // One factor 1/k of the plane-wave formula is absorbed by the first scatterer's |f|/k.
        double amplitude = amplitude_over_k(kj, z[0], theta[0]);
        double phi = central_phase(kj, absorber_z) + phase_offset + scattering_phase(kj, z[0], theta[0]);
        for (std::size_t s = 1; s < z.size(); ++s) {
            amplitude *= kj * amplitude_over_k(kj, z[s], theta[s]);
            phi += scattering_phase(kj, z[s], theta[s]);
        }
        const double mag = prefactor * amplitude * std::exp(-2.0 * signal.reff / mean_free_path(kj));
        const double phase = 2.0 * kj * signal.reff + phi;
        signal.mag[j] = mag;
        signal.phase[j] = phase;
        signal.phase_minus_2kr[j] = phi;
        signal.chi[j] = mag * std::sin(phase);
    }
    return signal;
}

double path_strength(const PathSignal& signal) {
    double sum = 0.0;
    for (double m : signal.mag) sum += m;
    return sum;
}

}  // namespace feff_standin
