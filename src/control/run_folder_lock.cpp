#include "control/run_folder_lock.hpp"

#include "control/process_end.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

std::string current_folder() {
    std::error_code failed;
    const std::filesystem::path folder = std::filesystem::current_path(failed);
    return failed ? std::string(".") : folder.string();
}

// The process that holds the lock, as the system tells it; empty when it has just let go.
std::string holder_of(int descriptor, struct flock wanted) {
    if (fcntl(descriptor, F_GETLK, &wanted) != 0 || wanted.l_type == F_UNLCK) return "";
    return std::to_string(wanted.l_pid);
}

}  // namespace

RunFolderLock::~RunFolderLock() {
    if (descriptor >= 0) close(descriptor);
}

void lock_run_folder(RunFolderLock& lock) {
    if (lock.descriptor >= 0) return;
    bool writable = true;
    int descriptor = open(run_folder_lock_name, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (descriptor < 0 && (errno == EACCES || errno == EROFS)) {
        // Another user's lock file still locks when it can only be read.
        writable = false;
        descriptor = open(run_folder_lock_name, O_RDONLY | O_CLOEXEC);
    }
    if (descriptor < 0) {
        std::cout << "ERROR: THE RUN CANNOT WRITE IN FOLDER " << current_folder() << " (" << run_folder_lock_name
                  << ": " << std::strerror(errno) << ")!" << '\n';
        end_process(1);
    }
    // A record lock of the whole file: it belongs to the process, so every record of one process shares it.
    struct flock whole {};
    whole.l_type = writable ? F_WRLCK : F_RDLCK;
    whole.l_whence = SEEK_SET;
    if (fcntl(descriptor, F_SETLK, &whole) != 0) {
        const int error = errno;
        if (error == EACCES || error == EAGAIN) {
            const std::string holder = holder_of(descriptor, whole);
            close(descriptor);
            std::cout << "ERROR: FOLDER " << current_folder() << " IS IN USE BY ANOTHER RUN"
                      << (holder.empty() ? std::string() : " (process " + holder + ")")
                      << ": two runs in one folder overwrite each other's files!" << '\n';
            end_process(1);
        }
        std::cout << "WARNING: FOLDER " << current_folder() << " CANNOT BE LOCKED (" << std::strerror(error)
                  << "): nothing keeps a second run from starting in it" << '\n';
        close(descriptor);
        return;
    }
    lock.descriptor = descriptor;
}
