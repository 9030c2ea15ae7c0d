// The bench's own arithmetic: /proc parsing against a process whose name is
// built to mislead a naive parser, the restart of the peak resident set, and
// the percentile summary.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "bench/proc_sample.h"
#include "bench/round_trip.h"

namespace
{

int64_t own_cpu_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Samples until pred holds; the last sample, ok only when pred held in time.
template <typename Pred>
proc_sample sample_until(pid_t pid, Pred pred)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        proc_sample sample = proc_take(pid);
        if (sample.ok && pred(sample))
            return sample;
        if (std::chrono::steady_clock::now() > deadline) {
            sample.ok = false;
            return sample;
        }
        usleep(5000);
    }
}

// The test process itself is the subject: its main thread takes a name
// built to mislead a parser that looks for the first ')', burns about
// 200 ms of CPU, then starts a thread that naps in short steps.
TEST(BenchProcSample, ParsesCpuThreadsAndSwitchesDespiteTheName)
{
    char old_name[16] = {};
    prctl(PR_GET_NAME, old_name);
    prctl(PR_SET_NAME, "x) R 1 2 (");
    while (own_cpu_ns() < 200 * 1000000LL) {}
    proc_sample first = proc_take(getpid());
    int64_t cpu_ns = own_cpu_ns();
    ASSERT_TRUE(first.ok);
    EXPECT_GT(first.rss_kib, 0);
    // The kernel scales utime+stime to the same runtime the CPU clock reads.
    double tick_ms = 1000.0 / sysconf(_SC_CLK_TCK);
    EXPECT_NEAR(first.cpu_ticks * tick_ms, cpu_ns / 1e6, 50.0);
    EXPECT_NEAR(first.cpu_ns / 1e6, cpu_ns / 1e6, 50.0);

    std::atomic<bool> stop{false};
    std::thread napper([&] {
        while (!stop)
            usleep(1000);
    });
    proc_sample later = sample_until(getpid(), [&](const proc_sample &s) {
        return s.threads > first.threads && s.voluntary >= first.voluntary + 5;
    });
    stop = true;
    napper.join();
    prctl(PR_SET_NAME, old_name);
    ASSERT_TRUE(later.ok);
    proc_delta delta = proc_diff(first, later);
    EXPECT_GT(delta.seconds, 0);
    EXPECT_GT(delta.wakeups_per_s, 0);
    EXPECT_GE(delta.cpu_ms, 0);
}

// The flood's peak is the flood's only if the restart works: a peak left
// from earlier would pass for it. The block is mapped by hand, as a freed
// heap block may stay resident (a sanitizer's quarantine keeps it).
TEST(BenchProcSample, PeakRestartsFromTheCurrentResidentSet)
{
    const size_t size = 64 << 20;
    void *block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(block, MAP_FAILED);
    memset(block, 1, size);
    munmap(block, size);
    int64_t peak = proc_status_kib(getpid(), "VmHWM");
    int64_t resident = proc_status_kib(getpid(), "VmRSS");
    ASSERT_GT(peak, resident + 48 * 1024);

    ASSERT_TRUE(proc_peak_reset(getpid()));
    int64_t restarted = proc_status_kib(getpid(), "VmHWM");
    EXPECT_LT(restarted, resident + 16 * 1024);
}

TEST(BenchSummary, PercentilesOfAKnownSpread)
{
    std::vector<int64_t> ns;
    for (int i = 1000; i >= 1; i--)
        ns.push_back(i * 1000000LL);
    latency_summary s = summarise(ns, 3);
    EXPECT_EQ(s.count, 1000u);
    EXPECT_EQ(s.failures, 3);
    EXPECT_DOUBLE_EQ(s.p50_ms, 501);
    EXPECT_DOUBLE_EQ(s.p99_ms, 991);
    EXPECT_DOUBLE_EQ(s.max_ms, 1000);
    EXPECT_DOUBLE_EQ(s.mean_ms, 500.5);

    latency_summary one = summarise({7000000}, 0);
    EXPECT_DOUBLE_EQ(one.p50_ms, 7);
    EXPECT_DOUBLE_EQ(one.p999_ms, 7);
    EXPECT_EQ(summarise({}, 2).count, 0u);
}

} // namespace
