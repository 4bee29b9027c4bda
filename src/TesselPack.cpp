// The Python module TesselPack: converts an (n, 2) array of widths and
// heights into packing records, drives the packing core and returns one row
// per rectangle.
//
// A build carries one form of pack, chosen at compile time:
// - pack(rect_sizes, max_texture_size): max_texture_size 0 packs everything
//   into one bin as small as the search finds; any other value fills square
//   textures of that side, one layer after another. Rows are (x, y, layer,
//   flip).
// - with TESSEL_LEGACY_PACK, the earlier pack(rect_sizes): always one bin,
//   rows (x, y, flip).
//
// Input is checked completely before any packing or output: sizes and areas
// must stay inside the core's signed 32-bit model, and every rectangle must
// be placeable, so that layered mode always ends.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <tessel/best_bin_finder.hpp>

#include <cmath>
#include <cstdint>
#include <iostream>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

constexpr bool allow_flip = true;
constexpr tessel::flipping_option runtime_flipping_mode = tessel::flipping_option::FLIPPING_ALLOWED;
const std::tuple<int, int, int> version{1, 0, 0};

using root_type = tessel::empty_spaces<allow_flip, tessel::indexed_empty_spaces>;
using tessel::callback_decision;
using tessel::rect_wh;
using tessel::rect_xywhf;
using int_array = py::array_t<int, py::array::forcecast>;
using pack_result = std::tuple<int_array, int, int>;

// The largest side whose square still fits a signed 32-bit int.
constexpr int max_supported_side = 46340;

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

std::string size_text(const rect_wh& s) { return std::to_string(s.w) + " x " + std::to_string(s.h); }

[[noreturn]] void reject(const std::string& message) { throw std::runtime_error(message); }

// Reads the (n, 2) array through its strides into records placed at
// (start_xy, start_xy). Rejects a wrong shape, negative sizes and sides
// beyond side_limit (the texture, or the largest supported bin).
std::vector<rect_xywhf> read_records(const int_array& rect_sizes, const int start_xy, const int side_limit,
                                     const char* const bin_name) {
    const py::buffer_info info = rect_sizes.request();
    if (info.ndim != 2) {
        reject("Incompatible buffer dimension!");
    }
    if (info.shape[1] != 2) {
        reject("Incompatible buffer width!");
    }

    const auto rows = rect_sizes.unchecked<2>();
    std::vector<rect_xywhf> records(static_cast<std::size_t>(rows.shape(0)));
    for (py::ssize_t i = 0; i < rows.shape(0); ++i) {
        const rect_wh size(rows(i, 0), rows(i, 1));
        // NumPy's cast turns NaN, infinities and out-of-range floats into
        // INT_MIN on the platforms we build for.
        if (size.w == std::numeric_limits<int>::min() || size.h == std::numeric_limits<int>::min()) {
            reject("rect_sizes row " + std::to_string(i) +
                   " has a size that is not a finite number in the 32-bit range");
        }
        if (size.w < 0 || size.h < 0) {
            reject("rect_sizes row " + std::to_string(i) + " has a negative size (" + size_text(size) + ")");
        }
        if (size.max_side() > side_limit) {
            reject("rect_sizes row " + std::to_string(i) + " (" + size_text(size) + ") does not fit a " +
                   std::to_string(side_limit) + " x " + std::to_string(side_limit) + " " + bin_name +
                   " in either orientation");
        }
        rect_xywhf& record = records[static_cast<std::size_t>(i)];
        record.x = start_xy;
        record.y = start_xy;
        record.w = size.w;
        record.h = size.h;
    }
    return records;
}

int flip_of(const rect_xywhf& record, const int input_w) { return record.w != input_w ? 1 : 0; }

// Grows a square bin from the square root of the total area until the core
// places every rectangle; the core's search then shrinks it to the tightest
// bin it finds. Returns the bounding size of the final placement.
rect_wh pack_single_bin(std::vector<rect_xywhf>& records) {
    std::int64_t total_area = 0;
    for (const auto& r : records) {
        total_area += std::int64_t{r.w} * r.h;
    }
    if (total_area > std::numeric_limits<int>::max()) {
        reject("total area of rect_sizes (" + std::to_string(total_area) +
               ") exceeds the 32-bit limit of " + std::to_string(std::numeric_limits<int>::max()));
    }

    bool all_inserted = true;
    auto on_inserted = [](rect_xywhf&) { return callback_decision::KEEP_PACKING; };
    auto on_not_inserted = [&all_inserted](rect_xywhf&) {
        all_inserted = false;
        return callback_decision::STOP_PACKING;
    };

    int side = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(total_area))));
    rect_wh bin;
    do {
        if (side > max_supported_side) {
            reject("the bin would have to grow past the largest supported side of " +
                   std::to_string(max_supported_side) + " to hold all rectangles");
        }
        all_inserted = true;
        bin = tessel::find_best_packing<root_type>(
            records, tessel::make_finder_input(side, 1, on_inserted, on_not_inserted, runtime_flipping_mode));
        // Single precision on purpose: it fixes the sequence of sides tried.
        side = std::max(side + 1, static_cast<int>(static_cast<float>(side) * 1.1f));
    } while (!all_inserted);
    return bin;
}

// Runs single-bin mode on records read at start_xy and returns its result.
pack_result single_bin_result(const int_array& rect_sizes, const int start_xy, const bool with_layer) {
    std::vector<rect_xywhf> records =
        read_records(rect_sizes, start_xy, max_supported_side, "bin (the largest supported)");
    const rect_wh bin = pack_single_bin(records);

    const auto input = rect_sizes.unchecked<2>();
    result_rows rows(records.size(), with_layer);
    for (std::size_t i = 0; i < records.size(); ++i) {
        const rect_xywhf& r = records[i];
        rows.set(i, r.x, r.y, 0, flip_of(r, input(static_cast<py::ssize_t>(i), 0)));
    }
    return {rows.take(), bin.w, bin.h};
}

#ifndef TESSEL_LEGACY_PACK

// Fills texture after texture with what the previous ones left, keeping
// the records still to place (in their order) at the front of `records`.
// Every rectangle fits an empty texture (read_records made sure), so each
// layer places at least one and the loop ends.
void pack_layers(std::vector<rect_xywhf>& records, const int texture_side, result_rows& rows_out,
                 const int_array& rect_sizes) {
    const auto input = rect_sizes.unchecked<2>();

    // Which row each remaining record came from.
    std::vector<std::int64_t> row_numbers(records.size());
    std::iota(row_numbers.begin(), row_numbers.end(), std::int64_t{0});
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
        tessel::find_best_packing<root_type>(
            records, tessel::make_finder_input(texture_side, 1, keep_packing, keep_packing, runtime_flipping_mode));
        keep_if([&](const rect_xywhf& r, const std::int64_t row) {
            if (r.x >= 0) {
                rows_out.set(static_cast<std::size_t>(row), r.x, r.y, layer, flip_of(r, input(row, 0)));
            }
            return r.x < 0;
        });
        std::cout << "There remains " << records.size() << " rectangles to pack." << std::endl;
        ++layer;
    } while (!records.empty());
}

pack_result pack(const int_array rect_sizes, const int max_texture_size) {
    if (max_texture_size < 0) {
        reject("max_texture_size must not be negative (got " + std::to_string(max_texture_size) + ")");
    }
    if (max_texture_size > max_supported_side) {
        reject("max_texture_size " + std::to_string(max_texture_size) + " exceeds the largest supported side of " +
               std::to_string(max_supported_side));
    }

    if (max_texture_size == 0) {
        return single_bin_result(rect_sizes, -1, true);
    }

    std::vector<rect_xywhf> records = read_records(rect_sizes, -1, max_texture_size, "texture");
    result_rows rows(records.size(), true);
    for (std::size_t i = 0; i < records.size(); ++i) {
        rows.set(i, -1, -1, 0, 0);  // rows of zero area are never placed
    }
    pack_layers(records, max_texture_size, rows, rect_sizes);
    return {rows.take(), max_texture_size, max_texture_size};
}

#else

pack_result pack(const int_array rect_sizes) { return single_bin_result(rect_sizes, 0, false); }

#endif

}  // namespace

PYBIND11_MODULE(TesselPack, m) {
    m.doc() = "TesselPack internal module for TesselTexturePacker";
    m.attr("__version__") = version;
#ifndef TESSEL_LEGACY_PACK
    m.def("pack", &pack, py::arg("rect_sizes"), py::arg("max_texture_size"),
          "Pack a (n,2) array representing an array of rectangles with attributes width, height. Return a (n,4) "
          "arrays with attributes x, y, layer, flip (bool), each layer being a different texture of maximum size "
          "'max_texture_size' (if it is greater than 0).");
#else
    m.def("pack", &pack, py::arg("rect_sizes"),
          "Pack a (n,2) array representing an array of rectangles with attributes width, height. Return a (n,3) "
          "array with attributes x, y, flip (bool).");
#endif
}
