#include "structure/atom_io.hpp"

#include "structure/elements.hpp"

void write_atom(const Atom& atom, const std::string& label, std::ostream& out, const std::string& format) {
    if (format == "gulp") {
        out << label << ' ' << atom.x << ' ' << atom.y << ' ' << atom.z << '\n';
    } else if (format == "feff") {
        out << atom.x << ' ' << atom.y << ' ' << atom.z << ' ' << label << '\n';
    } else if (format == "no_new_line") {
        out << label << ' ' << atom.x << ' ' << atom.y << ' ' << atom.z << ' ';
    }
}

void write_atom_feff_ipot(const Atom& atom, int ipot, std::ostream& out, const std::string& format) {
    write_atom_feff_ipot_tagged(atom, ipot, atom.label, out, format);
}

void write_atom_feff_ipot_tagged(const Atom& atom, int ipot, const std::string& text, std::ostream& out,
                                 const std::string& format) {
    if (format != "feff") return;
    out << atom.x << ' ' << atom.y << ' ' << atom.z << ' ' << ipot << ' ' << text << '\n';
}

void read_atom(Atom& atom, std::istream& in, const std::string& format, double scale) {
    if (format == "gulp") {
        in >> atom.label >> atom.x >> atom.y >> atom.z;
    } else if (format == "gulpmc") {
        int z = 0;
        int ignored = 0;
        if (in >> z) {
            // A number outside the table is no element; the stream is failed like any unreadable token.
            if (z >= 1 && z <= element_count) atom.label = element_symbol(z);
            else in.setstate(std::ios::failbit);
        }
        in >> ignored >> atom.x >> atom.y >> atom.z;
    } else if (format == "nolabel") {
        in >> atom.x >> atom.y >> atom.z;
    }
    atom.x *= scale;
    atom.y *= scale;
    atom.z *= scale;
}

void read_atom_unscaled(Atom& atom, std::istream& in, const std::string& format) { read_atom(atom, in, format, 1.0); }
