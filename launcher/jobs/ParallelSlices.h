#pragma once

#include <QtGlobal>
#include <algorithm>
#include <thread>
#include <vector>

// Runs work(from, to) over consecutive slices of [0, count) on several threads at once, the calling
// thread taking the first slice, and returns when all are done. For the per-file loops of large
// installs, where every item is independent and only reads shared data (each thread works on its
// own shallow copy of implicitly shared containers). Small counts run on the calling thread alone.
template <typename Work> void forEachSlice(qsizetype count, Work work)
{
    constexpr qsizetype minimumSlice = 4096;
    const qsizetype threads = std::clamp<qsizetype>(count / minimumSlice, 1,
                                                    std::clamp<qsizetype>(std::thread::hardware_concurrency(), 1, 8));
    std::vector<std::thread> helpers;
    for (qsizetype t = 1; t < threads; ++t)
        helpers.emplace_back([&, t] { work(count * t / threads, count * (t + 1) / threads); });
    work(qsizetype(0), count / threads);
    for (std::thread& helper : helpers)
        helper.join();
}
