#include "fuzz/mutator.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>
#include <utility>

std::uint64_t FuzzRandom::next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

std::uint64_t fuzz_name_hash(const std::string& name) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : name) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

namespace {

// Inputs stay small enough that a reader that copes with them in linear time does so at once.
constexpr std::size_t max_input_size = 1 << 20;

// Replacements for a number: values no reader may take at face value, and counts that would ask for
// more memory or more loop turns than any file could back.
constexpr std::array<std::string_view, 46> number_replacements{
    "nan",        "NaN",         "-nan",        "inf",          "-inf",         "Infinity",   "1e308",
    "-1e308",     "1e309",       "1e-320",      "0",            "-0",           "-1",         "-2147483648",
    "2147483647", "2147483648",  "4294967296",  "9223372036854775807",          "99999999999999999999",
    "1e30",       "1.0000001e30", "-1e30",      "65536",        "1000000",      "-1000000",   "0.0",
    "1e5",        "3",           "",            "0x10",         "1,5",          "+-1",        "1e",
    ".",          "-",           "1e29",        "123456789",    "-999999999",   "2.5",        "1.5e-300",
    "1e+300",     "0.0001",      "100000",      "30000",        "1200",         "4000"};

constexpr std::array<char, 12> interesting_bytes{'\0', '\n', '\r', ' ', '\t', '#', '-', '.', 'e', '9', '\xff', '\''};

bool is_number_char(char c) { return std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E'; }

// [start, end) of every maximal run that starts with a digit, a sign or a point followed by a digit.
std::vector<std::pair<std::size_t, std::size_t>> number_spans(const std::string& text) {
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    std::size_t i = 0;
    while (i < text.size()) {
        const bool starts = std::isdigit(static_cast<unsigned char>(text[i])) ||
                            ((text[i] == '-' || text[i] == '+' || text[i] == '.') && i + 1 < text.size() &&
                             std::isdigit(static_cast<unsigned char>(text[i + 1])));
        if (!starts || (i > 0 && std::isalnum(static_cast<unsigned char>(text[i - 1])))) {
            ++i;
            continue;
        }
        std::size_t end = i + 1;
        while (end < text.size() && is_number_char(text[end])) ++end;
        spans.emplace_back(i, end);
        i = end;
    }
    return spans;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::vector<std::pair<std::size_t, std::size_t>> word_spans(const std::string& text) {
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && is_blank(text[i])) ++i;
        const std::size_t start = i;
        while (i < text.size() && !is_blank(text[i])) ++i;
        if (i > start) spans.emplace_back(start, i);
    }
    return spans;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            return lines;
        }
        lines.push_back(text.substr(start, end - start + 1));
        start = end + 1;
    }
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line;
    return text;
}

std::string random_junk(FuzzRandom& random, std::size_t length) {
    std::string junk(length, '\0');
    for (char& c : junk) c = static_cast<char>(random.below(256));
    return junk;
}

std::string random_word(FuzzRandom& random, const std::vector<std::string>& seeds) {
    const std::string& seed = seeds[random.below(seeds.size())];
    const auto words = word_spans(seed);
    if (words.empty()) return "END";
    const auto [start, end] = words[random.below(words.size())];
    return seed.substr(start, end - start);
}

void mutate_once(std::string& text, FuzzRandom& random, const std::vector<std::string>& seeds) {
    const std::size_t size = text.size();
    const auto position = [&](std::size_t extra = 0) { return static_cast<std::size_t>(random.below(size + extra)); };
    switch (random.below(20)) {
    case 0:  // flip a bit
        if (size > 0) text[position()] ^= static_cast<char>(1u << random.below(8));
        break;
    case 1:  // an interesting byte in place of one
        if (size > 0) text[position()] = interesting_bytes[random.below(interesting_bytes.size())];
        break;
    case 2:  // binary junk
        text.insert(position(1), random_junk(random, 1 + random.below(16)));
        break;
    case 3: {  // a cut out of the middle
        if (size == 0) break;
        const std::size_t start = position();
        text.erase(start, 1 + random.below(64));
        break;
    }
    case 4:  // the file ends early
        text.resize(position(1));
        break;
    case 5: {  // a chunk repeated elsewhere
        if (size == 0) break;
        const std::size_t start = position();
        const std::string chunk = text.substr(start, 1 + random.below(128));
        text.insert(position(1), chunk);
        break;
    }
    case 6:
    case 7: {  // line operations
        std::vector<std::string> lines = split_lines(text);
        const std::size_t a = random.below(lines.size());
        const std::size_t b = random.below(lines.size());
        switch (random.below(5)) {
        case 0: lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(a)); break;
        case 1: lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(a), lines[b]); break;
        case 2: std::swap(lines[a], lines[b]); break;
        case 3: lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(a), "\n"); break;
        default: {  // a block of lines repeated many times (long files, many records)
            const std::string line = lines[a].empty() || lines[a].back() != '\n' ? lines[a] + "\n" : lines[a];
            const std::size_t copies = 1 + random.below(200);
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(a), copies, line);
        }
        }
        text = joined(lines);
        break;
    }
    case 8:
    case 9:
    case 10:
    case 11: {  // a number replaced
        const auto numbers = number_spans(text);
        if (numbers.empty()) break;
        const auto [start, end] = numbers[random.below(numbers.size())];
        std::string replacement;
        switch (random.below(4)) {
        case 0: replacement = "-" + text.substr(start, end - start); break;
        case 1: replacement = text.substr(start, end - start) + std::string(1 + random.below(3), '9'); break;
        default: replacement = number_replacements[random.below(number_replacements.size())];
        }
        text.replace(start, end - start, replacement);
        break;
    }
    case 12: {  // line ends: all CRLF, all CR, or one CRLF
        std::string converted;
        const auto kind = random.below(3);
        bool changed_one = false;
        for (const char c : text) {
            if (c == '\n' && kind == 0) converted += "\r\n";
            else if (c == '\n' && kind == 1) converted += '\r';
            else if (c == '\n' && !changed_one && random.one_in(4)) {
                converted += "\r\n";
                changed_one = true;
            } else converted += c;
        }
        text = std::move(converted);
        break;
    }
    case 13: {  // a line that closes or opens a block goes missing
        for (const std::string_view mark : {"END", "BEGIN", "loop_", "ATOMS", "SPECTRA", "Direct", "@#"}) {
            const std::size_t at = text.find(mark);
            if (at != std::string::npos && random.one_in(2)) {
                text.erase(at, mark.size());
                break;
            }
        }
        break;
    }
    case 14:
    case 15: {  // a word replaced by a word of any seed, or removed
        const auto words = word_spans(text);
        if (words.empty()) break;
        const auto [start, end] = words[random.below(words.size())];
        text.replace(start, end - start, random.one_in(4) ? std::string() : random_word(random, seeds));
        break;
    }
    case 16:  // a word of any seed inserted
        text.insert(position(1), " " + random_word(random, seeds) + (random.one_in(2) ? "\n" : " "));
        break;
    case 17: {  // a very long line or word
        const std::size_t length = 200 + random.below(5000);
        text.insert(position(1), random.one_in(2) ? std::string(length, 'x') : std::string(length / 4, '1') + " ");
        break;
    }
    case 18: {  // spliced with another seed
        const std::string& other = seeds[random.below(seeds.size())];
        const std::size_t cut = position(1);
        const std::size_t from = static_cast<std::size_t>(random.below(other.size() + 1));
        text = text.substr(0, cut) + other.substr(from);
        break;
    }
    default: {  // a number's sign or magnitude changed
        const auto numbers = number_spans(text);
        if (numbers.empty()) break;
        const auto [start, end] = numbers[random.below(numbers.size())];
        const std::string exponents[] = {"e10", "e-10", "e30", "e300", "e-300"};
        text.insert(end, exponents[random.below(5)]);
        break;
    }
    }
    if (text.size() > max_input_size) text.resize(max_input_size);
}

}  // namespace

std::string mutated_input(const std::vector<std::string>& seeds, const std::string& reader, std::uint64_t round_seed,
                          std::uint64_t index) {
    if (index < seeds.size()) return seeds[index];
    FuzzRandom random(fuzz_name_hash(reader) ^ (round_seed * 0x9e3779b97f4a7c15ULL) ^ (index * 0xd1b54a32d192ed03ULL));
    std::string text = seeds[random.below(seeds.size())];
    int mutations = 1;
    while (mutations < 5 && random.one_in(2)) ++mutations;
    for (int i = 0; i < mutations; ++i) mutate_once(text, random, seeds);
    return text;
}
