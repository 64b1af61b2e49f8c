#include "optimisation/population/one_dimensional.hpp"

#include "control/calculation.hpp"
#include "control/number_text.hpp"
#include "control/console_log.hpp"
#include "control/mt.hpp"
#include "control/process_end.hpp"
#include "optimisation/population/evaluation.hpp"
#include "optimisation/population/moves.hpp"
#include "optimisation/population/state.hpp"
#include "optimisation/population/state_exafs.hpp"
#include "theory/absorber_edge.hpp"
#include "theory/path_lengths.hpp"
#include "theory/pathfinder.hpp"

#include <algorithm>
#include <optional>
#include <cmath>
#include <cstddef>
#include <fstream>
#include <iostream>
#include <istream>

namespace {

std::size_t at(std::int64_t i) { return static_cast<std::size_t>(i); }

constexpr const char* parameters_file_name = "oneD.dat";

void set_default_parameters(Calculation& calc) {
    for (int e = 0; e < calc.absorber_edge_count; ++e) {
        Pathfinder& finder = calc.edges[at(e)].pathfinder;
        for (Path& path : finder.paths) {
            path.scale = static_cast<double>(path.degeneracy) / finder.absorber_count;
            path.initial_distance = path.R;
        }
    }
}

void report_parameters(const Calculation& calc) {
    std::cout << "              Following parameters for 1D calculation will be used:" << '\n';
    for (int e = 0; e < calc.absorber_edge_count; ++e) {
        const Pathfinder& finder = calc.edges[at(e)].pathfinder;
        std::cout << "                 Spectrum #" << e << '\n';
        for (std::size_t j = 0; j < finder.paths.size(); ++j) {
            const Path& path = finder.paths[j];
            std::cout << "                    Path #" << j << " Coord_number: " << path.scale
                      << " Initial_distance: " << path.initial_distance << '\n';
            print_separator_line();
            // Ended with a line of its own, so that it does not run into the next path's line.
            if (path.degeneracy < finder.absorber_count)
                std::cout << "WARNING: NUMBER OF ABSORBERS LARGER THAN NUMBER OF PATHS! EXPECT PROBLEMS!" << '\n';
        }
    }
}

// A path given more counted members than it has chains would count chains that do not exist, and a
// path without chains has no member 0 to move: the model cannot be set up.
void refuse_paths_without_enough_chains(const Calculation& calc) {
    for (int e = 0; e < calc.absorber_edge_count; ++e) {
        const Pathfinder& finder = calc.edges[at(e)].pathfinder;
        for (std::size_t j = 0; j < finder.paths.size(); ++j) {
            const Path& path = finder.paths[j];
            const std::size_t chains = path.length_chains.empty() ? path.members.size() : path.length_chains.size();
            if (chains > 0 && at(path.degeneracy) <= chains) continue;
            std::cout << "ERROR: PATH #" << j << " OF SPECTRUM #" << e << " HAS " << chains
                      << " MEMBER CHAINS, TOO FEW FOR ITS 1D DEGENERACY " << path.degeneracy << "!" << '\n';
            end_process(1);
        }
    }
}

// The path signal counts the first `degeneracy` chains, each starting at the path's R. Every counted
// member starts there, the remainder given to the last path included.
void start_lengths(Calculation& calc) {
    for (int e = 0; e < calc.absorber_edge_count; ++e) {
        AbsorberEdge& edge = calc.edges[at(e)];
        Pathfinder& finder = edge.pathfinder;
        if (finder.paths.empty()) continue;
        if (finder.current.size() < finder.nodes.size()) apply_state_to_edge(calc, edge, 0);
        for (Path& path : finder.paths) {
            if (path.length_chains.empty()) path.length_chains = path.members;
            path.members.assign(path.length_chains.begin(), path.length_chains.begin() + path.degeneracy);
            init_class_lengths(finder, path, finder.absorber_count);
        }
        // The table of chains per atom serves moves of atoms; it no longer matches the member lists.
        finder.atom_members.clear();
    }
}

// Set up once every path of every edge in use has its saved lengths (init_class_lengths sizes them).
bool model_set_up(const Calculation& calc) {
    if (!calc.flags.oneD) return false;
    for (int e = 0; e < calc.absorber_edge_count; ++e) {
        for (const Path& path : calc.edges[at(e)].pathfinder.paths) {
            if (path.saved_lengths.empty()) return false;
        }
    }
    return calc.absorber_edge_count > 0;
}

// A continued run goes on from the lengths its restart file kept, which must fit the paths read back.
void take_loaded_lengths(Calculation& calc) {
    const EdgePathLengths& loaded = calc.loaded_path_lengths;
    if (loaded.empty()) {
        if (calc.flags.restart) {
            std::cout << "WARNING: THE RESTART FILE KEEPS NO 1D PATH LENGTHS. EVERY LENGTH STARTS AT ITS PATH'S R!"
                      << '\n';
        }
        return;
    }
    for (int e = 0; e < calc.absorber_edge_count; ++e) {
        const std::vector<Path>& paths = calc.edges[at(e)].pathfinder.paths;
        bool fits = at(e) < loaded.size() && loaded[at(e)].size() == paths.size();
        for (std::size_t p = 0; fits && p < paths.size(); ++p) {
            fits = loaded[at(e)][p].size() == at(paths[p].degeneracy);
        }
        if (!fits) {
            std::cout << "ERROR: THE 1D PATH LENGTHS OF THE RESTART FILE DO NOT FIT THE PATHS OF SPECTRUM #" << e << "!"
                      << '\n';
            end_process(4);
        }
    }
    for (int e = 0; e < calc.absorber_edge_count; ++e) {
        Pathfinder& finder = calc.edges[at(e)].pathfinder;
        for (std::size_t p = 0; p < finder.paths.size(); ++p) {
            const std::vector<double>& lengths = loaded[at(e)][p];
            for (std::size_t j = 0; j < lengths.size(); ++j) {
                set_path_length(finder, finder.paths[p], static_cast<int>(j), lengths[j]);
            }
        }
    }
    std::cout << "              Path lengths of the restart file will be used." << '\n';
}

// The member moved in a path without "move_all": trunc(degeneracy * U), member 0 for a path that
// counts none.
int drawn_member(Calculation& calc, const Path& path) {
    const int member = static_cast<int>(path.degeneracy * uniform_random(calc));
    return std::clamp(member, 0, std::max(path.degeneracy - 1, 0));
}

}  // namespace

void read_oned_parameters(Calculation& calc, std::istream& in) {
    // Whole words, each a number in the usable range: "2.5x" is no number, and a coordination number of
    // 1e300 would make every signal overflow.
    const auto next_value = [&in](double& value) {
        std::string word;
        if (!(in >> word)) return false;
        const std::optional<double> number = parse_whole_number<double>(word);
        if (!number) return false;
        if (!is_usable_number(*number)) refuse_file_value(parameters_file_name, *number);
        value = *number;
        return true;
    };
    for (int e = 0; e < calc.absorber_edge_count; ++e) {
        for (Path& path : calc.edges[at(e)].pathfinder.paths) {
            double coordination = 0.0;
            double distance = 0.0;
            const bool coordination_read = next_value(coordination);
            if (coordination_read) path.scale = coordination;
            if (coordination_read && next_value(distance)) {
                path.initial_distance = distance;
                continue;
            }
            std::cout << "WARNING: FILE 'oneD.dat' HOLDS FEWER VALUES THAN THE PATHS NEED. DEFAULT VALUES WILL BE "
                         "USED FOR THE REST!"
                      << '\n';
            return;
        }
    }
}

void spread_degeneracy(Calculation& calc) {
    for (int e = 0; e < calc.absorber_edge_count; ++e) {
        Pathfinder& finder = calc.edges[at(e)].pathfinder;
        if (finder.paths.empty()) continue;
        const int absorbers = finder.absorber_count;
        const int paths = static_cast<int>(finder.paths.size());
        int sum = 0;
        for (Path& path : finder.paths) {
            path.degeneracy = absorbers / paths;
            sum += path.degeneracy;
        }
        finder.paths.back().degeneracy += absorbers - sum;
    }
}

void setup_oned_mode(Calculation& calc) {
    std::cout << "oneD flag was specified! Setting things for calculations in 1D." << '\n';
    set_default_parameters(calc);
    std::ifstream in(parameters_file_name);
    if (in) {
        std::cout << "              Parameters for 1D calculation are found." << '\n';
        read_oned_parameters(calc, in);
    } else {
        std::cout << "WARNING: FILE 'oneD.dat' WITH PARAMETERS FOR 1D CALCULATION CANNOT BE OPENED. WILL ATTEMPT TO "
                     "USE DEFAULT VALUES!"
                  << '\n';
    }
    report_parameters(calc);
    spread_degeneracy(calc);
    refuse_paths_without_enough_chains(calc);
    start_lengths(calc);
    take_loaded_lengths(calc);
    const int states = calc.parameters.ints[IntKey::Number_of_states];
    for (int i = 0; i < states; ++i) evaluate_states(calc, true, true, true, true, true, i, -1);
}

EdgePathLengths oned_path_lengths(const Calculation& calc) {
    if (!model_set_up(calc)) return calc.loaded_path_lengths;
    EdgePathLengths lengths(at(calc.absorber_edge_count));
    for (int e = 0; e < calc.absorber_edge_count; ++e) {
        const Pathfinder& finder = calc.edges[at(e)].pathfinder;
        for (const Path& path : finder.paths) {
            std::vector<double>& counted = lengths[at(e)].emplace_back();
            for (int j = 0; j < path.degeneracy; ++j) counted.push_back(get_path_length(finder, path, j));
        }
    }
    return lengths;
}

void save_path_lengths(Calculation& calc) {
    for (int e = 0; e < calc.absorber_edge_count; ++e) {
        Pathfinder& finder = calc.edges[at(e)].pathfinder;
        for (Path& path : finder.paths) save_class_lengths(finder, path, finder.absorber_count);
    }
}

void restore_path_lengths(Calculation& calc) {
    for (int e = 0; e < calc.absorber_edge_count; ++e) {
        Pathfinder& finder = calc.edges[at(e)].pathfinder;
        for (const Path& path : finder.paths) restore_class_lengths(finder, path, finder.absorber_count);
    }
}

bool propose_oned_move(Calculation& calc, int i) {
    bool violated = false;
    if (calc.absorber_edge_count > 0) {
        Pathfinder& finder = calc.edges[0].pathfinder;
        const double limit = calc.structure_parameters[0].doubles[StructureDoubleKey::Maximal_displacement];
        for (const Path& path : finder.paths) {
            const int first = calc.move_all ? 0 : drawn_member(calc, path);
            const int end = calc.move_all ? path.degeneracy : first + 1;
            for (int j = first; j < end; ++j) {
                shift_path_length(finder, path, j, (2 * uniform_random(calc) - 1) * calc.step_length);
                if (std::abs(get_path_length(finder, path, j) - path.R) > limit) {
                    violated = true;
                    break;
                }
            }
        }
    }
    calc.current_states[at(i)].violated = violated;
    return violated;
}

void run_oned_metropolis_sweep(Calculation& calc) {
    const int states = calc.parameters.ints[IntKey::Number_of_states];
    const int t = calc.iteration;
    const int froze_in = calc.parameters.ints[IntKey::Froze_in];
    if (calc.parameters.bools[BoolKey::adjust_acceptance]) {
        const double factor = 1.0 - static_cast<double>(t) / froze_in;
        calc.log_acceptance = (t < froze_in && factor > 0) ? std::log(factor) : -1e100;
    }
    // Without a positive Froze_in the step has no schedule to follow and stays as it is.
    if (calc.parameters.bools[BoolKey::adjust_step] && froze_in > 0) {
        calc.step_length = std::max(
            1e-5, calc.parameters.doubles[DoubleKey::Maximal_step_length] * (1.0 + static_cast<double>(t) / froze_in));
    }
    for (State& state : calc.current_states) state.needs_evaluation = true;
    backup_all_states(calc);
    save_path_lengths(calc);

    const bool hypermutation = calc.parameters.bools[BoolKey::hypermutation];
    for (int i = 0; i < states; ++i) {
        if (!propose_oned_move(calc, i)) {
            evaluate_states(calc, false, false, true, true, true, i, -1);
            const State& current = calc.current_states[at(i)];
            const State& backup = calc.backup_states[at(i)];
            const double old_objective = state_objective(calc, backup);
            const double draw = uniform_random(calc);
            const double new_objective = state_objective(calc, current);
            const double d_residual = std::abs(current.residual - backup.residual);
            const double d_energy = std::abs(current.energy - backup.energy);
            const bool forced = hypermutation && find_nearest_state(calc, i);
            bool accepted = true;
            if (new_objective >= old_objective && !forced) {
                if (draw > std::exp((new_objective - old_objective) * calc.log_acceptance)) {
                    accepted = false;
                } else {
                    ++calc.accepted_by_test;
                }
            } else {
                ++calc.accepted_without_test;
            }
            const long long n = static_cast<long long>(t - 1) * states + i;
            if (n <= 0) {
                calc.objective_normaliser = d_residual;
                calc.mean_energy_change = d_energy;
            } else {
                calc.objective_normaliser = ((n - 1) * calc.objective_normaliser + d_residual) / n;
                calc.mean_energy_change = ((n - 1) * calc.mean_energy_change + d_energy) / n;
            }
            if (accepted) continue;
        }
        restore_state(calc, i);
        restore_path_lengths(calc);
    }
    find_best_state(calc);
}
