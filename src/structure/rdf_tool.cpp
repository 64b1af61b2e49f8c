#include "structure/rdf_tool.hpp"

#include "control/calculation.hpp"
#include "control/console_log.hpp"
#include "control/output_file.hpp"
#include "control/process_end.hpp"
#include "structure/atom.hpp"
#include "structure/atom_io.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <limits>
#include <locale>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int bin_count = 500;
constexpr double bin_width = 0.02;
constexpr double max_distance = 10.0;
constexpr double min_distance = 0.01;
constexpr std::string_view wildcard = "Any";

struct Snapshot {
    std::int32_t real_count = 0;      // supercell atoms, which come first
    std::vector<Atom> atoms;          // supercell atoms followed by their periodic images
    std::vector<std::string> labels;  // distinct labels in order of first appearance
};

[[noreturn]] void fail(const std::string& message) {
    std::cout << message << '\n';
    end_process(4);
}

void skip_words(std::istream& in, int count) {
    std::string word;
    for (int i = 0; i < count; ++i) in >> word;
}

Snapshot read_snapshot(const std::string& file_name) {
    std::ifstream in(file_name);
    if (!in) {
        std::cout << "ERROR! Specified file with geometry not found!" << '\n';
        end_process(1);
    }
    in.imbue(std::locale::classic());

    // Header: "N" then "#First n lines - real atoms, remaining N-n lines - copies due to PBC."
    std::int32_t total = 0;
    Snapshot snapshot;
    in >> total;
    skip_words(in, 1);
    in >> snapshot.real_count;
    skip_words(in, 12);
    if (!in) fail("ERROR: UNREADABLE ATOM COUNTS IN " + file_name);
    if (total < 1 || snapshot.real_count < 0 || snapshot.real_count > total)
        fail("ERROR: WRONG NUMBER OF ATOMS IN " + file_name);

    // Grown atom by atom: a corrupt count must not reserve memory the file cannot back.
    for (std::int32_t i = 0; i < total; ++i) {
        Atom atom;
        read_atom_unscaled(atom, in, "gulp");
        if (!in) fail("ERROR: ONLY " + std::to_string(i) + " OF " + std::to_string(total) + " ATOMS READABLE IN " +
                      file_name);
        if (std::find(snapshot.labels.begin(), snapshot.labels.end(), atom.label) == snapshot.labels.end())
            snapshot.labels.push_back(atom.label);
        snapshot.atoms.push_back(atom);
    }
    return snapshot;
}

bool matches(const std::string& label, const std::string& wanted) { return wanted == wildcard || label == wanted; }

// End of input counts as the wildcard, so an exhausted console still yields a complete Any pair.
std::string read_label_answer() {
    std::string word;
    if (!(std::cin >> word)) return std::string(wildcard);
    return word;
}

struct PairHistogram {
    std::int64_t central_count = 0;
    std::int64_t bond_count = 0;
    std::array<std::int64_t, bin_count> counts{};
};

PairHistogram histogram_pairs(const Snapshot& snapshot, const std::string& central, const std::string& second) {
    PairHistogram h;
    for (std::int32_t i = 0; i < snapshot.real_count; ++i) {
        const Atom& centre = snapshot.atoms[static_cast<std::size_t>(i)];
        if (!matches(centre.label, central)) continue;
        ++h.central_count;
        for (const Atom& other : snapshot.atoms) {
            if (!matches(other.label, second)) continue;
            const double d = atom_distance(other, centre);
            if (!(d < max_distance && d > min_distance)) continue;
            // d < 10.0 keeps the bin below 500 in exact arithmetic; the guard covers rounding of d/0.02.
            const auto bin = static_cast<std::int64_t>(std::floor(d / bin_width));
            if (bin < 0 || bin >= bin_count) continue;
            ++h.counts[static_cast<std::size_t>(bin)];
            ++h.bond_count;
        }
    }
    return h;
}

void write_rdf_file(const std::string& file_name, const PairHistogram& h) {
    write_whole_file(file_name, [&](std::ostream& out) {
        out.imbue(std::locale::classic());
        const double norm = static_cast<double>(h.central_count) * bin_width;
        for (int i = 0; i < bin_count; ++i) {
            const double r = bin_width * i + 0.01;  // bin centre
            out << r << ' ' << static_cast<double>(h.counts[static_cast<std::size_t>(i)]) / norm << '\n';
        }
    }, OutputKind::optional);
}

}  // namespace

void generate_rdf_interactive(Calculation& calc) {
    std::cout << "-------------------";
    log_line("---------------------");

    const std::string& geometry_file = calc.structure_parameters[0].strings[StructureStringKey::File_for_final_xyz];
    const Snapshot snapshot = read_snapshot(geometry_file);

    while (true) {
        std::cout << "\tGENERATE RDF" << '\n';
        std::cout << "\t\tTotal number of atoms:\t" << snapshot.atoms.size() << '\n';
        std::cout << "\t\tReal atoms:\t" << snapshot.real_count << '\n';
        std::cout << "\t\tTypes of atoms:" << '\n';
        std::cout << "\t\t\t";
        for (const std::string& label : snapshot.labels) std::cout << label << ' ';
        std::cout << '\n';

        std::cout << "\t\tSelect central atom (print 'Any' if any)" << '\n';
        const std::string central = read_label_answer();
        std::cout << "\t\tSelect 2nd atom (print 'Any' if any)" << '\n';
        const std::string second = read_label_answer();

        const PairHistogram h = histogram_pairs(snapshot, central, second);
        const std::string rdf_file = "rdf_" + central + "-" + second + ".dat";
        std::cout << "\t\tTotal number of central atoms:\t" << h.central_count << '\n';
        std::cout << "\t\tTotal number of bonds (shorter than 1 nm):\t" << h.bond_count << '\n';
        if (h.central_count > 0) {
            write_rdf_file(rdf_file, h);
            std::cout << "\t\tRDF saved as:\t" << rdf_file << '\n';
        } else {
            // Per central atom, a distribution around none is undefined: no file rather than one of NaNs.
            std::cout << "WARNING: no central atom labelled " << central << "; " << rdf_file << " is not written." << '\n';
        }
        std::cout << "\t\tRepeat?" << '\n';
        std::cout << "\t\t\t 0: No" << '\n';
        std::cout << "\t\t\t 1: Yes" << '\n';

        // A failed read (end of input, letters) ends the tool: retrying a failed stream would spin forever.
        int answer = 0;
        if (!(std::cin >> answer) || answer != 1) break;
    }
    std::cout.flush();
}
