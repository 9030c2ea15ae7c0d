// Waiting on a condition with a deadline, for tests that cannot be told
// when something happens and must look.
#pragma once

#include <algorithm>
#include <chrono>
#include <thread>

// Calls cond until it holds or the deadline passes; cond is called once
// more at the deadline. The first pauses are short so that a condition that
// is met at once costs no time; later ones grow, so that a condition that
// costs a bus round trip does not keep a two-core machine busy.
template <typename Cond>
bool wait_until(Cond &&cond, std::chrono::milliseconds deadline = std::chrono::seconds(10))
{
    using clock = std::chrono::steady_clock;
    const auto end = clock::now() + deadline;
    std::chrono::microseconds pause(500);
    for (;;) {
        if (cond())
            return true;
        const auto now = clock::now();
        if (now >= end)
            return false;
        std::this_thread::sleep_for(std::min<clock::duration>(pause, end - now));
        pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(8));
    }
}
