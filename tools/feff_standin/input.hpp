#pragma once

#include "types.hpp"

#include <array>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace feff_standin {

struct Potential {
    int ipot = 0;
    int z = 0;
    std::string label;
};

struct AtomRow {
    Vec3 position;
    int ipot = 0;
};

struct FeffInput {
    std::vector<std::string> titles;
    std::string edge = "K";
    double s02 = 1.0;
    // Modules: pot, xsph, fms, paths, genfmt, ff2chi.
    std::array<int, 6> control{1, 1, 1, 1, 1, 1};
    std::array<int, 6> print{0, 0, 0, 0, 0, 0};
    double kmax = 20.0;
    std::optional<double> rpath;
    int nlegs = 8;
    double criterion_cw = 4.0;  // percent, applied when summing chi
    double criterion_pw = 2.5;  // percent, applied in the path search
    std::optional<Vec3> polarization;
    std::vector<Potential> potentials;
    std::vector<AtomRow> atoms;  // the first row is the absorber

    const Potential* potential(int ipot) const;
    // Throws unless ipot has a POTENTIALS entry.
    const Potential& required_potential(int ipot, const std::string& where) const;
};

FeffInput parse_feff_inp(std::istream& in);
FeffInput read_feff_inp(const std::string& file_name);

struct PathsFile {
    std::vector<std::string> titles;  // lines before the line of dashes
    std::vector<PathBlock> blocks;
};

PathsFile parse_paths_dat(std::istream& in);
PathsFile read_paths_dat(const std::string& file_name);

}  // namespace feff_standin
