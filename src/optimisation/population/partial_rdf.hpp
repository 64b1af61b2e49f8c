#pragma once

#include <ostream>

struct AbsorberEdge;
struct Calculation;
struct SpectrumContext;
struct State;

// Partial radial distribution functions around the absorbing atoms of an edge: one histogram per species
// of the edge's structure, counting atoms per absorbing atom and per angstrom between 0 and 10 angstrom.

// Links the edge to the current states and sizes its histograms: ceil(10 / RDF_bin_width) bins per species
// (plus one spare bin for distances that round up to the range end).
void init_absorber_rdf(AbsorberEdge& edge, State* current_states);
// Fills the histograms of every edge in use from the given current state (periodic images count), then
// rewrites the File_for_partial_RDFs of every spectrum. Ends the run with code 5 on a working-list label
// that is no species of its structure.
void compute_partial_rdf(Calculation& calc, int state_index);
// The one-dimensional variant: histogram p of an edge counts the current lengths of the members of its
// path p, times the path's scale per absorbing atom and per angstrom; then the files are rewritten as
// above, one column per path. Outside the one-dimensional model the lengths are those of the given
// state's geometry.
void compute_rdf_histograms(Calculation& calc, int state_index);
// Rewrites the spectrum's File_for_partial_RDFs with one block per contributing edge.
void write_rdf_file(Calculation& calc, const SpectrumContext& context);
// The edge's block of its spectrum's File_for_partial_RDFs.
void write_rdf_block(const AbsorberEdge& edge, std::ostream& out);
// Smallest distance between two working-list entries of the structure in the given current state;
// 1.0e6 when the list has fewer than two entries.
double min_interatomic_distance(Calculation& calc, int structure_index, int state_index);
