// Free-space lists and the packing root: places rectangles one at a time
// into a bin of fixed size.
//
// What it does: keeps the bin's free area as a list of disjoint free spaces.
// Each insertion takes the last space in the list that holds the rectangle
// (turned by a quarter turn where that leaves fewer new spaces), splits it
// with insert_and_split and grows the bounding box of everything placed.
// What it does not do: move anything once placed, merge free spaces, choose
// between candidate spaces (the last fit wins), or choose the bin size
// (best_bin_finder.hpp does that).
// Cost: the list holds at most one space more than the rectangles placed.
// default_empty_spaces finds the last fit by scanning from the end, O(spaces)
// per insertion; indexed_empty_spaces finds the same space passing over runs
// of 64 spaces that cannot hold the rectangle with one test each, at the
// price of a byte per space and a 516-byte summary per run. Both keep
// storage across reset, so they allocate only when a list outgrows its
// largest earlier size.
#pragma once

#include <algorithm>
#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <vector>

#include "insert_and_split.hpp"
#include "rect_structs.hpp"

namespace tessel {

enum class flipping_option : int { NO_FLIPPING = 0, FLIPPING_ALLOWED = 1 };

// Whether a space of size `space` holds `image`, turned or not.
inline bool holds(const rect_wh& space, const rect_wh& image, const bool turn_allowed) {
    return (space.w >= image.w && space.h >= image.h) || (turn_allowed && space.w >= image.h && space.h >= image.w);
}

// Growable array with constant-time removal by swapping in the last element;
// the element order after a removal decides the next scan order. Every space
// is a candidate: the root tries them all, from the end.
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

    // The slot to try next, below `end`: simply the previous one.
    int last_candidate(const int end, const rect_wh&, bool) const { return end - 1; }

    void reset() { space_rects.clear(); }
};

// Images that found no space in the list since it was last reset, kept as
// their minimal elements. Spaces are only ever replaced by smaller pieces of
// themselves, so an image at least as large as a failed one, side for side,
// cannot fit either; only an added space that holds a failed image makes the
// record forget. Turning allowed, sides are compared shorter with shorter.
// Costs O(log k) per query and added space, O(k) per failure, for k kept.
class failed_images {
    // Ascending w; h then strictly descends, no element covering another.
    std::vector<rect_wh> minimal;
    bool turned = false;

    static rect_wh key(const rect_wh& r, const bool turn_allowed) {
        return turn_allowed ? rect_wh(r.min_side(), r.max_side()) : r;
    }

    // Whether some kept image is no larger than k in both sides.
    bool covers(const rect_wh& k) const {
        const auto after = std::upper_bound(minimal.begin(), minimal.end(), k.w,
                                            [](const int w, const rect_wh& p) { return w < p.w; });
        return after != minimal.begin() && std::prev(after)->h <= k.h;
    }

public:
    bool rules_out(const rect_wh& image, const bool turn_allowed) const {
        return !minimal.empty() && turn_allowed == turned && covers(key(image, turn_allowed));
    }

    void record(const rect_wh& image, const bool turn_allowed) {
        if (turn_allowed != turned) {
            minimal.clear();
            turned = turn_allowed;
        }
        const rect_wh k = key(image, turn_allowed);
        if (covers(k)) {
            return;
        }
        auto first = std::lower_bound(minimal.begin(), minimal.end(), k.w,
                                      [](const rect_wh& p, const int w) { return p.w < w; });
        auto last = first;
        while (last != minimal.end() && last->h >= k.h) {
            ++last;
        }
        minimal.insert(minimal.erase(first, last), k);
    }

    void space_added(const rect_wh& space) {
        if (!minimal.empty() && covers(key(space, turned))) {
            minimal.clear();
        }
    }

    void reset() { minimal.clear(); }
};

// The same list in the same slot order, with an index that lets
// last_candidate pass over most of it. Spaces are classed by their shorter
// side in eighths of an octave, and every run of 64 slots keeps, for each
// class, the longest longer side among its spaces of that class or above. A
// space holds an image, turned or not, only if its shorter side is at least
// the image's and its longer side too; so a run whose entry for the image's
// class is shorter than the image is passed over with one test. The other
// runs are tested 8 slots at a time without branches (compilers vectorise
// it; most fits lie among the last few slots, so small blocks waste least)
// and the block with the last fit is looked at closely. The entries only
// grow stale (too long) as spaces are removed, which keeps them valid; a run
// that held nothing for an image is recounted. The failed_images record
// fails hopeless insertions at once. last_candidate returns exactly the slot
// that a scan from the end would accept. Add and remove cost O(classes) at
// worst, usually O(1), plus the record's O(log k).
class indexed_empty_spaces {
    static constexpr int run = 64;
    static constexpr int block = 8;
    static constexpr int classes = 128;
    // Per run and class: no space in the run whose shorter side has this
    // class or a higher one has a longer side beyond this.
    struct run_summary {
        std::array<int, classes> longest;
        bool stale;  // spaces changed since it was counted
    };

    std::vector<rect_xywh> space_rects;
    std::vector<int> widths;
    std::vector<int> heights;
    std::vector<unsigned char> side_classes;  // per slot, of the shorter side
    std::vector<run_summary> runs;
    failed_images failures;

    // 8 * floor(log2 side) plus the three bits after the leading one, read
    // from the exponent and mantissa of the side as a float: a longer side
    // never has a lower class, since the conversion keeps the order.
    static int side_class(const int side) {
        const float f = static_cast<float>(std::max(side, 1));
        std::uint32_t bits = 0;
        std::memcpy(&bits, &f, sizeof bits);
        return std::min(classes - 1, static_cast<int>(bits >> 20) - (127 << 3));
    }

    void include(const std::size_t r, const std::size_t slot) {
        const int longer = std::max(widths[slot], heights[slot]);
        run_summary& summary = runs[r];
        // The entries never grow with the class, so those below `longer` end
        // at the space's own class: raise them from there down.
        for (int c = side_classes[slot]; c >= 0 && summary.longest[static_cast<std::size_t>(c)] < longer; --c) {
            summary.longest[static_cast<std::size_t>(c)] = longer;
        }
        summary.stale = true;
    }

    void recount_run(const std::size_t r) {
        auto& longest = runs[r].longest;
        longest.fill(INT_MIN);
        std::size_t highest = 0;
        for (std::size_t slot = r * run; slot < std::min((r + 1) * run, get_count()); ++slot) {
            const std::size_t c = side_classes[slot];
            longest[c] = std::max(longest[c], std::max(widths[slot], heights[slot]));
            highest = std::max(highest, c);
        }
        for (std::size_t c = highest; c-- > 0;) {
            longest[c] = std::max(longest[c], longest[c + 1]);
        }
        runs[r].stale = false;
    }

    // The last slot below `end` whose space holds the image, testing a block
    // of slots at a time down to `first` (the last block may reach below
    // it), or -1 with `end` lowered to the lowest slot tested.
    int last_fit_down_to(const int first, int& end, const rect_wh& image, const bool turn_allowed) const {
        const int* const w = widths.data();
        const int* const h = heights.data();
        // Without turning, the turned test repeats the plain one: no branch.
        const rect_wh turned = turn_allowed ? rect_wh(image.h, image.w) : image;
        int lowest = 0;
        while (end > first && end >= block) {
            int any = 0;
            for (int k = end - block; k < end; ++k) {
                any |= (w[k] >= image.w) & (h[k] >= image.h);
                any |= (w[k] >= turned.w) & (h[k] >= turned.h);
            }
            if (any) {
                lowest = end - block;
                break;
            }
            end -= block;
        }
        if (end <= first) {
            return -1;
        }
        for (int i = end - 1; i >= lowest; --i) {
            if (holds(rect_wh(w[i], h[i]), image, turn_allowed)) {
                return i;
            }
        }
        end = lowest;
        return -1;
    }

public:
    indexed_empty_spaces() { reset(); }

    bool add(const rect_xywh& r) {
        space_rects.push_back(r);
        widths.push_back(r.w);
        heights.push_back(r.h);
        side_classes.push_back(static_cast<unsigned char>(side_class(std::min(r.w, r.h))));
        const std::size_t r_of_slot = (get_count() - 1) / run;
        if (r_of_slot < runs.size()) {
            include(r_of_slot, get_count() - 1);
        } else if (get_count() % run == 0) {
            runs.emplace_back();
            recount_run(r_of_slot);
        }
        failures.space_added(rect_wh(r.w, r.h));
        return true;
    }

    void remove(const int i) {
        const auto slot = static_cast<std::size_t>(i);
        space_rects[slot] = space_rects.back();
        widths[slot] = widths.back();
        heights[slot] = heights.back();
        side_classes[slot] = side_classes.back();
        space_rects.pop_back();
        widths.pop_back();
        heights.pop_back();
        side_classes.pop_back();
        if (runs.size() > (get_count() + run - 1) / run) {
            runs.pop_back();  // the last run is empty
        }
        if (slot < get_count() && slot / run < runs.size()) {
            include(slot / run, slot);
        }
    }

    rect_xywh& get(const int i) { return space_rects[static_cast<std::size_t>(i)]; }
    const rect_xywh& get(const int i) const { return space_rects[static_cast<std::size_t>(i)]; }

    std::size_t get_count() const { return space_rects.size(); }

    // The last slot below `end` whose space holds the image, or -1.
    int last_candidate(const int end, const rect_wh& image, const bool turn_allowed) {
        if (failures.rules_out(image, turn_allowed)) {
            return -1;
        }
        const auto image_class = static_cast<std::size_t>(side_class(image.min_side()));
        for (int stop = end; stop > 0;) {
            const auto r = static_cast<std::size_t>(stop - 1) / run;
            const int first = static_cast<int>(r) * run;
            // A run is summarised from the moment it first fills up until
            // it empties; before that (the last run, whose spaces come and
            // go with every insertion) it is always tested.
            const bool summarised = r < runs.size();
            if (summarised && runs[r].longest[image_class] < image.max_side()) {
                stop = first;
                continue;
            }
            const int found = last_fit_down_to(first, stop, image, turn_allowed);
            if (found >= 0) {
                return found;
            }
            if (summarised && runs[r].stale) {
                recount_run(r);
            }
        }
        if (end == static_cast<int>(get_count())) {
            failures.record(image, turn_allowed);
        }
        return -1;
    }

    void reset() {
        space_rects.clear();
        widths.clear();
        heights.clear();
        side_classes.clear();
        runs.clear();
        failures.reset();
    }
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
        const bool turn_allowed = allow_flip && flipping_mode == flipping_option::FLIPPING_ALLOWED;
        for (int i = spaces.last_candidate(static_cast<int>(spaces.get_count()), image, turn_allowed); i >= 0;
             i = spaces.last_candidate(i, image, turn_allowed)) {
            // Accepting the candidate overwrites slot i, so work on a copy.
            const rect_xywh candidate = spaces.get(i);
            report(candidate);

            created_splits chosen = insert_and_split(image, candidate);
            bool flipped = false;

            if (turn_allowed) {
                rect_wh turned_image = image;
                const created_splits turned = insert_and_split(turned_image.flip(), candidate);
                // Turn only when it leaves strictly fewer spaces, or when the
                // rectangle fits no other way.
                if (turned && (!chosen || turned.better_than(chosen))) {
                    chosen = turned;
                    flipped = true;
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
