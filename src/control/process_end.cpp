#include "control/process_end.hpp"

void end_process(int code) { throw ProcessEnd{code}; }
