// Concurrent bin-size search: find_best_packing's result, with the six
// orderings searched on several threads.
//
// What it does: find_best_packing_concurrently sorts the six default
// orderings and runs each one's bin-size search (best_packing_for_ordering)
// on one of `threads` threads, the calling thread among them. It then judges
// the outcomes in ordering order by the sequential rule (a fit no larger
// than the best so far wins, so equal areas go to the later ordering; with
// no fit, the first ordering) and packs the chosen ordering on the calling
// thread, which alone calls the callbacks. The searches share nothing but
// the read-only records, so placements, flips, callbacks and the returned
// size are exactly those of find_best_packing, whatever the thread count.
// finder_input::stop ends it as it ends find_best_packing: no thread takes
// another ordering, and nothing is packed.
// What it does not do: keep threads between calls, or split one ordering's
// search. Below two threads, and when the rectangles must miss the largest
// bin (one sort and one pass, nothing to share out), it calls
// find_best_packing itself. If a thread cannot be started, the threads
// already running take its share.
// Cost: the slowest ordering's search (six searches over `threads`), plus
// starting up to five threads per call. Memory: six orderings of n pointers
// and a packing root per thread, thread_local to the calling thread and
// kept between calls.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cassert>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <tuple>
#include <variant>
#include <vector>

#include "best_bin_finder.hpp"

namespace tessel {

// Calls f with the index-th element of the tuple.
template <class Tuple, class F>
void with_element(const Tuple& tuple, const std::size_t index, F&& f) {
    std::apply(
        [&](const auto&... each) {
            std::size_t k = 0;
            ((k++ == index ? f(each) : void()), ...);
        },
        tuple);
}

template <class empty_spaces_type, class F, class G>
rect_wh find_best_packing_concurrently(std::vector<typename empty_spaces_type::output_rect_type>& subjects,
                                       const finder_input<F, G>& input, const int threads) {
    using rect_type = typename empty_spaces_type::output_rect_type;
    using order_type = std::vector<rect_type*>;
    const auto orderings = default_orderings<rect_type>();
    constexpr std::size_t count = std::tuple_size<std::decay_t<decltype(orderings)>>::value;

    // Named references: other threads must reach the calling thread's
    // storage, not their own thread_local copies.
    thread_local std::array<order_type, count> orders_of_caller;
    thread_local std::vector<empty_spaces_type> roots_of_caller;
    std::array<order_type, count>& orders = orders_of_caller;
    std::vector<empty_spaces_type>& roots = roots_of_caller;

    const rect_wh max_bin(input.bin_side_limit, input.bin_side_limit);
    collect_subjects(orders[0], subjects);
    if (threads < 2 || ordering_extent(orders[0]).must_miss(max_bin, input.flipping)) {
        return find_best_packing<empty_spaces_type>(subjects, input);
    }
    const std::size_t workers = std::min(static_cast<std::size_t>(threads), count);
    while (roots.size() < workers) {
        roots.emplace_back(rect_wh());
    }

    std::array<std::variant<int, rect_wh>, count> outcomes;
    std::atomic<std::size_t> next{0};
    std::exception_ptr failure;
    std::mutex failure_lock;
    const auto search = [&](empty_spaces_type& root) {
        try {
            root.flipping_mode = input.flipping;
            for (std::size_t i = next++; i < count && !stop_requested(input.stop); i = next++) {
                order_type& order = orders[i];
                collect_subjects(order, subjects);
                with_element(orderings, i,
                             [&](const auto& comparator) { std::sort(order.begin(), order.end(), comparator); });
                outcomes[i] = best_packing_for_ordering(root, order, max_bin, input.search_resolution, input.stop);
            }
        } catch (...) {  // out of memory: the caller rethrows it once all threads are joined
            const std::lock_guard<std::mutex> hold(failure_lock);
            failure = std::current_exception();
            next = count;
        }
    };

    std::vector<std::thread> helpers;
    helpers.reserve(workers - 1);
    for (std::size_t t = 1; t < workers; ++t) {
        try {
            helpers.emplace_back(search, std::ref(roots[t]));
        } catch (const std::system_error&) {
            break;
        }
    }
    search(roots[0]);
    for (std::thread& helper : helpers) {
        helper.join();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    if (stop_requested(input.stop)) {  // orderings left unsearched hold nothing to pack
        return rect_wh();
    }

    std::size_t best = count;
    rect_wh best_bin = max_bin;
    for (std::size_t i = 0; i < count; ++i) {
        if (const rect_wh* const bin = std::get_if<rect_wh>(&outcomes[i])) {
            if (bin->area() <= best_bin.area()) {
                best = i;
                best_bin = *bin;
            }
        } else if (best == count) {
            best = i;
        }
    }
    assert(best < count);
    finder_input<F, G> packing_input = input;
    return pack_ordering(packing_root<empty_spaces_type>(input.flipping), orders[best], best_bin, packing_input);
}

}  // namespace tessel
