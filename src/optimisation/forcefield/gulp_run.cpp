#include "optimisation/forcefield/gulp_run.hpp"

#include "control/calculation.hpp"
#include "optimisation/forcefield/gulp_input.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string_view>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

bool is_executable_file(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

// Runs the program with input.gin on standard input and gulp.log (truncated) on standard output;
// standard error stays on the console. Returns the wait status, or -1 with errno kept in `error` when
// the program could not be started.
int spawn_gulp(const std::string& program, int& error) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, gulp_input_name, O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, gulp_log_name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    pid_t child = 0;
    error = posix_spawn(&child, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) return -1;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

}  // namespace

std::string find_gulp_program() {
    const std::string local = std::string("./") + gulp_program_name;
    std::error_code ignored;
    if (std::filesystem::exists(local, ignored)) return local;
    const char* path = std::getenv("PATH");
    std::string_view rest = path ? path : "";
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        std::string folder(rest.substr(0, colon));
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        if (folder.empty()) folder = ".";
        const std::string candidate = folder + "/" + gulp_program_name;
        if (is_executable_file(candidate)) return candidate;
    }
    return "";
}

void run_gulp(const Calculation& calc) {
    if (calc.flags.skipgulp) return;
    std::error_code ignored;
    std::filesystem::remove(gulp_mc_trajectory_name, ignored);
    std::filesystem::remove(gulp_md_trajectory_name, ignored);

    const std::string program = find_gulp_program();
    if (program.empty()) {
        std::cout << "WARNING: GULP PROGRAM " << gulp_program_name << " NOT FOUND IN THE RUN FOLDER OR ON PATH!"
                  << '\n';
        return;
    }
    std::cout.flush();
    int error = 0;
    const int status = spawn_gulp(program, error);
    if (status < 0) {
        std::cout << "WARNING: GULP PROGRAM " << program << " CANNOT BE STARTED: " << std::strerror(error) << '\n';
    } else if (WIFSIGNALED(status)) {
        std::cout << "WARNING: GULP WAS STOPPED BY SIGNAL " << WTERMSIG(status) << "! See " << gulp_log_name << '\n';
    } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        std::cout << "WARNING: GULP ENDED WITH EXIT STATUS " << WEXITSTATUS(status) << "! See " << gulp_log_name
                  << '\n';
    }
}
