#include "control/number_text.hpp"

#include "control/process_end.hpp"

#include <array>
#include <iostream>

void append_scientific(std::string& text, double value, int precision) {
    // Room for the sign, the digits, the point and an exponent of three digits.
    std::array<char, 64> buffer{};
    const auto [end, error] =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::scientific, precision);
    if (error != std::errc()) {
        text += "nan";  // cannot happen for a precision below some forty digits
        return;
    }
    text.append(buffer.data(), end);
}

void refuse_file_value(const std::string& file_name, double value) {
    std::cout << "ERROR: VALUE " << value << " IN FILE " << file_name << " CANNOT BE USED!" << '\n';
    end_process(4);
}
