#include <gtest/gtest.h>

#include <tessel/empty_spaces.hpp>

#include <vector>

namespace {

using tessel::flipping_option;
using tessel::rect_wh;
using tessel::rect_xywh;
using tessel::rect_xywhf;

using root_type = tessel::empty_spaces<true, tessel::default_empty_spaces>;

struct placement {
    int x, y, w, h;
    bool flipped;
};

std::vector<rect_xywh> free_list(const root_type& root) {
    std::vector<rect_xywh> spaces;
    for (int i = 0; i < static_cast<int>(root.get_spaces().get_count()); ++i) {
        spaces.push_back(root.get_spaces().get(i));
    }
    return spaces;
}

void expect_list(const root_type& root, const std::vector<rect_xywh>& expected) {
    const auto actual = free_list(root);
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(actual[i].x, expected[i].x) << "slot " << i;
        EXPECT_EQ(actual[i].y, expected[i].y) << "slot " << i;
        EXPECT_EQ(actual[i].w, expected[i].w) << "slot " << i;
        EXPECT_EQ(actual[i].h, expected[i].h) << "slot " << i;
    }
}

struct insert_case {
    rect_wh bin;
    rect_wh image;
    placement expected;
    std::vector<rect_xywh> spaces_after;
};

class SingleInsertion : public ::testing::TestWithParam<insert_case> {};

TEST_P(SingleInsertion, ChoosesOrientationByFewerNewSpaces) {
    const insert_case& c = GetParam();
    root_type root(c.bin);
    const auto placed = root.insert(c.image);

    ASSERT_TRUE(placed.has_value());
    EXPECT_EQ(placed->x, c.expected.x);
    EXPECT_EQ(placed->y, c.expected.y);
    EXPECT_EQ(placed->w, c.expected.w);
    EXPECT_EQ(placed->h, c.expected.h);
    EXPECT_EQ(placed->flipped, c.expected.flipped);
    expect_list(root, c.spaces_after);
    EXPECT_EQ(root.get_rects_aabb().w, c.expected.w);
    EXPECT_EQ(root.get_rects_aabb().h, c.expected.h);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SingleInsertion,
    ::testing::Values(
        insert_case{{10, 10}, {10, 10}, {0, 0, 10, 10, false}, {}},
        // Fits only turned, exactly.
        insert_case{{10, 4}, {4, 10}, {0, 0, 10, 4, true}, {}},
        // Equal counts keep the rectangle unturned.
        insert_case{{10, 10}, {10, 4}, {0, 0, 10, 4, false}, {{0, 4, 10, 6}}},
        insert_case{{10, 10}, {3, 10}, {0, 0, 3, 10, false}, {{3, 0, 7, 10}}},
        // Turned leaves one space instead of two.
        insert_case{{10, 4}, {4, 3}, {0, 0, 3, 4, true}, {{3, 0, 7, 4}}},
        insert_case{{10, 10}, {3, 6}, {0, 0, 3, 6, false}, {{3, 0, 7, 10}, {0, 6, 3, 4}}},
        insert_case{{10, 10}, {5, 5}, {0, 0, 5, 5, false}, {{0, 5, 10, 5}, {5, 0, 5, 5}}}));

TEST(EmptySpaces, ScansFromTheEndAndRemovesBySwapping) {
    root_type root(rect_wh(10, 10));
    ASSERT_TRUE(root.insert(rect_wh(4, 4)));
    expect_list(root, {{0, 4, 10, 6}, {4, 0, 6, 4}});

    // The last space (4, 0, 6, 4) is tried first and refuses; the strip
    // takes the rectangle, and the former last space moves into slot 0.
    const auto placed = root.insert(rect_wh(6, 6));
    ASSERT_TRUE(placed);
    EXPECT_EQ(placed->x, 0);
    EXPECT_EQ(placed->y, 4);
    EXPECT_FALSE(placed->flipped);
    expect_list(root, {{4, 0, 6, 4}, {6, 4, 4, 6}});
    EXPECT_EQ(root.get_rects_aabb().w, 6);
    EXPECT_EQ(root.get_rects_aabb().h, 10);
}

TEST(EmptySpaces, ReportsCandidatesFromTheEnd) {
    root_type root(rect_wh(10, 10));
    ASSERT_TRUE(root.insert(rect_wh(3, 6)));
    std::vector<rect_xywh> reported;
    ASSERT_TRUE(root.insert(rect_wh(7, 10), [&](const rect_xywh& r) { reported.push_back(r); }));
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_EQ(reported[0].y, 6);  // the piece bounded by the first rectangle
    EXPECT_EQ(reported[1].x, 3);  // then the full-height strip
}

TEST(EmptySpaces, FailedInsertionChangesNothing) {
    for (const auto mode : {flipping_option::NO_FLIPPING, flipping_option::FLIPPING_ALLOWED}) {
        root_type root(rect_wh(10, 10));
        root.flipping_mode = mode;
        ASSERT_TRUE(root.insert(rect_wh(3, 6)));
        const auto before = free_list(root);

        EXPECT_FALSE(root.insert(rect_wh(11, 1)));
        expect_list(root, before);
        EXPECT_EQ(root.get_rects_aabb().w, 3);
        EXPECT_EQ(root.get_rects_aabb().h, 6);
    }
}

TEST(EmptySpaces, NoFlippingNeverTurns) {
    root_type root(rect_wh(10, 4));
    root.flipping_mode = flipping_option::NO_FLIPPING;
    EXPECT_FALSE(root.insert(rect_wh(4, 10)));
    const auto placed = root.insert(rect_wh(4, 3));
    ASSERT_TRUE(placed);
    EXPECT_FALSE(placed->flipped);
    EXPECT_EQ(placed->w, 4);
}

TEST(EmptySpaces, FullBinRefusesUntilReset) {
    root_type root(rect_wh(10, 10));
    root.flipping_mode = flipping_option::NO_FLIPPING;
    ASSERT_TRUE(root.insert(rect_wh(10, 10)));
    EXPECT_FALSE(root.insert(rect_wh(1, 1)));

    root.reset(rect_wh(7, 3));
    expect_list(root, {{0, 0, 7, 3}});
    EXPECT_EQ(root.get_rects_aabb().w, 0);
    EXPECT_EQ(root.flipping_mode, flipping_option::NO_FLIPPING);
    EXPECT_TRUE(root.insert(rect_wh(1, 1)));
}

}  // namespace

// The indexed list remembers images that found no space; an added space that
// holds one, or a change of turning mode, must not leave it ruled out.
struct recheck_case {
    const char* name;
    rect_wh failed_image;
    bool turn_first;
    rect_xywh added_space;  // w == 0: nothing added
    bool turn_again;
    int expected_slot;
};

class FailedImageRecord : public ::testing::TestWithParam<recheck_case> {};

TEST_P(FailedImageRecord, RuledOutOnlyWhileNothingCanHoldIt) {
    const recheck_case& c = GetParam();
    tessel::indexed_empty_spaces spaces;
    for (const rect_xywh& space : {rect_xywh(0, 0, 6, 2), rect_xywh(0, 2, 4, 3), rect_xywh(6, 0, 2, 6)}) {
        spaces.add(space);
    }
    ASSERT_EQ(spaces.last_candidate(3, c.failed_image, c.turn_first), -1);
    if (c.added_space.w > 0) {
        spaces.add(c.added_space);
    }
    const int end = static_cast<int>(spaces.get_count());
    EXPECT_EQ(spaces.last_candidate(end, c.failed_image, c.turn_again), c.expected_slot);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailedImageRecord,
    ::testing::Values(recheck_case{"StillTooLarge", {5, 3}, true, {0, 0, 0, 0}, true, -1},
                      recheck_case{"SpaceAddedThatHoldsIt", {5, 3}, true, {8, 0, 5, 3}, true, 3},
                      recheck_case{"SpaceAddedTooSmall", {5, 3}, true, {8, 0, 5, 2}, true, -1},
                      recheck_case{"TurnedSpaceHoldsIt", {5, 3}, true, {8, 0, 3, 5}, true, 3},
                      recheck_case{"TurningNowAllowed", {3, 4}, false, {0, 0, 0, 0}, true, 1}),
    [](const ::testing::TestParamInfo<recheck_case>& info) { return info.param.name; });
