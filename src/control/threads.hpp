#pragma once

#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

// The record of one thread of a slicing section. Each section fills only the fields its worker reads.
// A worker may write the slice [first, end) of the arrays it produces and the fields of its own record;
// everything else it reaches is shared with the other threads and read-only until the join.
struct WorkRange {
    void* data = nullptr;     // the object the section works on
    void* context = nullptr;  // a second object, where the worker needs one
    double* output_re = nullptr;
    double* output_im = nullptr;
    double* output_mod = nullptr;
    const double* input = nullptr;
    std::int32_t first = 0;         // first index of the slice
    std::int32_t end = 0;           // one past the last index; first >= end is an empty slice
    std::int32_t thread_count = 0;  // number of records of the section; launchers read it from record 0
    std::int32_t extra = 0;
    double real_argument = 0.0;
    bool flag = false;
};

// The record of one thread that runs FEFF in a worker folder.
struct FeffRunTask {
    std::int32_t folder_index = 0;  // negative: the edge's own folder rather than a numbered copy
    std::int32_t task_count = 0;    // number of records; launchers read it from record 0
    std::int32_t edge_index = 0;
};

// One record per thread holding the slice of item_count items that thread k works on:
// chunk = ceil(n / T), first = trunc(k * chunk), end = min(trunc((k + 1) * chunk), n).
// Trailing records may get empty slices (first >= end); they are still run. Every record gets
// thread_count set. A thread count below 1 gives no records.
std::vector<WorkRange> split_work(std::int32_t item_count, std::int32_t thread_count);

// Starts a thread running the given procedure. Launchers go through one so that a failing start can be
// simulated; it reports failure by throwing std::system_error, as std::thread does.
using ThreadStarter = std::function<std::thread(std::function<void()>)>;

// Runs body(k) for each index 0 .. count-1, each on a thread of its own (index 0 on the calling
// thread), and returns once all of them have ended; the join is the only ordering point between the
// threads and the caller. The threads are kept from one section to the next (one per index, started
// when first needed). An exception thrown by a body is passed on to the caller once every body has
// ended (that of the lowest index, when several throw). When a thread cannot be started, writes
// "pthread_create failed with error <code>: <text>" to standard error and ends the process with
// code 3. A count of 0 or less runs nothing. Asked for from a thread of a running section,
// it runs the bodies in index order on that thread (sections do not nest).
void fork_join(std::int32_t count, const std::function<void(std::int32_t)>& body);
// The same on threads started for this section alone, through `start`; a failed start waits for the
// threads already running before the process ends.
void fork_join(std::int32_t count, const std::function<void(std::int32_t)>& body, const ThreadStarter& start);

// Runs work(i, slot) for i = first .. end-1 on at most `threads` threads of the sections (see fork_join),
// each item handed to whichever thread comes free, `slot` (below `threads`) being the thread's own: for
// items whose costs differ widely. The items must touch nothing in common, so that the order does not
// matter; with one thread or one item they run in order on the calling thread.
void share_out(std::int32_t threads, std::int32_t first, std::int32_t end,
               const std::function<void(std::int32_t item, std::int32_t slot)>& work);

// Runs worker(records[k]) on its own thread for each of the records[0].thread_count records.
void run_work_range_threads(WorkRange* records, const std::function<void(WorkRange&)>& worker);
// The same with the count given by the caller, for sections that keep it elsewhere than in record 0.
void run_work_range_threads(WorkRange* records, std::int32_t thread_count,
                            const std::function<void(WorkRange&)>& worker);

// Runs runner(edge_index, folder_index) on its own thread for each of the tasks[0].task_count tasks.
void run_feff_threads(const FeffRunTask* tasks,
                      const std::function<void(std::int32_t edge_index, std::int32_t folder_index)>& runner);
