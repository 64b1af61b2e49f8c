#pragma once

#include "structure/atom.hpp"

#include <istream>
#include <ostream>
#include <string>

// Atom lines. Format names: "gulp" (label x y z), "feff" (x y z label), "no_new_line" (label x y z and a
// blank, no line end) are written; "gulp", "gulpmc" (Z, an ignored integer, x y z) and "nolabel" (x y z)
// are read. Writers use the stream's own number format. Unknown format names write and read nothing.
void write_atom(const Atom& atom, const std::string& label, std::ostream& out, const std::string& format);
void write_atom_feff_ipot(const Atom& atom, int ipot, std::ostream& out, const std::string& format);
void write_atom_feff_ipot_tagged(const Atom& atom, int ipot, const std::string& text, std::ostream& out,
                                 const std::string& format);
// Reads one atom (tokens may span lines), then scales x, y and z whatever was read. The stream is left
// failed when a token could not be read; callers test it after each atom.
void read_atom(Atom& atom, std::istream& in, const std::string& format, double scale);
void read_atom_unscaled(Atom& atom, std::istream& in, const std::string& format);
