#pragma once

#include <istream>
#include <ostream>
#include <span>
#include <string>
#include <vector>

struct Calculation;
struct Structure;

// Files exchanged with GULP in the run folder.
inline constexpr const char* gulp_template_name = "gulp_template";
inline constexpr const char* gulp_input_name = "input.gin";
inline constexpr const char* force_field_name = "force_field";

// Writes gulp_template for structure 0: the force field (guessed Lennard-Jones lines, with "&" marks on
// the fitted values unless -guessFF, or a copy of force_field under -useFF), then the supercell, the
// temperature and the Monte Carlo or (-gulpmd) molecular-dynamics keywords. x is the starting epsilon of
// the fitted pair lines.
void write_gulp_template(Calculation& calc, double x);

// Writes input.gin for a GULP run: the run line, the unit cell and its atoms in fractional coordinates,
// then gulp_template with its special symbols replaced by numbers for the multipliers P.
void write_gulp_input_mc(const Structure& structure, std::span<const double> multipliers);
void write_gulp_input_md(const Structure& structure, std::span<const double> multipliers);

// Copies the template's tokens with a blank after each, one output line per template line (runs of empty
// lines collapse). "& F" writes F * P[j] for the next multiplier; "& % G" writes G times the value
// written for the previous "&". Ends the process with exit code 5 on a tie before any parameter, on a
// mark without its number, or on more marks than multipliers.
void transcribe_gulp_template(std::istream& in, std::ostream& out, std::span<const double> multipliers);

// The default values F of the template's fitted parameters, in template order: the number after each
// "&" ("& % G" ties are not parameters). Reads the template as the transcription does, and ends the
// process the same way (exit code 5) on a mark without its number or a tie before any parameter.
std::vector<double> read_gulp_template_defaults(std::istream& in);

// Shortest distance from a supercell atom labelled label_i to any other entry of the working list
// labelled label_j (periodic images included); 1000000 when there is no such pair.
double shortest_pair_distance(const Structure& structure, const std::string& label_i, const std::string& label_j);
