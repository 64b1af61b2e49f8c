#pragma once

#include <string>

struct Calculation;

inline constexpr const char* gulp_program_name = "gulp.exe";
inline constexpr const char* gulp_log_name = "gulp.log";
// What a Monte Carlo and a molecular-dynamics run leave in the run folder.
inline constexpr const char* gulp_mc_trajectory_name = "gulp.gmc";
inline constexpr const char* gulp_md_trajectory_name = "gulp.xyz";

// "./gulp.exe" when the run folder holds one, else the first gulp.exe on PATH that may be executed;
// empty when there is none.
std::string find_gulp_program();

// Unless -skipgulp is set: removes the trajectories of an earlier run, so that a failed run cannot pass
// off old frames as new ones, then runs GULP in the run folder with input.gin on its standard input and
// gulp.log as its standard output, and waits for it without a time limit. A program that is missing,
// cannot start or ends with a non-zero status gives a warning; the missing trajectory then ends the run
// when it is read.
void run_gulp(const Calculation& calc);
