// The driver shared by the Python modules TesselPack and tessel_atlas._engine:
// reads an (n, 2) array of widths and heights into packing records, grows a
// single bin or fills square textures one after another through the packing
// core, and writes one result row per input row.
//
// Input is read once and checked completely before any packing or output:
// every size must be exactly what the caller wrote (integers wider than 32
// bits are judged by their own value, not by what the int32 cast made of
// them), non-negative, and inside the core's signed 32-bit model, and every
// rectangle that takes part must fit, so that layered mode always ends.
// Rows of zero area never take part and read (-1, -1, 0, 0).
//
// What a caller chooses: the packing options (turning, the single bin's
// growth factor, the search resolution) and a Hooks object with
//   rect_wh find(records, finder_input)  runs the core's search;
//   void attempt_done(remaining)         after each single-bin attempt;
//   void layer_done(remaining)           after each texture;
// which is where a module prints, reports progress or lets other threads run.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <tessel/best_bin_finder.hpp>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace pack_driver {

namespace py = pybind11;

using tessel::callback_decision;
using tessel::rect_wh;
using tessel::rect_xywhf;
using int_array = py::array_t<int, py::array::forcecast>;
using pack_result = std::tuple<int_array, int, int>;
using root_type = tessel::empty_spaces<true, tessel::indexed_empty_spaces>;

// The largest side whose square still fits a signed 32-bit int.
constexpr int max_supported_side = 46340;

// The caller's rect_sizes: the int32 array of the forced cast, and the
// object as it was passed, whose integers may be wider than the cast.
struct rect_sizes_arg {
    int_array converted;
    py::object original;
};

struct packing_options {
    tessel::flipping_option flipping = tessel::flipping_option::FLIPPING_ALLOWED;
    // Single precision on purpose: 1.1f fixes the sequence of sides tried.
    float growth = 1.1f;
    int search_resolution = 1;
};

[[noreturn]] inline void reject(const std::string& message) { throw std::runtime_error(message); }

template <class T>
std::string size_text(const T w, const T h) {
    return std::to_string(w) + " x " + std::to_string(h);
}

// The result array: one row per input row, (x, y, layer, flip), or
// (x, y, flip) for the one-argument form. Filled in place, row by row.
class result_rows {
    int_array array;
    py::detail::unchecked_mutable_reference<int, 2> view;
    bool with_layer;

public:
    result_rows(const std::size_t n, const bool with_layer_)
        : array({static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(with_layer_ ? 4 : 3)}),
          view(array.mutable_unchecked<2>()),
          with_layer(with_layer_) {}

    void set(const std::size_t row, const int x, const int y, const int layer, const int flip) {
        const auto i = static_cast<py::ssize_t>(row);
        view(i, 0) = x;
        view(i, 1) = y;
        if (with_layer) {
            view(i, 2) = layer;
        }
        view(i, with_layer ? 3 : 2) = flip;
    }

    int_array take() { return std::move(array); }
};

// The records of one call, and each row's input width, which tells at the
// end whether the rectangle lies turned.
struct input_records {
    std::vector<rect_xywhf> records;
    std::vector<int> widths;

    int flip_of(const std::size_t row) const { return records[row].w != widths[row] ? 1 : 0; }
};

// Reads rows of element type T, rejecting what the model cannot hold.
template <class T, class Rows>
void read_rows(const Rows& rows, input_records& out, const int start_xy, const int side_limit,
               const char* const bin_name) {
    constexpr auto int_max = static_cast<std::uint64_t>(std::numeric_limits<int>::max());
    for (py::ssize_t i = 0; i < rows.shape(0); ++i) {
        const T w = rows(i, 0);
        const T h = rows(i, 1);
        const std::string row = "rect_sizes row " + std::to_string(i);
        if constexpr (std::is_same_v<T, int>) {
            // NumPy's cast turns NaN, infinities and out-of-range floats into
            // INT_MIN on the platforms we build for.
            if (w == std::numeric_limits<int>::min() || h == std::numeric_limits<int>::min()) {
                reject(row + " has a size that is not a finite number in the 32-bit range");
            }
        }
        if constexpr (std::is_signed_v<T>) {
            if (w < 0 || h < 0) {
                reject(row + " has a negative size (" + size_text(w, h) + ")");
            }
        }
        if (static_cast<std::uint64_t>(w) > int_max || static_cast<std::uint64_t>(h) > int_max) {
            reject(row + " has a size beyond the 32-bit range (" + size_text(w, h) + ")");
        }
        const rect_wh size(static_cast<int>(w), static_cast<int>(h));
        // Rows of zero area take no part, so their sides need not fit.
        if (size.w > 0 && size.h > 0 && size.max_side() > side_limit) {
            reject(row + " (" + size_text(size.w, size.h) + ") does not fit a " +
                   size_text(side_limit, side_limit) + " " + bin_name + " in either orientation");
        }
        out.records.emplace_back();
        rect_xywhf& record = out.records.back();
        record.x = start_xy;
        record.y = start_xy;
        record.w = size.w;
        record.h = size.h;
        out.widths.push_back(size.w);
    }
}

// The caller's array when its integers are wider than the cast's (int64,
// uint64, uint32), so that values the cast would wrap are seen as written.
inline py::object wide_integers(const py::object& original) {
    const py::object as_array =
        py::isinstance<py::array>(original) ? original : py::module_::import("numpy").attr("asarray")(original);
    // Through Python: the descriptor's C layout differs between NumPy 1 and 2.
    const py::object type = as_array.attr("dtype");
    const auto kind = type.attr("kind").cast<std::string>();
    const auto size = type.attr("itemsize").cast<int>();
    return (kind == "i" && size > 4) || (kind == "u" && size >= 4) ? as_array : py::object();
}

// Reads the (n, 2) array once, through its strides, into records placed at
// (start_xy, start_xy). Rejects a wrong shape, sizes that are negative or
// beyond 32 bits, and rectangles with sides beyond side_limit (the texture,
// or the largest supported bin).
inline input_records read_records(const rect_sizes_arg& rect_sizes, const int start_xy, const int side_limit,
                                  const char* const bin_name) {
    const py::buffer_info info = rect_sizes.converted.request();
    if (info.ndim != 2) {
        reject("Incompatible buffer dimension!");
    }
    if (info.shape[1] != 2) {
        reject("Incompatible buffer width!");
    }
    input_records out;
    out.records.reserve(static_cast<std::size_t>(info.shape[0]));
    out.widths.reserve(static_cast<std::size_t>(info.shape[0]));

    const py::object wide = wide_integers(rect_sizes.original);
    if (!wide) {
        read_rows<int>(rect_sizes.converted.unchecked<2>(), out, start_xy, side_limit, bin_name);
    } else if (wide.attr("dtype").attr("kind").cast<std::string>() == "u") {
        const auto rows = py::array_t<std::uint64_t, py::array::forcecast>::ensure(wide);
        read_rows<std::uint64_t>(rows.unchecked<2>(), out, start_xy, side_limit, bin_name);
    } else {
        const auto rows = py::array_t<std::int64_t, py::array::forcecast>::ensure(wide);
        read_rows<std::int64_t>(rows.unchecked<2>(), out, start_xy, side_limit, bin_name);
    }
    return out;
}

inline void check_texture_size(const int max_texture_size) {
    if (max_texture_size < 0) {
        reject("max_texture_size must not be negative (got " + std::to_string(max_texture_size) + ")");
    }
    if (max_texture_size > max_supported_side) {
        reject("max_texture_size " + std::to_string(max_texture_size) + " exceeds the largest supported side of " +
               std::to_string(max_supported_side));
    }
}

// Grows a square bin from the square root of the total area until the core
// places every rectangle; the core's search then shrinks it to the tightest
// bin it finds. A bin that would grow past the largest supported side tries
// that side once before giving up. Returns the bounding size of the final
// placement.
template <class Hooks>
rect_wh pack_single_bin(std::vector<rect_xywhf>& records, const packing_options& options, Hooks& hooks) {
    std::int64_t total_area = 0;
    std::size_t taking_part = 0;
    for (const auto& r : records) {
        total_area += std::int64_t{r.w} * r.h;
        taking_part += r.area() > 0 ? 1 : 0;
    }
    if (total_area > std::numeric_limits<int>::max()) {
        reject("total area of rect_sizes (" + std::to_string(total_area) + ") exceeds the 32-bit limit of " +
               std::to_string(std::numeric_limits<int>::max()));
    }
    const auto too_large = [] {
        reject("the bin would have to grow past the largest supported side of " + std::to_string(max_supported_side) +
               " to hold all rectangles");
    };

    bool all_inserted = true;
    auto on_inserted = [](rect_xywhf&) { return callback_decision::KEEP_PACKING; };
    auto on_not_inserted = [&all_inserted](rect_xywhf&) {
        all_inserted = false;
        return callback_decision::STOP_PACKING;
    };

    int side = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(total_area))));
    if (side > max_supported_side) {
        too_large();
    }
    for (;;) {
        all_inserted = true;
        const rect_wh bin = hooks.find(records, tessel::make_finder_input(side, options.search_resolution, on_inserted,
                                                                          on_not_inserted, options.flipping));
        hooks.attempt_done(all_inserted ? 0 : taking_part);
        if (all_inserted) {
            return bin;
        }
        if (side == max_supported_side) {
            too_large();
        }
        side = std::min(max_supported_side,
                        std::max(side + 1, static_cast<int>(static_cast<float>(side) * options.growth)));
    }
}

// Fills texture after texture with what the previous ones left, keeping
// the records still to place (in their order) at the front of `records`.
// Every rectangle fits an empty texture (read_records made sure), so each
// layer places at least one and the loop ends.
template <class Hooks>
void pack_layers(input_records& input, const int texture_side, const packing_options& options, result_rows& rows_out,
                 Hooks& hooks) {
    std::vector<rect_xywhf>& records = input.records;
    // Which row each remaining record came from.
    std::vector<std::int64_t> row_numbers(records.size());
    std::iota(row_numbers.begin(), row_numbers.end(), std::int64_t{0});
    std::vector<int> widths = std::move(input.widths);
    // Moves the records that `stays` keeps to the front, in their order.
    const auto keep_if = [&](const auto& stays) {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < records.size(); ++i) {
            if (stays(records[i], row_numbers[i])) {
                records[kept] = records[i];
                row_numbers[kept] = row_numbers[i];
                ++kept;
            }
        }
        records.resize(kept);
        row_numbers.resize(kept);
    };

    // Zero-area rows never take part; they keep the not-placed mark.
    keep_if([](const rect_xywhf& r, std::int64_t) { return r.area() > 0; });

    auto keep_packing = [](rect_xywhf&) { return callback_decision::KEEP_PACKING; };
    int layer = 0;
    do {
        hooks.find(records, tessel::make_finder_input(texture_side, options.search_resolution, keep_packing,
                                                      keep_packing, options.flipping));
        keep_if([&](const rect_xywhf& r, const std::int64_t row) {
            if (r.x >= 0) {
                const auto k = static_cast<std::size_t>(row);
                rows_out.set(k, r.x, r.y, layer, r.w != widths[k] ? 1 : 0);
            }
            return r.x < 0;
        });
        hooks.layer_done(records.size());
        ++layer;
    } while (!records.empty());
}

// Single-bin mode on records read at start_xy: the result and the bin.
template <class Hooks>
pack_result single_bin_result(const rect_sizes_arg& rect_sizes, const int start_xy, const bool with_layer,
                              const packing_options& options, Hooks& hooks) {
    input_records input = read_records(rect_sizes, start_xy, max_supported_side, "bin (the largest supported)");
    const rect_wh bin = pack_single_bin(input.records, options, hooks);

    result_rows rows(input.records.size(), with_layer);
    for (std::size_t i = 0; i < input.records.size(); ++i) {
        rows.set(i, input.records[i].x, input.records[i].y, 0, input.flip_of(i));
    }
    return {rows.take(), bin.w, bin.h};
}

// Both modes of the two-argument form: max_texture_size 0 packs one bin,
// any other value square textures of that side.
template <class Hooks>
pack_result pack_rect_sizes(const rect_sizes_arg& rect_sizes, const int max_texture_size,
                            const packing_options& options, Hooks& hooks) {
    check_texture_size(max_texture_size);
    if (max_texture_size == 0) {
        return single_bin_result(rect_sizes, -1, true, options, hooks);
    }

    input_records input = read_records(rect_sizes, -1, max_texture_size, "texture");
    result_rows rows(input.records.size(), true);
    for (std::size_t i = 0; i < input.records.size(); ++i) {
        rows.set(i, -1, -1, 0, 0);  // rows of zero area are never placed
    }
    pack_layers(input, max_texture_size, options, rows, hooks);
    return {rows.take(), max_texture_size, max_texture_size};
}

}  // namespace pack_driver

namespace pybind11 {
namespace detail {

// rect_sizes converts exactly as an int32 array with forced cast (and is
// named so in signatures), keeping the object as passed beside it.
template <>
struct type_caster<pack_driver::rect_sizes_arg> {
    PYBIND11_TYPE_CASTER(pack_driver::rect_sizes_arg, handle_type_name<pack_driver::int_array>::name);

    bool load(handle src, const bool convert) {
        pyobject_caster<pack_driver::int_array> cast;
        if (!cast.load(src, convert)) {
            return false;
        }
        value.converted = std::move(static_cast<pack_driver::int_array&>(cast));
        value.original = reinterpret_borrow<object>(src);
        return true;
    }

    static handle cast(const pack_driver::rect_sizes_arg& sizes, return_value_policy, handle) {
        return sizes.original.inc_ref();
    }
};

}  // namespace detail
}  // namespace pybind11
