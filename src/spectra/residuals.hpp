#pragma once

struct SignalArray;
struct SpectrumContext;
struct State;

// Sums over a's points of the window weight w (its re) times the difference or value; complex sums
// include the imaginary parts. A signal of no points gives 0.
double weighted_squared_residual(const SignalArray& a, const SignalArray& b, const SignalArray& window, bool complex);
double weighted_squared_norm(const SignalArray& a, const SignalArray& window, bool complex);
double weighted_abs_residual(const SignalArray& a, const SignalArray& b, const SignalArray& window, bool complex);
double weighted_abs_norm(const SignalArray& a, const SignalArray& window, bool complex);
// Real: the signed sum of a*b; complex: the modulus of the sum of a times conj(b).
double inner_product_magnitude(const SignalArray& a, const SignalArray& b, bool complex);

// Residual of the state's model against the spectrum in the run's space and norm, relative to the
// experiment's reference norm; also stored as the residual of the state's block for the spectrum.
double compute_exafs_error(SpectrumContext& context, State& state, bool first_shell);
double state_exafs_error(SpectrumContext& context, int state_index);
