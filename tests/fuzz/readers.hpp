#pragma once

#include "fuzz/harness.hpp"

#include <vector>

// The fuzzed readers, by the kind of file: what a user writes, and what FEFF and earlier runs leave.
std::vector<FuzzedReader> input_file_readers();
std::vector<FuzzedReader> run_file_readers();
