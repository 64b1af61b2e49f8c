#include "theory/feff_run.hpp"

#include "control/console_log.hpp"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

extern char** environ;

std::string feff_folder_name(int edge) { return "feff_" + int_to_string(edge); }

std::string feff_worker_folder_name(int edge, int worker) {
    return feff_folder_name(edge) + "_" + int_to_string(worker);
}

std::string feff_folder_file_path(int edge, const std::string& file_name) {
    return feff_folder_name(edge) + "/" + file_name;
}

std::string feff_worker_file_path(int edge, int worker, const std::string& file_name) {
    return feff_worker_folder_name(edge, worker) + "/" + file_name;
}

std::string chip_file_name(int path_index) {
    char name[32];
    std::snprintf(name, sizeof name, "chip%04d.dat", path_index);
    return name;
}

namespace {

// Copies keep the source's permissions, so the program stays executable; failures are left to the
// readers of FEFF's outputs, which report what is missing.
void copy_into(const fs::path& file, const fs::path& folder) {
    std::error_code ignored;
    fs::copy_file(file, folder / file.filename(), fs::copy_options::overwrite_existing, ignored);
}

}  // namespace

void prepare_feff_folder(int edge) {
    const fs::path folder = feff_folder_name(edge);
    std::error_code ignored;
    fs::create_directory(folder, ignored);
    copy_into(feff_program_name, folder);
}

void prepare_feff_worker_folder(int edge, int worker) {
    const fs::path folder = feff_worker_folder_name(edge, worker);
    std::error_code ignored;
    fs::create_directory(folder, ignored);
    // The edge folder's own program may be an earlier run's (its potentials were kept, with -skippot or
    // -restart): the worker runs the program this run was given.
    for (const fs::directory_entry& entry : fs::directory_iterator(feff_folder_name(edge), ignored)) {
        if (entry.is_regular_file(ignored) && entry.path().filename() != feff_program_name) {
            copy_into(entry.path(), folder);
        }
    }
    copy_into(feff_program_name, folder);
}

bool run_program_in_folder(const std::string& program, const std::string& folder) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The child changes folder, never the program: worker threads run FEFF in several folders at once.
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const std::string path = "./" + program;
    char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
    pid_t child = 0;
    const int started = posix_spawn(&child, path.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (started != 0) return false;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return true;
}

void run_feff(int edge, int worker) {
    const std::string folder = worker >= 0 ? feff_worker_folder_name(edge, worker) : feff_folder_name(edge);
    run_program_in_folder(feff_program_name, folder);
}
