#include "control/entry.hpp"

int talq_main(int, char**) { return 0; }
