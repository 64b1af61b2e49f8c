#pragma once

#include <string>

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

// Makes the edge folder and copies the FEFF program into it.
void prepare_feff_folder(int edge);
// Makes the worker folder and fills it with the FEFF program and everything the edge folder holds.
void prepare_feff_worker_folder(int edge, int worker);
// Runs FEFF in the worker folder (the edge folder when worker is negative) and waits for it to end.
void run_feff(int edge, int worker);
// Runs a program with no arguments in the given folder, its standard streams on /dev/null, and waits
// without a time limit. Returns false when it could not be started.
bool run_program_in_folder(const std::string& program, const std::string& folder);
