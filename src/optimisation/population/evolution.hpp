#pragma once

struct Calculation;

// One generation of the evolutionary step over the current population: pairs of parents chosen by a
// roulette wheel (the better a state, the larger its share) or by tournaments of two, each pair crossed
// into two children, and the children competing with their parents (or replacing them); the population
// is evaluated again at the end.
void select_parents_roulette(Calculation& calc);
void select_parents_tournament(Calculation& calc);
// Pair p (offspring 2p and 2p+1, copies of parents a and b): one draw decides whether they are crossed;
// if so, every atom record and (with adjust_weights) every structure weight is swapped with even odds.
void crossover_states(Calculation& calc, int p, int a, int b);
void compete_parents_children(Calculation& calc);
