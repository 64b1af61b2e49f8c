#include "structure/atom.hpp"

#include "structure/elements.hpp"

#include <algorithm>
#include <cmath>

Atom atom_copy(const Atom& a) { return a; }

void atom_set(Atom& target, const std::string& label, double x, double y, double z) {
    target.label = label;
    atom_set_xyz(target, x, y, z);
}

void atom_set_xyz(Atom& target, double x, double y, double z) {
    target.x = x;
    target.y = y;
    target.z = z;
}

Atom atom_add(const Atom& a, const Atom& b) { return {a.label, a.x + b.x, a.y + b.y, a.z + b.z}; }

Atom atom_negate(const Atom& a) { return {a.label, -a.x, -a.y, -a.z}; }

Atom atom_scale(const Atom& a, double s) { return {a.label, s * a.x, s * a.y, s * a.z}; }

double atom_norm(const Atom& a) { return std::sqrt(a.x * a.x + a.y * a.y + a.z * a.z); }

double atom_distance(const Atom& a, const Atom& b) {
    const double dx = a.x - b.x;
    const double dy = a.y - b.y;
    const double dz = a.z - b.z;
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

double atom_dot(const Atom& a, const Atom& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

Atom atom_cross(const Atom& a, const Atom& b) {
    return {"", a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - b.x * a.y};
}

Atom atom_unit_vector(const Atom& a) {
    const double norm = atom_norm(a);
    if (norm > 0) return atom_scale(a, 1.0 / norm);
    return a;
}

Atom atom_move_along(const Atom& a, const Atom& b, double d) { return atom_add(a, atom_scale(atom_unit_vector(b), d)); }

Atom atom_linear_combination(std::span<const Atom> v, std::span<const double> w) {
    Atom sum = atom_scale(v[0], w[0]);
    for (std::size_t i = 1; i < v.size(); ++i) sum = atom_add(sum, atom_scale(v[i], w[i]));
    return sum;
}

Atom atom_rotate_x(const Atom& a, double theta) {
    const double c = std::cos(theta);
    const double s = std::sin(theta);
    return {"", a.x, a.y * c - a.z * s, a.z * c + a.y * s};
}

Atom atom_rotate_y(const Atom& a, double theta) {
    const double c = std::cos(theta);
    const double s = std::sin(theta);
    return {"", a.x * c + a.z * s, a.y, a.z * c - a.x * s};
}

Atom atom_rotate_z(const Atom& a, double theta) {
    const double c = std::cos(theta);
    const double s = std::sin(theta);
    return {"", a.x * c - a.y * s, a.x * s + a.y * c, a.z};
}

double angle_between_vectors(const Atom& u, const Atom& w) {
    // This decimal value of pi is part of the stored path geometries; a library constant would differ
    // in the last digits.
    constexpr double pi = 3.14159265358979;
    double q = atom_dot(u, w) / (atom_norm(u) * atom_norm(w));
    q = std::max(-1.0, q);
    q = std::min(1.0, q);
    return std::acos(q) * 180.0 / pi;
}

double angle_at_atom(const Atom& a, const Atom& b, const Atom& c) {
    const Atom u = atom_add(b, atom_negate(a));
    const Atom w = atom_add(c, atom_negate(b));
    return angle_between_vectors(u, w);
}

double rms_difference(std::span<const double> p, std::span<const double> q) {
    double sum = 0.0;
    for (std::size_t i = 0; i < p.size() && i < q.size(); ++i) sum += (p[i] - q[i]) * (p[i] - q[i]);
    return std::sqrt(sum);
}

int find_nearest_atom_of_element(std::span<const Atom> atoms, const Atom& reference) {
    const int element = atomic_number_of_label(reference.label);
    double best = 1.0e6;
    int nearest = -1;
    for (std::size_t i = 0; i < atoms.size(); ++i) {
        if (atomic_number_of_label(atoms[i].label) != element) continue;
        const double d = atom_distance(atoms[i], reference);
        if (d < best) {
            best = d;
            nearest = static_cast<int>(i);
        }
    }
    return nearest;
}
