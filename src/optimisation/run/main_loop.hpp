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
// The report of a resumed run before its loop: the spectrum files and the console block only, as the
// histories hold this generation already and the step goes on from where it was.
void report_resumed_progress(Calculation& calc);
// The same for a population just loaded from a restart file, which carries no model chi on the fixed
// grid: the console block alone.
void report_loaded_progress(Calculation& calc);
// The header line of the residual history file.
void write_progress_header(const Calculation& calc, std::ostream& progress);
