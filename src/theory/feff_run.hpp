#pragma once

#include <chrono>
#include <string>

#include <sys/types.h>

// Names of FEFF's working folders and files, relative to the run folder: edge N works in "feff_N",
// its worker M in "feff_N_M".
std::string feff_folder_name(int edge);
std::string feff_worker_folder_name(int edge, int worker);
std::string feff_folder_file_path(int edge, const std::string& file_name);
std::string feff_worker_file_path(int edge, int worker, const std::string& file_name);
// "chip" and the path index with zeros in front up to four digits, ".dat".
std::string chip_file_name(int path_index);

// The program file every folder receives, copied from FEFF_path into the run folder.
inline constexpr const char* feff_program_name = "feff_win.exe";

// Makes the edge folder and copies the FEFF program into it (not when the program is not needed, as
// in the mode that only writes FEFF's input). A copy that fails ends the run with an error naming the
// cause: an older program or file left in the folder would run, or be read, in its place.
void prepare_feff_folder(int edge, bool with_program = true);
// Makes the worker folder and fills it with the FEFF program and everything the edge folder holds.
void prepare_feff_worker_folder(int edge, int worker);

// How a program run ended: not started (start_error holds the system's reason), or its wait status.
struct ProgramEnd {
    int start_error = 0;
    int status = 0;
};

// Removes an output of an earlier FEFF run before the next run, so that it cannot pass for that run's
// (FEFF tells of a failure only by the outputs it does not write). One that cannot be removed ends the
// run with an error naming it and the cause; one that is not there is fine.
void remove_stale_feff_output(const std::string& path);
// remove_stale_feff_output for worker threads, which leave the report to the thread that started them:
// the error line, or an empty text when the output is gone.
std::string stale_feff_output_problem(const std::string& path);

// Runs FEFF in the worker folder (the edge folder when worker is negative) and waits for it to end.
ProgramEnd run_feff(int edge, int worker);
// FEFF ends with status 0 when it has run, whether or not it wrote its outputs; an end in any other way
// (not started, a crash, a failed write) ends the run with an error naming the folder and the cause,
// since whatever it left in the folder cannot be trusted.
void require_normal_feff_end(const ProgramEnd& end, const std::string& folder);
// require_normal_feff_end for worker threads: the error line, or an empty text for a normal end.
std::string abnormal_feff_end(const ProgramEnd& end, const std::string& folder);
// How often a wait for FEFF that goes on is reported.
inline constexpr std::chrono::minutes feff_wait_report_interval{5};
// Runs a program with no arguments in the given folder, its standard streams on /dev/null, and waits
// without a time limit, with a time-stamped line naming the folder every `report_every`.
ProgramEnd run_program_in_folder(const std::string& program, const std::string& folder,
                                 std::chrono::milliseconds report_every = feff_wait_report_interval);
// Waits for the child to end, reporting every `report_every` that it still runs in `folder`; returns
// its wait status.
int wait_for_program(pid_t child, const std::string& folder, std::chrono::milliseconds report_every);

// Why a FEFF output cannot be read: the system's reason for the failed open and, when FEFF's folder
// cannot be written (a full disk, a read-only folder), why not.
std::string describe_missing_output(const std::string& path, int open_error);
// "<folder> cannot be written: <reason>" for the folder of the file when nothing can be written there
// (what cut its outputs short), else an empty text.
std::string describe_unwritable_folder(const std::string& path);
