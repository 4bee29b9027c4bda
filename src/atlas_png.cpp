// tessel_atlas._png: the part of writing a PNG that deflate does not do,
// choosing and applying each row's filter.
//
// PNG deflates a row better when each byte is stored as its difference from
// a prediction: the byte to its left, the one above, their average, or the
// Paeth predictor of left, above and upper left. Which prediction pays
// varies from row to row, so every row gets all five and keeps the one whose
// bytes, read as signed, sum to the least in magnitude: the heuristic PNG
// encoders commonly use, and the one that keeps our files as small as theirs.
//
// It does not deflate or write chunks (tessel_atlas.png does, with zlib), and
// reads only 8-bit pixels. It costs five passes over each row, a few tens of
// milliseconds for a 2048 x 2048 RGBA layer, with the interpreter lock
// released so that layers are filtered on several threads at once.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace py = pybind11;

namespace {

using byte = std::uint8_t;

// PNG's numbering of the filters, written as each row's first byte.
enum filter : byte { none, sub, up, average, paeth };
constexpr std::size_t filter_count = 5;

// Each filter is a loop of its own, written without branches, so that the
// compiler vectorises it. `left` and `upper_left` are `row` and `above` one
// pixel back; the first pixel is filtered with zeros for both.

template <class Predict>
void filter_with(const byte* row, const byte* above, const std::size_t length, const std::size_t bpp, byte* out,
                 Predict predict) {
    static constexpr byte zero_pixel[4] = {0, 0, 0, 0};
    for (std::size_t i = 0; i < bpp && i < length; ++i) {
        out[i] = static_cast<byte>(row[i] - predict(zero_pixel[i], above[i], zero_pixel[i]));
    }
    const byte* left = row;
    const byte* upper_left = above;
    for (std::size_t i = bpp; i < length; ++i) {
        out[i] = static_cast<byte>(row[i] - predict(left[i - bpp], above[i], upper_left[i - bpp]));
    }
}

// Lambdas rather than functions: each is a type of its own, so filter_with
// is instantiated, and inlined, per filter.
constexpr auto predict_none = [](int, int, int) { return 0; };
constexpr auto predict_sub = [](const int left, int, int) { return left; };
constexpr auto predict_up = [](int, const int above, int) { return above; };
constexpr auto predict_average = [](const int left, const int above, int) { return (left + above) >> 1; };
constexpr auto predict_paeth = [](const int left, const int above, const int upper_left) {
    const int to_left = std::abs(above - upper_left);
    const int to_above = std::abs(left - upper_left);
    const int to_upper_left = std::abs(left + above - 2 * upper_left);
    const int nearer_above = to_above <= to_upper_left ? above : upper_left;
    return to_left <= to_above && to_left <= to_upper_left ? left : nearer_above;
};

// The sum of the bytes' magnitudes read as signed: small when the filter
// left mostly values near zero, which deflate then codes shortly.
std::uint64_t magnitude(const byte* bytes, const std::size_t length) {
    std::uint64_t sum = 0;
    // In slices whose sum fits 32 bits, the width the loop vectorises at.
    constexpr std::size_t slice = std::size_t{1} << 24;
    for (std::size_t from = 0; from < length; from += slice) {
        const std::size_t to = std::min(length, from + slice);
        std::uint32_t part = 0;
        for (std::size_t i = from; i < to; ++i) {
            const int value = static_cast<std::int8_t>(bytes[i]);
            part += static_cast<std::uint32_t>(value < 0 ? -value : value);
        }
        sum += part;
    }
    return sum;
}

py::bytes filter_rows(const py::array_t<byte, py::array::c_style | py::array::forcecast>& pixels) {
    if (pixels.ndim() != 3 || pixels.shape(2) < 1 || pixels.shape(2) > 4) {
        throw py::value_error("pixels must be an array of shape (height, width, channels), 1 to 4 channels");
    }
    const auto height = static_cast<std::size_t>(pixels.shape(0));
    const auto bpp = static_cast<std::size_t>(pixels.shape(2));
    const std::size_t length = static_cast<std::size_t>(pixels.shape(1)) * bpp;
    // Filled in place: nothing else can see the object before it is returned.
    PyObject* made = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(height * (length + 1)));
    if (made == nullptr) {
        throw py::error_already_set();
    }
    const auto result = py::reinterpret_steal<py::bytes>(made);
    byte* dst = reinterpret_cast<byte*>(PyBytes_AS_STRING(made));
    const byte* src = pixels.data();
    {
        const py::gil_scoped_release unlocked;
        const std::vector<byte> zeros(length, 0);
        std::array<std::vector<byte>, filter_count> candidates;
        for (auto& candidate : candidates) {
            candidate.resize(length);
        }
        for (std::size_t y = 0; y < height; ++y) {
            const byte* row = src + y * length;
            const byte* above = y == 0 ? zeros.data() : row - length;
            filter_with(row, above, length, bpp, candidates[none].data(), predict_none);
            filter_with(row, above, length, bpp, candidates[sub].data(), predict_sub);
            filter_with(row, above, length, bpp, candidates[up].data(), predict_up);
            filter_with(row, above, length, bpp, candidates[average].data(), predict_average);
            filter_with(row, above, length, bpp, candidates[paeth].data(), predict_paeth);
            std::size_t best = 0;
            std::uint64_t best_magnitude = magnitude(candidates[0].data(), length);
            for (std::size_t f = 1; f < filter_count; ++f) {
                const std::uint64_t m = magnitude(candidates[f].data(), length);
                if (m < best_magnitude) {
                    best = f;
                    best_magnitude = m;
                }
            }
            *dst++ = static_cast<byte>(best);
            std::copy(candidates[best].begin(), candidates[best].end(), dst);
            dst += length;
        }
    }
    return result;
}

}  // namespace

PYBIND11_MODULE(_png, m) {
    m.doc() = "Row filtering for tessel-atlas's PNG writer.";
    m.def("filter_rows", &filter_rows, py::arg("pixels"),
          "The PNG image data of 8-bit pixels (height, width, channels) before deflating: each row\n"
          "prefixed by the filter that leaves its bytes smallest, and filtered by it.");
}
