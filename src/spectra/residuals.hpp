#pragma once

#include <cstddef>
#include <cstdint>

struct SignalArray;
struct SpectrumContext;
struct StateSpectrum;

// Sums over a's points of the window weight w (its re) times the difference or value; complex sums
// include the imaginary parts. A signal of no points gives 0. The residuals may be limited to the
// points [first, end) (where the window weighs anything).
double weighted_squared_residual(const SignalArray& a, const SignalArray& b, const SignalArray& window, bool complex,
                                 std::size_t first = 0, std::size_t end = SIZE_MAX);
double weighted_squared_norm(const SignalArray& a, const SignalArray& window, bool complex);
double weighted_abs_residual(const SignalArray& a, const SignalArray& b, const SignalArray& window, bool complex,
                             std::size_t first = 0, std::size_t end = SIZE_MAX);
double weighted_abs_norm(const SignalArray& a, const SignalArray& window, bool complex);
// Real: the signed sum of a*b; complex: the modulus of the sum of a times conj(b).
double inner_product_magnitude(const SignalArray& a, const SignalArray& b, bool complex);

// Residual of a state's model (its block for this spectrum) against the spectrum in the run's space and
// norm, relative to the experiment's reference norm; also stored as the block's residual.
double compute_exafs_error(SpectrumContext& context, StateSpectrum& model, bool first_shell);

// Builds every table the residuals of the spectrum read (the Fourier halves and the wavelet gains), so
// that residuals made afterwards on several threads at once only read them. Cheap when they are built.
void prepare_transform_tables(SpectrumContext& context);
