#include "runs.hpp"

#include "random.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace gulp_standin {
namespace {

// Trial steps are sized from the local curvature of the energy (twice the thermal spread), which keeps
// the acceptance near one half for any potential and temperature; within these bounds.
constexpr double smallest_step = 0.005;
constexpr double largest_step = 0.5;
constexpr double curvature_probe = 0.01;

std::ofstream open_output(const std::string& name) {
    std::ofstream out(name, std::ios::trunc);
    if (!out) throw StandinError("cannot write " + name);
    return out;
}

std::string number(double value, const char* format = "%.8f") {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

void check_finite(const PeriodicSystem& system, double energy) {
    bool finite = std::isfinite(energy);
    for (const Vec3& p : system.positions)
        finite = finite && std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
    if (!finite) throw StandinError("the run became unstable (non-finite energy or positions)");
}

// Positions as written: the drift of the centre of mass since the start is taken out, and atoms are
// not wrapped back into the cell.
std::vector<Vec3> frame_positions(const PeriodicSystem& system, const Vec3& start_centre) {
    const Vec3 drift = centre_of_mass(system) - start_centre;
    std::vector<Vec3> out;
    out.reserve(system.positions.size());
    for (const Vec3& p : system.positions) out.push_back(p - drift);
    return out;
}

double step_for_type(PeriodicSystem& system, int type, double kt) {
    int atom = 0;
    while (system.type_of_atom[atom] != type) ++atom;
    Vec3 p = system.positions[atom];
    const double e0 = atom_energy(system, atom, p);
    p.x += curvature_probe;
    const double plus = atom_energy(system, atom, p);
    p.x -= 2.0 * curvature_probe;
    const double minus = atom_energy(system, atom, p);
    const double k = (plus + minus - 2.0 * e0) / (curvature_probe * curvature_probe);
    if (!(k > 0.0)) return 0.1;
    return std::clamp(2.0 * std::sqrt(kt / k), smallest_step, largest_step);
}

double kinetic_energy(const PeriodicSystem& system, const std::vector<Vec3>& v) {
    double sum = 0.0;
    for (std::size_t i = 0; i < v.size(); ++i) sum += system.masses[i] * dot(v[i], v[i]);
    return 0.5 * sum / ev_per_amu_a2_in_per_ps2;
}

void scale_velocities(std::vector<Vec3>& v, double factor) {
    for (Vec3& vi : v) vi = factor * vi;
}

// Bussi, Donadio and Parrinello's canonical rescaling over one time step.
void thermostat(std::vector<Vec3>& v, double kinetic, double target, long long dof, double dt, double tau,
                RandomState& random) {
    if (!(kinetic > 0.0)) return;
    const double c = std::exp(-dt / tau);
    const double ratio = target / (static_cast<double>(dof) * kinetic);
    const double r1 = normal(random);
    const double rest = chi_squared(random, dof - 1);
    const double alpha2 = c + (1.0 - c) * ratio * (r1 * r1 + rest) + 2.0 * r1 * std::sqrt(c * (1.0 - c) * ratio);
    scale_velocities(v, std::sqrt(std::max(alpha2, 0.0)));
}

long long steps_in(double time, double dt) { return std::llround(time / dt); }

}  // namespace

void run_monte_carlo(const GulpInput& input, PeriodicSystem& system, std::ostream& log) {
    const int n = static_cast<int>(system.positions.size());
    const double kt = boltzmann_ev * input.temperature;
    RandomState random = seeded_random(run_seed);

    std::vector<double> step(system.type_count);
    double largest = 0.0;
    for (int t = 0; t < system.type_count; ++t) largest = std::max(largest, step[t] = step_for_type(system, t, kt));
    // A trial position must stay inside the lists' skin even right after they were rebuilt.
    const double skin = std::max(system.skin, 2.0 * std::sqrt(3.0) * largest + 0.1);
    if (skin != system.skin) {
        system.skin = skin;
        rebuild_neighbours(system);
    }

    std::ofstream out = open_output(monte_carlo_trajectory_name);
    const Vec3 start_centre = centre_of_mass(system);
    double energy = total_energy(system);
    log << "  Monte Carlo: " << input.mc_trials << " trials at " << input.temperature << " K, a frame every "
        << input.mc_sample << " trials" << '\n';
    log << "  Initial energy = " << number(energy) << " eV" << '\n';
    for (int t = 0; t < system.type_count; ++t)
        log << "  Largest trial step of type " << t + 1 << " = " << number(step[t], "%.4f") << " A" << '\n';

    const std::string supercell = std::to_string(input.supercell[0]) + "x" + std::to_string(input.supercell[1]) + "x" +
                                  std::to_string(input.supercell[2]);
    long long accepted = 0;
    for (long long trial = 1; trial <= input.mc_trials; ++trial) {
        const int i = std::min(n - 1, static_cast<int>(uniform(random) * n));
        const double d = step[system.type_of_atom[i]];
        Vec3 moved = system.positions[i];
        moved.x += d * (2.0 * uniform(random) - 1.0);
        moved.y += d * (2.0 * uniform(random) - 1.0);
        moved.z += d * (2.0 * uniform(random) - 1.0);
        // Every atom stays within half the skin of where the lists saw it: accepted positions passed this
        // test, and a rebuild puts the trial within reach again.
        if (!within_skin(system, i, moved)) rebuild_neighbours(system);
        const double change = energy_change(system, i, moved);
        bool accept = change <= 0.0;
        if (!accept && kt > 0.0) accept = uniform(random) < std::exp(-change / kt);
        if (accept) {
            system.positions[i] = moved;
            energy += change;
            ++accepted;
        }
        if (trial % input.mc_sample != 0) continue;
        check_finite(system, energy);
        out << "trial " << trial << '\n'
            << "energy/eV: " << number(energy) << " accepted: " << accepted << " of " << trial
            << " max_step/A: " << number(largest, "%.4f") << " temperature/K: " << input.temperature
            << " supercell: " << supercell << '\n'
            << n << '\n';
        const std::vector<Vec3> frame = frame_positions(system, start_centre);
        for (int a = 0; a < n; ++a)
            out << system.atomic_numbers[a] << " 1 " << number(frame[a].x) << ' ' << number(frame[a].y) << ' '
                << number(frame[a].z) << '\n';
    }
    if (!out.flush()) throw StandinError(std::string("cannot write ") + monte_carlo_trajectory_name);
    log << "  Accepted " << accepted << " of " << input.mc_trials << " trials ("
        << number(100.0 * static_cast<double>(accepted) / static_cast<double>(input.mc_trials), "%.1f") << " %)"
        << '\n';
    log << "  Final energy = " << number(total_energy(system)) << " eV (running sum " << number(energy) << " eV)"
        << '\n';
    log << "  Neighbour lists built " << system.list_builds << " times" << '\n';
}

void run_dynamics(const GulpInput& input, PeriodicSystem& system, std::ostream& log) {
    const int n = static_cast<int>(system.positions.size());
    const double dt = input.timestep;
    const double kt = boltzmann_ev * input.temperature;
    const long long dof = n > 1 ? 3LL * n - 3 : 3;
    const double target = 0.5 * static_cast<double>(dof) * kt;
    const long long equilibration = steps_in(input.equilibration, dt);
    const long long production = std::max(1LL, steps_in(input.production, dt));
    const long long write_every = std::max(1LL, steps_in(input.write_interval, dt));
    const long long rescale_every =
        input.rescale_interval > 0 ? std::max(1LL, steps_in(input.rescale_interval, dt)) : 0;
    RandomState random = seeded_random(run_seed);

    std::vector<Vec3> v(n);
    Vec3 momentum;
    double mass = 0.0;
    for (int i = 0; i < n; ++i) {
        const double spread = std::sqrt(kt * ev_per_amu_a2_in_per_ps2 / system.masses[i]);
        v[i] = {spread * normal(random), spread * normal(random), spread * normal(random)};
        momentum += system.masses[i] * v[i];
        mass += system.masses[i];
    }
    // No net momentum, so the centre of mass stays put; then exactly the target temperature.
    for (Vec3& vi : v) vi = vi - (1.0 / mass) * momentum;
    const double start_kinetic = kinetic_energy(system, v);
    if (start_kinetic > 0.0) scale_velocities(v, std::sqrt(target / start_kinetic));

    std::ofstream out;
    if (!input.movie_file.empty())
        out = open_output(input.movie_file);
    else
        log << "  No movie file was asked for (output movie xyz <file>): no frames are written" << '\n';
    const Vec3 start_centre = centre_of_mass(system);
    std::vector<Vec3> forces;
    double energy = energy_and_forces(system, forces);
    log << "  Molecular dynamics at " << input.temperature << " K: " << equilibration << " equilibration and "
        << production << " production steps of " << dt << " ps, a frame every " << write_every << " steps" << '\n';
    log << "  Initial energy = " << number(energy) << " eV" << '\n';

    double temperature_sum = 0.0;
    long long frames = 0;
    for (long long s = 1; s <= equilibration + production; ++s) {
        for (int i = 0; i < n; ++i) v[i] += (0.5 * dt * ev_per_amu_a2_in_per_ps2 / system.masses[i]) * forces[i];
        for (int i = 0; i < n; ++i) system.positions[i] += dt * v[i];
        update_neighbours(system);
        energy = energy_and_forces(system, forces);
        for (int i = 0; i < n; ++i) v[i] += (0.5 * dt * ev_per_amu_a2_in_per_ps2 / system.masses[i]) * forces[i];
        const double kinetic = kinetic_energy(system, v);
        if (s <= equilibration && rescale_every > 0 && s % rescale_every == 0) {
            if (kinetic > 0.0) scale_velocities(v, std::sqrt(target / kinetic));
        } else if (input.thermostat_time > 0.0) {
            thermostat(v, kinetic, target, dof, dt, input.thermostat_time, random);
        }
        if (s <= equilibration) continue;
        const long long p = s - equilibration;
        const double temperature = 2.0 * kinetic_energy(system, v) / (static_cast<double>(dof) * boltzmann_ev);
        temperature_sum += temperature;
        if (p % write_every != 0) continue;
        check_finite(system, energy);
        if (!out.is_open()) continue;
        ++frames;
        out << n << '\n'
            << "time/ps " << number(static_cast<double>(p) * dt, "%.4f") << " E/eV=" << number(energy) << '\n';
        const std::vector<Vec3> frame = frame_positions(system, start_centre);
        for (int a = 0; a < n; ++a)
            out << system.labels[a] << ' ' << number(frame[a].x) << ' ' << number(frame[a].y) << ' '
                << number(frame[a].z) << '\n';
    }
    if (out.is_open() && !out.flush()) throw StandinError("cannot write " + input.movie_file);
    log << "  Mean production temperature = " << number(temperature_sum / static_cast<double>(production), "%.2f")
        << " K" << '\n';
    log << "  Final energy = " << number(energy) << " eV; " << frames << " frames written" << '\n';
}

}  // namespace gulp_standin
