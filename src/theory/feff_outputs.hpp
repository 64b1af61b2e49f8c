#pragma once

#include <array>
#include <string>
#include <vector>

// Rows of a FEFF output table: chi.dat gives k, chi and two more fields per row; chipNNNN.dat gives k,
// chi, the magnitude, the phase and the effective phase.
using FeffRow = std::array<double, 5>;

// A FEFF output that cannot be used: the console line that reports it and the exit code of the run.
struct FeffOutputError {
    int code = 1;
    std::string message;
};

// Reads the rows after the first word that begins with '@' (the column line), each of `fields` numbers,
// to the end of the file; an incomplete last row is dropped. A missing file, or one without the column
// line, ends the run with an error naming it: FEFF reports its failures only by missing outputs. A word
// that is no usable number ends it too (exit code 4).
std::vector<FeffRow> read_feff_table(const std::string& path, int fields);

// The rows of read_feff_table, which must reach the end of the grid k = 0.05 i (size points) as
// place_on_fixed_grid lays them out. FEFF writes its tables to the end of its k grid, so one that stops
// short was cut off (FEFF crashed or the disk filled); the points it lacks would keep stale values. A
// short table ends the run with exit code 1.
std::vector<FeffRow> read_feff_grid_table(const std::string& path, int fields, int size);

// read_feff_grid_table for readers on worker threads, which leave the report to the thread that started
// them: every failure throws FeffOutputError instead of ending the run.
std::vector<FeffRow> load_feff_grid_table(const std::string& path, int fields, int size);

// Places column `column` of the rows on the grid k = 0.05 i (size elements): row r goes to element r,
// or to r + 1 with element 0 set to 0 when the first row is at k = 0.05. Rows past the grid are dropped.
void place_on_fixed_grid(const std::vector<FeffRow>& rows, int column, double* target, int size);
