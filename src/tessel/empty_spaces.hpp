// Free-space list and packing root: places rectangles one at a time into a
// bin of fixed size.
//
// What it does: keeps the bin's free area as a list of disjoint free spaces.
// Each insertion scans the list from its end, takes the first space that
// holds the rectangle (turned by a quarter turn where that leaves fewer new
// spaces), splits it with insert_and_split and grows the bounding box of
// everything placed.
// What it does not do: move anything once placed, merge free spaces, choose
// between candidate spaces (the first fit from the end wins), or choose the
// bin size (best_bin_finder.hpp does that).
// Cost: an insertion is one pass over the list, O(number of spaces), with at
// most two split evaluations per candidate. The list holds at most one space
// more than the rectangles placed. Allocation happens only when the list
// outgrows its largest earlier size: reset keeps the storage.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "insert_and_split.hpp"
#include "rect_structs.hpp"

namespace tessel {

enum class flipping_option : int { NO_FLIPPING = 0, FLIPPING_ALLOWED = 1 };

// Growable array with constant-time removal by swapping in the last element;
// the element order after a removal decides the next scan order.
class default_empty_spaces {
    std::vector<rect_xywh> space_rects;

public:
    bool add(const rect_xywh r) {
        space_rects.push_back(r);
        return true;
    }

    void remove(const int i) {
        space_rects[static_cast<std::size_t>(i)] = space_rects.back();
        space_rects.pop_back();
    }

    rect_xywh& get(const int i) { return space_rects[static_cast<std::size_t>(i)]; }
    const rect_xywh& get(const int i) const { return space_rects[static_cast<std::size_t>(i)]; }

    std::size_t get_count() const { return space_rects.size(); }

    void reset() { space_rects.clear(); }
};

template <bool allow_flip, class space_container>
class empty_spaces {
    rect_wh rects_aabb;
    space_container spaces;

    // Replaces space i by the splits; false when the container refused one.
    bool accept(const int i, const created_splits& splits) {
        spaces.remove(i);
        for (int s = 0; s < splits.count; ++s) {
            if (!spaces.add(splits.spaces[static_cast<std::size_t>(s)])) {
                return false;
            }
        }
        return true;
    }

public:
    using output_rect_type = rect_xywhf;

    flipping_option flipping_mode = flipping_option::FLIPPING_ALLOWED;

    explicit empty_spaces(const rect_wh& bin) { reset(bin); }

    void reset(const rect_wh& bin) {
        rects_aabb = rect_wh();
        spaces.reset();
        spaces.add(rect_xywh(0, 0, bin.w, bin.h));
    }

    static output_rect_type make_output_rect(const int x, const int y, const int w, const int h,
                                             const bool flipped) {
        return rect_xywhf(x, y, w, h, flipped);
    }

    template <class F>
    std::optional<output_rect_type> insert(const rect_wh image, F report) {
        for (int i = static_cast<int>(spaces.get_count()) - 1; i >= 0; --i) {
            // Accepting the candidate overwrites slot i, so work on a copy.
            const rect_xywh candidate = spaces.get(i);
            report(candidate);

            created_splits chosen = insert_and_split(image, candidate);
            bool flipped = false;

            if constexpr (allow_flip) {
                if (flipping_mode == flipping_option::FLIPPING_ALLOWED) {
                    rect_wh turned_image = image;
                    const created_splits turned = insert_and_split(turned_image.flip(), candidate);
                    // Turn only when it leaves strictly fewer spaces, or
                    // when the rectangle fits no other way.
                    if (turned && (!chosen || turned.better_than(chosen))) {
                        chosen = turned;
                        flipped = true;
                    }
                }
            }

            if (!chosen) {
                continue;
            }
            if (!accept(i, chosen)) {
                return std::nullopt;
            }
            const output_rect_type result =
                make_output_rect(candidate.x, candidate.y, image.w, image.h, flipped);
            rects_aabb.expand_with(result);
            return result;
        }
        return std::nullopt;
    }

    std::optional<output_rect_type> insert(const rect_wh& image) {
        return insert(image, [](const rect_xywh&) {});
    }

    rect_wh get_rects_aabb() const { return rects_aabb; }

    const space_container& get_spaces() const { return spaces; }
};

}  // namespace tessel
