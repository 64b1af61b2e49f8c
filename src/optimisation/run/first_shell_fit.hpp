#pragma once

struct AbsorberEdge;
struct Calculation;
struct SpectrumContext;
struct State;

// Stage 11: for every spectrum, fits a scale of the path lengths, a Debye-Waller factor, an energy shift
// and an amplitude factor of a model built from the leading paths to the experiment's first shell, prints
// the estimates of S02 and E0 and, with -autoES, stores them in the spectrum's S02 and dE0.
void fit_first_shell(Calculation& calc);

// The rest of stage 11 after the fit: with -autoES the experiment of every spectrum is read again with
// the new S02 and dE0; without it a warning says that the estimates have no effect.
void finish_first_shell_stage(Calculation& calc);

// Residual of the first-shell model with path-length factor rho, Debye-Waller factor sigma2 (A^2),
// energy shift delta_e (eV) and amplitude factor phi against the spectrum, in its first-shell window.
// `weights_source` supplies the structure weights. Rewrites the spectrum's calculated chi, FT and BFT files.
double first_shell_residual(SpectrumContext& context, double rho, double sigma2, double delta_e, double phi,
                            const State& weights_source);

// Adds the edge's first-shell model (k-weighted, on the fixed grid) to the scratch state's fixed-grid chi
// of the edge's spectrum. The scratch state must carry the calculation's structures and the weights.
void first_shell_model_chi(const AbsorberEdge& edge, double rho, double sigma2, State& scratch);

// Half the closed length of the first path of the spectrum's first edge at the equilibrium geometry;
// 0 when the spectrum has no path.
double first_shell_distance(const SpectrumContext& context);
