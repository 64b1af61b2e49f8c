#pragma once

#include "control/parameters.hpp"

#include <string>

struct ParameterKey {
    ParameterKind kind = kind_unknown;
    int slot = -1;
};

// Reads the parameter file over the defaults, derives the run values and echoes the parameters.
// With use_extra_argument (the -spectrum switch) the extra argument names every experimental spectrum.
void read_parameter_file(Calculation& calc, const std::string& file_name, bool use_extra_argument,
                         const std::string& extra_argument);

// Two keys match when both are non-empty and equal once one trailing ':' is removed from each.
bool parameter_keys_match(const std::string& a, const std::string& b);

// Kind and slot of a key (legacy names included); prints a warning and returns kind_unknown when no table has it.
ParameterKey classify_parameter_key(const Calculation& calc, std::string key);
bool classify_spectrum_key(const Calculation& calc, std::string key, ParameterKey& found);
bool classify_structure_key(const Calculation& calc, const std::string& key, ParameterKey& found);

// Per-record lists: the m-th value read goes to records m..9, so the last value repeats to the end.
void parse_spectrum_int_list(Calculation& calc, const std::string& list, int slot);
void parse_spectrum_double_list(Calculation& calc, const std::string& list, int slot);
void parse_spectrum_string_list(Calculation& calc, const std::string& list, int slot);
void parse_spectrum_scf_list(Calculation& calc, const std::string& list, int slot);
void parse_structure_double_list(Calculation& calc, const std::string& list, int slot);
void parse_structure_string_list(Calculation& calc, const std::string& list, int slot);
void parse_structure_bool_list(Calculation& calc, const std::string& list, int slot);

// True when Move_type asks to move every atom at each step.
bool set_move_all_flag(const Calculation& calc);
