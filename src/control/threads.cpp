#include "control/threads.hpp"

#include "control/process_end.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cmath>
#include <cstddef>
#include <exception>
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

// Set on the threads of a section while they work: a section asked for from inside one (a transform of
// a state evaluated on a worker, say) runs its parts one after the other on that thread.
thread_local bool inside_section = false;

// The threads of the sections, started when a section first needs them and kept for the next ones:
// starting a thread costs tens of microseconds, as much as a whole section of a state's evaluation, and
// so does waking a sleeping one. The caller runs task 0 of each section and worker k task k, so that a
// section of T tasks keeps T processors busy and no more; a worker that has finished looks for the next
// section for a short while before it goes to sleep, so that the sections of one evaluation follow each
// other without waking anybody.
class WorkerPool {
public:
    WorkerPool() = default;
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    ~WorkerPool() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_.store(true);
        }
        wake_.notify_all();
        for (std::thread& thread : threads_) {
            if (thread.joinable()) thread.join();
        }
    }

    void run(std::int32_t count, const std::function<void(std::int32_t)>& body) {
        grow_to(count - 1);
        body_ = &body;
        failures_.assign(static_cast<std::size_t>(count), nullptr);
        pending_.store(count - 1);
        {
            // Under the lock, so that a worker about to sleep cannot miss the new section.
            std::lock_guard<std::mutex> lock(mutex_);
            const std::uint64_t generation = (section_.load(std::memory_order_relaxed) >> 32) + 1;
            section_.store(generation << 32 | static_cast<std::uint32_t>(count), std::memory_order_release);
        }
        wake_.notify_all();
        run_task(0);
        if (!wait_briefly([this] { return pending_.load(std::memory_order_acquire) == 0; })) {
            std::unique_lock<std::mutex> lock(mutex_);
            done_.wait(lock, [this] { return pending_.load(std::memory_order_acquire) == 0; });
        }
        body_ = nullptr;
        // Only now, with every task ended, may the caller unwind: the tasks hold references into its
        // records. The failure of the lowest index is the one passed on, whatever the timing.
        for (std::int32_t k = 0; k < count; ++k) {
            if (failures_[static_cast<std::size_t>(k)]) std::rethrow_exception(failures_[static_cast<std::size_t>(k)]);
        }
    }

private:
    // Looks for the condition for about 50 microseconds, giving the processor away between looks.
    template <class Condition>
    static bool wait_briefly(Condition condition) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(50);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::yield();
        }
        return true;
    }

    void run_task(std::int32_t index) {
        inside_section = true;
        try {
            (*body_)(index);
        } catch (...) {
            failures_[static_cast<std::size_t>(index)] = std::current_exception();
        }
        inside_section = false;
    }

    void grow_to(std::int32_t workers) {
        while (static_cast<std::int32_t>(threads_.size()) < workers) {
            const auto index = static_cast<std::int32_t>(threads_.size()) + 1;
            try {
                threads_.push_back(start_system_thread([this, index] { serve(index); }));
            } catch (const std::system_error& error) {
                report_failed_call("pthread_create", error.code());
                end_process(3);
            }
        }
    }

    void serve(std::int32_t index) {
        std::uint64_t seen = 0;
        for (;;) {
            // The generation and the count of a section are read in one load: read apart, a worker
            // could pair the count of a new section with the generation of the one before and run its
            // task twice.
            std::uint64_t section = 0;
            const auto changed = [&] {
                if (stopping_.load()) return true;
                section = section_.load(std::memory_order_acquire);
                return section >> 32 != seen;
            };
            if (!wait_briefly(changed)) {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, changed);
            }
            if (stopping_.load()) return;
            seen = section >> 32;
            if (index >= static_cast<std::int32_t>(section & 0xffffffffU)) continue;
            run_task(index);
            if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
                std::lock_guard<std::mutex> lock(mutex_);
                done_.notify_one();
            }
        }
    }

    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    // Written by the caller before the section is published, read by the workers after they see it;
    // the caller cannot move on to the next section before every worker it needs has ended its task.
    const std::function<void(std::int32_t)>* body_ = nullptr;
    std::vector<std::exception_ptr> failures_;
    std::atomic<std::int32_t> pending_{0};
    // The generation of the current section in the high half, its task count in the low half.
    std::atomic<std::uint64_t> section_{0};
    std::atomic<bool> stopping_{false};
};

WorkerPool& worker_pool() {
    static WorkerPool pool;
    return pool;
}

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
    if (count <= 0) return;
    if (inside_section) {
        for (std::int32_t k = 0; k < count; ++k) body(k);
        return;
    }
    worker_pool().run(count, body);
}

void share_out(std::int32_t threads, std::int32_t first, std::int32_t end,
               const std::function<void(std::int32_t, std::int32_t)>& work) {
    threads = std::min(threads, end - first);
    if (threads <= 1) {
        for (std::int32_t i = first; i < end; ++i) work(i, 0);
        return;
    }
    std::atomic<std::int32_t> next{first};
    fork_join(threads, [&](std::int32_t k) {
        for (std::int32_t i = next++; i < end; i = next++) work(i, k);
    });
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
