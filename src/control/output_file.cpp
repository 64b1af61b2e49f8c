#include "control/output_file.hpp"

#include "control/process_end.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <system_error>

namespace {

namespace fs = std::filesystem;

// Writes the text to an open file and closes it; the error number of the first failure, 0 when whole.
int put_and_close(std::FILE* file, std::span<const std::string> pieces) {
    int failure = 0;
    // A failure that leaves no reason behind is a failure still.
    for (const std::string& text : pieces) {
        if (failure == 0 && !text.empty() && std::fwrite(text.data(), 1, text.size(), file) != text.size())
            failure = errno != 0 ? errno : EIO;
    }
    if (std::fflush(file) != 0 && failure == 0) failure = errno != 0 ? errno : EIO;
    if (std::fclose(file) != 0 && failure == 0) failure = errno != 0 ? errno : EIO;
    return failure;
}

int write_to(const std::string& file_name, const char* mode, std::span<const std::string> text) {
    errno = 0;
    std::FILE* file = std::fopen(file_name.c_str(), mode);
    if (file == nullptr) return errno != 0 ? errno : EIO;
    errno = 0;
    return put_and_close(file, text);
}

bool plain_file_or_absent(const std::string& file_name) {
    std::error_code error;
    const fs::file_status status = fs::symlink_status(file_name, error);
    return status.type() == fs::file_type::not_found || status.type() == fs::file_type::regular;
}

std::string text_of(const TextWriter& write) {
    std::ostringstream out;
    write(out);
    return std::move(out).str();
}

bool succeeded(const std::string& file_name, int failure, OutputKind kind) {
    if (failure == 0) return true;
    report_unwritten_file(file_name, failure, kind);
    return false;
}

}  // namespace

std::string error_text(int error_number) { return std::generic_category().message(error_number); }

void report_unwritten_file(const std::string& file_name, int error_number, OutputKind kind) {
    const bool disk_full = error_number == ENOSPC || error_number == EDQUOT;
    const std::string reason = error_number != 0 ? " " + error_text(error_number) : std::string();
    if (kind == OutputKind::required || disk_full) {
        std::cout << "ERROR: FILE " << file_name << " CANNOT BE WRITTEN!" << reason << '\n';
        end_process(4);
    }
    std::cout << "WARNING: FILE " << file_name << " CANNOT BE WRITTEN!" << reason << '\n';
}

bool write_whole_file(const std::string& file_name, const TextWriter& write, OutputKind kind) {
    const std::string text = text_of(write);
    return write_whole_file(file_name, std::span<const std::string>(&text, 1), kind);
}

bool write_whole_file(const std::string& file_name, std::span<const std::string> text, OutputKind kind) {
    if (!plain_file_or_absent(file_name)) return succeeded(file_name, write_to(file_name, "wb", text), kind);
    const std::string temporary = file_name + ".tmp";
    int failure = write_to(temporary, "wb", text);
    if (failure == 0) {
        std::error_code error;
        fs::rename(temporary, file_name, error);
        failure = error.value();
    }
    if (failure != 0) {
        std::error_code ignored;
        if (fs::is_regular_file(temporary, ignored)) fs::remove(temporary, ignored);
    }
    return succeeded(file_name, failure, kind);
}

bool append_to_file(const std::string& file_name, const TextWriter& write, OutputKind kind) {
    const std::string text = text_of(write);
    std::error_code error;
    const bool plain = fs::is_regular_file(file_name, error);
    const std::uintmax_t length = plain ? fs::file_size(file_name, error) : 0;
    const int failure = write_to(file_name, "ab", std::span<const std::string>(&text, 1));
    if (failure != 0 && plain && !error) fs::resize_file(file_name, length, error);
    return succeeded(file_name, failure, kind);
}

bool write_to_open_file(std::ostream& out, const std::string& text, const std::string& file_name, OutputKind kind) {
    if (!out) return false;
    errno = 0;
    out << text;
    out.flush();
    if (out) return true;
    report_unwritten_file(file_name, errno, kind);
    return false;
}

void copy_file_replacing(const std::filesystem::path& from, const std::filesystem::path& to, std::error_code& error) {
    namespace fs = std::filesystem;
    fs::path temporary = to;
    temporary += ".tmp";
    fs::copy_file(from, temporary, fs::copy_options::overwrite_existing, error);
    if (!error) fs::rename(temporary, to, error);
    if (error) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
    }
}
