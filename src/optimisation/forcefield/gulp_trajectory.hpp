#pragma once

#include "structure/atom.hpp"

#include <cstdint>
#include <fstream>
#include <span>
#include <string>
#include <vector>

struct State;
struct Structure;

// Frame layouts of the trajectories read back after a GULP run or given to "-md".
//  gulp_mc: a word, the trial number, 12 words, N, then N atoms "Z n x y z" (Z an atomic number, n ignored);
//  xyz:     N, 3 words, then N atoms "label x y z".
enum class TrajectoryLayout { gulp_mc, xyz };

struct TrajectoryFrame {
    std::int64_t step = 0;    // the trial number of a gulp_mc frame; the ordinal (from 0) of an xyz frame
    std::vector<Atom> atoms;  // positions times the reader's scale; gulp_mc labels are element symbols
};

// An open trajectory, read one frame at a time so that files of any length are averaged in constant memory.
struct TrajectoryReader {
    std::string file_name;
    TrajectoryLayout layout = TrajectoryLayout::xyz;
    double scale = 1.0;
    std::int32_t max_atoms = 0;         // the model's atom count; a frame may not hold more
    std::int32_t atoms_per_frame = -1;  // fixed by the first frame
    std::int64_t frames_read = 0;
    std::ifstream in;
};

// Opens the file, or ends the process with "ERROR: FILE WITH XYZ DATA CANNOT BE OPENED!" (exit code 4).
void open_trajectory(TrajectoryReader& reader, const std::string& file_name, TrajectoryLayout layout, double scale,
                     std::int32_t max_atoms);

// Reads the next frame into `frame` and returns true, or returns false at the end of the file. A frame
// that ends with the file is dropped with a warning. Ends the process with "ERROR: WRONG NUMBER OF ATOMS
// IN <file>" (exit code 4) when the first frame cannot be read, a count is not above 0, exceeds the model
// or differs from the first frame's, or a frame holds a word that is not the number it should be; with
// "ERROR: UNIDENTIFIED ATOM LABEL!" (exit code 5) for an atomic number outside the element table.
bool read_trajectory_frame(TrajectoryReader& reader, TrajectoryFrame& frame);

// For each frame atom, the working-list entry of the structure nearest to it among the atoms of its
// element (lowest index on ties). Ends the process with "ERROR: UNIDENTIFIED ATOM LABEL!" (exit code 5)
// when an atom's label names no element, or the structure has no atom of that element.
std::vector<std::int32_t> map_frame_to_sites(const Structure& structure, std::span<const Atom> frame);

// Stores each frame atom's offset from its site as the displacement of the supercell atom the site
// belongs to (structure j of the state); returns the larger of dmax and the longest offset stored.
double store_frame_at_sites(State& state, int j, std::span<const Atom> frame, std::span<const std::int32_t> sites,
                            double dmax);
// Stores frame atom i as the position of supercell atom i of structure j; returns the larger of dmax and
// the longest displacement stored. The frame may not hold more atoms than the structure.
double store_frame_in_order(State& state, int j, std::span<const Atom> frame, double dmax);
