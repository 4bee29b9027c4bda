// The packer's one geometric rule: a guillotine split of a free space.
//
// What it does: puts a rectangle into the corner of a free space with the
// smallest coordinates and describes what is left as at most two new,
// disjoint free spaces (one cut across the whole space, one across the part
// that holds the rectangle).
// What it does not do: check that sizes are non-negative, or remember
// anything; the placed rectangle itself is not returned, it lies at the
// space's corner with the size that was asked for.
// Cost: O(1), no allocation (the result holds a fixed array of two spaces).
#pragma once

#include <array>

#include "rect_structs.hpp"

namespace tessel {

struct created_splits {
    // -1: does not fit; 0: exact fit; 1 or 2: number of valid spaces.
    int count = 0;
    std::array<rect_xywh, 2> spaces{};

    created_splits() = default;
    explicit created_splits(const rect_xywh& s) : count(1), spaces{{s, rect_xywh()}} {}
    created_splits(const rect_xywh& first, const rect_xywh& second) : count(2), spaces{{first, second}} {}

    static created_splits failed() {
        created_splits result;
        result.count = -1;
        return result;
    }

    static created_splits none() { return created_splits(); }

    // Fewer new spaces is better: it keeps the free-space list short and the
    // remaining spaces large.
    bool better_than(const created_splits& other) const { return count < other.count; }

    explicit operator bool() const { return count != -1; }
};

inline created_splits insert_and_split(const rect_wh& im, const rect_xywh& sp) {
    const int free_w = sp.w - im.w;
    const int free_h = sp.h - im.h;

    if (free_w < 0 || free_h < 0) {
        return created_splits::failed();
    }
    if (free_w == 0 && free_h == 0) {
        return created_splits::none();
    }
    if (free_w > 0 && free_h == 0) {
        return created_splits(rect_xywh(sp.x + im.w, sp.y, free_w, sp.h));
    }
    if (free_w == 0 && free_h > 0) {
        return created_splits(rect_xywh(sp.x, sp.y + im.h, sp.w, free_h));
    }

    // The full-extent strip goes on the side with the larger leftover and
    // comes first; the piece bounded by the rectangle comes second, so the
    // root (which scans from the end) tries the smaller piece first.
    if (free_w > free_h) {
        return created_splits(rect_xywh(sp.x + im.w, sp.y, free_w, sp.h),
                              rect_xywh(sp.x, sp.y + im.h, im.w, free_h));
    }
    return created_splits(rect_xywh(sp.x, sp.y + im.h, sp.w, free_h),
                          rect_xywh(sp.x + im.w, sp.y, free_w, im.h));
}

}  // namespace tessel
