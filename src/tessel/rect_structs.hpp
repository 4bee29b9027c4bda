// Rectangle records of the packing core.
//
// What it does: three plain value types that carry every size and position
// the packer handles: a size (rect_wh), a positioned rectangle (rect_xywh)
// and a positioned rectangle with a quarter-turn flag (rect_xywhf).
// What it does not do: validate anything. Fields are signed 32-bit and all
// arithmetic stays in 32 bits; sizes whose area or far corner overflow that
// range are outside the supported input and must be rejected by the caller.
// Cost: no allocation, no virtual calls; every operation is O(1).
#pragma once

#include <type_traits>

namespace tessel {

struct rect_wh {
    int w = 0;
    int h = 0;

    rect_wh() = default;
    rect_wh(const int w_, const int h_) : w(w_), h(h_) {}

    // Returns *this so that a copy can be turned and passed on in one
    // expression.
    rect_wh& flip() {
        const int old_w = w;
        w = h;
        h = old_w;
        return *this;
    }

    int max_side() const { return h > w ? h : w; }
    int min_side() const { return h < w ? h : w; }
    int area() const { return w * h; }

    // Elongation times size: long thin and large rectangles score high, so
    // sorting by it places the awkward ones first. Each integer is converted
    // on its own and the quotient comes first; a zero side yields NaN.
    float pathological_mult() const {
        return static_cast<float>(max_side()) / static_cast<float>(min_side()) *
               static_cast<float>(area());
    }

    // Grows (never shrinks) so that the far corner of r is covered.
    template <class R>
    void expand_with(const R& r) {
        w = w > r.x + r.w ? w : r.x + r.w;
        h = h > r.y + r.h ? h : r.y + r.h;
    }
};

struct rect_xywh {
    int x = 0;
    int y = 0;
    int w = 0;
    int h = 0;

    rect_xywh() = default;
    rect_xywh(const int x_, const int y_, const int w_, const int h_) : x(x_), y(y_), w(w_), h(h_) {}
};

// w and h always hold the size as the rectangle lies in the bin: when
// flipped is true they are the unturned height and width.
struct rect_xywhf {
    int x = 0;
    int y = 0;
    int w = 0;
    int h = 0;
    bool flipped = false;

    rect_xywhf() = default;
    // w_ and h_ are the rectangle's own, unturned size.
    rect_xywhf(const int x_, const int y_, const int w_, const int h_, const bool flipped_)
        : x(x_), y(y_), w(flipped_ ? h_ : w_), h(flipped_ ? w_ : h_), flipped(flipped_) {}

    int area() const { return w * h; }
    int perimeter() const { return 2 * (w + h); }
    rect_wh get_wh() const { return rect_wh(w, h); }
};

// Orderings hold pointers to the caller's records; this reaches the record.
template <class T>
T& dereference(T* const p) {
    return *p;
}

}  // namespace tessel
