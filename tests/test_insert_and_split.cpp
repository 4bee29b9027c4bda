#include <gtest/gtest.h>

#include <tessel/insert_and_split.hpp>

#include <vector>

namespace {

using tessel::created_splits;
using tessel::insert_and_split;
using tessel::rect_wh;
using tessel::rect_xywh;

struct split_case {
    rect_xywh space;
    rect_wh image;
    int count;
    std::vector<rect_xywh> spaces;  // in the order the splits must hold them
};

class InsertAndSplit : public ::testing::TestWithParam<split_case> {};

void expect_same(const rect_xywh& a, const rect_xywh& b) {
    EXPECT_EQ(a.x, b.x);
    EXPECT_EQ(a.y, b.y);
    EXPECT_EQ(a.w, b.w);
    EXPECT_EQ(a.h, b.h);
}

TEST_P(InsertAndSplit, CountSpacesAndOrder) {
    const split_case& c = GetParam();
    const created_splits splits = insert_and_split(c.image, c.space);

    ASSERT_EQ(splits.count, c.count);
    EXPECT_EQ(static_cast<bool>(splits), c.count != -1);
    for (std::size_t i = 0; i < 2; ++i) {
        // Entries beyond count must be zero rectangles.
        expect_same(splits.spaces[i], i < c.spaces.size() ? c.spaces[i] : rect_xywh());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InsertAndSplit,
    ::testing::Values(
        split_case{{0, 0, 10, 10}, {10, 10}, 0, {}},
        split_case{{0, 0, 10, 10}, {11, 5}, -1, {}},
        split_case{{0, 0, 10, 10}, {5, 11}, -1, {}},
        split_case{{4, 6, 10, 10}, {7, 10}, 1, {{11, 6, 3, 10}}},
        split_case{{4, 6, 10, 10}, {10, 7}, 1, {{4, 13, 10, 3}}},
        // Larger leftover along x: the full-height strip first.
        split_case{{0, 0, 10, 10}, {3, 6}, 2, {{3, 0, 7, 10}, {0, 6, 3, 4}}},
        split_case{{0, 0, 10, 10}, {6, 3}, 2, {{0, 3, 10, 7}, {6, 0, 4, 3}}},
        // Equal leftovers take the strip along y.
        split_case{{0, 0, 10, 10}, {4, 4}, 2, {{0, 4, 10, 6}, {4, 0, 6, 4}}},
        // Chosen by leftover, not by area: the first space is the smaller.
        split_case{{0, 0, 1000, 10}, {900, 5}, 2, {{900, 0, 100, 10}, {0, 5, 900, 5}}},
        split_case{{0, 0, 10, 10}, {0, 5}, 2, {{0, 0, 10, 10}, {0, 5, 0, 5}}}));

TEST(CreatedSplits, BetterThanMeansStrictlyFewerSpaces) {
    const created_splits one(rect_xywh(0, 0, 1, 1));
    const created_splits two(rect_xywh(0, 0, 1, 1), rect_xywh(1, 1, 1, 1));
    const created_splits none = created_splits::none();

    EXPECT_TRUE(one.better_than(two));
    EXPECT_FALSE(two.better_than(one));
    EXPECT_TRUE(none.better_than(one));
    EXPECT_FALSE(one.better_than(one));
    EXPECT_TRUE(static_cast<bool>(none));
    EXPECT_FALSE(static_cast<bool>(created_splits::failed()));
}

}  // namespace
