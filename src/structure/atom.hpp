#pragma once

#include <cmath>
#include <span>
#include <string>

// An atom of a structure (element label and Cartesian position in angstrom) and, with its label
// ignored, the program's plain 3-vector.
struct Atom {
    std::string label;
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

Atom atom_copy(const Atom& a);
void atom_set(Atom& target, const std::string& label, double x, double y, double z);
void atom_set_xyz(Atom& target, double x, double y, double z);
Atom atom_add(const Atom& a, const Atom& b);        // label of a
Atom atom_negate(const Atom& a);                    // label of a
Atom atom_scale(const Atom& a, double s);           // label of a
double atom_norm(const Atom& a);
double atom_distance(const Atom& a, const Atom& b);
double atom_dot(const Atom& a, const Atom& b);
Atom atom_cross(const Atom& a, const Atom& b);      // empty label
Atom atom_unit_vector(const Atom& a);               // a itself when its norm is 0
Atom atom_move_along(const Atom& a, const Atom& b, double d);
// Sum of w[i]*v[i], in index order, with the label of v[0]; needs at least one term.
Atom atom_linear_combination(std::span<const Atom> v, std::span<const double> w);
Atom atom_rotate_x(const Atom& a, double theta);    // radians; empty label
Atom atom_rotate_y(const Atom& a, double theta);
Atom atom_rotate_z(const Atom& a, double theta);
// Angles in degrees. angle_at_atom measures the turn of the direction of travel at b: 0 when a, b, c are
// collinear with b between them, 180 when c returns to a.
double angle_between_vectors(const Atom& u, const Atom& w);
double angle_at_atom(const Atom& a, const Atom& b, const Atom& c);
// Square root of the sum of squared differences (not divided by the count).
double rms_difference(std::span<const double> p, std::span<const double> q);
// Index of the nearest atom of the reference's element (lowest index on ties), or -1.
int find_nearest_atom_of_element(std::span<const Atom> atoms, const Atom& reference);

// A plain position or direction for the inner loops, where an atom's label would only be copied along.
// Its operations compute exactly what the Atom operations of the same name compute.
struct Vec3 {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

inline Vec3 to_vec3(const Atom& a) { return {a.x, a.y, a.z}; }
inline Atom to_atom(const Vec3& v, const std::string& label) { return {label, v.x, v.y, v.z}; }
inline Vec3 vec_add(const Vec3& a, const Vec3& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
// a + (-b), as atom_add(a, atom_negate(b)) computes it.
inline Vec3 vec_sub(const Vec3& a, const Vec3& b) { return {a.x + -b.x, a.y + -b.y, a.z + -b.z}; }
inline double vec_dot(const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline double vec_norm(const Vec3& a) { return std::sqrt(a.x * a.x + a.y * a.y + a.z * a.z); }
inline double vec_distance(const Vec3& a, const Vec3& b) {
    const double dx = a.x - b.x;
    const double dy = a.y - b.y;
    const double dz = a.z - b.z;
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}
