#pragma once

struct Calculation;

// The console dialogue of -edit: pick a section, pick a key, type its new value(s), repeat or stop.
// An answer that names nothing listed, or cannot be read, ends the run with code 5.
void edit_parameters_interactively(Calculation& calc);
