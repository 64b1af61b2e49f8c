#pragma once

struct Calculation;
struct State;

// Gives every supercell atom of every structure of the state a random displacement: three draws per
// atom, each coordinate (2U - 1) D / sqrt(2), with D the structure's Initial_displacement.
void randomise_state(Calculation& calc, State& state);
