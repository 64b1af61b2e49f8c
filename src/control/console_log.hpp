#pragma once

#include <cstdint>
#include <string>

// Writes the local time stamp "%d.%m.%Y %H:%M:%S" directly followed by the text, then a flushing end of line.
void log_line(std::string text);

// Writes the separator line of 59 dashes between blocks of console output.
void print_separator_line();

std::string int_to_string(std::int32_t value);
