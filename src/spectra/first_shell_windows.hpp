#pragma once

struct SpectrumContext;

// Narrows the first-shell R and W windows of the spectrum to [R_min, r_cut] and takes the experiment's
// reference norms in them, with the same norm as the ordinary references.
void set_up_first_shell_windows(SpectrumContext& context, double r_cut);

// The reference norm the first-shell residual of the spectrum is divided by: the first-shell one in R
// and W space, the ordinary one in k and q space.
double first_shell_reference(const SpectrumContext& context);
