#pragma once

#include <array>
#include <cmath>
#include <stdexcept>

namespace gulp_standin {

// Any input or run problem: main reports it and exits non-zero. Input problems are found before any
// trajectory file is created, so a caller never reads frames of a run that did not happen.
class StandinError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Vec3 {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

inline Vec3 operator+(const Vec3& a, const Vec3& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec3 operator-(const Vec3& a, const Vec3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec3 operator*(double s, const Vec3& a) { return {s * a.x, s * a.y, s * a.z}; }
inline Vec3& operator+=(Vec3& a, const Vec3& b) {
    a.x += b.x;
    a.y += b.y;
    a.z += b.z;
    return a;
}
inline double dot(const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline double norm(const Vec3& a) { return std::sqrt(dot(a, a)); }
inline Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// Units throughout: angstrom, eV, ps, atomic mass units, kelvin.
inline constexpr double boltzmann_ev = 8.617333262e-5;  // eV/K
// One eV/(amu angstrom) of force per mass, as an acceleration in angstrom/ps^2.
inline constexpr double ev_per_amu_a2_in_per_ps2 = 9648.53321233;

}  // namespace gulp_standin
