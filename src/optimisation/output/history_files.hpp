#pragma once

#include <cstdint>
#include <string>

struct Calculation;

// The histories a run appends to (the residual history, every structure's xyz history, every spectrum's
// chi history) cut back to what was written up to the given iteration, so that a run resumed from the
// restart file of that iteration appends after what it would have followed. Only whole lines and whole
// frames are kept: a line or frame that a stopped run left cut is dropped with everything after it, as is
// everything of a later iteration (also the rows of an earlier resumed run).
void cut_histories_to_iteration(const Calculation& calc, std::int32_t iteration);

// The length of the text to keep of each kind of history: the part before the first incomplete record or
// the first record of an iteration after the given one.
std::size_t kept_residual_history(const std::string& text, std::int32_t iteration);
std::size_t kept_xyz_history(const std::string& text, std::int32_t iteration);
std::size_t kept_chi_history(const std::string& text, std::int32_t iteration);
