#pragma once

#include <charconv>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>

// A whole word read as one number: an optional '+' (not followed by a sign), then the number and nothing
// after it, independent of the locale. Real numbers must be finite. Input files read this way never take
// "2.5" as the integer 2, or "1.5x" as 1.5, which would silently misplace every later value.
template <class T>
std::optional<T> parse_whole_number(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') return std::nullopt;
    }
    if (text.empty()) return std::nullopt;
    T value{};
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end) return std::nullopt;
    if constexpr (std::is_floating_point_v<T>) {
        if (!std::isfinite(value)) return std::nullopt;
    }
    return value;
}

// Inputs beyond this magnitude are refused as unusable. Nothing this program reads comes near it
// (coordinates in angstrom, k, chi, weights, amplitudes), while products of a few such values and sums of
// their squares, which distances, transforms and norms are made of, stay far from overflowing.
constexpr double largest_usable_magnitude = 1e30;

inline bool is_usable_number(double value) {
    return std::isfinite(value) && std::abs(value) <= largest_usable_magnitude;
}

// Appends the value as printf's "%.<precision>e" writes it in the C locale ("1.234560e+00", "-nan"),
// which is also what a stream set to std::scientific and that precision writes; a wavelet map's file
// holds some hundred thousand numbers, which a stream takes tens of milliseconds to format.
void append_scientific(std::string& text, double value, int precision);

// Ends the run (exit code 4) for a value of an input file that cannot be used.
[[noreturn]] void refuse_file_value(const std::string& file_name, double value);
