#pragma once

#include "theory/cluster_feff.hpp"

#include <vector>

struct AbsorberEdge;
struct Calculation;
struct SpectrumContext;

// The model chi of current state `state_index` for the spectrum: the path chi of every contributing
// edge, averaged over its absorbing atoms and weighted by the state's structure weights, on the fixed
// grid and interpolated onto the spectrum's k grid, k-weighted. With `feff_per_member` every member
// goes through FEFF (the exact signal; `member_tables` holds one table per edge of the calculation),
// otherwise the cluster route is used, on the points its edges keep their sums on (the fixed grid holds
// no number elsewhere). Returns the sum over the points made of k^(2 k_power) chi_w^2; returns 0 and
// changes nothing when the state needs no evaluation.
double compute_state_exafs(Calculation& calc, SpectrumContext& context, int state_index, bool feff_per_member,
                           std::vector<MemberChiTable>* member_tables);
// One edge's contribution to the state's fixed-grid chi of the edge's spectrum, by the cluster route: on
// the whole grid, or on the path-grid points [first, end).
void add_path_chi_to_state(Calculation& calc, AbsorberEdge& edge, int state_index);
void add_path_chi_to_state(Calculation& calc, AbsorberEdge& edge, int state_index, int first, int end);

// In the main loop the sums of every state are kept up to date only on the points of the grid that the
// spectra read (compute_state_exafs then makes the chi there alone); the rest is made when something is
// written that shows the whole grid, for the states it shows.
void keep_sums_on_points_in_use(Calculation& calc);
// Back to the whole grid: every state's sums and chi made on the points they lack.
void keep_sums_on_whole_grid(Calculation& calc);
// The state's sums and chi (fixed grid and spectrum grid) on the whole grid, from its tables; nothing
// when they are there already, or when its tables hold no state.
void complete_state_chi(Calculation& calc, int state_index);
// Links every state to every edge in use, gives every path one cluster and starts it from all members
// of all states.
void bind_states_to_absorber_edges(Calculation& calc);
// Brings the edge's path tree to the geometry of current state `state_index`.
void apply_state_to_edge(Calculation& calc, AbsorberEdge& edge, int state_index);
