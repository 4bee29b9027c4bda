// Best-bin finder: the entry point of the packing core.
//
// What it does: find_best_packing sorts pointers to the caller's records in
// six orderings (by area, perimeter, longer side, width, height and
// elongation), binary-searches for each ordering the smallest bin within a
// bin_side_limit square that holds all its rectangles (both sides together,
// then width alone, then height alone), packs the best ordering once more
// into its bin and writes every placement into the caller's record, calling
// on_inserted / on_not_inserted once per record.
// A caller on another thread can end a long search early through
// finder_input::stop: once it reads true, no ordering is sorted or searched
// any more, every trial counts as a miss and the final pass places nothing
// more, so the call returns within one insertion per thread; the records
// then hold no meaningful placement.
// What it does not do: validate input (records with area() <= 0 are simply
// skipped), throw, start threads, or re-enter itself from a callback. The
// search assumes bin_side_limit >= 0 with a square that fits a signed 32-bit
// int, and search_resolution >= 1; otherwise the results are unspecified.
// Cost: six sorts of n pointers, then per ordering three binary searches of
// about log2(bin_side_limit) trials each, every trial inserting up to all
// n rectangles (see empty_spaces.hpp). Trials whose bin cannot hold the
// ordering (too little area, a side too short) and trials of a bin already
// tried are decided without packing; the outcomes are exactly those of
// packing. Rectangles that cannot all fit the largest bin (as when filling
// one texture of many) cost one sort and one pass: every search would end
// in a miss, and the first ordering is packed as far as it goes (sorted by
// key when it is a largest_first). Memory: two orderings of n pointers (the
// best so far and the one being tried), or one and the keyed sort's scratch
// of two words per rectangle, and the packing root, all thread_local, one
// set per template instantiation; they keep their storage between calls, so
// after the largest input has been seen once, a call does not allocate.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "empty_spaces.hpp"
#include "rect_structs.hpp"

namespace tessel {

enum class callback_decision : int { STOP_PACKING = 0, KEEP_PACKING = 1 };

enum class bin_dimension : int { BOTH_SIDES = 0, WIDTH_ONLY = 1, HEIGHT_ONLY = 2 };

template <class F, class G>
struct finder_input {
    int bin_side_limit;
    int search_resolution;
    F on_inserted;
    G on_not_inserted;
    flipping_option flipping;
    // When set and true, the search ends as soon as it can (see above).
    const std::atomic<bool>* stop = nullptr;
};

inline bool stop_requested(const std::atomic<bool>* const stop) {
    return stop != nullptr && stop->load(std::memory_order_relaxed);
}

// Named callables are held by reference (F and G deduce to lvalue references),
// so they must outlive the finder_input and its copies.
template <class F, class G>
finder_input<F, G> make_finder_input(const int bin_side_limit, const int search_resolution, F&& on_inserted,
                                     G&& on_not_inserted, const flipping_option flipping) {
    return finder_input<F, G>{bin_side_limit, search_resolution, std::forward<F>(on_inserted),
                              std::forward<G>(on_not_inserted), flipping, nullptr};
}

// What a set of rectangles needs from any bin, whatever their order: its
// area, and sides long enough for the largest of them.
struct ordering_extent {
    std::int64_t total_area = 0;
    int widest = 0;
    int tallest = 0;
    int longest = 0;
    int thickest = 0;
    bool empty = true;

    template <class OrderType>
    explicit ordering_extent(const OrderType& ordering) {
        for (const auto& element : ordering) {
            const auto& rect = dereference(element);
            total_area += rect.area();
            widest = std::max(widest, rect.w);
            tallest = std::max(tallest, rect.h);
            longest = std::max(longest, rect.get_wh().max_side());
            thickest = std::max(thickest, rect.get_wh().min_side());
            empty = false;
        }
    }

    // True when packing into `bin` must end with a miss: a bin with less area
    // than the rectangles, or a side too short for one of them.
    bool must_miss(const rect_wh& bin, const flipping_option flipping) const {
        if (empty) {
            return false;
        }
        if (std::int64_t{bin.w} * bin.h < total_area) {
            return true;
        }
        if (flipping == flipping_option::FLIPPING_ALLOWED) {
            return bin.min_side() < thickest || bin.max_side() < longest;
        }
        return bin.w < widest || bin.h < tallest;
    }
};

// The trials of one ordering: packing it into a bin of given size, up to the
// first rectangle that finds no space. Two shortcuts give exactly the
// outcomes that packing would, only sooner: a bin that the ordering's extent
// must miss is not packed, and the outcome of each recent bin is remembered,
// since the three searches of an ordering often try the same bin twice.
template <class empty_spaces_type, class OrderType>
class ordering_trials {
    struct remembered_trial {
        rect_wh bin;
        bool fits;
        int inserted_area;  // -1 when the trial was decided without packing
    };

    empty_spaces_type& root;
    const OrderType& ordering;
    const ordering_extent extent;
    const std::atomic<bool>* const stop;
    std::array<remembered_trial, 8> recent{};
    std::size_t remembered = 0;

    remembered_trial pack(const rect_wh& bin) {
        root.reset(bin);
        int inserted_area = 0;
        for (const auto& element : ordering) {
            const auto& rect = dereference(element);
            if (stop_requested(stop) || !root.insert(rect.get_wh())) {
                return {bin, false, inserted_area};
            }
            inserted_area += rect.area();
        }
        return {bin, true, inserted_area};
    }

    const remembered_trial* find(const rect_wh& bin) const {
        for (std::size_t i = 0; i < std::min(remembered, recent.size()); ++i) {
            if (recent[i].bin.w == bin.w && recent[i].bin.h == bin.h) {
                return &recent[i];
            }
        }
        return nullptr;
    }

    const remembered_trial& remember(const remembered_trial& trial) {
        remembered_trial& slot = recent[remembered++ % recent.size()];
        slot = trial;
        return slot;
    }

public:
    ordering_trials(empty_spaces_type& root_, const OrderType& ordering_, const std::atomic<bool>* const stop_)
        : root(root_), ordering(ordering_), extent(ordering_), stop(stop_) {}

    bool fits(const rect_wh& bin) {
        if (const remembered_trial* const known = find(bin)) {
            return known->fits;
        }
        const bool hopeless = extent.must_miss(bin, root.flipping_mode);
        return remember(hopeless ? remembered_trial{bin, false, -1} : pack(bin)).fits;
    }

    // The area placed before the first miss in this bin (packing it if the
    // miss was decided without packing).
    int inserted_area(const rect_wh& bin) {
        const remembered_trial* const known = find(bin);
        if (known != nullptr && known->inserted_area >= 0) {
            return known->inserted_area;
        }
        return remember(pack(bin)).inserted_area;
    }
};

// Binary search over one or both sides of starting_bin. Returns the bin found,
// or, when the candidate grows past starting_bin, the area that the last trial
// placed before its first miss.
template <class empty_spaces_type, class OrderType>
std::variant<int, rect_wh> best_packing_for_ordering_impl(ordering_trials<empty_spaces_type, OrderType>& trials,
                                                          const rect_wh starting_bin, const int search_resolution,
                                                          const bin_dimension tried_dimension) {
    const bool changes_w =
        tried_dimension == bin_dimension::BOTH_SIDES || tried_dimension == bin_dimension::WIDTH_ONLY;
    const bool changes_h = tried_dimension != bin_dimension::WIDTH_ONLY;

    rect_wh candidate(changes_w ? starting_bin.w / 2 : starting_bin.w,
                      changes_h ? starting_bin.h / 2 : starting_bin.h);
    int step = changes_w ? starting_bin.w / 2 : starting_bin.h / 2;

    const auto resize = [&](const int delta) {
        if (changes_w) {
            candidate.w += delta;
        }
        if (changes_h) {
            candidate.h += delta;
        }
    };
    // 64-bit area: a missing candidate may grow to about 1.25 times the
    // starting side before this test stops it, and its 32-bit area would
    // overflow for sides above about 37,000.
    const auto passed_starting_bin = [&]() {
        if (changes_w && changes_h) {
            return std::int64_t{candidate.w} * candidate.h > std::int64_t{starting_bin.w} * starting_bin.h;
        }
        return changes_w ? candidate.w > starting_bin.w : candidate.h > starting_bin.h;
    };

    for (;;) {
        if (trials.fits(candidate)) {
            if (step <= search_resolution) {
                return candidate;
            }
            resize(-step);
        } else {
            const rect_wh missed = candidate;
            resize(step);
            if (passed_starting_bin()) {
                return trials.inserted_area(missed);
            }
        }
        step = std::max(1, step / 2);
    }
}

// Smallest bin for one ordering: both sides first, then width, then height.
template <class empty_spaces_type, class OrderType>
std::variant<int, rect_wh> best_packing_for_ordering(empty_spaces_type& root, OrderType&& ordering,
                                                     const rect_wh starting_bin, const int search_resolution,
                                                     const std::atomic<bool>* const stop = nullptr) {
    if (stop_requested(stop)) {
        return 0;
    }
    ordering_trials<empty_spaces_type, std::decay_t<OrderType>> trials(root, ordering, stop);
    const auto both_sides =
        best_packing_for_ordering_impl(trials, starting_bin, search_resolution, bin_dimension::BOTH_SIDES);
    const rect_wh* const square = std::get_if<rect_wh>(&both_sides);
    if (square == nullptr) {
        return both_sides;
    }

    rect_wh best_bin = *square;
    for (const bin_dimension narrowed : {bin_dimension::WIDTH_ONLY, bin_dimension::HEIGHT_ONLY}) {
        const auto result = best_packing_for_ordering_impl(trials, best_bin, search_resolution, narrowed);
        if (const rect_wh* const bin = std::get_if<rect_wh>(&result)) {
            best_bin = *bin;
        }
    }
    return best_bin;
}

// The packing root of one instantiation and thread, set to the call's
// flipping option; it keeps its storage between calls.
template <class empty_spaces_type>
empty_spaces_type& packing_root(const flipping_option flipping) {
    thread_local empty_spaces_type root{rect_wh()};
    root.flipping_mode = flipping;
    return root;
}

// Packs the chosen ordering into its bin for good, writing each placement
// into the caller's record and reporting every record until told to stop.
template <class empty_spaces_type, class OrderType, class F, class G>
rect_wh pack_ordering(empty_spaces_type& root, OrderType& ordering, const rect_wh bin, finder_input<F, G>& input) {
    root.reset(bin);
    for (auto& element : ordering) {
        if (stop_requested(input.stop)) {
            break;
        }
        auto& rect = dereference(element);
        if (const auto placed = root.insert(rect.get_wh())) {
            rect = *placed;
            if (input.on_inserted(rect) == callback_decision::STOP_PACKING) {
                break;
            }
        } else if (input.on_not_inserted(rect) == callback_decision::STOP_PACKING) {
            break;
        }
    }
    return root.get_rects_aabb();
}

// for_each_order calls its argument once with each ordering (OrderType&).
// The call returns true when the ordering is the best so far: the finder
// packs it at the end, so its storage must stay as it is until then.
template <class empty_spaces_type, class OrderType, class F, class G, class OrderVisitor>
rect_wh find_best_packing_impl(OrderVisitor for_each_order, finder_input<F, G> input) {
    const rect_wh max_bin(input.bin_side_limit, input.bin_side_limit);

    OrderType* best_order = nullptr;
    rect_wh best_bin = max_bin;

    empty_spaces_type& root = packing_root<empty_spaces_type>(input.flipping);

    for_each_order([&](OrderType& current_order) {
        const auto result =
            best_packing_for_ordering(root, current_order, max_bin, input.search_resolution, input.stop);
        if (const rect_wh* const bin = std::get_if<rect_wh>(&result)) {
            // Equal areas go to the later ordering; a fit always displaces a
            // miss, since no fitting bin exceeds max_bin.
            if (bin->area() <= best_bin.area()) {
                best_order = &current_order;
                best_bin = *bin;
                return true;
            }
        } else if (best_order == nullptr) {
            // Nothing fits yet: the first missing ordering is packed into
            // max_bin, placing what it can.
            best_order = &current_order;
            return true;
        }
        return false;
    });

    if (best_order == nullptr) {  // stopped before any ordering was searched
        assert(stop_requested(input.stop));
        return rect_wh();
    }
    return pack_ordering(root, *best_order, best_bin, input);
}

// An ordering by a key, largest first, usable as the comparator
// "a's key > b's key". Sorting (key, pointer) pairs by key makes the same
// comparisons in the same sequence as sorting the pointers with that
// comparator, so std::sort leaves the same permutation, equal keys included;
// the pairs just keep the keys at hand instead of behind pointers.
template <class KeyOf>
struct largest_first {
    KeyOf key_of;

    template <class R>
    bool operator()(const R* const a, const R* const b) const {
        return key_of(*a) > key_of(*b);
    }
};

template <class KeyOf>
largest_first(KeyOf) -> largest_first<KeyOf>;

template <class Order, class Comparator>
void sort_ordering(Order& order, const Comparator& comparator) {
    std::sort(order.begin(), order.end(), comparator);
}

// The same permutation through (key, pointer) pairs, in a scratch of 16
// bytes per rectangle that is kept between calls.
template <class Order, class KeyOf>
void sort_ordering(Order& order, const largest_first<KeyOf>& ordering) {
    using pointer = typename Order::value_type;
    using key_type = std::decay_t<decltype(ordering.key_of(*order.front()))>;
    thread_local std::vector<std::pair<key_type, pointer>> keyed;
    keyed.clear();
    keyed.reserve(order.size());
    for (const pointer p : order) {
        keyed.emplace_back(ordering.key_of(*p), p);
    }
    std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (std::size_t i = 0; i < keyed.size(); ++i) {
        order[i] = keyed[i].second;
    }
}

// The subjects that take part (positive area), in their own order, which
// decides where std::sort leaves equal elements.
template <class Order, class Subjects>
void collect_subjects(Order& order, Subjects& subjects) {
    order.clear();
    order.reserve(subjects.size());  // exactly, rather than by doubling
    for (auto& subject : subjects) {
        if (subject.area() > 0) {
            order.push_back(&subject);
        }
    }
}

template <class empty_spaces_type, class F, class G, class Comparator, class... Comparators>
rect_wh find_best_packing(std::vector<typename empty_spaces_type::output_rect_type>& subjects,
                          const finder_input<F, G>& input, Comparator comparator, Comparators... comparators) {
    using order_type = std::vector<typename empty_spaces_type::output_rect_type*>;

    // Two orderings are enough: the best one so far, and the one being tried.
    thread_local std::array<order_type, 2> orders;
    order_type* trying = &orders[0];
    order_type* kept = &orders[1];

    // Rectangles that must miss the largest bin make every search end in a
    // miss, bins of all sizes being no larger; the first ordering is then
    // the one packed, as far as it goes. Nothing else needs sorting. This is
    // the path that filling texture after texture takes for every texture
    // but the last, where sorting is most of the work: the ordering is
    // sorted by key when it can be, keeping only one ordering leaving room
    // for the scratch.
    const rect_wh max_bin(input.bin_side_limit, input.bin_side_limit);
    if (stop_requested(input.stop)) {
        return rect_wh();
    }
    collect_subjects(*trying, subjects);
    if (ordering_extent(*trying).must_miss(max_bin, input.flipping)) {
        sort_ordering(*trying, comparator);
        finder_input<F, G> packing_input = input;
        return pack_ordering(packing_root<empty_spaces_type>(input.flipping), *trying, max_bin, packing_input);
    }

    return find_best_packing_impl<empty_spaces_type, order_type>(
        [&](auto visit) {
            // The comparator itself here: with two orderings kept, a keyed
            // scratch would cost more memory than it saves time, six sorts
            // being little next to the searches.
            const auto try_ordering = [&](const auto& comp) {
                if (stop_requested(input.stop)) {  // sorting a large input takes long too
                    return;
                }
                collect_subjects(*trying, subjects);
                std::sort(trying->begin(), trying->end(), comp);
                if (visit(*trying)) {
                    std::swap(trying, kept);
                }
            };
            try_ordering(comparator);
            (try_ordering(comparators), ...);
        },
        input);
}

// The six default orderings, each largest first: by area, perimeter, longer
// side, width, height and elongation.
template <class rect_type>
auto default_orderings() {
    return std::make_tuple(largest_first{[](const rect_type& r) { return r.area(); }},
                           largest_first{[](const rect_type& r) { return r.perimeter(); }},
                           largest_first{[](const rect_type& r) { return std::max(r.w, r.h); }},
                           largest_first{[](const rect_type& r) { return r.w; }},
                           largest_first{[](const rect_type& r) { return r.h; }},
                           largest_first{[](const rect_type& r) { return r.get_wh().pathological_mult(); }});
}

template <class empty_spaces_type, class F, class G>
rect_wh find_best_packing(std::vector<typename empty_spaces_type::output_rect_type>& subjects,
                          const finder_input<F, G>& input) {
    return std::apply(
        [&](const auto&... orderings) { return find_best_packing<empty_spaces_type>(subjects, input, orderings...); },
        default_orderings<typename empty_spaces_type::output_rect_type>());
}

}  // namespace tessel
