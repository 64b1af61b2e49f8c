#include "structure/periodic_images.hpp"

#include "control/calculation.hpp"
#include "structure/elements.hpp"

#include <algorithm>

namespace {

// Pairs and triples of faces whose shifts combine into the edge and corner neighbours, never joining
// opposite faces.
constexpr int double_shifts[12][2] = {{1, 0}, {2, 0}, {2, 1}, {3, 1}, {3, 2}, {4, 0},
                                      {4, 2}, {4, 3}, {5, 0}, {5, 1}, {5, 3}, {5, 4}};
constexpr int triple_shifts[8][3] = {{2, 1, 0}, {3, 2, 1}, {4, 2, 0}, {4, 3, 2},
                                     {5, 1, 0}, {5, 3, 1}, {5, 4, 0}, {5, 4, 3}};

Atom shifted(const std::array<CellFace, 6>& faces, const Atom& atom, int face) {
    return atom_move_along(atom, faces[face].direction, faces[face].length);
}

double cutoff_of_spectra(const Calculation& calc) {
    double cutoff = calc.spectrum_parameters[0].doubles[SpectrumDoubleKey::R_max_for_FEFF];
    for (int s = 0; s < calc.parameters.ints[IntKey::Number_of_spectra]; ++s) {
        cutoff = std::max(cutoff, calc.spectrum_parameters[s].doubles[SpectrumDoubleKey::R_max_for_FEFF]);
    }
    return cutoff;
}

}  // namespace

void build_cell_faces(Structure& structure) {
    const Atom& a = structure.cell_vectors[0];
    const Atom& b = structure.cell_vectors[1];
    const Atom& c = structure.cell_vectors[2];
    const auto [sa, sb, sc] = structure.supercell_lengths;
    const double lengths[3] = {sa, sb, sc};
    const Atom far_corner = atom_linear_combination(structure.cell_vectors, lengths);
    const Atom origin{"", 0.0, 0.0, 0.0};
    auto& f = structure.faces;
    f[0] = {b, a, atom_negate(c), sc, far_corner};
    f[1] = {c, a, atom_negate(b), sb, far_corner};
    f[2] = {c, b, atom_negate(a), sa, far_corner};
    f[3] = {a, b, c, sc, origin};
    f[4] = {a, c, b, sb, origin};
    f[5] = {b, c, a, sa, origin};
}

Atom cell_face_normal(const CellFace& face) { return atom_unit_vector(atom_cross(face.edge1, face.edge2)); }

double signed_distance_to_face(const CellFace& face, const Atom& atom, const Atom& w) {
    const Atom n = cell_face_normal(face);
    const double along = atom_dot(n, atom_add(atom, atom_negate(face.point))) / atom_dot(n, w);
    return along * atom_norm(atom_unit_vector(w));
}

std::array<Atom, image_count> make_periodic_images(const std::array<CellFace, 6>& faces, const Atom& atom) {
    std::array<Atom, image_count> images;
    int r = 0;
    for (int face = 0; face < 6; ++face) images[r++] = shifted(faces, atom, face);
    for (const auto& pair : double_shifts) images[r++] = shifted(faces, shifted(faces, atom, pair[0]), pair[1]);
    for (const auto& triple : triple_shifts) {
        images[r++] = shifted(faces, shifted(faces, shifted(faces, atom, triple[0]), triple[1]), triple[2]);
    }
    return images;
}

int select_images_inside_cell(const std::array<CellFace, 6>& faces, std::span<const Atom> images,
                              std::vector<Atom>& out, double cutoff) {
    int kept = 0;
    for (const Atom& image : images) {
        const bool inside = std::all_of(faces.begin(), faces.end(), [&](const CellFace& face) {
            return signed_distance_to_face(face, image, face.direction) >= -cutoff;
        });
        if (inside) {
            out.push_back(image);
            ++kept;
        }
    }
    return kept;
}

namespace {

void label_working_elements(Structure& structure) {
    structure.working_z.resize(structure.working_atoms.size());
    for (std::size_t k = 0; k < structure.working_atoms.size(); ++k)
        structure.working_z[k] = atomic_number_of_label(structure.working_atoms[k].label);
}

}  // namespace

void build_periodic_images(Structure& structure, bool select_images) {
    build_cell_faces(structure);
    const std::int32_t n = structure.atom_count;
    structure.working_atoms.assign(structure.supercell_atoms.begin(), structure.supercell_atoms.begin() + n);
    structure.working_source.resize(static_cast<std::size_t>(n));
    for (std::int32_t i = 0; i < n; ++i) structure.working_source[static_cast<std::size_t>(i)] = i;
    if (!structure.parameters->bools[StructureBoolKey::pbc]) {
        structure.working_count = n;
        label_working_elements(structure);
        return;
    }

    const double cutoff = cutoff_of_spectra(*structure.owner);
    structure.working_atoms.reserve(static_cast<std::size_t>(n) * (image_count + 1));
    structure.working_source.reserve(static_cast<std::size_t>(n) * (image_count + 1));
    for (std::int32_t i = 0; i < n; ++i) {
        const auto images = make_periodic_images(structure.faces, structure.supercell_atoms[static_cast<std::size_t>(i)]);
        const std::size_t before = structure.working_atoms.size();
        if (select_images) {
            select_images_inside_cell(structure.faces, images, structure.working_atoms, cutoff);
        } else {
            structure.working_atoms.insert(structure.working_atoms.end(), images.begin(), images.end());
        }
        structure.working_source.insert(structure.working_source.end(), structure.working_atoms.size() - before, i);
    }
    structure.working_count = static_cast<std::int32_t>(structure.working_atoms.size());
    label_working_elements(structure);
}
