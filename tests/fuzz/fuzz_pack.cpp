// libFuzzer target for the packing core. The input bytes become a bin-side
// limit, a flipping option, a final-pass policy and up to 64 sizes (from
// small to the largest the 32-bit model allows); find_best_packing then runs
// over both the fast and the straightforward search, and the target checks
// what must hold whatever the input: placements inside the returned box,
// none overlapping, each with its input size or the quarter turn of it,
// untouched records keeping the caller's values, at most one callback per
// record, and identical results from the two searches.
#include <tessel/best_bin_finder.hpp>

#include "../packing_drivers.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

using namespace packing_drivers;

constexpr int max_side = 46340;

struct byte_reader {
    const std::uint8_t* data;
    std::size_t size;

    unsigned next16() {
        unsigned value = 0;
        for (int i = 0; i < 2 && size > 0; ++i, ++data, --size) {
            value = value << 8 | *data;
        }
        return value;
    }
};

// A side from two bytes: the top two bits choose small, medium, extreme
// (0 or the largest) or any value in range.
int decode_side(const unsigned raw) {
    const unsigned value = raw & 0x3fff;
    switch (raw >> 14) {
        case 0: return static_cast<int>(value % 65);
        case 1: return static_cast<int>(value % 1025);
        case 2: return value % 2 ? max_side : 0;
        default: return static_cast<int>(value * 3 % (max_side + 1));
    }
}

void check(const bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    byte_reader in{data, size};
    const unsigned flags = in.next16();
    const int limit = decode_side(in.next16());
    const auto flipping = flags & 1 ? flipping_option::FLIPPING_ALLOWED : flipping_option::NO_FLIPPING;
    const auto on_miss = flags & 2 ? callback_decision::STOP_PACKING : callback_decision::KEEP_PACKING;

    std::vector<rect_wh> sizes;
    while (in.size >= 4 && sizes.size() < 64) {
        const int w = decode_side(in.next16());
        sizes.emplace_back(w, decode_side(in.next16()));
    }

    std::vector<rect_xywhf> fast = records_of(sizes);
    std::vector<rect_xywhf> plain = records_of(sizes);
    std::vector<int> calls(sizes.size(), 0);
    std::vector<long> fast_log;
    std::vector<long> plain_log;
    const auto logger = [&](std::vector<rect_xywhf>& records, std::vector<long>& log, const bool count,
                            const callback_decision decision) {
        return [&records, &log, &calls, count, decision](rect_xywhf& r) {
            const long index = &r - records.data();
            log.push_back(decision == callback_decision::KEEP_PACKING ? index : -index - 1);
            if (count) {
                ++calls[static_cast<std::size_t>(index)];
            }
            return decision;
        };
    };
    auto fast_inserted = logger(fast, fast_log, true, callback_decision::KEEP_PACKING);
    auto fast_missed = logger(fast, fast_log, true, on_miss);
    auto plain_inserted = logger(plain, plain_log, false, callback_decision::KEEP_PACKING);
    auto plain_missed = logger(plain, plain_log, false, on_miss);

    const rect_wh box = fast_packer{}(fast, limit, fast_inserted, fast_missed, flipping);
    const rect_wh plain_box = reference_packer{}(plain, limit, plain_inserted, plain_missed, flipping);

    check(box.w == plain_box.w && box.h == plain_box.h && fast_log == plain_log);
    check(box.w <= limit && box.h <= limit);
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const rect_xywhf& r = fast[i];
        const rect_xywhf& p = plain[i];
        check(r.x == p.x && r.y == p.y && r.w == p.w && r.h == p.h && r.flipped == p.flipped);
        check(calls[i] <= 1);
        if (r.x < 0) {
            check(r.y == -1 && r.w == sizes[i].w && r.h == sizes[i].h && !r.flipped);
            continue;
        }
        check(sizes[i].area() > 0);
        check(r.flipped ? r.w == sizes[i].h && r.h == sizes[i].w : r.w == sizes[i].w && r.h == sizes[i].h);
        check(r.flipped == false || flipping == flipping_option::FLIPPING_ALLOWED);
        check(r.y >= 0 && r.x + r.w <= box.w && r.y + r.h <= box.h);
        for (std::size_t j = 0; j < i; ++j) {
            const rect_xywhf& o = fast[j];
            check(o.x < 0 || r.x + r.w <= o.x || o.x + o.w <= r.x || r.y + r.h <= o.y || o.y + o.h <= r.y);
        }
    }
    return 0;
}
