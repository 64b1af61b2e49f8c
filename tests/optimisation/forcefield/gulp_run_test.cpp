#include "optimisation/forcefield/gulp_run.hpp"
#include "optimisation/forcefield/gulp_trajectory.hpp"
#include "control/calculation.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string read_file(const std::string& name) {
    std::ifstream in(name);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_program(const fs::path& path, const std::string& script) {
    std::ofstream(path) << script;
    fs::permissions(path, fs::perms::owner_all);
}

// Sets PATH for the lifetime of the object.
class ScopedPath {
public:
    explicit ScopedPath(const std::string& value) {
        if (const char* old = std::getenv("PATH")) previous_ = old;
        setenv("PATH", value.c_str(), 1);
    }
    ~ScopedPath() {
        if (previous_)
            setenv("PATH", previous_->c_str(), 1);
        else
            unsetenv("PATH");
    }
    ScopedPath(const ScopedPath&) = delete;
    ScopedPath& operator=(const ScopedPath&) = delete;

private:
    std::optional<std::string> previous_;
};

// Echoes its standard input into received.txt, logs a line and fails.
const char* const failing_program = "#!/bin/sh\ncat > received.txt\necho logged by the program\nexit 3\n";

}  // namespace

TEST(GulpRun, ProgramInTheRunFolderComesBeforePath) {
    ScopedWorkFolder folder;
    fs::create_directory("bin");
    fs::create_directory("empty");
    std::ofstream("bin/gulp.exe") << "not executable\n";
    ScopedPath path((folder.path() / "empty").string() + ":" + (folder.path() / "bin").string());
    EXPECT_EQ(find_gulp_program(), "");  // a file that may not be executed is no program
    write_program("bin/gulp.exe", failing_program);
    EXPECT_EQ(find_gulp_program(), (folder.path() / "bin" / "gulp.exe").string());
    write_program("gulp.exe", failing_program);
    EXPECT_EQ(find_gulp_program(), "./gulp.exe");
}

TEST(GulpRun, InputOnStandardInputLogOnStandardOutputStaleTrajectoriesRemoved) {
    ScopedWorkFolder folder;
    Calculation calc;
    write_program("gulp.exe", failing_program);
    std::ofstream("input.gin") << "montecarlo\ncell\n";
    std::ofstream("gulp.gmc") << "old frames\n";
    std::ofstream("gulp.xyz") << "old frames\n";
    CaptureStdout capture;
    run_gulp(calc);
    EXPECT_EQ(capture.text(), "WARNING: GULP ENDED WITH EXIT STATUS 3! See gulp.log\n");
    EXPECT_EQ(read_file("received.txt"), "montecarlo\ncell\n");
    EXPECT_EQ(read_file("gulp.log"), "logged by the program\n");
    EXPECT_FALSE(fs::exists("gulp.gmc"));
    EXPECT_FALSE(fs::exists("gulp.xyz"));
    // The failed run left no trajectory, which is what ends the evaluation.
    TrajectoryReader reader;
    EXPECT_EQ(
        exit_code_of([&] { open_trajectory(reader, gulp_mc_trajectory_name, TrajectoryLayout::gulp_mc, 1.0, 4); }), 4);
}

TEST(GulpRun, SkipgulpKeepsTheEarlierTrajectoryAndAMissingProgramIsReported) {
    ScopedWorkFolder folder;
    ScopedPath path((folder.path() / "nowhere").string());
    Calculation calc;
    std::ofstream("gulp.gmc") << "earlier frames\n";
    calc.flags.skipgulp = true;
    {
        CaptureStdout capture;
        run_gulp(calc);
        EXPECT_EQ(capture.text(), "");
    }
    EXPECT_EQ(read_file("gulp.gmc"), "earlier frames\n");

    calc.flags.skipgulp = false;
    CaptureStdout capture;
    run_gulp(calc);
    EXPECT_EQ(capture.text(), "WARNING: GULP PROGRAM gulp.exe NOT FOUND IN THE RUN FOLDER OR ON PATH!\n");
    EXPECT_FALSE(fs::exists("gulp.gmc"));
}
