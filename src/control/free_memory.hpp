#pragma once

// Hands the memory the process has freed back to the system. Large tables made for a while (the
// clustering check's exact signals) leave free pages below allocations that outlive them, which the
// allocator keeps otherwise: the run would show them as its own for as long as it goes on.
void return_free_memory();
