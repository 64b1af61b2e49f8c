#include "optimisation/starting_states.hpp"

#include "control/calculation.hpp"
#include "control/mt.hpp"
#include "optimisation/state.hpp"
#include "structure/structure.hpp"

#include <cmath>
#include <cstddef>

void randomise_state(Calculation& calc, State& state) {
    for (int j = 0; j < state.structure_count; ++j) {
        const Structure& structure = calc.structures[static_cast<std::size_t>(j)];
        const double amplitude =
            calc.structure_parameters[static_cast<std::size_t>(j)].doubles[StructureDoubleKey::Initial_displacement];
        for (int a = 0; a < structure.atom_count; ++a) {
            const double ux = uniform_random(calc);
            const double uy = uniform_random(calc);
            const double uz = uniform_random(calc);
            const Atom displacement{structure.working_atoms[static_cast<std::size_t>(a)].label,
                                    (2 * ux - 1) * amplitude / std::sqrt(2.0), (2 * uy - 1) * amplitude / std::sqrt(2.0),
                                    (2 * uz - 1) * amplitude / std::sqrt(2.0)};
            set_structure_atom(state, displacement, j, a);
        }
    }
}
