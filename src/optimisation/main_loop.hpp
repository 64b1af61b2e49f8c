#pragma once

#include <iosfwd>

struct Calculation;

// One iteration of the main loop: the evolutionary step (more than one state), the sweep of moves (of
// the path lengths with -oneD), and at their periods the progress report, the full re-evaluation and
// the checkpoint (clustering check, restart file, improvement test). Returns true when the run is to stop.
bool run_main_loop_iteration(Calculation& calc, std::ostream& progress);

// The report of one generation: the best state's residual in all four fit spaces, its spectrum files,
// the console block, the step adaptation, one row of the residual history and the xyz history.
void report_progress(Calculation& calc, std::ostream& progress);
// The report of a population loaded from a restart file, which carries no model chi on the fixed grid:
// the same without the best state's spectrum files and the chi history.
void report_loaded_progress(Calculation& calc, std::ostream& progress);
// The header line of the residual history file.
void write_progress_header(const Calculation& calc, std::ostream& progress);
