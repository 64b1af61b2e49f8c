// The readers of files that FEFF and earlier runs leave: FEFF's path list, chi.dat and chip files, the
// final path list (which users also edit by hand), restart files and the molecular-dynamics
// trajectories that -md averages.

#include "fuzz/readers.hpp"

#include "control/calculation.hpp"
#include "control/number_text.hpp"
#include "optimisation/copper_model.hpp"
#include "optimisation/population/evaluation.hpp"
#include "optimisation/population/one_dimensional.hpp"
#include "optimisation/output/restart_file.hpp"
#include "optimisation/forcefield/trajectory_average.hpp"
#include "structure/structure.hpp"
#include "theory/feff_outputs.hpp"
#include "theory/feff_run.hpp"
#include "theory/final_paths.hpp"
#include "theory/path_runs.hpp"

#include <array>
#include <cmath>
#include <filesystem>
#include <memory>
#include <sstream>

namespace {

namespace fs = std::filesystem;

std::string seed(const std::string& name) { return read_fuzz_file(fuzz_seed_path(name)); }

std::string source_file(const std::string& path) { return read_fuzz_file(std::string(TALQ_SOURCE_DIR) + "/" + path); }

std::string check_grid(const double* values, std::size_t count, const std::string& what) {
    for (std::size_t i = 0; i < count; ++i) {
        if (!is_usable_number(values[i])) return what + " holds " + std::to_string(values[i]) + ", which is no usable number";
    }
    return "";
}

// A FEFF table read onto the path grid, as every path and cluster signal is read.
FuzzTarget feff_table(const std::string& file_name, int fields, std::vector<std::string> seeds) {
    FuzzTarget target;
    target.seeds = std::move(seeds);
    auto grid = std::make_shared<std::array<double, path_chi_points>>();
    target.state = grid;
    target.run = [grid, file_name, fields](const std::string& input) {
        write_fuzz_file(file_name, input);
        grid->fill(0.0);
        read_feff_chi(file_name, fields, grid->data(), path_chi_points);
        for (const FeffRow& row : read_feff_table(file_name, fields)) {
            for (const double value : row) {
                if (!is_usable_number(value)) throw std::runtime_error("a row kept a value that is no usable number");
            }
        }
    };
    target.check = [grid, file_name, fields]() -> std::string {
        // A table that stops before the end of the grid leaves the rest of it at stale values.
        const std::vector<FeffRow> rows = read_feff_table(file_name, fields);
        const std::size_t offset = !rows.empty() && std::abs(rows[0][0] - 0.05) < 0.001 ? 1 : 0;
        if (rows.size() + offset < static_cast<std::size_t>(path_chi_points))
            return "a table of " + std::to_string(rows.size()) + " rows was placed on a grid of " +
                   std::to_string(path_chi_points) + " points";
        return check_grid(grid->data(), grid->size(), "the path grid");
    };
    return target;
}

#ifdef FEFF_STANDIN

// The copper model through the path stages on a short k grid (a small restart file, small transforms).
std::shared_ptr<CopperModel> prepared_model(bool bind) {
    return std::make_shared<CopperModel>("Number_of_threads 1\nk_max 6\ndk 0.1\n", bind);
}

void remove_plain_files() {
    std::error_code ignored;
    for (const fs::directory_entry& entry : fs::directory_iterator(".", ignored)) {
        if (entry.is_regular_file(ignored)) fs::remove(entry.path(), ignored);
    }
}

// What keeping the listed paths changes in a path table, to be put back before the next input.
struct PathTable {
    std::vector<PathNode> nodes;
    std::vector<Path> paths;
    std::vector<std::int32_t> selected_paths;
    std::int32_t max_nleg = 0;
    decltype(Pathfinder::level_end) level_end{};
    std::vector<NodeGeometry> current;
    std::vector<std::int32_t> node_sources;
};

PathTable saved_path_table(const Pathfinder& finder) {
    PathTable table{{finder.nodes.begin(), finder.nodes.end()}, finder.paths, finder.selected_paths, finder.max_nleg,
                    finder.level_end, finder.current, finder.node_sources};
    return table;
}

void restore_path_table(Pathfinder& finder, const PathTable& table) {
    finder.nodes.clear();
    for (const PathNode& node : table.nodes) finder.nodes.push_back(node);
    finder.paths = table.paths;
    finder.selected_paths = table.selected_paths;
    finder.max_nleg = table.max_nleg;
    finder.level_end = table.level_end;
    finder.current = table.current;
    finder.node_sources = table.node_sources;
}

// feff_0/paths_fin.dat: the paths the refinement keeps, read back after stage 9.
FuzzTarget final_paths() {
    FuzzTarget target;
    auto model = prepared_model(false);
    const std::string list = feff_folder_file_path(0, "paths_fin.dat");
    target.seeds = {read_fuzz_file(list)};
    const auto pristine = std::make_shared<PathTable>(saved_path_table(model->finder()));
    remove_plain_files();
    target.state = model;
    target.run = [model, pristine, list](const std::string& input) {
        restore_path_table(model->finder(), *pristine);
        write_fuzz_file(list, input);
        // Both readings of the blocks, the one or the other by the input's length.
        const ListedPaths listed_by = input.size() % 2 == 0 ? ListedPaths::by_position : ListedPaths::by_geometry;
        load_final_paths(model->calc->edges[0], listed_by);
    };
    target.check = [model]() -> std::string {
        const Pathfinder& finder = model->finder();
        if (finder.paths.empty()) return "no path kept";
        for (const Path& path : finder.paths) {
            if (path.members.empty()) return "a path without members kept";
        }
        return "";
    };
    return target;
}

// feff_0/paths.dat from the potential run: its head goes into every path list, then FEFF (here the
// stand-in) runs the leading path and its chi.dat is read.
FuzzTarget feff_path_list() {
    FuzzTarget target;
    auto model = prepared_model(false);
    const std::string list = feff_folder_file_path(0, "paths.dat");
    target.seeds = {read_fuzz_file(list), seed("feff85l_paths.dat")};
    remove_plain_files();
    target.state = model;
    target.run = [model, list](const std::string& input) {
        write_fuzz_file(list, input);
        run_leading_path_feff(model->calc->edges[0]);
    };
    target.check = [model] {
        const auto& chi = model->calc->edges[0].reference_chi;
        return check_grid(chi.data(), chi.size(), "the leading path's signal");
    };
    return target;
}

// What a restart file holds after its parameter block, loaded into a model of the same parameters and
// reported as a continued run reports it.
struct RestartModel {
    std::shared_ptr<CopperModel> model;
    std::string head;
    std::vector<State> states;
    std::vector<Structure> structures;
    double step_length = 0.0;
};

FuzzTarget restart_file() {
    FuzzTarget target;
    auto saved = std::make_shared<RestartModel>();
    saved->model = prepared_model(true);
    Calculation& calc = *saved->model->calc;
    {
        CaptureStdout quiet;
        evaluate_states(calc, true, true, true, true, true, -1, -1);
        calc.iteration = 100;
        calc.objective_normaliser = 0.125;
        calc.mean_energy_change = 0.25;
        write_restart_file(calc);
    }
    const std::string text = read_fuzz_file("restart100");
    const std::size_t end = text.find("\nEND\n") + 5;
    saved->head = text.substr(0, end);
    target.seeds = {text.substr(end)};
    saved->states = calc.current_states;
    saved->structures = calc.structures;
    saved->step_length = calc.step_length;
    calc.flags.restart = true;
    calc.parameter_file_name = "restart.dat";
    remove_plain_files();
    target.state = saved;
    target.run = [saved](const std::string& input) {
        Calculation& c = *saved->model->calc;
        c.current_states = saved->states;
        c.structures = saved->structures;
        c.step_length = saved->step_length;
        c.iteration = 0;
        write_fuzz_file("restart.dat", saved->head + input);
        load_restart_file(c);
    };
    target.check = [saved]() -> std::string {
        const Calculation& c = *saved->model->calc;
        for (const State& state : c.current_states) {
            for (const Atom& atom : state.atoms) {
                for (const double value : {atom.x, atom.y, atom.z}) {
                    if (!is_usable_number(value)) return "a loaded displacement is no usable number";
                }
            }
            if (!std::isfinite(state.residual)) return "a loaded residual is no number";
            if (!std::isfinite(state_objective(c, state))) return "the objective of a loaded state is no number";
            for (const StateSpectrum& spectrum : state.spectra) {
                if (std::string problem = check_grid(spectrum.chi.re.data(), spectrum.chi.re.size(), "a loaded spectrum");
                    !problem.empty())
                    return problem;
            }
        }
        return "";
    };
    return target;
}

// oneD.dat: a coordination number and a start length for every path of every edge, in path order.
FuzzTarget oned_parameters() {
    FuzzTarget target;
    auto model = prepared_model(false);
    std::string valid;
    for (const Path& path : model->finder().paths) valid += "12 " + std::to_string(path.R) + "\n";
    target.seeds = {valid};
    remove_plain_files();
    target.state = model;
    target.run = [model](const std::string& input) {
        for (Path& path : model->finder().paths) {
            path.scale = 1.0;
            path.initial_distance = path.R;
        }
        std::istringstream in(input);
        read_oned_parameters(*model->calc, in);
    };
    target.check = [model]() -> std::string {
        for (const Path& path : model->finder().paths) {
            if (!is_usable_number(path.scale) || !is_usable_number(path.initial_distance))
                return "a path's coordination number or start length is no usable number";
        }
        return "";
    };
    return target;
}

// -md: the model's atoms frame by frame, each frame's EXAFS averaged into the spectrum files. A frame
// may put two atoms on one spot; nothing it brings may reach the averages as a value that is no number.
FuzzTarget md_trajectory() {
    FuzzTarget target;
    // FEFF never runs between frames, so every input is quick; the averages are then made of the
    // geometry alone, which is where atoms on one spot bring values that are no number.
    auto model = std::make_shared<CopperModel>("Number_of_threads 1\nk_max 6\ndk 0.1\nUpdate_basis_every_... 0\n", false);
    model->calc->flags.skipcheck = true;
    const Structure& structure = model->calc->structures[0];
    std::ostringstream frames;
    for (int f = 0; f < 2; ++f) {
        frames << structure.atom_count << "\nframe of copper\n";
        for (int i = 0; i < structure.atom_count; ++i) {
            const Atom& a = structure.supercell_atoms[static_cast<std::size_t>(i)];
            frames << "Cu " << a.x + 0.02 * f << ' ' << a.y - 0.01 * (i % 3) << ' ' << a.z << '\n';
        }
    }
    target.seeds = {frames.str()};
    const auto pristine = std::make_shared<PathTable>(saved_path_table(model->finder()));
    remove_plain_files();
    target.state = model;
    target.run = [model, pristine](const std::string& input) {
        restore_path_table(model->finder(), *pristine);
        write_fuzz_file("trajectory.xyz", input);
        run_gulp_md_trajectory(*model->calc, "trajectory.xyz");
    };
    target.check = [model] {
        const StateSpectrum& average = model->calc->current_states[0].spectra[0];
        if (std::string problem = check_grid(average.chi_grid.data(), average.chi_grid.size(), "the averaged spectrum");
            !problem.empty())
            return problem;
        return check_grid(average.chi.re.data(), average.chi.re.size(), "the averaged spectrum on the k grid");
    };
    return target;
}

#endif

}  // namespace

std::vector<FuzzedReader> run_file_readers() {
    std::vector<FuzzedReader> readers = {
        {"feff_chi",
         [] {
             return feff_table("chi.dat", 4,
                               {source_file("tests/theory/data/feff85l_chi.dat"), seed("feff85l_chi_pathrun.dat")});
         }},
        {"feff_chip", [] { return feff_table("chip0001.dat", 5, {source_file("tests/theory/data/feff85l_chip0001.dat")}); }},
    };
#ifdef FEFF_STANDIN
    readers.push_back({"feff_paths", feff_path_list});
    readers.push_back({"paths_fin", final_paths});
    readers.push_back({"restart_file", restart_file});
    readers.push_back({"oned_parameters", oned_parameters});
    readers.push_back({"md_trajectory", md_trajectory});
#endif
    return readers;
}
