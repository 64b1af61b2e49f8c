#include "control/console_log.hpp"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>

void log_line(std::string text) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[80];
    std::strftime(stamp, sizeof stamp, "%d.%m.%Y %H:%M:%S", &local);
    // One write per line: FEFF runs waited for on worker threads report from there.
    std::cout << (stamp + text + '\n') << std::flush;
}

void print_separator_line() { std::cout << "-----------------------------------------------------------" << '\n'; }

std::string int_to_string(std::int32_t value) { return std::to_string(value); }

std::string open_failure_note(const std::string& file_name) {
    const int error = errno;
    return " (" + file_name + ": " + std::strerror(error) + ")";
}
