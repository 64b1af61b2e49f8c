#pragma once

#include <cmath>
#include <fstream>
#include <string>

// The inputs of the small copper runs of the tests: the fcc cell as a P1 file, and a damped
// single-shell spectrum (k, chi) for it.
inline void write_copper_cell(const std::string& file_name = "cu.p1") {
    std::ofstream(file_name) << "Cu\n1\n3.61 0 0\n0 3.61 0\n0 0 3.61\nCu\n4\nDirect\n"
                                "0 0 0 Cu\n0.5 0.5 0 Cu\n0.5 0 0.5 Cu\n0 0.5 0.5 Cu\n";
}

inline void write_copper_spectrum(const std::string& file_name = "exp.dat") {
    std::ofstream spectrum(file_name);
    for (int i = 1; i <= 300; ++i) spectrum << 0.05 * i << ' ' << 0.3 * std::sin(0.1 * i * 2.56) * std::exp(-0.002 * i * i) << '\n';
}
