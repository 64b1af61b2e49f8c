#pragma once

// Runs the program on its command line and returns the process exit code.
int talq_main(int argc, char** argv);
