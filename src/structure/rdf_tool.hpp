#pragma once

struct Calculation;

// The -rdf tool: reads the final snapshot with periodic images (File_for_final_xyz of structure 0), asks
// on std::cin for a central and a second label ("Any" matches every atom) and writes the pair's radial
// distribution to "rdf_<A>-<B>.dat"; repeats while the answer to "Repeat?" is 1. Ends the process with
// code 1 when the file is missing and 4 when its atom counts or atoms cannot be trusted.
void generate_rdf_interactive(Calculation& calc);
