#pragma once

#include "control/parameters.hpp"

#include <ostream>
#include <string>

// Writes the whole parameter set in the canonical layout that the reader reads back.
void write_parameter_file(const Calculation& calc, std::ostream& out);
// The same, with every key the canonical layout leaves out (the advanced keys and those never written)
// added under a comment banner before END: a file that continues a run must carry the whole set.
void write_complete_parameter_file(const Calculation& calc, std::ostream& out);
void write_spectrum_parameter_lines(const Calculation& calc, std::ostream& out, ParameterSection section);
void write_structure_parameter_lines(const Calculation& calc, std::ostream& out, ParameterSection section);
// Writes the key, then width - length + 1 blanks when the key fits the width, none otherwise.
void write_padded_key(std::ostream& out, const std::string& key, int width);
