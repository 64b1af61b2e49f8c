// The readers of files a user hands the program: parameters, structures, geometries, trajectories,
// spectra, windows, energy definitions, GULP templates and the RDF tool's snapshot.

#include "fuzz/readers.hpp"

#include "control/calculation.hpp"
#include "control/number_text.hpp"
#include "control/parameter_reader.hpp"
#include "optimisation/population/energy_terms.hpp"
#include "optimisation/forcefield/gulp_input.hpp"
#include "optimisation/forcefield/gulp_trajectory.hpp"
#include "spectra/experimental_spectrum.hpp"
#include "spectra/signal.hpp"
#include "spectra/spectrum_context.hpp"
#include "structure/geometry.hpp"
#include "structure/rdf_tool.hpp"
#include "structure/structure.hpp"
#include "test_support.hpp"

#include <array>
#include <cmath>
#include <fstream>
#include <memory>
#include <sstream>

namespace {

std::string seed(const std::string& name) { return read_fuzz_file(fuzz_seed_path(name)); }

std::string source_file(const std::string& path) { return read_fuzz_file(std::string(TALQ_SOURCE_DIR) + "/" + path); }

std::string unusable(const std::string& what, double value) {
    std::ostringstream text;
    text << what << " holds " << value << ", which is no usable number";
    return text.str();
}

// Read values must lie in the usable range; values made from them (a supercell of a huge cell) need
// only be numbers.
std::string check_atoms(const std::vector<Atom>& atoms, const std::string& what, bool read = true) {
    for (const Atom& atom : atoms) {
        for (const double value : {atom.x, atom.y, atom.z}) {
            if (read ? !is_usable_number(value) : !std::isfinite(value)) return unusable(what, value);
        }
    }
    return "";
}

std::string check_values(const std::vector<double>& values, const std::string& what) {
    for (const double value : values) {
        if (!std::isfinite(value)) return unusable(what, value);
    }
    return "";
}

std::string check_structure(const Structure& structure) {
    if (structure.atom_count != static_cast<std::int32_t>(structure.supercell_atoms.size()))
        return "the atom count " + std::to_string(structure.atom_count) + " is not the supercell's " +
               std::to_string(structure.supercell_atoms.size());
    if (structure.working_count != static_cast<std::int32_t>(structure.working_atoms.size()))
        return "the working count is not the working list's";
    if (structure.atom_count < 1) return "a structure without atoms was kept";
    for (const double value : {structure.basis.x, structure.basis.y, structure.basis.z}) {
        if (!std::isfinite(value)) return unusable("the cell", value);
    }
    if (std::string problem = check_atoms(structure.supercell_atoms, "a supercell atom", false); !problem.empty())
        return problem;
    return check_atoms(structure.working_atoms, "a working atom", false);
}

// The parameters of a small run read as stage 2 reads them, with a spectrum context per spectrum.
std::unique_ptr<Calculation> calculation_from(const std::string& parameters) {
    auto calc = std::make_unique<Calculation>();
    set_parameter_defaults(*calc);
    write_fuzz_file("input.dat", "BEGIN\n" + parameters + "END\n");
    {
        CaptureStdout quiet;
        read_parameter_file(*calc, "input.dat", false, "");
    }
    for (int i = 0; i < calc->parameters.ints[IntKey::Number_of_spectra]; ++i) {
        init_spectrum_context(calc->spectra[i], calc->spectrum_parameters[i], calc->edges.data());
        calc->spectra[i].index = i;
        calc->spectrum_parameters[i].index = i;
    }
    return calc;
}

FuzzTarget parameter_file() {
    FuzzTarget target;
    target.seeds = {source_file("tests/control/data/example.dat"), seed("parameters_two_spectra.dat"),
                    source_file("examples/copper/copper.dat")};
    auto calc = std::make_shared<std::unique_ptr<Calculation>>();
    target.state = calc;
    target.run = [calc](const std::string& input) {
        write_fuzz_file("parameters.dat", input);
        *calc = std::make_unique<Calculation>();
        set_parameter_defaults(**calc);
        read_parameter_file(**calc, "parameters.dat", false, "");
    };
    target.check = [calc]() -> std::string {
        const Calculation& c = **calc;
        const ParameterBlock& p = c.parameters;
        if (p.ints[IntKey::Number_of_states] < 1) return "no state";
        if (p.ints[IntKey::Number_of_threads] < 1 || p.ints[IntKey::Number_of_threads] > max_threads) return "thread count";
        for (int i = 0; i < p.ints[IntKey::Number_of_spectra]; ++i) {
            const SpectrumParameters& s = c.spectrum_parameters[i];
            if (s.nk < 1 || s.nk > max_k_points) return "a k grid of " + std::to_string(s.nk) + " points";
            for (const double value : s.polarization) {
                if (s.has_polarization && !is_usable_number(value)) return unusable("the polarization", value);
            }
            for (int slot = 0; slot < SpectrumDoubleKey::count; ++slot) {
                if (!is_usable_number(s.doubles[slot])) return unusable("a spectrum parameter", s.doubles[slot]);
            }
        }
        return "";
    };
    return target;
}

// Structure 0 of a small periodic run built from the input by the geometry stage (supercell, doping,
// species and periodic images included).
FuzzTarget structure_file(const std::string& file_name, std::vector<std::string> seeds) {
    FuzzTarget target;
    target.seeds = std::move(seeds);
    auto calc = std::make_shared<std::unique_ptr<Calculation>>(
        calculation_from("File_with_structure " + file_name + "\nSupercell 2x2x1\nEdge Cu\nR_max 4\n"));
    target.state = calc;
    target.run = [calc, file_name](const std::string& input) {
        write_fuzz_file(file_name, input);
        (**calc).structures[0] = Structure{};
        build_geometry(**calc, "");
    };
    target.check = [calc] { return check_structure((**calc).structures[0]); };
    target.outputs = {"temp_P1.p1"};
    return target;
}

// A geometry given on the command line: the positions of a periodic model, or a whole cluster.
FuzzTarget geometry_file(bool periodic, std::vector<std::string> seeds) {
    FuzzTarget target;
    target.seeds = std::move(seeds);
    write_fuzz_file("cu.p1", seed("cu.p1"));
    auto calc = std::make_shared<std::unique_ptr<Calculation>>(calculation_from(
        std::string("File_with_structure cu.p1\nSupercell 1x1x1\nEdge Cu\nR_max 4\npbc ") + (periodic ? "1" : "0") + "\n"));
    (**calc).flags.has_extra_argument = true;
    (**calc).flags.setcenter = !periodic;
    target.state = calc;
    target.run = [calc](const std::string& input) {
        write_fuzz_file("geometry.xyz", input);
        (**calc).structures[0] = Structure{};
        build_geometry(**calc, "geometry.xyz");
    };
    target.check = [calc] { return check_structure((**calc).structures[0]); };
    return target;
}

// Every frame of a trajectory, as the trajectory modes read them for a model of 32 atoms.
FuzzTarget trajectory_file(TrajectoryLayout layout, double scale, std::vector<std::string> seeds) {
    FuzzTarget target;
    target.seeds = std::move(seeds);
    auto frames = std::make_shared<std::vector<TrajectoryFrame>>();
    target.state = frames;
    target.run = [frames, layout, scale](const std::string& input) {
        write_fuzz_file("trajectory", input);
        frames->clear();
        TrajectoryReader reader;
        open_trajectory(reader, "trajectory", layout, scale, 32);
        for (TrajectoryFrame frame; read_trajectory_frame(reader, frame);) frames->push_back(frame);
    };
    target.check = [frames]() -> std::string {
        if (frames->empty()) return "a trajectory without frames was read without an error";
        for (const TrajectoryFrame& frame : *frames) {
            if (frame.atoms.size() != frames->front().atoms.size()) return "frames of different sizes";
            if (std::string problem = check_atoms(frame.atoms, "a frame atom"); !problem.empty()) return problem;
        }
        return "";
    };
    return target;
}

// A small grid (41 points), so that the wavelet maps stay small.
const char* const small_spectrum_parameters =
    "File_with_experimental_EXAFS_signal exp.dat\nk_min 2\nk_max 6\ndk 0.1\nR_max 5\nEdge Cu\n";

// The experimental spectrum as stage 3 reads it: interpolated, transformed and measured.
FuzzTarget experimental_spectrum() {
    FuzzTarget target;
    target.seeds = {seed("spectrum.dat")};
    auto calc = std::make_shared<std::unique_ptr<Calculation>>(calculation_from(small_spectrum_parameters));
    write_fuzz_file("exp.dat", seed("spectrum.dat"));
    {
        CaptureStdout quiet;
        prepare_experimental_data(**calc);
    }
    target.state = calc;
    target.run = [calc](const std::string& input) {
        write_fuzz_file("exp.dat", input);
        load_experimental_spectrum((**calc).spectra[0]);
    };
    target.check = [calc]() -> std::string {
        const SpectrumContext& context = (**calc).spectra[0];
        if (std::string problem = check_values(context.exp_chi.re, "the spectrum"); !problem.empty()) return problem;
        for (const double norm : {context.norm_k, context.norm_q, context.norm_r, context.norm_w}) {
            if (!std::isfinite(norm)) return unusable("a reference norm", norm);
        }
        return "";
    };
    return target;
}

FuzzTarget amplitude_phase_file() {
    FuzzTarget target;
    target.seeds = {seed("amplitude.dat"), seed("phase.dat")};
    auto grid = std::make_shared<std::array<double, 403>>();
    target.state = grid;
    target.run = [grid](const std::string& input) {
        write_fuzz_file("amplitude.dat", input);
        grid->fill(0.0);
        read_experimental_amplitude_phase("amplitude.dat", grid->data());
    };
    target.check = [grid] { return check_values({grid->begin(), grid->end()}, "the amplitude table"); };
    return target;
}

// -skipwin: the four window files of spectrum 0 read back, then the experiment transformed with them.
// Each input is handed to all four readers, each reading it in its own layout.
FuzzTarget window_files() {
    FuzzTarget target;
    write_fuzz_file("exp.dat", seed("spectrum.dat"));
    auto calc = std::make_shared<std::unique_ptr<Calculation>>(calculation_from(small_spectrum_parameters));
    {
        CaptureStdout quiet;
        prepare_experimental_data(**calc);
    }
    for (const char* name : {"window_K_0", "window_Q_0", "window_R_0", "window_W_0"}) target.seeds.push_back(read_fuzz_file(name));
    (**calc).flags.skipwin = true;
    target.state = calc;
    target.run = [calc](const std::string& input) {
        for (const char* name : {"window_K_0", "window_Q_0", "window_R_0", "window_W_0"}) write_fuzz_file(name, input);
        prepare_experimental_data(**calc);
    };
    target.check = [calc]() -> std::string {
        const SpectrumContext& context = (**calc).spectra[0];
        for (const SignalArray* window : {&context.window_k, &context.window_q, &context.window_r, &context.window_w}) {
            for (const auto* values : {&window->re, &window->im, &window->mod}) {
                if (std::string problem = check_values(*values, "a window"); !problem.empty()) return problem;
            }
        }
        for (const double norm : {context.norm_k, context.norm_q, context.norm_r, context.norm_w}) {
            if (!std::isfinite(norm)) return unusable("a reference norm", norm);
        }
        return "";
    };
    return target;
}

FuzzTarget energy_definitions() {
    FuzzTarget target;
    target.seeds = {seed("energy_terms.dat")};
    write_fuzz_file("cu.p1", seed("cu.p1"));
    auto calc = std::make_shared<std::unique_ptr<Calculation>>(
        calculation_from("File_with_structure cu.p1\nSupercell 1x1x1\nEdge Cu\nPotential_type file\n"
                         "File_with_potential energy.dat\n"));
    {
        CaptureStdout quiet;
        build_geometry(**calc, "");
    }
    target.state = calc;
    target.run = [calc](const std::string& input) {
        write_fuzz_file("energy.dat", input);
        read_energy_definitions((**calc).structures[0]);
    };
    target.check = [calc]() -> std::string {
        const auto& terms = (**calc).structures[0].energy_terms;
        if (terms.size() > static_cast<std::size_t>(max_energy_terms)) return "more terms than a structure holds";
        for (const EnergyTerm& term : terms) {
            for (const double value : term.p) {
                if (!is_usable_number(value)) return unusable("an energy term", value);
            }
        }
        return "";
    };
    return target;
}

FuzzTarget gulp_template() {
    FuzzTarget target;
    target.seeds = {seed("gulp_template")};
    target.run = [](const std::string& input) {
        std::istringstream in(input);
        std::ofstream out(gulp_input_name, std::ios::trunc);
        transcribe_gulp_template(in, out, std::vector<double>{1.0, 0.5, 2.0});
    };
    target.outputs = {gulp_input_name};
    return target;
}

// -useFF copies the force field into the template as it stands.
FuzzTarget force_field() {
    FuzzTarget target;
    target.seeds = {seed("force_field")};
    write_fuzz_file("cu.p1", seed("cu.p1"));
    auto calc = std::make_shared<std::unique_ptr<Calculation>>(calculation_from("File_with_structure cu.p1\nSupercell 1x1x1\nEdge Cu\n"));
    {
        CaptureStdout quiet;
        build_geometry(**calc, "");
    }
    (**calc).flags.useFF = true;
    target.state = calc;
    target.run = [calc](const std::string& input) {
        write_fuzz_file(force_field_name, input);
        write_gulp_template(**calc, 0.1);
    };
    target.outputs = {gulp_template_name};
    return target;
}

// The -rdf tool on a snapshot, asked for every pair once.
FuzzTarget rdf_snapshot() {
    FuzzTarget target;
    target.seeds = {seed("final_snapshot.xyz")};
    auto calc = std::make_shared<std::unique_ptr<Calculation>>(calculation_from(""));
    target.state = calc;
    target.run = [calc](const std::string& input) {
        write_fuzz_file((**calc).structure_parameters[0].strings[StructureStringKey::File_for_final_xyz], input);
        FeedStdin answers("Any\nAny\n0\n");
        generate_rdf_interactive(**calc);
    };
    // Without a central atom no file is written; otherwise all 500 values are numbers.
    target.outputs = {"rdf_Any-Any.dat"};
    target.check = []() -> std::string {
        if (!std::ifstream("rdf_Any-Any.dat")) return "";
        std::istringstream rows(read_fuzz_file("rdf_Any-Any.dat"));
        int numbers = 0;
        for (std::string r, g; rows >> r >> g;) ++numbers;
        if (numbers != 500) return "the RDF file does not hold 500 rows";
        return "";
    };
    return target;
}

}  // namespace

std::vector<FuzzedReader> input_file_readers() {
    return {
        {"parameter_file", parameter_file},
        {"p1_structure", [] { return structure_file("structure.p1", {seed("cu.p1"), seed("cu2o_cartesian.p1")}); }},
        {"cif_structure", [] { return structure_file("structure.cif", {seed("cu2o.cif"), seed("hcp.cif")}); }},
        {"xyz_structure", [] { return structure_file("structure.xyz", {seed("cluster.xyz")}); }},
        {"initial_geometry", [] { return geometry_file(true, {seed("initial_geometry.xyz")}); }},
        {"cluster_geometry", [] { return geometry_file(false, {seed("cluster_geometry.xyz")}); }},
        {"xyz_trajectory", [] { return trajectory_file(TrajectoryLayout::xyz, 1.0, {seed("trajectory.xyz")}); }},
        {"gulp_movie", [] { return trajectory_file(TrajectoryLayout::xyz, 1.0, {seed("movie.xyz")}); }},
        {"gulp_gmc", [] { return trajectory_file(TrajectoryLayout::gulp_mc, 1.0, {seed("gulp.gmc")}); }},
        {"experimental_spectrum", experimental_spectrum},
        {"amplitude_phase", amplitude_phase_file},
        {"window_files", window_files},
        {"energy_definitions", energy_definitions},
        {"gulp_template", gulp_template},
        {"force_field", force_field},
        {"rdf_snapshot", rdf_snapshot},
    };
}
