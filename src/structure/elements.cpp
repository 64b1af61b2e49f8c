#include "structure/elements.hpp"

#include <cstring>

namespace {

const char* const symbols[element_count] = {
    "H",  "He", "Li", "Be", "B",  "C",  "N",  "O",  "F",   "Ne",  "Na",  "Mg",  "Al",  "Si",  "P",   "S",   "Cl",
    "Ar", "K",  "Ca", "Sc", "Ti", "V",  "Cr", "Mn", "Fe",  "Co",  "Ni",  "Cu",  "Zn",  "Ga",  "Ge",  "As",  "Se",
    "Br", "Kr", "Rb", "Sr", "Y",  "Zr", "Nb", "Mo", "Tc",  "Ru",  "Rh",  "Pd",  "Ag",  "Cd",  "In",  "Sn",  "Sb",
    "Te", "I",  "Xe", "Cs", "Ba", "La", "Ce", "Pr", "Nd",  "Pm",  "Sm",  "Eu",  "Gd",  "Tb",  "Dy",  "Ho",  "Er",
    "Tm", "Yb", "Lu", "Hf", "Ta", "W",  "Re", "Os", "Ir",  "Pt",  "Au",  "Hg",  "Tl",  "Pb",  "Bi",  "Po",  "At",
    "Rn", "Fr", "Ra", "Ac", "Th", "Pa", "U",  "Np", "Pu",  "Am",  "Cm",  "Bk",  "Cf",  "Es",  "Fm",  "Md",  "No",
    "Lr", "Rf", "Db", "Sg", "Bh", "Hs", "Mt", "Ds", "Rg",  "Cn",  "Uut", "Uuq", "Uup", "Uuh", "Uus", "Uuo",
};

}  // namespace

int atomic_number_of_label(const std::string& label) {
    // Longer symbols first, so that Co1 is cobalt rather than carbon.
    for (std::size_t length = 3; length >= 1; --length) {
        for (int z = 1; z <= element_count; ++z) {
            const char* symbol = symbols[z - 1];
            if (std::strlen(symbol) == length && label.compare(0, length, symbol) == 0) return z;
        }
    }
    return 0;
}

std::string element_symbol_of_label(const std::string& label) {
    const int z = atomic_number_of_label(label);
    return z > 0 ? symbols[z - 1] : "";
}

const char* element_symbol(int atomic_number) { return symbols[atomic_number - 1]; }

std::int32_t gcd(std::int32_t a, std::int32_t b) {
    if (a == 0) return b;
    for (;;) {
        const std::int32_t r = b % a;
        b = a;
        a = r;
        if (r == 0) return b;
    }
}
