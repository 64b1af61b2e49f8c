#include "control/threads.hpp"

#include "test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Slices = std::vector<std::pair<std::int32_t, std::int32_t>>;

Slices slices_of(const std::vector<WorkRange>& records) {
    Slices slices;
    for (const WorkRange& record : records) slices.emplace_back(record.first, record.end);
    return slices;
}

// Writes a value only this index can produce, and keeps an exact per-slice sum in its own record.
void fill_slice(WorkRange& record) {
    double partial = 0.0;
    for (std::int32_t i = record.first; i < record.end; ++i) {
        record.output_re[i] = std::sin(0.37 * i) * std::exp(-0.001 * i);
        partial += static_cast<double>(i % 97);
    }
    record.real_argument = partial;
}

}  // namespace

TEST(SplitWork, SlicesFollowTheRoundedUpChunk) {
    EXPECT_EQ(slices_of(split_work(10, 3)), (Slices{{0, 4}, {4, 8}, {8, 10}}));
    EXPECT_EQ(slices_of(split_work(1000, 1)), (Slices{{0, 1000}}));
    EXPECT_EQ(slices_of(split_work(0, 3)), (Slices{{0, 0}, {0, 0}, {0, 0}}));
    // More threads than items: past n the start keeps growing while the end is clamped, so the
    // trailing slices are empty (first >= end) but still present.
    EXPECT_EQ(slices_of(split_work(2, 4)), (Slices{{0, 1}, {1, 2}, {2, 2}, {3, 2}}));
    for (const WorkRange& record : split_work(2, 4)) EXPECT_EQ(record.thread_count, 4);
}

TEST(SplitWork, EveryIndexBelongsToExactlyOneSliceInOrder) {
    for (std::int32_t n = 0; n <= 300; ++n) {
        for (std::int32_t threads = 1; threads <= 256; ++threads) {
            const std::vector<WorkRange> records = split_work(n, threads);
            ASSERT_EQ(records.size(), static_cast<std::size_t>(threads));
            std::int32_t next = 0;  // contiguous, ordered, non-overlapping slices ending at n cover each index once
            for (const WorkRange& record : records) {
                if (record.first >= record.end) continue;
                ASSERT_EQ(record.first, next) << "n=" << n << " T=" << threads;
                next = record.end;
            }
            ASSERT_EQ(next, n) << "n=" << n << " T=" << threads;
        }
    }
}

TEST(WorkRangeThreads, EachRecordRunsOnceOnItsOwnThreadAndSlice) {
    const std::int32_t n = 1000;
    const std::int32_t threads = 7;
    std::vector<WorkRange> records = split_work(n, threads);
    std::vector<double> owner(static_cast<std::size_t>(n), -1.0);
    std::vector<std::thread::id> ran_on(static_cast<std::size_t>(threads));
    for (std::int32_t k = 0; k < threads; ++k) {
        records[static_cast<std::size_t>(k)].output_re = owner.data();
        records[static_cast<std::size_t>(k)].extra = k;
    }

    run_work_range_threads(records.data(), [&ran_on](WorkRange& record) {
        for (std::int32_t i = record.first; i < record.end; ++i) record.output_re[i] = record.extra;
        ran_on[static_cast<std::size_t>(record.extra)] = std::this_thread::get_id();
        record.extra += 1000;  // a second run of the record would show as 2000 + k
    });

    for (std::int32_t k = 0; k < threads; ++k) {
        const WorkRange& record = records[static_cast<std::size_t>(k)];
        EXPECT_EQ(record.extra, 1000 + k);
        for (std::int32_t other = 0; other < k; ++other)
            EXPECT_NE(ran_on[static_cast<std::size_t>(k)], ran_on[static_cast<std::size_t>(other)]) << "a thread of its own";
        for (std::int32_t i = record.first; i < record.end; ++i) EXPECT_EQ(owner[static_cast<std::size_t>(i)], k);
    }
}

TEST(WorkRangeThreads, ZeroCountStartsNothing) {
    WorkRange record;
    bool ran = false;
    run_work_range_threads(&record, [&ran](WorkRange&) { ran = true; });
    EXPECT_FALSE(ran);
}

TEST(WorkRangeThreads, ResultsDoNotDependOnThreadCount) {
    const std::int32_t n = 5003;
    std::vector<double> reference;
    double reference_total = 0.0;
    for (std::int32_t threads : {1, 2, 3, 7, 64, 65, 256}) {
        std::vector<double> out(static_cast<std::size_t>(n), std::nan(""));
        std::vector<WorkRange> records = split_work(n, threads);
        for (WorkRange& record : records) record.output_re = out.data();
        run_work_range_threads(records.data(), fill_slice);

        double total = 0.0;
        for (const WorkRange& record : records) total += record.real_argument;
        if (reference.empty()) {
            reference = out;
            reference_total = total;
            continue;
        }
        // Bitwise: an index must give the same value whichever thread computed it.
        ASSERT_EQ(out, reference) << "T=" << threads;
        EXPECT_EQ(total, reference_total) << "T=" << threads;
    }
}

// Items handed to whichever thread comes free: each runs once, on a slot below the thread count; one
// thread takes them in order on the caller.
TEST(ShareOut, EveryItemRunsOnceOnASlotBelowTheThreadCount) {
    for (const std::int32_t threads : {1, 3, 8}) {
        std::vector<std::atomic<int>> runs(40);
        std::vector<std::int32_t> order;
        std::atomic<bool> slot_in_range{true};
        share_out(threads, 5, 45, [&](std::int32_t item, std::int32_t slot) {
            ++runs[static_cast<std::size_t>(item - 5)];
            if (slot < 0 || slot >= threads) slot_in_range = false;
            if (threads == 1) order.push_back(item);
        });
        for (const std::atomic<int>& count : runs) EXPECT_EQ(count.load(), 1) << threads << " threads";
        EXPECT_TRUE(slot_in_range.load()) << threads << " threads";
        if (threads == 1) {
            EXPECT_EQ(order.size(), 40u);
            EXPECT_TRUE(std::is_sorted(order.begin(), order.end())) << "in order";
        }
    }
}

TEST(ForkJoin, AFailureReachesTheCallerOnlyAfterEveryBodyHasEnded) {
    const std::int32_t count = 6;
    for (const std::int32_t thrower : {0, 3}) {
        std::vector<std::atomic<bool>> ended(static_cast<std::size_t>(count));
        try {
            fork_join(count, [&](std::int32_t k) {
                if (k == thrower || k == 5) throw std::runtime_error("task " + std::to_string(k));
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                ended[static_cast<std::size_t>(k)] = true;
            });
            ADD_FAILURE() << "no failure passed on";
        } catch (const std::runtime_error& failure) {
            EXPECT_EQ(std::string(failure.what()), "task " + std::to_string(thrower)) << "the lowest index";
            for (std::int32_t k = 0; k < count; ++k) {
                if (k != thrower && k != 5) {
                    EXPECT_TRUE(ended[static_cast<std::size_t>(k)]) << k;
                }
            }
        }
    }
    // The threads serve the next section as before.
    std::vector<std::int32_t> seen(static_cast<std::size_t>(count), 0);
    fork_join(count, [&seen](std::int32_t k) { seen[static_cast<std::size_t>(k)] = k + 1; });
    EXPECT_EQ(seen, (std::vector<std::int32_t>{1, 2, 3, 4, 5, 6}));
}

TEST(FeffThreads, EachTaskGetsItsOwnEdgeAndFolder) {
    const std::int32_t count = 5;
    std::vector<FeffRunTask> tasks(static_cast<std::size_t>(count));
    for (std::int32_t k = 0; k < count; ++k) tasks[static_cast<std::size_t>(k)] = {k, count, 10 + 3 * k};
    std::vector<std::int32_t> edge_of_folder(static_cast<std::size_t>(count), -1);

    run_feff_threads(tasks.data(), [&edge_of_folder](std::int32_t edge_index, std::int32_t folder_index) {
        edge_of_folder[static_cast<std::size_t>(folder_index)] = edge_index;
    });

    EXPECT_EQ(edge_of_folder, (std::vector<std::int32_t>{10, 13, 16, 19, 22}));
}

TEST(ThreadStartFailure, ReportsTheCallWaitsForStartedThreadsAndEndsWithCode3) {
    std::vector<int> ran(5, 0);
    int started = 0;
    const ThreadStarter fail_third = [&started](std::function<void()> procedure) {
        if (started == 2) throw std::system_error(EAGAIN, std::generic_category(), "thread");
        ++started;
        return std::thread([procedure = std::move(procedure)] {
            // Slow enough that a launcher which did not wait would return before the write.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            procedure();
        });
    };

    std::ostringstream captured;
    std::streambuf* const previous = std::cerr.rdbuf(captured.rdbuf());
    const int code = exit_code_of(
        [&] { fork_join(5, [&ran](std::int32_t k) { ran[static_cast<std::size_t>(k)] = 1; }, fail_third); });
    std::cerr.rdbuf(previous);

    EXPECT_EQ(code, 3);
    EXPECT_EQ(captured.str(), "pthread_create failed with error " + std::to_string(EAGAIN) + ": " +
                                  std::generic_category().message(EAGAIN) + "\n");
    EXPECT_EQ(ran, (std::vector<int>{1, 1, 0, 0, 0}));
}
