#pragma once

#include <cstdint>
#include <ios>
#include <ostream>
#include <string>

// Writes the local time stamp "%d.%m.%Y %H:%M:%S" directly followed by the text, then a flushing end of line.
void log_line(std::string text);

// Writes the separator line of 59 dashes between blocks of console output.
void print_separator_line();

std::string int_to_string(std::int32_t value);

// " (<file name>: <the system's reason>)", to follow the message on a file that could not be opened;
// called right after the failed open, while errno still holds the reason.
std::string open_failure_note(const std::string& file_name);

// Holds a stream's number format (notation, adjustment, precision) while a block writes numbers in its
// own, and gives it back when the block ends: a report's fixed columns must not change how a later
// message prints its values.
class SavedNumberFormat {
public:
    explicit SavedNumberFormat(std::ostream& out) : out_(out), flags_(out.flags()), precision_(out.precision()) {}
    ~SavedNumberFormat() {
        out_.flags(flags_);
        out_.precision(precision_);
    }
    SavedNumberFormat(const SavedNumberFormat&) = delete;
    SavedNumberFormat& operator=(const SavedNumberFormat&) = delete;

private:
    std::ostream& out_;
    std::ios_base::fmtflags flags_;
    std::streamsize precision_;
};
