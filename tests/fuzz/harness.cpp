#include "fuzz/harness.hpp"

#include "fuzz/mutator.hpp"
#include "test_support.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <new>
#include <sstream>
#include <thread>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

namespace {

namespace fs = std::filesystem;

// What is running now, for the note printed when the process dies inside a reader.
char current_input_note[512] = "";

void write_current_note() {
    const char prefix[] = "\nFUZZ input that ended the process: ";
    [[maybe_unused]] auto a = write(STDERR_FILENO, prefix, sizeof prefix - 1);
    [[maybe_unused]] auto b = write(STDERR_FILENO, current_input_note, std::strlen(current_input_note));
    [[maybe_unused]] auto c = write(STDERR_FILENO, "\n", 1);
}

#if !defined(__SANITIZE_ADDRESS__)
extern "C" void note_and_die(int signal_number) {
    write_current_note();
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}
#endif

void install_crash_note() {
    static bool installed = false;
    if (installed) return;
    installed = true;
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_set_death_callback(write_current_note);
#else
    for (const int signal_number : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) std::signal(signal_number, note_and_die);
#endif
}

// Aborts the process when one input runs longer than its budget: a reader that hangs is a failure, and
// a hung round must not pass for a slow one.
class Watchdog {
public:
    explicit Watchdog(double seconds) : budget_(std::chrono::duration<double>(seconds)), thread_([this] { watch(); }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    void arm() {
        std::lock_guard lock(mutex_);
        deadline_ = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(budget_);
        armed_ = true;
        changed_.notify_all();
    }
    void disarm() {
        std::lock_guard lock(mutex_);
        armed_ = false;
    }

private:
    void watch() {
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            if (!armed_) {
                changed_.wait(lock);
                continue;
            }
            if (changed_.wait_until(lock, deadline_) == std::cv_status::timeout && armed_ && !stopping_ &&
                std::chrono::steady_clock::now() >= deadline_) {
                std::fprintf(stderr, "\nFUZZ HANG: an input ran longer than %.0f s\n", budget_.count());
                write_current_note();
                std::abort();
            }
        }
    }

    std::chrono::duration<double> budget_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::chrono::steady_clock::time_point deadline_{};
    bool armed_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

std::string trimmed_start(const std::string& line) {
    std::size_t i = 0;
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    return line.substr(i);
}

struct ConsoleMarks {
    bool error = false;
    bool warning = false;
};

ConsoleMarks console_marks(const std::string& console) {
    ConsoleMarks marks;
    std::istringstream lines(console);
    for (std::string line; std::getline(lines, line);) {
        const std::string text = trimmed_start(line);
        if (text.rfind("ERROR", 0) == 0) marks.error = true;
        if (text.rfind("WARNING", 0) == 0 || text.rfind("Warning", 0) == 0) marks.warning = true;
    }
    return marks;
}

bool is_word_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// The words "nan", "inf" and "infinity" (any case, signs and brackets around allowed) in the text; the
// first is kept in `first` with some text around it.
std::size_t non_number_words(const std::string& text, std::string* first = nullptr) {
    std::string lower(text.size(), ' ');
    std::transform(text.begin(), text.end(), lower.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    std::size_t count = 0;
    for (const char* word : {"nan", "inf"}) {
        for (std::size_t at = lower.find(word); at != std::string::npos; at = lower.find(word, at + 1)) {
            std::size_t end = at + 3;
            if (lower.compare(at, 8, "infinity") == 0) end = at + 8;
            const bool starts = at == 0 || !is_word_char(lower[at - 1]);
            const bool ends = end == lower.size() || !is_word_char(lower[end]);
            if (!starts || !ends) continue;
            if (first && first->empty()) {
                const std::size_t from = at > 40 ? at - 40 : 0;
                *first = text.substr(from, end - from + 20);
            }
            ++count;
        }
    }
    return count;
}

struct FileMark {
    fs::file_time_type time;
    std::uintmax_t size = 0;
};
using FolderMarks = std::map<std::string, FileMark>;

FolderMarks folder_marks() {
    FolderMarks marks;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(".", error)) {
        if (entry.is_regular_file(error))
            marks[entry.path().filename().string()] = {entry.last_write_time(error), entry.file_size(error)};
    }
    return marks;
}

// Files left by the input before: only what the round was prepared with stays.
void remove_files_not_in(const FolderMarks& kept) {
    for (const auto& [name, mark] : folder_marks()) {
        std::error_code ignored;
        if (!kept.count(name)) fs::remove(name, ignored);
    }
}

// A file the input wrote (new, or changed since `before`) that holds more such words than the input.
std::string written_non_numbers(const FuzzTarget& target, const std::string& input, const FolderMarks& before) {
    const std::size_t in_input = non_number_words(input);
    for (const auto& [name, mark] : folder_marks()) {
        const auto old = before.find(name);
        if (old != before.end() && old->second.time == mark.time && old->second.size == mark.size) continue;
        if (target.unscanned.count(name)) continue;
        std::string first;
        if (non_number_words(read_fuzz_file(name), &first) > in_input)
            return "a value that is no number written to " + name + ": ..." + first + "...";
    }
    return "";
}

std::string printable(const std::string& text, std::size_t limit) {
    std::string shown;
    for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n') shown += "\\n\n";
        else if (c == '\r') shown += "\\r";
        else if (c == '\t' || (c >= 32 && c < 127)) shown += static_cast<char>(c);
        else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            shown += hex;
        }
    }
    if (text.size() > limit) shown += "... (" + std::to_string(text.size()) + " bytes)";
    return shown;
}

std::string tail_of(const std::string& text, std::size_t limit) {
    return text.size() <= limit ? text : "..." + text.substr(text.size() - limit);
}

std::uint64_t environment_number(const char* name, std::uint64_t fallback) {
    const char* value = std::getenv(name);
    if (!value || !*value) return fallback;
    return std::strtoull(value, nullptr, 10);
}

}  // namespace

std::string read_fuzz_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_fuzz_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string fuzz_seed_path(const std::string& name) { return std::string(TALQ_SOURCE_DIR) + "/tests/fuzz/seeds/" + name; }

FuzzRound fuzz_round_from_environment() {
    FuzzRound round;
    round.seed = environment_number("TALQ_FUZZ_SEED", round.seed);
    round.first = environment_number("TALQ_FUZZ_FIRST", round.first);
    round.count = environment_number("TALQ_FUZZ_INPUTS", round.count);
    if (const char* seconds = std::getenv("TALQ_FUZZ_SECONDS"); seconds && *seconds) round.seconds_per_input = std::atof(seconds);
    return round;
}

FuzzTally run_fuzz_round(const FuzzedReader& reader, FuzzTarget& target, const FuzzRound& round) {
    install_crash_note();
    Watchdog watchdog(round.seconds_per_input);
    FuzzTally tally;
    const auto fail = [&](std::uint64_t index, const std::string& what, const std::string& input, const std::string& console) {
        ++tally.failures;
        if (tally.reports.size() >= 5) return;
        std::ostringstream report;
        report << reader.name << " input " << index << " (TALQ_FUZZ_SEED=" << round.seed << " TALQ_FUZZ_FIRST=" << index
               << " TALQ_FUZZ_INPUTS=1): " << what << "\n--- input:\n"
               << printable(input, 600) << "\n--- console:\n"
               << tail_of(console, 600);
        tally.reports.push_back(report.str());
        if (const char* folder = std::getenv("TALQ_FUZZ_ARTIFACTS"); folder && *folder) {
            write_fuzz_file(std::string(folder) + "/" + reader.name + "-" + std::to_string(round.seed) + "-" +
                                std::to_string(index),
                            input);
        }
    };

    const FolderMarks prepared = folder_marks();
    std::string current_note_file;
    if (const char* folder = std::getenv("TALQ_FUZZ_ARTIFACTS"); folder && *folder) {
        current_note_file = std::string(folder) + "/" + reader.name + "-" + std::to_string(round.seed) + "-" +
                            std::to_string(round.first) + ".current";
    }
    for (std::uint64_t index = round.first; index < round.first + round.count; ++index) {
        const std::string input = mutated_input(target.seeds, reader.name, round.seed, index);
        std::snprintf(current_input_note, sizeof current_input_note,
                      "%s input %llu: run again alone with TALQ_FUZZ_SEED=%llu TALQ_FUZZ_FIRST=%llu TALQ_FUZZ_INPUTS=1",
                      reader.name.c_str(), static_cast<unsigned long long>(index),
                      static_cast<unsigned long long>(round.seed), static_cast<unsigned long long>(index));
        // A sanitizer that ends the process may not run the crash note; with an artifacts folder the
        // input being read is named in a file there as well.
        if (!current_note_file.empty()) write_fuzz_file(current_note_file, std::string(current_input_note) + "\n");
        for (const std::string& output : target.outputs) {
            std::error_code ignored;
            fs::remove(output, ignored);
        }
        ++tally.tried;
        int code = -1;
        std::string console;
        std::string thrown;
        remove_files_not_in(prepared);
        const FolderMarks before = folder_marks();
        watchdog.arm();
        {
            CaptureStdout capture;
            try {
                target.run(input);
            } catch (const ProcessEnd& end) {
                code = end.code;
            } catch (const std::bad_alloc&) {
                thrown = "an allocation failed (std::bad_alloc): a count was trusted before it was checked";
            } catch (const std::exception& error) {
                thrown = std::string("an exception escaped: ") + error.what();
            }
            std::cout.clear();
            console = capture.text();
        }
        watchdog.disarm();

        std::string problem = thrown;
        const ConsoleMarks marks = console_marks(console);
        if (problem.empty() && code >= 0) {
            if (code == 0) problem = "a reader ended the process with code 0";
            else if (!marks.error) problem = "ended with code " + std::to_string(code) + " without an ERROR line";
            else if (!target.error_codes.count(code)) problem = "an ERROR ended with code " + std::to_string(code) + ", not one of the reader's codes";
        } else if (problem.empty()) {
            if (marks.error) problem = "an ERROR line was printed, yet the reader went on";
            else if (target.check) problem = target.check();
        }
        if (problem.empty()) problem = written_non_numbers(target, input, before);
        if (problem.empty() && index < target.seeds.size() && code >= 0) {
            problem = "a seed, which is a valid input, was refused";
        }
        if (!problem.empty()) {
            fail(index, problem, input, console);
            continue;
        }
        if (code >= 0) {
            ++tally.error;
            ++tally.codes[code];
        } else if (marks.warning) {
            ++tally.warning;
        } else {
            ++tally.normal;
        }
    }
    current_input_note[0] = '\0';
    return tally;
}

std::string fuzz_tally_line(const std::string& reader, const FuzzTally& tally) {
    std::ostringstream line;
    line << "FUZZ " << reader << " tried " << tally.tried << " normal " << tally.normal << " warning " << tally.warning
         << " error " << tally.error << " (";
    bool first = true;
    for (const auto& [code, count] : tally.codes) {
        line << (first ? "" : ", ") << "code " << code << ": " << count;
        first = false;
    }
    line << ") failures " << tally.failures;
    return line.str();
}
