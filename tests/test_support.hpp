#pragma once

#include "control/process_end.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

// Redirects std::cout into a buffer for the lifetime of the object.
class CaptureStdout {
public:
    CaptureStdout() : previous_(std::cout.rdbuf(buffer_.rdbuf())) {}
    ~CaptureStdout() { std::cout.rdbuf(previous_); }
    CaptureStdout(const CaptureStdout&) = delete;
    CaptureStdout& operator=(const CaptureStdout&) = delete;
    std::string text() const { return buffer_.str(); }

private:
    std::ostringstream buffer_;
    std::streambuf* previous_;
};

// Feeds the given text to std::cin for the lifetime of the object.
class FeedStdin {
public:
    explicit FeedStdin(std::string text) : buffer_(std::move(text)), previous_(std::cin.rdbuf(buffer_.rdbuf())) {
        std::cin.clear();
    }
    ~FeedStdin() {
        std::cin.rdbuf(previous_);
        std::cin.clear();
    }
    FeedStdin(const FeedStdin&) = delete;
    FeedStdin& operator=(const FeedStdin&) = delete;

private:
    std::istringstream buffer_;
    std::streambuf* previous_;
};

// Runs the callable; returns the code it ended the process with, or -1 when it returned normally.
template <class F>
int exit_code_of(F&& run) {
    try {
        std::forward<F>(run)();
    } catch (const ProcessEnd& end) {
        return end.code;
    }
    return -1;
}

// A fresh temporary folder that is the current folder for the lifetime of the object.
class ScopedWorkFolder {
public:
    ScopedWorkFolder() : previous_(std::filesystem::current_path()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "talq-test-XXXXXX").string();
        folder_ = mkdtemp(pattern.data());
        std::filesystem::current_path(folder_);
    }
    ~ScopedWorkFolder() {
        std::filesystem::current_path(previous_);
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    ScopedWorkFolder(const ScopedWorkFolder&) = delete;
    ScopedWorkFolder& operator=(const ScopedWorkFolder&) = delete;
    const std::filesystem::path& path() const { return folder_; }

private:
    std::filesystem::path previous_;
    std::filesystem::path folder_;
};

// The whole text of a file, empty when it cannot be read.
inline std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The lines of a file, without their line ends.
inline std::vector<std::string> lines_of(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}
