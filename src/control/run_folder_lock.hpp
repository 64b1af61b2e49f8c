#pragma once

#include <string>

// The name of the lock file every writing run holds in its folder. The file stays: removing it would
// let a run that opened it just before lock a file no later run sees.
inline constexpr const char* run_folder_lock_name = "talq.lock";

// A run's hold on its folder. Two runs in one folder share the FEFF folders, the restart files and the
// outputs, and corrupt each other without a word; the second is therefore refused. The lock is a
// record lock of the process on an open file, so the system releases it when the process ends, however
// it ends; records of one process (as in tests) share it.
struct RunFolderLock {
    int descriptor = -1;

    RunFolderLock() = default;
    ~RunFolderLock();
    RunFolderLock(const RunFolderLock&) = delete;
    RunFolderLock& operator=(const RunFolderLock&) = delete;
};

// Takes the lock of the current folder for the lifetime of `lock`. A folder that another live run holds
// ends this run with an ERROR naming the folder (and the holder's process); a folder in which no lock
// file can be made ends it too, with the system's reason. A file system without locks is warned of.
void lock_run_folder(RunFolderLock& lock);
