#include "optimisation/forcefield/gulp_trajectory.hpp"

#include "control/console_log.hpp"
#include "control/number_text.hpp"
#include "control/process_end.hpp"
#include "optimisation/population/state.hpp"
#include "structure/elements.hpp"
#include "structure/structure.hpp"

#include <algorithm>
#include <iostream>
#include <optional>

namespace {

constexpr int gulp_mc_ignored_words = 12;
constexpr int xyz_ignored_words = 3;

std::size_t at(std::int64_t i) { return static_cast<std::size_t>(i); }

[[noreturn]] void wrong_atom_count(const TrajectoryReader& reader) {
    std::cout << "ERROR: WRONG NUMBER OF ATOMS IN " << reader.file_name << '\n';
    end_process(4);
}

[[noreturn]] void unidentified_label() {
    std::cout << "ERROR: UNIDENTIFIED ATOM LABEL!" << '\n';
    end_process(5);
}

// The words of one frame. A word missing at the end of the file means the frame was cut off. So does,
// in GULP's Monte Carlo file, whose every line GULP ends, a word that runs into the end of the file: GULP
// stopped while writing leaves a number cut short that would still read as one. (xyz files may come
// from anywhere, and their last line may lack its end.) A word that is there but is not the number it
// should be means the file is not a trajectory of this layout.
struct FrameWords {
    TrajectoryReader& reader;
    bool cut_off = false;

    bool next(std::string& word) {
        if (reader.in >> word && !(reader.layout == TrajectoryLayout::gulp_mc && reader.in.eof())) return true;
        cut_off = true;
        return false;
    }
    template <class T>
    std::optional<T> number() {
        std::string word;
        if (!next(word)) return std::nullopt;
        const std::optional<T> value = parse_whole_number<T>(word);
        if (!value) wrong_atom_count(reader);
        return value;
    }
    bool skip(int count) {
        std::string word;
        for (int i = 0; i < count; ++i)
            if (!next(word)) return false;
        return true;
    }
};

bool read_position(FrameWords& words, Atom& atom, double scale) {
    const auto x = words.number<double>();
    if (!x) return false;
    const auto y = words.number<double>();
    if (!y) return false;
    const auto z = words.number<double>();
    if (!z) return false;
    atom_set_xyz(atom, *x * scale, *y * scale, *z * scale);
    // Distances, sites and displacements are made of these; beyond the usable range they overflow.
    for (const double value : {atom.x, atom.y, atom.z}) {
        if (!is_usable_number(value)) refuse_file_value(words.reader.file_name, value);
    }
    return true;
}

bool read_frame_atom(FrameWords& words, Atom& atom, TrajectoryLayout layout, double scale) {
    if (layout == TrajectoryLayout::gulp_mc) {
        const auto z = words.number<int>();
        if (!z) return false;
        if (*z < 1 || *z > element_count) unidentified_label();
        atom.label = element_symbol(*z);
        if (!words.number<long long>()) return false;
    } else if (!words.next(atom.label)) {
        return false;
    }
    return read_position(words, atom, scale);
}

// Reads the frame after its first word; false when the file ends inside it.
bool read_frame_body(TrajectoryReader& reader, const std::string& first_word, TrajectoryFrame& frame) {
    FrameWords words{reader};
    std::optional<std::int32_t> count;
    if (reader.layout == TrajectoryLayout::gulp_mc) {
        const auto step = words.number<std::int64_t>();
        if (!step || !words.skip(gulp_mc_ignored_words)) return false;
        frame.step = *step;
        count = words.number<std::int32_t>();
        if (!count) return false;
    } else {
        count = parse_whole_number<std::int32_t>(first_word);
        if (!count) wrong_atom_count(reader);
        frame.step = reader.frames_read;
        if (!words.skip(xyz_ignored_words)) return false;
    }
    // Every later frame is matched atom by atom to the first, and every atom to a model atom.
    if (*count < 1 || *count > reader.max_atoms || (reader.atoms_per_frame >= 0 && *count != reader.atoms_per_frame))
        wrong_atom_count(reader);
    frame.atoms.resize(at(*count));
    for (Atom& atom : frame.atoms)
        if (!read_frame_atom(words, atom, reader.layout, reader.scale)) return false;
    return true;
}

}  // namespace

void open_trajectory(TrajectoryReader& reader, const std::string& file_name, TrajectoryLayout layout, double scale,
                     std::int32_t max_atoms) {
    reader.file_name = file_name;
    reader.layout = layout;
    reader.scale = scale;
    reader.max_atoms = max_atoms;
    reader.atoms_per_frame = -1;
    reader.frames_read = 0;
    reader.in.close();
    reader.in.clear();
    reader.in.open(file_name);
    if (!reader.in) {
        std::cout << "ERROR: FILE WITH XYZ DATA CANNOT BE OPENED!" << open_failure_note(file_name) << '\n';
        end_process(4);
    }
}

bool read_trajectory_frame(TrajectoryReader& reader, TrajectoryFrame& frame) {
    std::string first_word;
    if (!(reader.in >> first_word)) {
        if (reader.frames_read == 0) wrong_atom_count(reader);
        return false;
    }
    if (!read_frame_body(reader, first_word, frame)) {
        if (reader.frames_read == 0) wrong_atom_count(reader);
        std::cout << "WARNING: INCOMPLETE LAST FRAME OF " << reader.file_name << " IS IGNORED!" << '\n';
        return false;
    }
    reader.atoms_per_frame = static_cast<std::int32_t>(frame.atoms.size());
    ++reader.frames_read;
    return true;
}

std::vector<std::int32_t> map_frame_to_sites(const Structure& structure, std::span<const Atom> frame) {
    // The element of every working entry is looked up once, not once per frame atom.
    std::vector<int> working_z(at(structure.working_count));
    for (std::int32_t b = 0; b < structure.working_count; ++b)
        working_z[at(b)] = atomic_number_of_label(structure.working_atoms[at(b)].label);

    std::vector<std::int32_t> sites;
    sites.reserve(frame.size());
    for (const Atom& atom : frame) {
        const int z = atomic_number_of_label(atom.label);
        if (z == 0) unidentified_label();
        double best = 1.0e6;
        std::int32_t nearest = -1;
        for (std::int32_t b = 0; b < structure.working_count; ++b) {
            if (working_z[at(b)] != z) continue;
            const double d = atom_distance(structure.working_atoms[at(b)], atom);
            if (d < best) {
                best = d;
                nearest = b;
            }
        }
        if (nearest < 0) unidentified_label();
        sites.push_back(nearest);
    }
    return sites;
}

double store_frame_at_sites(State& state, int j, std::span<const Atom> frame, std::span<const std::int32_t> sites,
                            double dmax) {
    const Structure& structure = state.structures[j];
    for (std::size_t i = 0; i < frame.size() && i < sites.size(); ++i) {
        const Atom& site = structure.working_atoms[at(sites[i])];
        const int source = structure.working_source[at(sites[i])];
        Atom record = get_structure_atom(state, j, source);
        atom_set_xyz(record, frame[i].x - site.x, frame[i].y - site.y, frame[i].z - site.z);
        set_structure_atom(state, record, j, source);
        dmax = std::max(dmax, atom_norm(record));
    }
    return dmax;
}

double store_frame_in_order(State& state, int j, std::span<const Atom> frame, double dmax) {
    const std::size_t count = std::min(frame.size(), at(state.structures[j].atom_count));
    for (std::size_t i = 0; i < count; ++i) {
        set_atom_position(state, frame[i], j, static_cast<int>(i));
        dmax = std::max(dmax, atom_norm(get_structure_atom(state, j, static_cast<int>(i))));
    }
    return dmax;
}
