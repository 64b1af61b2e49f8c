// A refinement interrupted by SIGINT or SIGTERM in its main loop, at random moments and while it writes
// a restart file: every restart file it leaves under a restart name is whole and loads.

#include "copper_inputs.hpp"
#include "app/driver.hpp"
#include "control/calculation.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef FEFF_STANDIN
namespace {

namespace fs = std::filesystem;

// A main loop without an end of its own that writes a restart file at every iteration.
const char* const parameters =
    "BEGIN\nFile_with_structure cu.p1\nFile_with_experimental_EXAFS_signal exp.dat\nColumns_in_input 2\n"
    "Column_for_k 1\nColumn_for_chi 2\nEdge Cu\nSupercell 2x2x2\nk_min 2\nk_max 6\ndk 0.1\nNumber_of_states 16\n"
    "N_legs 2\nR_max_for_FEFF 3.0\nStop_after -1\nadjust_acceptance 0\nadjust_step 0\ntime1 1\ntime2 1\nMove_type one\n"
    "Maximal_displacement 2\nMaximal_step_length 0.02\nNumber_of_threads 2\nEND\n";

void write_inputs() {
    write_copper_cell();
    write_copper_spectrum();
    std::ofstream("input.dat") << parameters;
    fs::copy_file(FEFF_STANDIN, "feff85L.exe", fs::copy_options::overwrite_existing);
}

pid_t start_talq() {
    const pid_t child = fork();
    if (child == 0) {
        const int quiet = open("console.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(quiet, STDOUT_FILENO);
        dup2(quiet, STDERR_FILENO);
        execl(TALQ_BINARY, TALQ_BINARY, "input.dat", static_cast<char*>(nullptr));
        _exit(127);
    }
    return child;
}

bool is_restart_file(const std::string& name) {
    return name.size() > 7 && name.rfind("restart", 0) == 0 &&
           name.find_first_not_of("0123456789", 7) == std::string::npos;
}

bool any_file_ending_in(const std::string& suffix) {
    std::error_code ignored;
    for (const fs::directory_entry& entry : fs::directory_iterator(".", ignored)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) return true;
    }
    return false;
}

// Waits (polling) until the condition holds or the time runs out.
template <class Condition>
bool wait_for(Condition condition, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

int restart_load_code(const std::string& file_name) {
    auto calc = std::make_unique<Calculation>();
    calc->flags.phantoms = true;
    CaptureStdout quiet;
    return exit_code_of([&] { prepare_calculation_through_paths(*calc, file_name, ""); });
}

}  // namespace

TEST(InterruptedRun, EveryRestartFileLeftUnderARestartNameIsWholeAndLoads) {
    ScopedWorkFolder folder;
    write_inputs();
    // Random moments of the main loop, then moments inside a restart write (a temporary file exists).
    std::mt19937 random(20240611u);
    struct Trial {
        int signal;
        bool during_write;
    };
    const std::vector<Trial> trials = {{SIGINT, false}, {SIGTERM, false}, {SIGINT, false}, {SIGTERM, true}, {SIGINT, true}};
    int caught_writing = 0;
    for (const Trial& trial : trials) {
        for (const fs::directory_entry& entry : fs::directory_iterator(".")) {
            const std::string name = entry.path().filename().string();
            if (is_restart_file(name) || name.find(".tmp") != std::string::npos) fs::remove(entry.path());
        }
        const pid_t child = start_talq();
        ASSERT_GT(child, 0);
        // The main loop has begun once its first restart file is there.
        ASSERT_TRUE(wait_for([] { return fs::exists("restart0"); }, std::chrono::seconds(300)));
        if (trial.during_write) {
            wait_for([] { return any_file_ending_in(".tmp"); }, std::chrono::seconds(60));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 1500)(random)));
        }
        kill(child, trial.signal);
        const bool writing = any_file_ending_in(".tmp");
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the run ended on its own, status " << status;
        EXPECT_EQ(WTERMSIG(status), trial.signal);
        if (writing) ++caught_writing;

        int restart_files = 0;
        for (const fs::directory_entry& entry : fs::directory_iterator(".")) {
            const std::string name = entry.path().filename().string();
            if (!is_restart_file(name)) continue;
            ++restart_files;
            EXPECT_EQ(restart_load_code(name), 0) << name << " (signal " << trial.signal << ")";
        }
        EXPECT_GE(restart_files, 1);
    }
    std::cout << "interrupted " << trials.size() << " runs, " << caught_writing << " while a restart file was written\n";
}
#endif
