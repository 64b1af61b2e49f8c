#pragma once

// Every way a run ends early (side modes, fatal errors) goes through end_process: it throws ProcessEnd,
// which the entry point catches. Unwinding the stack closes every file stream the run holds, so no
// buffered output is lost, and the entry point flushes standard output before returning the code.
struct ProcessEnd {
    int code;
};

[[noreturn]] void end_process(int code);
