#pragma once

#include <string>

struct RunFlags;

// Switch codes returned by parse_command_line_flag.
constexpr int flag_plain_word = 0;
constexpr int flag_unknown = -1;

// Code of one command-line argument: the switch's code, flag_plain_word for a word not beginning with
// '-', flag_unknown for any other word beginning with '-' ("-help" prints the help and is unknown too).
int parse_command_line_flag(const std::string& argument);
// Sets the RunFlags field of a switch code; false for codes that name no switch.
bool set_run_flag(RunFlags& flags, int code);

// Turns the arguments after the parameter file into flags; a plain word (or "-example") becomes the
// extra argument, the last one winning. False at the first unknown switch.
bool apply_further_arguments(RunFlags& flags, std::string& extra_argument, int count, char** arguments);

void print_banner();
void print_help();
std::string get_version();
