#pragma once

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

namespace feff_standin {

// Any input or output problem: main reports it on stderr and exits non-zero, so that a caller never
// mistakes a half-finished folder for a good run.
class StandinError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Vec3 {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

inline Vec3 operator-(const Vec3& a, const Vec3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline double dot(const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline double norm(const Vec3& a) { return std::sqrt(dot(a, a)); }
inline double distance(const Vec3& a, const Vec3& b) { return norm(a - b); }

struct PathAtom {
    Vec3 position;
    int ipot = 0;
    std::string label;
};

// One path as paths.dat lists it: the atoms in file order, the absorber last. Read along the file the
// atoms form the closed chain absorber -> atoms[0] -> atoms[1] -> ... -> absorber.
struct PathBlock {
    int index = 0;
    double degeneracy = 1.0;
    std::vector<PathAtom> atoms;

    int nleg() const { return static_cast<int>(atoms.size()); }
    const PathAtom& absorber() const { return atoms.back(); }
};

}  // namespace feff_standin
