// The packer's search written the straightforward way: every trial packs,
// nothing is remembered, and the free list is scanned from its end. The
// tests hold the fast search to exactly this behaviour.
#pragma once

#include <tessel/best_bin_finder.hpp>

#include <algorithm>
#include <array>
#include <cstdint>
#include <variant>
#include <vector>

namespace reference {

using tessel::bin_dimension;
using tessel::callback_decision;
using tessel::rect_wh;
using tessel::rect_xywhf;

template <class root_type>
std::variant<int, rect_wh> search(root_type& root, const std::vector<rect_xywhf*>& ordering, const rect_wh start,
                                  const bin_dimension dim) {
    const bool changes_w = dim != bin_dimension::HEIGHT_ONLY;
    const bool changes_h = dim != bin_dimension::WIDTH_ONLY;
    rect_wh candidate(changes_w ? start.w / 2 : start.w, changes_h ? start.h / 2 : start.h);
    int step = changes_w ? start.w / 2 : start.h / 2;
    for (;;) {
        root.reset(candidate);
        int inserted = 0;
        bool all = true;
        for (const rect_xywhf* r : ordering) {
            if (!root.insert(r->get_wh())) {
                all = false;
                break;
            }
            inserted += r->area();
        }
        const int delta = all ? -step : step;
        if (all && step <= 1) {
            return candidate;
        }
        candidate = rect_wh(candidate.w + (changes_w ? delta : 0), candidate.h + (changes_h ? delta : 0));
        if (!all) {
            const bool passed = changes_w && changes_h
                                    ? std::int64_t{candidate.w} * candidate.h > std::int64_t{start.w} * start.h
                                    : (changes_w ? candidate.w > start.w : candidate.h > start.h);
            if (passed) {
                return inserted;
            }
        }
        step = std::max(1, step / 2);
    }
}

// find_best_packing with search_resolution 1 and the six default orderings.
template <class root_type, class F, class G>
rect_wh find_best_packing(std::vector<rect_xywhf>& subjects, const int limit, F on_inserted, G on_not_inserted,
                          const tessel::flipping_option flipping) {
    std::vector<rect_xywhf*> base;
    for (auto& s : subjects) {
        if (s.area() > 0) {
            base.push_back(&s);
        }
    }
    using P = const rect_xywhf*;
    std::array<std::vector<rect_xywhf*>, 6> orders;
    orders.fill(base);
    std::sort(orders[0].begin(), orders[0].end(), [](P a, P b) { return a->area() > b->area(); });
    std::sort(orders[1].begin(), orders[1].end(), [](P a, P b) { return a->perimeter() > b->perimeter(); });
    std::sort(orders[2].begin(), orders[2].end(),
              [](P a, P b) { return std::max(a->w, a->h) > std::max(b->w, b->h); });
    std::sort(orders[3].begin(), orders[3].end(), [](P a, P b) { return a->w > b->w; });
    std::sort(orders[4].begin(), orders[4].end(), [](P a, P b) { return a->h > b->h; });
    std::sort(orders[5].begin(), orders[5].end(), [](P a, P b) {
        return a->get_wh().pathological_mult() > b->get_wh().pathological_mult();
    });

    root_type root{rect_wh()};
    root.flipping_mode = flipping;
    const rect_wh max_bin(limit, limit);
    rect_wh best_bin = max_bin;
    const std::vector<rect_xywhf*>* best = nullptr;
    for (const auto& order : orders) {
        const auto both = search(root, order, max_bin, bin_dimension::BOTH_SIDES);
        if (!std::holds_alternative<rect_wh>(both)) {
            best = best ? best : &order;
            continue;
        }
        rect_wh bin = std::get<rect_wh>(both);
        for (const auto dim : {bin_dimension::WIDTH_ONLY, bin_dimension::HEIGHT_ONLY}) {
            const auto narrowed = search(root, order, bin, dim);
            if (std::holds_alternative<rect_wh>(narrowed)) {
                bin = std::get<rect_wh>(narrowed);
            }
        }
        if (bin.area() <= best_bin.area()) {
            best = &order;
            best_bin = bin;
        }
    }

    root.reset(best_bin);
    for (rect_xywhf* r : *best) {
        if (const auto placed = root.insert(r->get_wh())) {
            *r = *placed;
            if (on_inserted(*r) == callback_decision::STOP_PACKING) {
                break;
            }
        } else if (on_not_inserted(*r) == callback_decision::STOP_PACKING) {
            break;
        }
    }
    return root.get_rects_aabb();
}

}  // namespace reference
