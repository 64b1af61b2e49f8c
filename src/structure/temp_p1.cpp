#include "structure/temp_p1.hpp"

#include "control/process_end.hpp"
#include "structure/atom_io.hpp"

#include <algorithm>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <locale>

void write_temp_p1_file(const std::string& title, const std::array<Atom, 3>& cell,
                        const std::vector<Atom>& fractional_atoms) {
    std::vector<std::string> species;
    std::vector<int> counts;
    for (const Atom& atom : fractional_atoms) {
        const auto it = std::find(species.begin(), species.end(), atom.label);
        if (it == species.end()) {
            species.push_back(atom.label);
            counts.push_back(1);
        } else {
            ++counts[static_cast<std::size_t>(it - species.begin())];
        }
    }

    std::ofstream out(temp_p1_file_name);
    out.imbue(std::locale::classic());
    out << std::fixed << std::setprecision(9);
    out << title << '\n' << "1.0" << '\n';
    for (const Atom& v : cell) out << v.x << ' ' << v.y << ' ' << v.z << '\n';
    for (const std::string& label : species) out << label << ' ';
    out << '\n';
    for (int count : counts) out << count << ' ';
    out << '\n' << "Direct" << '\n';
    for (const Atom& atom : fractional_atoms) write_atom(atom, atom.label, out, "feff");
    out.close();
    if (!out) {
        std::cout << "ERROR: FILE " << temp_p1_file_name << " CANNOT BE WRITTEN!" << '\n';
        end_process(4);
    }
}
