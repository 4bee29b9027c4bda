// shared_work.hpp: items 0 to count - 1 worked on by several threads, each
// taking the next as it is free.
//
// What it does: calls work_on(i, state) for every item i, on the calling
// thread and on up to `threads` - 1 more, as many as the system starts (a
// thread that cannot start leaves its share to the others). Items are taken
// `run` at a time, in order; each thread has a State of its own, made once
// (buffers, a folder held open). The first exception a call throws stops
// the other threads at their next run, and is thrown again once all have
// ended, so the caller's objects outlive every thread.
//
// What it does not: let go of Python's interpreter lock (the caller does,
// around the call), or say in which order or on which thread items ran.
//
// Costs: a thread started per helper, an atomic step per run of items.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace shared_work {

template <class State, class WorkOn>
void share(std::size_t count, std::size_t run, int threads, WorkOn&& work_on) {
    std::atomic<std::size_t> next{0};
    std::mutex failing;
    std::exception_ptr failure;
    const auto work = [&] {
        try {
            State state{};
            for (std::size_t first; (first = next.fetch_add(run)) < count;) {
                for (std::size_t i = first, end = std::min(first + run, count); i < end; ++i) {
                    work_on(i, state);
                }
            }
        } catch (...) {
            const std::lock_guard<std::mutex> held(failing);
            if (!failure) {
                failure = std::current_exception();
            }
            next = count;  // the other threads stop at their next run
        }
    };
    {
        std::vector<std::thread> helpers;
        const std::size_t wanted =
            std::min<std::size_t>((count + run - 1) / run, static_cast<std::size_t>(std::max(threads, 1)));
        try {
            for (std::size_t t = 1; t < wanted; ++t) {
                helpers.emplace_back(work);
            }
        } catch (...) {
            // No more threads to be had: the items are shared among those there are.
        }
        work();
        for (std::thread& helper : helpers) {
            helper.join();
        }
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

}  // namespace shared_work
