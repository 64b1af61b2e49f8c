#pragma once

#include "spectra/state_spectrum.hpp"

#include <array>
#include <optional>
#include <string>

struct Calculation;
struct SpectrumContext;
struct State;

// A model chi summed over the frames of a trajectory, on the states' fixed grid (entry i at
// k = 0.05 (i - 1)); entries 1 .. 401 are summed, the guards 0 and 402 stay zero.
using ChiGridSum = std::array<double, state_chi_grid_points>;

// A displacement beyond this (angstrom) is suspicious: the frame is far from the model.
inline constexpr double large_displacement = 1.0;
// Atoms closer than this make a configuration whose paths degenerate: two atoms on one spot give
// legs of zero length, whose EXAFS is not a number.
inline constexpr double too_close_distance = 0.5;

// The shortest distance between two atoms of structure 0 in state 0 (periodic images included) when
// it is below too_close_distance; nothing otherwise.
std::optional<double> atoms_too_close(Calculation& calc);

// Whether a frame counter has come round to a period; a period of 0 or less never does.
bool frame_period_reached(int counter, int period);
// Every supercell atom of structure 0 back on its reference position.
void zero_structure0_displacements(State& state);
// The EXAFS of the configuration state 0 holds: clusters and FEFF refreshed when the frame counter
// (the run's iteration) is a multiple of Update_basis_every_..., then the model chi of every spectrum;
// no residual. Writes the configuration's xyz files and partial RDFs from state 0.
void evaluate_trajectory_frame(Calculation& calc);
void add_to_chi_sum(ChiGridSum& sum, const ChiGridSum& chi_grid);
// sum / count on entries 1 .. 401 (k = 0 .. 20), guards zero.
ChiGridSum chi_grid_mean(const ChiGridSum& sum, int count);
// The clustering check of the diagnostics stage, unless -skipcheck.
void check_clustering_between_frames(Calculation& calc);
// Puts an averaged chi into state 0 for the spectrum: the fixed grid with its guards copied from their
// neighbours, and its interpolation onto the spectrum's k grid.
void store_averaged_chi(Calculation& calc, SpectrumContext& context, const ChiGridSum& mean);

// -md / -gulp: the EXAFS of spectrum 0 averaged over the frames of an xyz trajectory, frame atom i taken
// as supercell atom i of structure 0 (coordinates as written). A frame with atoms too close is left out
// with a warning. Writes "averaged_EXAFS_<count>" every time2 frames and at the end, and leaves the
// average in state 0. Ends the process with "ERROR: NO FRAME OF <file> COULD BE AVERAGED!" (exit code
// 4) when every frame was left out.
void run_gulp_md_trajectory(Calculation& calc, const std::string& file_name);
