#include "control/threads.hpp"

#include "control/process_end.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iostream>
#include <string>
#include <system_error>
#include <utility>

namespace {

// Owns the threads of one section. Joining in the destructor means no exit from fork_join, whether by
// return or by exception, can destroy a thread that is still running.
class ThreadGroup {
public:
    explicit ThreadGroup(std::int32_t capacity) { threads_.reserve(static_cast<std::size_t>(capacity)); }
    ~ThreadGroup() { join_all(); }
    ThreadGroup(const ThreadGroup&) = delete;
    ThreadGroup& operator=(const ThreadGroup&) = delete;

    // Capacity is reserved up front, so adding never reallocates and cannot throw once the thread exists.
    void add(std::thread thread) { threads_.push_back(std::move(thread)); }

    void join_all() {
        for (std::thread& thread : threads_) {
            if (thread.joinable()) thread.join();
        }
    }

private:
    std::vector<std::thread> threads_;
};

void report_failed_call(const std::string& call, const std::error_code& code) {
    std::cerr << call << " failed with error " << code.value() << ": " << code.message() << '\n';
}

std::thread start_system_thread(std::function<void()> procedure) { return std::thread(std::move(procedure)); }

}  // namespace

std::vector<WorkRange> split_work(std::int32_t item_count, std::int32_t thread_count) {
    std::vector<WorkRange> records;
    if (thread_count < 1) return records;
    records.resize(static_cast<std::size_t>(thread_count));
    // The chunk is rounded up in floating point and the bounds truncated, so the last non-empty slice
    // absorbs the shortfall and any slices past n come out empty.
    const double chunk = std::ceil(static_cast<double>(item_count) / static_cast<double>(thread_count));
    for (std::int32_t k = 0; k < thread_count; ++k) {
        WorkRange& record = records[static_cast<std::size_t>(k)];
        record.first = static_cast<std::int32_t>(static_cast<double>(k) * chunk);
        record.end = std::min(static_cast<std::int32_t>(static_cast<double>(k + 1) * chunk), item_count);
        record.thread_count = thread_count;
    }
    return records;
}

void fork_join(std::int32_t count, const std::function<void(std::int32_t)>& body, const ThreadStarter& start) {
    if (count <= 0) return;
    ThreadGroup group(count);
    for (std::int32_t k = 0; k < count; ++k) {
        try {
            group.add(start([&body, k] { body(k); }));
        } catch (const std::system_error& error) {
            report_failed_call("pthread_create", error.code());
            // The running threads hold references into the caller's records, which the unwinding from
            // end_process would release under them.
            group.join_all();
            end_process(3);
        }
    }
    group.join_all();
}

void fork_join(std::int32_t count, const std::function<void(std::int32_t)>& body) {
    fork_join(count, body, start_system_thread);
}

void run_work_range_threads(WorkRange* records, std::int32_t thread_count,
                            const std::function<void(WorkRange&)>& worker) {
    fork_join(thread_count, [records, &worker](std::int32_t k) { worker(records[k]); });
}

void run_work_range_threads(WorkRange* records, const std::function<void(WorkRange&)>& worker) {
    run_work_range_threads(records, records[0].thread_count, worker);
}

void run_feff_threads(const FeffRunTask* tasks,
                      const std::function<void(std::int32_t edge_index, std::int32_t folder_index)>& runner) {
    fork_join(tasks[0].task_count,
              [tasks, &runner](std::int32_t k) { runner(tasks[k].edge_index, tasks[k].folder_index); });
}
