#include "theory/feff_run.hpp"

#include "control/console_log.hpp"
#include "control/output_file.hpp"
#include "control/process_end.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
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

// Copies keep the source's permissions, so the program stays executable; a FEFF still running from the
// folder (left by a killed run) keeps its file and the folder gets the new one.
void copy_into(const fs::path& file, const fs::path& folder) {
    std::error_code error;
    copy_file_replacing(file, folder / file.filename(), error);
    if (error) {
        std::cout << "ERROR: FILE " << file.string() << " CANNOT BE COPIED INTO " << folder.string() << ": "
                  << error.message() << "!" << '\n';
        end_process(1);
    }
}

void make_folder(const fs::path& folder) {
    std::error_code error;
    fs::create_directory(folder, error);
    if (error) {
        std::cout << "ERROR: FOLDER " << folder.string() << " CANNOT BE MADE: " << error.message() << "!" << '\n';
        end_process(1);
    }
}

// The system's reason why nothing can be written into the folder, or an empty text when a small file
// can be written there. A full disk often lets a file be created but not filled, so the probe writes.
std::string folder_write_problem(const std::string& folder) {
    const std::string probe = folder + "/.write_check";
    const int descriptor = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (descriptor < 0) return std::strerror(errno);
    const char block[4096] = {};
    const ssize_t written = ::write(descriptor, block, sizeof block);
    int error = written < 0 ? errno : (written < static_cast<ssize_t>(sizeof block) ? ENOSPC : 0);
    if (::close(descriptor) != 0 && error == 0) error = errno;
    ::unlink(probe.c_str());
    return error == 0 ? std::string() : std::strerror(error);
}

bool ended_normally(const ProgramEnd& end) {
    return end.start_error == 0 && WIFEXITED(end.status) && WEXITSTATUS(end.status) == 0;
}

// "could not be started: <reason>", "ended with exit status N" or "was ended by signal N (<name>)".
std::string describe_program_end(const ProgramEnd& end) {
    if (end.start_error != 0) {
        std::string text = std::string("could not be started: ") + std::strerror(end.start_error);
        if (end.start_error == ENOEXEC) text += " (it is no program for this machine, nor a script whose first line is #!)";
        return text;
    }
    if (WIFSIGNALED(end.status)) {
        const int signal = WTERMSIG(end.status);
        return "was ended by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
    }
    if (WIFEXITED(end.status)) return "ended with exit status " + std::to_string(WEXITSTATUS(end.status));
    return "ended with wait status " + std::to_string(end.status);
}

}  // namespace

void prepare_feff_folder(int edge, bool with_program) {
    const fs::path folder = feff_folder_name(edge);
    make_folder(folder);
    if (with_program) copy_into(feff_program_name, folder);
}

void prepare_feff_worker_folder(int edge, int worker) {
    const fs::path folder = feff_worker_folder_name(edge, worker);
    make_folder(folder);
    // The edge folder's own program may be an earlier run's (its potentials were kept, with -skippot or
    // -restart): the worker runs the program this run was given.
    std::error_code ignored;
    for (const fs::directory_entry& entry : fs::directory_iterator(feff_folder_name(edge), ignored)) {
        if (entry.is_regular_file(ignored) && entry.path().filename() != feff_program_name) {
            copy_into(entry.path(), folder);
        }
    }
    copy_into(feff_program_name, folder);
}

std::string stale_feff_output_problem(const std::string& path) {
    std::error_code error;
    fs::remove(path, error);
    return error ? "ERROR: FILE " + path + " OF AN EARLIER FEFF RUN CANNOT BE REMOVED: " + error.message() + "!" : std::string();
}

void remove_stale_feff_output(const std::string& path) {
    const std::string problem = stale_feff_output_problem(path);
    if (problem.empty()) return;
    std::cout << problem << '\n';
    end_process(1);
}


int wait_for_program(pid_t child, const std::string& folder, std::chrono::milliseconds report_every) {
    // The wait has no limit (a FEFF run may take hours), but it is not a silent one: a program that
    // runs on, or hangs, is named every `report_every`, with the time it has run.
    const int watch = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    if (watch >= 0) {
        const auto start = std::chrono::steady_clock::now();
        pollfd ended{watch, POLLIN, 0};
        for (;;) {
            const int ready = poll(&ended, 1, static_cast<int>(report_every.count()));
            if (ready > 0 || (ready < 0 && errno != EINTR)) break;
            if (ready < 0) continue;
            const auto minutes =
                std::chrono::duration_cast<std::chrono::minutes>(std::chrono::steady_clock::now() - start).count();
            log_line("      --> still waiting for FEFF in folder " + folder + ", running for " +
                     std::to_string(minutes) + " min");
        }
        close(watch);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

ProgramEnd run_program_in_folder(const std::string& program, const std::string& folder,
                                 std::chrono::milliseconds report_every) {
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
    ProgramEnd end;
    end.start_error = posix_spawn(&child, path.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (end.start_error != 0) return end;
    end.status = wait_for_program(child, folder, report_every);
    return end;
}

ProgramEnd run_feff(int edge, int worker) {
    const std::string folder = worker >= 0 ? feff_worker_folder_name(edge, worker) : feff_folder_name(edge);
    return run_program_in_folder(feff_program_name, folder);
}

std::string abnormal_feff_end(const ProgramEnd& end, const std::string& folder) {
    if (ended_normally(end)) return {};
    std::string text = "ERROR: FEFF IN " + folder + " " + describe_program_end(end) + "!";
    if (end.start_error == 0) {
        const std::string problem = folder_write_problem(folder);
        if (!problem.empty()) text += " (" + folder + " cannot be written: " + problem + ")";
    }
    return text;
}

void require_normal_feff_end(const ProgramEnd& end, const std::string& folder) {
    const std::string problem = abnormal_feff_end(end, folder);
    if (problem.empty()) return;
    std::cout << problem << '\n';
    end_process(1);
}

std::string describe_unwritable_folder(const std::string& path) {
    std::string folder = fs::path(path).parent_path().string();
    if (folder.empty()) folder = ".";
    const std::string problem = folder_write_problem(folder);
    return problem.empty() ? problem : folder + " cannot be written: " + problem;
}

std::string describe_missing_output(const std::string& path, int open_error) {
    const std::string folder = describe_unwritable_folder(path);
    return std::strerror(open_error) + (folder.empty() ? folder : "; " + folder);
}
