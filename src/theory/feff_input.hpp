#pragma once

struct AbsorberEdge;

// Writes "feff_N/feff.inp" for the edge: the cluster of its structure around its first absorber, the
// potentials and the cards of a full FEFF run. Sets the spectrum's r_scf when it is automatic (negative).
// In atoms mode (only the input is wanted) the run ends afterwards; otherwise FEFF computes the
// potentials and its own path list in the edge folder.
void write_feff_inp(AbsorberEdge& edge, bool atoms_mode);

// The automatic SCF radius from the sorted distances of the cluster (position 0 is the absorber) and,
// per element type, the distance of its nearest atom.
double automatic_scf_radius(const double* sorted_distances, int count, const double* nearest_of_type, int types);
