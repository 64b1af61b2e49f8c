#pragma once

#include <filesystem>
#include <functional>
#include <ostream>
#include <span>
#include <string>

// What a file that cannot be written costs the run. An optional output is lost with a warning and the
// run goes on; a required one (a restart file, which a stopped run resumes from, or a file the command
// asked for) ends the run. A full disk ends the run whatever the file: every later checkpoint would be
// lost too.
enum class OutputKind { optional, required };

using TextWriter = std::function<void(std::ostream&)>;

// Writes what `write` makes as the whole file: under a temporary name beside it, checked, then renamed into
// its place, so that neither a failure nor a kill leaves it cut (the file keeps its old contents until the
// new ones are whole). A name that is a device, a link or anything else but a plain file is written in
// place, never replaced. Returns false, the failure reported, when the file was not written.
bool write_whole_file(const std::string& file_name, const TextWriter& write, OutputKind kind);
// The same for text made already, in pieces written one after the other: a file of megabytes is then
// neither copied into a stream nor joined first.
bool write_whole_file(const std::string& file_name, std::span<const std::string> pieces, OutputKind kind);

// Appends what `write` makes to the file. A failed append is cut off again, so that the file never ends
// in half a record.
bool append_to_file(const std::string& file_name, const TextWriter& write, OutputKind kind);

// Writes the text to a file the caller holds open and flushes it; reports a failure. A stream that failed
// before is taken as reported already and gets nothing.
bool write_to_open_file(std::ostream& out, const std::string& text, const std::string& file_name, OutputKind kind);

// "WARNING: FILE <name> CANNOT BE WRITTEN! <the system's reason>", or the same as an ERROR that ends the
// run (code 4) for a required file or a full disk.
void report_unwritten_file(const std::string& file_name, int error_number, OutputKind kind);

// Copies a file (with its permissions) over `to` by way of a temporary name and a rename, so that a copy
// of a program that is still running (a FEFF left behind by a killed run) is replaced rather than written
// into, which the system refuses ("Text file busy"). The running process keeps its old file.
void copy_file_replacing(const std::filesystem::path& from, const std::filesystem::path& to, std::error_code& error);

// The system's reason for an error number, as the console shows it.
std::string error_text(int error_number);
