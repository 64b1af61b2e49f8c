#pragma once

#include "input.hpp"
#include "model.hpp"
#include "types.hpp"

#include <string>
#include <vector>

namespace feff_standin {

// Appends a number as Fortran's 1pe13.6 writes it ("-6.490180E-01").
void append_fortran_e13(std::string& text, double value);

// "chip0007.dat"; indices outside 0..9999 do not fit the four digits and give "chip****.dat".
std::string chip_file_name(int index);

void write_pot_bin(const FeffInput& input);
void write_paths_dat(const FeffInput& input, const std::vector<PathBlock>& paths, double rpath);

// A path of the run with its signal and its ratio to the leading path (percent).
struct ComputedPath {
    const PathBlock* path = nullptr;
    PathSignal signal;
    double ratio = 100.0;
    bool used = true;
};

void write_chip_file(const FeffInput& input, const PathsFile& paths_file, const ComputedPath& path,
                     const std::vector<double>& k);
void write_chi_dat(const FeffInput& input, const PathsFile& paths_file, const std::vector<ComputedPath>& paths,
                   const std::vector<double>& k);
void write_list_dat(const FeffInput& input, const PathsFile& paths_file, const std::vector<ComputedPath>& paths);

}  // namespace feff_standin
