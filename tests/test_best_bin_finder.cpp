#include <gtest/gtest.h>

#include <tessel/best_bin_finder.hpp>
#include <tessel/concurrent_search.hpp>

#include "packing_drivers.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

namespace {

using namespace packing_drivers;

using root_type = fast_root;

// A packing root that logs every bin it is reset to, so that the tests can
// follow the straightforward search step by step (the fast one skips trials
// whose outcome is certain; the exactness tests below hold it to this one).
struct recording_root : plain_root {
    static inline std::vector<rect_wh> bins_tried;
    using plain_root::plain_root;
    void reset(const rect_wh& bin) {
        bins_tried.push_back(bin);
        plain_root::reset(bin);
    }
};

struct outcome {
    rect_wh box;
    std::vector<const rect_xywhf*> inserted;
    std::vector<const rect_xywhf*> not_inserted;
};

template <class root = root_type>
outcome pack(std::vector<rect_xywhf>& rects, const int limit,
             const flipping_option flipping = flipping_option::FLIPPING_ALLOWED,
             const callback_decision on_miss = callback_decision::KEEP_PACKING) {
    outcome out;
    auto on_inserted = [&](rect_xywhf& r) {
        out.inserted.push_back(&r);
        return callback_decision::KEEP_PACKING;
    };
    auto on_not_inserted = [&](rect_xywhf& r) {
        out.not_inserted.push_back(&r);
        return on_miss;
    };
    out.box = tessel::find_best_packing<root>(
        rects, tessel::make_finder_input(limit, 1, on_inserted, on_not_inserted, flipping));
    return out;
}

// The same through the straightforward search, which packs every trial.
outcome pack_recorded(std::vector<rect_xywhf>& rects, const int limit,
                      const flipping_option flipping = flipping_option::FLIPPING_ALLOWED) {
    recording_root::bins_tried.clear();
    outcome out;
    out.box = reference::find_best_packing<recording_root>(
        rects, limit,
        [&](rect_xywhf& r) {
            out.inserted.push_back(&r);
            return callback_decision::KEEP_PACKING;
        },
        [&](rect_xywhf& r) {
            out.not_inserted.push_back(&r);
            return callback_decision::KEEP_PACKING;
        },
        flipping);
    return out;
}

std::vector<int> sides(const std::vector<rect_wh>& bins, const std::size_t from, const std::size_t count,
                       const bool width) {
    std::vector<int> out;
    for (std::size_t i = from; i < from + count; ++i) {
        out.push_back(width ? bins[i].w : bins[i].h);
    }
    return out;
}

TEST(BinSearch, TenByTenTriesTheDocumentedBins) {
    auto rects = records_of({{10, 10}});
    const auto out = pack_recorded(rects, 100);
    const auto& bins = recording_root::bins_tried;

    // Per ordering: 6 square trials, 5 width trials, 5 height trials; six
    // orderings, then the final pass.
    ASSERT_EQ(bins.size(), 6u * 16u + 1u);
    EXPECT_EQ(sides(bins, 0, 6, true), (std::vector<int>{50, 0, 25, 13, 7, 10}));
    EXPECT_EQ(sides(bins, 0, 6, false), (std::vector<int>{50, 0, 25, 13, 7, 10}));
    EXPECT_EQ(sides(bins, 6, 5, true), (std::vector<int>{5, 10, 8, 9, 10}));
    EXPECT_EQ(sides(bins, 11, 5, false), (std::vector<int>{5, 10, 8, 9, 10}));
    EXPECT_EQ(out.box.w, 10);
    EXPECT_EQ(out.box.h, 10);
}

struct worked_example {
    flipping_option flipping;
    std::vector<int> square_sides, widths, heights;
    rect_wh box;
    bool flipped;
};

class WorkedExample : public ::testing::TestWithParam<worked_example> {};

TEST_P(WorkedExample, ThirtyByTenWithLimit64) {
    const auto& c = GetParam();
    auto rects = records_of({{30, 10}});
    const auto out = pack_recorded(rects, 64, c.flipping);
    const auto& bins = recording_root::bins_tried;

    const auto n_sq = c.square_sides.size(), n_w = c.widths.size(), n_h = c.heights.size();
    EXPECT_EQ(sides(bins, 0, n_sq, true), c.square_sides);
    EXPECT_EQ(sides(bins, n_sq, n_w, true), c.widths);
    EXPECT_EQ(sides(bins, n_sq + n_w, n_h, false), c.heights);
    EXPECT_EQ(bins.back().w, c.box.w);
    EXPECT_EQ(bins.back().h, c.box.h);

    EXPECT_EQ(out.box.w, c.box.w);
    EXPECT_EQ(out.box.h, c.box.h);
    EXPECT_EQ(rects[0].x, 0);
    EXPECT_EQ(rects[0].y, 0);
    EXPECT_EQ(rects[0].w, c.box.w);
    EXPECT_EQ(rects[0].flipped, c.flipped);
}

INSTANTIATE_TEST_SUITE_P(
    Flipping, WorkedExample,
    ::testing::Values(worked_example{flipping_option::FLIPPING_ALLOWED,
                                     {32, 0, 16, 24, 28, 30},
                                     {15, 0, 7, 10},
                                     {15, 30, 23, 26, 27, 28, 29, 30},
                                     {10, 30},
                                     true},
                      worked_example{flipping_option::NO_FLIPPING,
                                     {32, 0, 16, 24, 28, 30},
                                     {15, 30, 23, 26, 27, 28, 29, 30},
                                     {15, 0, 7, 10},
                                     {30, 10},
                                     false}));

TEST(BinSearch, BoxCanBeSmallerThanTheBin) {
    auto rects = records_of({{1, 5}});
    const auto out = pack_recorded(rects, 16);
    EXPECT_EQ(recording_root::bins_tried.back().w, 1);
    EXPECT_EQ(recording_root::bins_tried.back().h, 6);
    EXPECT_EQ(out.box.w, 1);
    EXPECT_EQ(out.box.h, 5);
}

TEST(BinSearch, LargeLimitEndsWithoutOverflow) {
    // A miss grows the square candidate past 46,340; its area must not wrap.
    auto rects = records_of({{46340, 46340}, {1, 1}});
    const auto out = pack(rects, 46340);
    EXPECT_EQ(out.inserted.size(), 1u);
    EXPECT_EQ(out.not_inserted.size(), 1u);
}

struct miss_case {
    rect_wh size;
    int limit;
};

class NothingFits : public ::testing::TestWithParam<miss_case> {};

TEST_P(NothingFits, FinalPassReportsTheMissAndLeavesTheRecord) {
    auto rects = records_of({GetParam().size});
    const auto out = pack(rects, GetParam().limit);
    EXPECT_TRUE(out.inserted.empty());
    ASSERT_EQ(out.not_inserted.size(), 1u);
    EXPECT_EQ(rects[0].x, -1);
    EXPECT_EQ(out.box.w, 0);
    EXPECT_EQ(out.box.h, 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, NothingFits,
                         ::testing::Values(miss_case{{100, 100}, 64}, miss_case{{5, 3}, 1}, miss_case{{1, 1}, 0}));

TEST(BinSearch, LimitOneHoldsOneUnitSquare) {
    auto rects = records_of({{1, 1}});
    const auto out = pack(rects, 1);
    EXPECT_EQ(out.inserted.size(), 1u);
    EXPECT_EQ(out.box.w, 1);
    EXPECT_EQ(out.box.h, 1);
}

TEST(FindBestPacking, RecordsWithoutPositiveAreaAreNeverTouched) {
    auto rects = records_of({{0, 5}, {4, 0}, {3, 3}});
    rects[0].flipped = true;
    const auto out = pack(rects, 10);
    ASSERT_EQ(out.inserted.size(), 1u);
    EXPECT_EQ(out.inserted[0], &rects[2]);
    EXPECT_TRUE(out.not_inserted.empty());
    EXPECT_EQ(rects[0].x, -1);
    EXPECT_EQ(rects[0].w, 0);
    EXPECT_EQ(rects[0].h, 5);
    EXPECT_TRUE(rects[0].flipped);
    EXPECT_EQ(rects[1].x, -1);

    std::vector<rect_xywhf> none;
    const auto empty = pack(none, 10);
    EXPECT_TRUE(empty.inserted.empty());
    EXPECT_EQ(empty.box.w, 0);
    EXPECT_EQ(empty.box.h, 0);
}

TEST(FindBestPacking, StopPackingEndsTheFinalPass) {
    auto rects = records_of({{8, 8}, {4, 4}, {2, 2}});
    int calls = 0;
    auto stop = [&](rect_xywhf&) {
        ++calls;
        return callback_decision::STOP_PACKING;
    };
    auto keep = [](rect_xywhf&) { return callback_decision::KEEP_PACKING; };
    const auto box = tessel::find_best_packing<root_type>(
        rects, tessel::make_finder_input(100, 1, stop, keep, flipping_option::FLIPPING_ALLOWED));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(rects[0].x, 0);
    EXPECT_EQ(rects[0].y, 0);
    EXPECT_EQ(rects[1].x, -1);
    EXPECT_EQ(rects[2].x, -1);
    EXPECT_EQ(box.w, 8);
    EXPECT_EQ(box.h, 8);
}

// A packing root that raises the stop flag on a chosen insertion and counts
// the insertions begun once it is up (on any thread).
struct stopping_root : fast_root {
    static inline std::atomic<bool> stop{false};
    static inline std::atomic<long> inserted{0};
    static inline std::atomic<long> inserted_after_stop{0};
    static inline long stop_at = 0;
    using fast_root::fast_root;
    auto insert(const rect_wh& image) {
        const bool stopped = stop.load();
        if (++inserted == stop_at) {
            stop = true;
        } else if (stopped) {
            ++inserted_after_stop;
        }
        return fast_root::insert(image);
    }
};

class StopFlag : public ::testing::TestWithParam<std::tuple<long, int>> {};

// The flag is read before every insertion and before every ordering is
// sorted: once it is up, a thread that has not begun an insertion begins
// none, and no ordering is sorted, so a search of any size ends at once.
TEST_P(StopFlag, EndsTheSearchAtTheNextInsertion) {
    const auto [stop_at, threads] = GetParam();
    std::mt19937 random(7);
    std::uniform_int_distribution<int> side(1, 40);
    std::vector<rect_xywhf> rects;
    for (int i = 0; i < 3000; ++i) {
        rects.push_back({0, 0, side(random), side(random), false});
    }
    stopping_root::stop = false;
    stopping_root::inserted = 0;
    stopping_root::inserted_after_stop = 0;
    stopping_root::stop_at = stop_at;
    long sorted_after_stop = 0;
    const auto by = [&](auto key) {
        return [&sorted_after_stop, key](const rect_xywhf* a, const rect_xywhf* b) {
            sorted_after_stop += stopping_root::stop.load() ? 1 : 0;
            return key(*a) > key(*b);
        };
    };
    auto keep = [](rect_xywhf&) { return callback_decision::KEEP_PACKING; };
    auto input = tessel::make_finder_input(2000, 1, keep, keep, flipping_option::FLIPPING_ALLOWED);
    input.stop = &stopping_root::stop;
    const auto box =
        threads == 1
            ? tessel::find_best_packing<stopping_root>(
                  rects, input, by([](const rect_xywhf& r) { return r.area(); }),
                  by([](const rect_xywhf& r) { return r.perimeter(); }),
                  by([](const rect_xywhf& r) { return std::max(r.w, r.h); }), by([](const rect_xywhf& r) { return r.w; }),
                  by([](const rect_xywhf& r) { return r.h; }),
                  by([](const rect_xywhf& r) { return r.get_wh().pathological_mult(); }))
            : tessel::find_best_packing_concurrently<stopping_root>(rects, input, threads);
    ASSERT_TRUE(stopping_root::stop.load()) << "the search ended before insertion " << stop_at;
    // Threads other than the one that raised it may each be inside one insertion.
    EXPECT_LE(stopping_root::inserted_after_stop.load(), threads - 1);
    EXPECT_EQ(sorted_after_stop, 0);
    EXPECT_EQ(box.area(), 0);
}

INSTANTIATE_TEST_SUITE_P(Insertions, StopFlag,
                         ::testing::Combine(::testing::Values(1L, 2999L, 3001L, 40000L), ::testing::Values(1, 2, 6)));

TEST(FindBestPacking, AnyDecisionButStopKeepsPacking) {
    auto rects = records_of({{8, 8}, {4, 4}});
    auto odd = [](rect_xywhf&) { return static_cast<callback_decision>(7); };
    tessel::find_best_packing<root_type>(
        rects, tessel::make_finder_input(100, 1, odd, odd, flipping_option::FLIPPING_ALLOWED));
    EXPECT_GE(rects[0].x, 0);
    EXPECT_GE(rects[1].x, 0);
}

// Orderings are told apart by the order of the final pass's callbacks.
std::vector<const rect_xywhf*> final_pass_order(std::vector<rect_xywhf>& rects, const int limit) {
    std::vector<const rect_xywhf*> order;
    auto on_inserted = [&](rect_xywhf& r) {
        order.push_back(&r);
        return callback_decision::KEEP_PACKING;
    };
    auto on_not_inserted = [&](rect_xywhf& r) {
        order.push_back(&r);
        return callback_decision::KEEP_PACKING;
    };
    const auto by_address = [](const rect_xywhf* a, const rect_xywhf* b) { return a < b; };
    const auto by_address_reversed = [](const rect_xywhf* a, const rect_xywhf* b) { return a > b; };
    tessel::find_best_packing<root_type>(
        rects, tessel::make_finder_input(limit, 1, on_inserted, on_not_inserted, flipping_option::NO_FLIPPING),
        by_address, by_address_reversed);
    return order;
}

TEST(ChoiceOfOrdering, EqualBinsGoToTheLaterOrdering) {
    auto rects = records_of({{5, 5}, {5, 5}});
    const auto order = final_pass_order(rects, 20);
    ASSERT_EQ(order.size(), 2u);
    EXPECT_EQ(order[0], &rects[1]);
    EXPECT_EQ(order[1], &rects[0]);
}

TEST(ChoiceOfOrdering, AFittingOrderingDisplacesAMissingOne) {
    // In a 5 x 5 limit, 1 x 4 then 5 x 1 misses; 5 x 1 then 1 x 4 fits.
    auto rects = records_of({{1, 4}, {5, 1}});
    const auto order = final_pass_order(rects, 5);
    ASSERT_EQ(order.size(), 2u);
    EXPECT_EQ(order[0], &rects[1]);
    EXPECT_GE(rects[0].x, 0);
    EXPECT_GE(rects[1].x, 0);

    // The fitting ordering comes first here; the later miss must not
    // displace it.
    auto swapped = records_of({{5, 1}, {1, 4}});
    const auto order2 = final_pass_order(swapped, 5);
    ASSERT_EQ(order2.size(), 2u);
    EXPECT_EQ(order2[0], &swapped[0]);
    EXPECT_GE(swapped[1].x, 0);
}

// Every placement lies inside the returned box, none overlaps another, and
// each keeps its input size or the quarter turn of it.
void check_packing(const std::vector<rect_wh>& input, const std::vector<rect_xywhf>& rects, const rect_wh box,
                   const flipping_option flipping) {
    std::vector<const rect_xywhf*> placed;
    for (std::size_t i = 0; i < rects.size(); ++i) {
        const auto& r = rects[i];
        if (r.x < 0) {
            EXPECT_EQ(r.w, input[i].w);
            EXPECT_EQ(r.h, input[i].h);
            continue;
        }
        const bool turned = r.w != input[i].w || r.h != input[i].h;
        if (turned) {
            EXPECT_EQ(flipping, flipping_option::FLIPPING_ALLOWED);
            EXPECT_EQ(r.w, input[i].h);
            EXPECT_EQ(r.h, input[i].w);
        }
        EXPECT_LE(r.x + r.w, box.w);
        EXPECT_LE(r.y + r.h, box.h);
        EXPECT_GE(r.y, 0);
        for (const auto* other : placed) {
            const bool apart = r.x + r.w <= other->x || other->x + other->w <= r.x || r.y + r.h <= other->y ||
                               other->y + other->h <= r.y;
            EXPECT_TRUE(apart) << "rectangles overlap";
        }
        placed.push_back(&r);
    }
}

TEST(Property, RandomInputsPackSoundly) {
    std::mt19937 rng(20261207);
    for (int round = 0; round < 300; ++round) {
        const int n = std::uniform_int_distribution<int>(0, 40)(rng);
        const int max_side = std::uniform_int_distribution<int>(1, 60)(rng);
        std::uniform_int_distribution<int> side(0, max_side);
        std::vector<rect_wh> input;
        for (int i = 0; i < n; ++i) {
            input.emplace_back(side(rng), side(rng));
        }
        const int limit = std::uniform_int_distribution<int>(0, 200)(rng);
        const auto flipping = round % 2 ? flipping_option::FLIPPING_ALLOWED : flipping_option::NO_FLIPPING;

        auto rects = records_of(input);
        const auto out = pack(rects, limit, flipping);
        check_packing(input, rects, out.box, flipping);
        EXPECT_LE(out.inserted.size() + out.not_inserted.size(), static_cast<std::size_t>(n));
        EXPECT_LE(out.box.w, limit);
        EXPECT_LE(out.box.h, limit);
        if (HasFailure()) {
            FAIL() << "round " << round;
        }
    }
}

}  // namespace
