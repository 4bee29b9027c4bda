// The two ways the module drives the packer (a single bin grown until
// everything fits; textures filled one after another), over either the fast
// search or the straightforward reference, recording all that a caller can
// observe. Shared by the exactness tests and the speed-up benchmark.
#pragma once

#include <tessel/best_bin_finder.hpp>
#include <tessel/concurrent_search.hpp>

#include "reference_packer.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace packing_drivers {

using tessel::callback_decision;
using tessel::flipping_option;
using tessel::rect_wh;
using tessel::rect_xywhf;

using fast_root = tessel::empty_spaces<true, tessel::indexed_empty_spaces>;
using plain_root = tessel::empty_spaces<true, tessel::default_empty_spaces>;

// Everything a packing run lets a caller observe.
struct observed {
    std::vector<rect_xywhf> records;
    std::vector<rect_wh> boxes;
    std::vector<long> callbacks;  // record index, negated for on_not_inserted

    bool operator==(const observed& o) const {
        const auto same_rect = [](const rect_xywhf& a, const rect_xywhf& b) {
            return a.x == b.x && a.y == b.y && a.w == b.w && a.h == b.h && a.flipped == b.flipped;
        };
        const auto same_box = [](const rect_wh& a, const rect_wh& b) { return a.w == b.w && a.h == b.h; };
        return std::equal(records.begin(), records.end(), o.records.begin(), o.records.end(), same_rect) &&
               std::equal(boxes.begin(), boxes.end(), o.boxes.begin(), o.boxes.end(), same_box) &&
               callbacks == o.callbacks;
    }
};

struct fast_packer {
    template <class F, class G>
    rect_wh operator()(std::vector<rect_xywhf>& records, int limit, F& on_inserted, G& on_not_inserted,
                       flipping_option flipping) const {
        return tessel::find_best_packing<fast_root>(
            records, tessel::make_finder_input(limit, 1, on_inserted, on_not_inserted, flipping));
    }
};

struct concurrent_packer {
    int threads;

    template <class F, class G>
    rect_wh operator()(std::vector<rect_xywhf>& records, int limit, F& on_inserted, G& on_not_inserted,
                       flipping_option flipping) const {
        return tessel::find_best_packing_concurrently<fast_root>(
            records, tessel::make_finder_input(limit, 1, on_inserted, on_not_inserted, flipping), threads);
    }
};

struct reference_packer {
    template <class F, class G>
    rect_wh operator()(std::vector<rect_xywhf>& records, int limit, F& on_inserted, G& on_not_inserted,
                       flipping_option flipping) const {
        return reference::find_best_packing<plain_root>(records, limit, on_inserted, on_not_inserted, flipping);
    }
};

inline std::vector<rect_xywhf> records_of(const std::vector<rect_wh>& sizes) {
    std::vector<rect_xywhf> records;
    for (const auto& s : sizes) {
        records.emplace_back(-1, -1, s.w, s.h, false);
    }
    return records;
}

// Grows a square bin from the square root of the total area until a call
// places everything, keeping the records between attempts.
template <class Packer>
observed single_bin(const std::vector<rect_wh>& sizes, const flipping_option flipping, const Packer& pack) {
    observed out;
    out.records = records_of(sizes);
    bool all = true;
    auto on_inserted = [&](rect_xywhf& r) {
        out.callbacks.push_back(&r - out.records.data());
        return callback_decision::KEEP_PACKING;
    };
    auto on_not_inserted = [&](rect_xywhf& r) {
        out.callbacks.push_back(-(&r - out.records.data()) - 1);
        all = false;
        return callback_decision::STOP_PACKING;
    };
    int total = 0;
    for (const auto& s : sizes) {
        total += s.w * s.h;
    }
    int side = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(total))));
    do {
        all = true;
        out.boxes.push_back(pack(out.records, side, on_inserted, on_not_inserted, flipping));
        side = std::max(side + 1, static_cast<int>(static_cast<float>(side) * 1.1f));
    } while (!all);
    return out;
}

// Fills textures of the given side one after another with what is left.
template <class Packer>
observed layered(const std::vector<rect_wh>& sizes, const int texture, const flipping_option flipping,
                 const Packer& pack) {
    observed out;
    std::vector<rect_xywhf> remaining = records_of(sizes);
    long layer = 0;
    auto on_inserted = [&](rect_xywhf& r) {
        out.callbacks.push_back(&r - remaining.data());
        return callback_decision::KEEP_PACKING;
    };
    auto on_not_inserted = [&](rect_xywhf& r) {
        out.callbacks.push_back(-(&r - remaining.data()) - 1);
        return callback_decision::KEEP_PACKING;
    };
    while (!remaining.empty() && layer < 1000) {
        out.boxes.push_back(pack(remaining, texture, on_inserted, on_not_inserted, flipping));
        std::vector<rect_xywhf> left;
        for (const auto& r : remaining) {
            (r.x < 0 ? left : out.records).push_back(r);
        }
        remaining = std::move(left);
        out.callbacks.push_back(1000000 + layer++);
    }
    return out;
}

}  // namespace packing_drivers
