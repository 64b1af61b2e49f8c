#pragma once

#include <span>
#include <string>
#include <vector>

struct Calculation;

// The best force field of a fit so far. Kept apart from the populations, which the clustering check
// uses as its own scratch between frames.
struct ForceFieldBest {
    double residual = 10000000.0;
    std::vector<double> parameters;  // the multipliers, one per fitted parameter
};

// Residual given to a force field whose configurations cannot be used (atoms too close, or no frame
// past the Monte Carlo equilibration).
inline constexpr double rejected_force_field_residual = 1000000.0;
// Monte Carlo frames up to this trial are equilibration and are not averaged.
inline constexpr long long monte_carlo_equilibration_trials = 40000;

// One force field (multipliers P of the template's defaults): writes input.gin, runs GULP (unless
// -skipgulp), reads back its Monte Carlo trajectory "gulp.gmc" (or, for _md, its movie "gulp.xyz"),
// averages the EXAFS of its configurations in state 0 and returns the residual of the average, after
// writing the averaged, calculated and transformed spectra. A better residual than `best` replaces it
// and is written to "best_EXAFS.dat"; rejected force fields never do.
double evaluate_force_field_mc(Calculation& calc, std::span<const double> multipliers, ForceFieldBest& best);
double evaluate_force_field_md(Calculation& calc, std::span<const double> multipliers, ForceFieldBest& best);

// The absorber edge of spectrum `spectrum` on structure 0 (the structure GULP moves); -1 when the
// spectrum's absorbers are all in other structures.
int force_field_edge_of_spectrum(const Calculation& calc, int spectrum);
// "averaged_EXAFS_<spectrum>_<frames>"
std::string averaged_exafs_file_name(int spectrum, int frames);
