#pragma once

#include "structure/structure.hpp"

#include <array>
#include <span>

constexpr int image_count = 26;

void build_cell_faces(Structure& structure);
Atom cell_face_normal(const CellFace& face);
// Signed distance of the atom from the face plane measured along w: positive on the side w points to.
double signed_distance_to_face(const CellFace& face, const Atom& atom, const Atom& w);
// The 26 neighbouring copies of the atom: six single, twelve double and eight triple supercell shifts.
std::array<Atom, image_count> make_periodic_images(const std::array<CellFace, 6>& faces, const Atom& atom);
// Keeps, in order, the images lying inside the supercell enlarged by the cutoff along each cell axis.
int select_images_inside_cell(const std::array<CellFace, 6>& faces, std::span<const Atom> images,
                              std::vector<Atom>& out, double cutoff);
// Fills the working list: the supercell atoms, then (with periodic boundaries) their images, all of
// them or only those within the largest R_max_for_FEFF of the spectra.
void build_periodic_images(Structure& structure, bool select_images);
