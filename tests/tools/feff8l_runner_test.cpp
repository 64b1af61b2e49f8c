// tools/feff8l-runner, driven against fake FEFF 8.5L module programs (small shell scripts).

#include "test_support.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

const char* const kRunner = TALQ_SOURCE_DIR "/tools/feff8l-runner";

// feff.inp as talq writes it for a potentials run (absorber at potential index 2).
const std::string kInput =
    " \n TITLE   Talq_FEFF_inp\n  \n EDGE      K \n S02       1.000000000000\n \n"
    " *         pot    xsph  fms   paths genfmt ff2chi\n"
    " CONTROL   1      1     1     1     1      1\n"
    " PRINT     1      0     0     0     0      0\n  \n"
    " SCF       4.000000000000   0      30     0.100000000000     1\n \n"
    " EXAFS 20.0\n RPATH    5.000000000000\n CRITERIA  0.0  4.000000000000 \n"
    "CFAVERAGE 2 1 5.000000000000\n  \n \n POTENTIALS\n"
    "       0   29    Cu     -1      -1       0\n"
    "       1   8    O     -1      -1       1\n"
    "       2   29    Cu     -1      -1       1\n  \n ATOMS\n"
    "0.500000000000 0.500000000000 0.500000000000 2 Cu\n"
    "2.305000000000 0.500000000000 0.500000000000 1 O\n  END\n";

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

class Feff8lRunner : public ::testing::Test {
protected:
    Feff8lRunner() : bin_(work_.path() / "bin") {
        fs::create_directory(bin_);
        module("rdinp", "cp feff.inp rdinp-saw.inp");
        module("pot", "cp feff.inp pot-saw.inp; echo potentials done; : > pot.pad");
        module("xsph", ": > phase.pad");
        module("pathfinder", ": > paths.dat");
        module("genfmt", ": > list.dat");
        module("ff2x", ": > chi.dat");
        write_file("feff.inp", kInput);
    }

    // Writes bin/feff8l_<name>: records its name, then runs the given shell commands.
    void module(const std::string& name, const std::string& commands) {
        const fs::path file = bin_ / ("feff8l_" + name);
        write_file(file, "#!/bin/sh\necho " + name + " >> '" + (bin_ / "record").string() + "'\n" + commands + "\n");
        fs::permissions(file, fs::perms::owner_all);
    }

    // Runs the runner in the work folder, the modules found through FEFF8L_BIN (or through PATH
    // when via_path); returns its exit status, or -1 when it did not exit normally.
    int run(bool via_path = false) {
        std::vector<std::string> env;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string text = *entry;
            if (text.rfind("FEFF8L_BIN=", 0) != 0 && text.rfind("PATH=", 0) != 0) env.push_back(text);
        }
        if (via_path) {
            env.push_back("PATH=" + bin_.string() + ":/usr/bin:/bin");
        } else {
            env.push_back("PATH=/usr/bin:/bin");
            env.push_back("FEFF8L_BIN=" + bin_.string());
        }
        std::vector<char*> envp;
        for (auto& text : env) envp.push_back(text.data());
        envp.push_back(nullptr);
        const std::string err = (bin_ / "stderr").string();
        char* argv[] = {const_cast<char*>(kRunner), nullptr};

        const pid_t pid = fork();
        if (pid == 0) {
            const int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            execve(kRunner, argv, envp.data());
            _exit(126);
        }
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string record() const { return read_file(bin_ / "record"); }
    std::string errors() const { return read_file(bin_ / "stderr"); }

    ScopedWorkFolder work_;
    fs::path bin_;
};

const std::string kAllModules = "rdinp\npot\nxsph\npathfinder\ngenfmt\nff2x\n";

TEST_F(Feff8lRunner, RunsModulesInOrderOnAnAdaptedInputAndRestoresTheOriginal) {
    ASSERT_EQ(run(), 0) << errors();
    EXPECT_EQ(record(), kAllModules);
    // rdinp sees the input without CFAVERAGE and with the absorber at potential index 0; the
    // other rows, the label and the spacing are untouched.
    const std::string adapted =
        replaced(replaced(kInput, "CFAVERAGE 2 1 5.000000000000\n", ""), "0.500000000000 2 Cu", "0.500000000000 0 Cu");
    EXPECT_EQ(read_file("rdinp-saw.inp"), adapted);
    // The original is back before the next module, and stays byte for byte.
    EXPECT_EQ(read_file("pot-saw.inp"), kInput);
    EXPECT_EQ(read_file("feff.inp"), kInput);
    EXPECT_NE(read_file("feff8l-runner.log").find("potentials done"), std::string::npos);
}

TEST_F(Feff8lRunner, FindsModulesOnPathWithoutFeff8lBin) {
    EXPECT_EQ(run(true), 0) << errors();
    EXPECT_EQ(record(), kAllModules);
}

TEST_F(Feff8lRunner, RestoresTheInputWhenRdinpFails) {
    module("rdinp", "exit 3");
    EXPECT_NE(run(), 0);
    EXPECT_EQ(record(), "rdinp\n");
    EXPECT_EQ(read_file("feff.inp"), kInput);
    EXPECT_EQ(std::distance(fs::directory_iterator(work_.path()), fs::directory_iterator()), 3)
        << "only bin, feff.inp and the log should be left";
}

TEST_F(Feff8lRunner, ReportsAMissingModuleBeforeRunningAnything) {
    fs::remove(bin_ / "feff8l_genfmt");
    EXPECT_NE(run(), 0);
    EXPECT_NE(errors().find("feff8l_genfmt"), std::string::npos) << errors();
    EXPECT_EQ(record(), "");
    EXPECT_EQ(read_file("feff.inp"), kInput);
}

TEST_F(Feff8lRunner, StopsWhenAModuleWritesNothingEvenWithAStaleOutputInTheFolder) {
    module("xsph", "");
    // A phase.pad copied in from an earlier run must not pass for this run's output.
    write_file("phase.pad", "old");
    fs::last_write_time("phase.pad", fs::file_time_type::clock::now() - std::chrono::hours(1));
    EXPECT_NE(run(), 0);
    EXPECT_EQ(record(), "rdinp\npot\nxsph\n");
    EXPECT_NE(errors().find("phase.pad"), std::string::npos) << errors();
}

TEST_F(Feff8lRunner, StopsWhenAModuleExitsNonZeroAndItsLogHoldsThatRunOnly) {
    ASSERT_EQ(run(), 0) << errors();
    fs::remove(bin_ / "record");
    module("pot", "cp feff.inp pot-saw.inp; echo second potentials; : > pot.pad");
    module("pathfinder", ": > paths.dat; exit 1");
    EXPECT_NE(run(), 0);
    EXPECT_EQ(record(), "rdinp\npot\nxsph\npathfinder\n");
    const std::string log = read_file("feff8l-runner.log");
    EXPECT_NE(log.find("second potentials"), std::string::npos) << log;
    EXPECT_NE(log.find("feff8l_pathfinder exited with status 1"), std::string::npos) << log;
    EXPECT_EQ(log.find("potentials done"), std::string::npos) << log;
    EXPECT_EQ(log.find("feff8l-runner done"), std::string::npos) << log;
}

TEST_F(Feff8lRunner, PathRunNeedsOnlyGenfmtAndFf2xOutputs) {
    std::string input = replaced(kInput, " CONTROL   1      1     1     1     1      1", " CONTROL   0      0     0     0     1      1");
    input = replaced(input, "CFAVERAGE 2 1 5.000000000000", "CFAVERAGE 1 1 5");
    input = replaced(input, "0.500000000000 2 Cu\n", "0.500000000000 1 \n");  // absorber without a label
    write_file("feff.inp", input);
    module("pot", "");
    module("xsph", "");
    module("pathfinder", "");
    module("genfmt", ": > feff0001.dat");
    EXPECT_EQ(run(), 0) << errors();
    EXPECT_EQ(record(), kAllModules);
    EXPECT_NE(read_file("rdinp-saw.inp").find("\n0.500000000000 0.500000000000 0.500000000000 0 \n"), std::string::npos);
    EXPECT_EQ(read_file("feff.inp"), input);
}

}  // namespace
