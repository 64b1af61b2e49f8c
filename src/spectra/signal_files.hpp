#pragma once

#include <string>

struct SignalArray;

// Line layouts of signal files: chi(k) with the input's k weighting and column order, a Fourier
// transform (R re im mod), a wavelet map (k R re im mod, R outer), a k-space line (k re).
constexpr int signal_file_chi = 0;
constexpr int signal_file_ft = 1;
constexpr int signal_file_wt = 3;
constexpr int signal_file_k_line = 4;

// Whole or not at all (write_whole_file: a warning names the reason, a full disk ends the run).
void write_signal_file(const SignalArray& signal, const std::string& file_name, int mode);
void read_signal_file(SignalArray& signal, const std::string& file_name, int mode);
