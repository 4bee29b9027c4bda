// The fast search (indexed free list, trials skipped when their outcome is
// certain, repeated trials remembered) must give bit-identical results to the
// straightforward one in tests/reference_packer.hpp: the same placements,
// flips and boxes, and the same callbacks in the same order, driven the two
// ways the module drives it.
#include <gtest/gtest.h>

#include <tessel/best_bin_finder.hpp>

#include "packing_drivers.hpp"

#include <algorithm>
#include <random>
#include <vector>

namespace {

using namespace packing_drivers;
using tessel::flipping_option;
using tessel::rect_wh;

// Sizes with the ties and repeats that make orderings coincide, thin and
// square ones, and now and then a zero side.
std::vector<rect_wh> random_sizes(std::mt19937& rng, const int max_count) {
    const int n = std::uniform_int_distribution<int>(0, max_count)(rng);
    const int max_side = std::uniform_int_distribution<int>(1, 80)(rng);
    std::uniform_int_distribution<int> side(1, max_side);
    std::vector<rect_wh> palette;
    for (int i = 0; i < 4; ++i) {
        palette.emplace_back(side(rng), side(rng));
    }
    std::vector<rect_wh> sizes;
    for (int i = 0; i < n; ++i) {
        switch (std::uniform_int_distribution<int>(0, 9)(rng)) {
            case 0:
            case 1:
            case 2: sizes.push_back(palette[static_cast<std::size_t>(i) % palette.size()]); break;
            case 3: sizes.emplace_back(std::max(1, side(rng) / 8), side(rng)); break;
            case 4: {
                const int s = side(rng);
                sizes.emplace_back(s, s);
                break;
            }
            case 5: sizes.emplace_back(rng() % 5 == 0 ? 0 : side(rng), side(rng)); break;
            default: sizes.emplace_back(side(rng), side(rng));
        }
    }
    return sizes;
}

class Exactness : public ::testing::TestWithParam<flipping_option> {};

void expect_same_results(const std::vector<rect_wh>& sizes, const flipping_option flipping, std::mt19937& rng,
                         const int round) {
    int longest = 1;
    for (const auto& s : sizes) {
        longest = std::max(longest, s.max_side());
    }
    const int texture = longest + std::uniform_int_distribution<int>(0, 100)(rng);

    ASSERT_TRUE(single_bin(sizes, flipping, fast_packer{}) == single_bin(sizes, flipping, reference_packer{}))
        << "single bin, round " << round;
    ASSERT_TRUE(layered(sizes, texture, flipping, fast_packer{}) ==
                layered(sizes, texture, flipping, reference_packer{}))
        << "layered, round " << round;
}

TEST_P(Exactness, FastSearchMatchesTheStraightforwardOne) {
    std::mt19937 rng(7);
    for (int round = 0; round < 1500; ++round) {
        expect_same_results(random_sizes(rng, 60), GetParam(), rng, round);
    }
}

// Long free lists, where the index passes over whole runs of spaces.
TEST_P(Exactness, ManyRectanglesMatchTheStraightforwardOne) {
    std::mt19937 rng(13);
    for (int round = 0; round < 12; ++round) {
        expect_same_results(random_sizes(rng, 1500), GetParam(), rng, round);
    }
}

INSTANTIATE_TEST_SUITE_P(Flipping, Exactness,
                         ::testing::Values(flipping_option::FLIPPING_ALLOWED, flipping_option::NO_FLIPPING));

// Searching the orderings on several threads changes nothing a caller sees,
// whatever the thread count.
class ConcurrentSearch : public ::testing::TestWithParam<int> {};

TEST_P(ConcurrentSearch, MatchesTheSequentialSearch) {
    std::mt19937 rng(17);
    for (int round = 0; round < 60; ++round) {
        const auto sizes = random_sizes(rng, round % 12 == 0 ? 800 : 60);
        const auto flipping = round % 2 ? flipping_option::FLIPPING_ALLOWED : flipping_option::NO_FLIPPING;
        const concurrent_packer concurrent{GetParam()};
        ASSERT_TRUE(single_bin(sizes, flipping, concurrent) == single_bin(sizes, flipping, fast_packer{}))
            << "single bin, round " << round;
        ASSERT_TRUE(layered(sizes, 90, flipping, concurrent) == layered(sizes, 90, flipping, fast_packer{}))
            << "layered, round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Threads, ConcurrentSearch, ::testing::Values(2, 3, 6));

// The indexed free list accepts the same spaces in the same slot order as
// the plain one, insertion by insertion, failures included.
TEST(IndexedEmptySpaces, SameSlotsAsTheScanFromTheEnd) {
    std::mt19937 rng(11);
    for (int round = 0; round < 300; ++round) {
        const rect_wh bin(std::uniform_int_distribution<int>(1, 300)(rng),
                          std::uniform_int_distribution<int>(1, 300)(rng));
        fast_root fast(bin);
        plain_root plain(bin);
        const auto mode = round % 2 ? flipping_option::FLIPPING_ALLOWED : flipping_option::NO_FLIPPING;
        fast.flipping_mode = plain.flipping_mode = mode;
        std::uniform_int_distribution<int> side(0, std::uniform_int_distribution<int>(1, 60)(rng));
        for (int i = 0; i < 200; ++i) {
            const rect_wh image(side(rng), side(rng));
            const auto a = fast.insert(image);
            const auto b = plain.insert(image);
            ASSERT_EQ(a.has_value(), b.has_value());
            if (a) {
                ASSERT_EQ(a->x, b->x);
                ASSERT_EQ(a->y, b->y);
                ASSERT_EQ(a->flipped, b->flipped);
            }
            ASSERT_EQ(fast.get_spaces().get_count(), plain.get_spaces().get_count());
        }
        for (int i = 0; i < static_cast<int>(fast.get_spaces().get_count()); ++i) {
            ASSERT_EQ(fast.get_spaces().get(i).x, plain.get_spaces().get(i).x);
            ASSERT_EQ(fast.get_spaces().get(i).y, plain.get_spaces().get(i).y);
        }
    }
}

}  // namespace
