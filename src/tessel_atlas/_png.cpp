// tessel_atlas._png: the parts of writing and reading PNG that the
// interpreter would do slowly: the row filters, and deflate for the
// default level.
//
// PNG deflates a row better when each byte is stored as its difference from
// a prediction: the byte to its left, the one above, their average, or the
// Paeth predictor of left, above and upper left. Which prediction pays
// varies from row to row, so every row gets all five and keeps the one whose
// bytes, read as signed, sum to the least in magnitude: the heuristic PNG
// encoders commonly use, and the one that keeps our files as small as theirs.
// Reading adds the predictions back, row by row. The filtered rows are then
// deflated looking for runs of one byte only (RunDeflater, run_deflate.hpp).
//
// Beside them, two pixel loops that NumPy would do a pass at a time: the box
// that trimming cuts a sprite to (alpha_box), and bleeding colour into the
// transparent pixels around sprites (bleed).
//
// It does not inflate or parse chunks (tessel_atlas.png does, with zlib),
// nor deflate at zlib's levels. It writes 8-bit RGBA only; it reads 8-bit
// grey, grey and alpha, RGB and RGBA, and indexed pixels of 1 to 8 bits,
// into RGBA: the kinds nearly every sprite is stored as. Writing a 2048 x
// 2048 RGBA layer costs five passes over each row to filter it, about 15
// ms with AVX2, and about 30 to deflate it; reading one pass. All release
// the interpreter lock, so several threads work at once.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "run_deflate.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// Filtering is half of writing's own time, and its loops take 0.6 of the
// time in AVX2's wider registers (a 2048 x 2048 layer, GCC 12): on x86-64
// ELF systems, where the loader picks a function's version for the machine
// it runs on, filter_strip is built both ways, with the loops it calls
// inlined into each. The same bytes either way.
#if defined(__GNUC__) && defined(__x86_64__) && defined(__ELF__)
#define TESSEL_WIDEST __attribute__((target_clones("avx2", "default")))
#else
#define TESSEL_WIDEST
#endif
#if defined(__GNUC__)
#define TESSEL_INLINE __attribute__((always_inline)) inline
#else
#define TESSEL_INLINE inline
#endif


namespace py = pybind11;

namespace {

using byte = std::uint8_t;

// RGBA, 8 bits a channel: the only pixels tessel-atlas writes or reads
// itself. A constant, so that the compiler can work a pixel at a time.
constexpr std::size_t bpp = 4;

// PNG's numbering of the filters, written as each row's first byte.
enum filter : byte { none, sub, up, average, paeth };
constexpr std::size_t filter_count = 5;

// Each filter is a loop of its own, written without branches, so that the
// compiler vectorises it. `left` and `upper_left` are `row` and `above` one
// pixel back; the first pixel is filtered with zeros for both.

template <class Predict>
TESSEL_INLINE void filter_with(const byte* row, const byte* above, const std::size_t length, byte* out, Predict predict) {
    static constexpr byte zero_pixel[4] = {0, 0, 0, 0};
    for (std::size_t i = 0; i < bpp; ++i) {
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
    // Chosen by multiplying with 0 or 1, not by branching: on real pixels the
    // choice is as good as random, and mispredicted branches cost five times
    // the arithmetic.
    const int take_above = to_above <= to_upper_left;
    const int take_left = (to_left <= to_above) & (to_left <= to_upper_left);
    const int nearer_above = upper_left + take_above * (above - upper_left);
    return nearer_above + take_left * (left - nearer_above);
};

// The sum of the bytes' magnitudes read as signed: small when the filter
// left mostly values near zero, which deflate then codes shortly.
TESSEL_INLINE std::uint64_t magnitude(const byte* bytes, const std::size_t length) {
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

// Exact type only: a conversion would copy the whole image on every call.
using pixel_array = py::array_t<byte, py::array::c_style>;

void require_rgba(const pixel_array& pixels) {
    if (pixels.ndim() != 3 || pixels.shape(1) < 1 || pixels.shape(2) != static_cast<py::ssize_t>(bpp)) {
        throw py::value_error("pixels must be an array of RGBA, of shape (height, width, 4), width 1 or more");
    }
}

TESSEL_WIDEST void filter_strip(const byte* src, const std::size_t rows, const std::size_t length, const bool first,
                                byte* dst) {
    const std::vector<byte> zeros(length, 0);
    std::array<std::vector<byte>, filter_count> candidates;
    for (auto& candidate : candidates) {
        candidate.resize(length);
    }
    for (std::size_t y = 0; y < rows; ++y) {
        const byte* row = src + y * length;
        // The image's first row has zeros above it.
        const byte* above = y == 0 && first ? zeros.data() : row - length;
        filter_with(row, above, length, candidates[none].data(), predict_none);
        filter_with(row, above, length, candidates[sub].data(), predict_sub);
        filter_with(row, above, length, candidates[up].data(), predict_up);
        filter_with(row, above, length, candidates[average].data(), predict_average);
        filter_with(row, above, length, candidates[paeth].data(), predict_paeth);
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

py::bytes filter_rows(const pixel_array& pixels, const py::ssize_t start, const py::ssize_t stop) {
    require_rgba(pixels);
    if (start < 0 || stop < start || stop > pixels.shape(0)) {
        throw py::value_error("rows must satisfy 0 <= start <= stop <= height");
    }
    const std::size_t length = static_cast<std::size_t>(pixels.shape(1)) * bpp;
    const auto rows = static_cast<std::size_t>(stop - start);
    // Filled in place: nothing else can see the object before it is returned.
    PyObject* made = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(rows * (length + 1)));
    if (made == nullptr) {
        throw py::error_already_set();
    }
    const auto result = py::reinterpret_steal<py::bytes>(made);
    byte* dst = reinterpret_cast<byte*>(PyBytes_AS_STRING(made));
    const byte* src = pixels.data() + static_cast<std::size_t>(start) * length;
    {
        const py::gil_scoped_release unlocked;
        filter_strip(src, rows, length, start == 0, dst);
    }
    return result;
}

// Undoes filter_with for pixels of `N` bytes (one for pixels of fewer bits
// than a byte): each byte is its stored difference plus the same
// prediction, made from bytes already restored. The pixel to the left and
// the one above it are carried in variables: read back from memory, every
// pixel would wait for the store of the one before.
template <std::size_t N, class Predict>
void unfilter_with(const byte* stored, const byte* above, const std::size_t length, byte* out, Predict predict) {
    std::array<int, N> left{}, upper_left{};
    for (std::size_t i = 0; i < length; i += N) {
        for (std::size_t c = 0; c < N; ++c) {
            left[c] = (stored[i + c] + predict(left[c], above[i + c], upper_left[c])) & 0xFF;
            out[i + c] = static_cast<byte>(left[c]);
            upper_left[c] = above[i + c];
        }
    }
}

// One row by its filter byte; false for a filter PNG does not have.
template <std::size_t N>
bool unfilter_row(const byte filter, const byte* stored, const byte* above, const std::size_t length, byte* out) {
    switch (filter) {
        case none: unfilter_with<N>(stored, above, length, out, predict_none); return true;
        case sub: unfilter_with<N>(stored, above, length, out, predict_sub); return true;
        case up: unfilter_with<N>(stored, above, length, out, predict_up); return true;
        case average: unfilter_with<N>(stored, above, length, out, predict_average); return true;
        case paeth: unfilter_with<N>(stored, above, length, out, predict_paeth); return true;
        default: return false;
    }
}

// PNG's colour types that the reader turns into RGBA.
enum colour_type : int { grey = 0, rgb = 2, indexed = 3, grey_alpha = 4, rgb_alpha = 6 };

std::size_t channels_of(const int colour) {
    switch (colour) {
        case grey: case indexed: return 1;
        case grey_alpha: return 2;
        case rgb: return 3;
        default: return 4;
    }
}

// How a row of stored samples becomes RGBA: a palette of 256 RGBA entries
// for indexed pixels, or the one colour (0 to 255 a sample) that PNG's
// transparency chunk makes transparent in grey and RGB pixels.
struct to_rgba {
    int colour;
    int bit_depth;
    std::size_t entries;  // in the palette
    std::array<byte, 256 * 4> palette;
    std::array<int, 3> key;  // -1: no colour is transparent

    // False when an index lies past the palette, which PNG does not define.
    // One loop per colour type: this runs for every pixel of most sprites.
    bool row(const byte* samples, const std::size_t width, byte* out) const {
        switch (colour) {
            case indexed: {
                if (bit_depth == 8) {  // most indexed sprites: the index checked a row at a time, which vectorises
                    byte highest = 0;
                    for (std::size_t x = 0; x < width; ++x) {
                        highest = std::max(highest, samples[x]);
                    }
                    if (highest >= entries) {
                        return false;
                    }
                    for (std::size_t x = 0; x < width; ++x) {
                        std::memcpy(out + x * bpp, palette.data() + std::size_t{samples[x]} * bpp, bpp);
                    }
                    break;
                }
                const auto per_byte = static_cast<std::size_t>(8 / bit_depth);
                const int mask = (1 << bit_depth) - 1;
                for (std::size_t x = 0; x < width; ++x) {
                    // The first pixel in a byte's highest bits.
                    const int shift = 8 - bit_depth * (1 + static_cast<int>(x % per_byte));
                    const auto index = static_cast<std::size_t>((samples[x / per_byte] >> shift) & mask);
                    if (index >= entries) {
                        return false;
                    }
                    std::memcpy(out + x * bpp, palette.data() + index * bpp, bpp);
                }
                break;
            }
            case grey:
                for (std::size_t x = 0; x < width; ++x, out += bpp) {
                    out[0] = out[1] = out[2] = samples[x];
                    out[3] = samples[x] == key[0] ? 0 : 0xFF;
                }
                break;
            case grey_alpha:
                for (std::size_t x = 0; x < width; ++x, out += bpp) {
                    out[0] = out[1] = out[2] = samples[2 * x];
                    out[3] = samples[2 * x + 1];
                }
                break;
            default:  // rgb
                for (std::size_t x = 0; x < width; ++x, out += bpp) {
                    const byte* pixel = samples + 3 * x;
                    std::memcpy(out, pixel, 3);
                    out[3] = pixel[0] == key[0] && pixel[1] == key[1] && pixel[2] == key[2] ? 0 : 0xFF;
                }
        }
        return true;
    }
};

to_rgba conversion(const int colour, const int bit_depth, const py::bytes& palette_bytes,
                   const py::bytes& transparency_bytes) {
    const std::string palette = palette_bytes, transparency = transparency_bytes;
    const bool eight_bits = bit_depth == 8;
    const bool known = colour == indexed ? eight_bits || bit_depth == 1 || bit_depth == 2 || bit_depth == 4
                                         : eight_bits && (colour == grey || colour == rgb || colour == grey_alpha ||
                                                          colour == rgb_alpha);
    if (!known) {
        throw py::value_error("only 8-bit PNG pixels, and indexed ones of 1, 2 or 4 bits, are read here");
    }
    to_rgba to{colour, bit_depth, palette.size() / 3, {}, {-1, -1, -1}};
    if (colour == indexed) {
        if (palette.size() % 3 != 0 || to.entries == 0 || to.entries > (std::size_t{1} << bit_depth) ||
            transparency.size() > to.entries) {
            throw py::value_error("a palette holds 1 to 2^bit_depth colours, and alpha for at most as many");
        }
        for (std::size_t i = 0; i < to.entries; ++i) {
            std::memcpy(to.palette.data() + i * bpp, palette.data() + i * 3, 3);
            to.palette[i * bpp + 3] = i < transparency.size() ? static_cast<byte>(transparency[i]) : 0xFF;
        }
        return to;
    }
    if (!palette.empty()) {
        throw py::value_error("only indexed pixels have a palette");
    }
    // The transparent colour: a 16-bit big-endian number a sample, which 8-bit samples never reach past 255.
    const std::size_t samples = colour == grey ? 1 : colour == rgb ? 3 : 0;
    if (!transparency.empty()) {
        if (transparency.size() != 2 * samples) {
            throw py::value_error("a transparent colour is one 16-bit number a sample, for grey or RGB pixels only");
        }
        for (std::size_t i = 0; i < samples; ++i) {
            const int value = static_cast<byte>(transparency[2 * i]) << 8 | static_cast<byte>(transparency[2 * i + 1]);
            if (value > 0xFF) {
                throw py::value_error("the transparent colour is past what 8-bit samples hold");
            }
            to.key[i] = value;
        }
    }
    return to;
}

// A bytes-like object's bytes, which must lie one after another.
py::buffer_info contiguous_bytes(const py::buffer& object, const char* what) {
    py::buffer_info bytes = object.request();
    if (bytes.ndim != 1 || bytes.itemsize != 1 || bytes.strides[0] != 1) {
        throw py::value_error(std::string(what) + " must be contiguous bytes");
    }
    return bytes;
}

py::array_t<byte> unfilter_rows(const py::buffer& image_data, const py::ssize_t width, const py::ssize_t height,
                                const int colour, const int bit_depth, const py::bytes& palette,
                                const py::bytes& transparency) {
    if (width < 1 || height < 1) {
        throw py::value_error("an image has at least one row and one column");
    }
    const to_rgba converting = conversion(colour, bit_depth, palette, transparency);
    const py::buffer_info data = contiguous_bytes(image_data, "the image data");
    const auto size = static_cast<std::size_t>(data.size);
    const auto rows = static_cast<std::size_t>(height);
    const std::size_t channels = channels_of(colour);
    // Sizes compared by division first: width and height are the file's
    // word, and their product could wrap.
    const auto columns = static_cast<std::size_t>(width);
    const std::size_t bits_per_row_limit = size / rows * 8;
    if (bits_per_row_limit / channels / static_cast<std::size_t>(bit_depth) < columns) {
        throw py::value_error("the image data is not height rows of a filter byte and width pixels");
    }
    const std::size_t length = (columns * channels * static_cast<std::size_t>(bit_depth) + 7) / 8;
    if (size != rows * (length + 1)) {
        throw py::value_error("the image data is not height rows of a filter byte and width pixels");
    }
    py::array_t<byte> pixels({height, width, static_cast<py::ssize_t>(bpp)});
    const auto* stored = static_cast<const byte*>(data.ptr);
    byte* out = pixels.mutable_data();
    bool filters_known = true, indexes_known = true;
    {
        const py::gil_scoped_release unlocked;
        // RGBA rows are restored in place; others into two rows of samples
        // in turn (this one, and the one above that the filters read), then
        // made RGBA. The first row has zeros above it.
        const bool direct = colour == rgb_alpha;
        const std::vector<byte> zeros(length, 0);
        std::vector<byte> samples(direct ? 0 : 2 * length);
        const byte* above = zeros.data();
        for (std::size_t y = 0; y < rows && filters_known && indexes_known; ++y, stored += length + 1) {
            byte* row = direct ? out + y * length : samples.data() + (y % 2) * length;
            switch (channels) {
                case 1: filters_known = unfilter_row<1>(stored[0], stored + 1, above, length, row); break;
                case 2: filters_known = unfilter_row<2>(stored[0], stored + 1, above, length, row); break;
                case 3: filters_known = unfilter_row<3>(stored[0], stored + 1, above, length, row); break;
                default: filters_known = unfilter_row<4>(stored[0], stored + 1, above, length, row); break;
            }
            if (!direct && filters_known) {
                indexes_known = converting.row(row, columns, out + y * columns * bpp);
            }
            above = row;
        }
    }
    if (!filters_known) {
        throw py::value_error("the image data names a filter PNG does not have");
    }
    if (!indexes_known) {
        throw py::value_error("the image data holds an index past the palette");
    }
    return pixels;
}

// The box (left, top, right, bottom) of the pixels whose alpha is above
// threshold, or None when there are none: what trimming cuts a sprite to.
py::object alpha_box(const pixel_array& pixels, const int threshold) {
    require_rgba(pixels);
    if (threshold < 0 || threshold > 254) {
        throw py::value_error("threshold must be from 0 to 254");
    }
    const auto at_most = static_cast<byte>(threshold);
    const auto height = static_cast<std::size_t>(pixels.shape(0));
    const auto width = static_cast<std::size_t>(pixels.shape(1));
    const byte* data = pixels.data();
    std::size_t left = width, top = height, right = 0, bottom = 0;
    {
        const py::gil_scoped_release unlocked;
        for (std::size_t y = 0; y < height; ++y) {
            const byte* alpha = data + y * width * bpp + 3;
            std::size_t first = 0;
            while (first < width && alpha[first * bpp] <= at_most) {
                ++first;
            }
            if (first == width) {
                continue;
            }
            std::size_t last = width;
            while (alpha[(last - 1) * bpp] <= at_most) {
                --last;
            }
            left = std::min(left, first);
            right = std::max(right, last);
            top = std::min(top, y);
            bottom = y + 1;
        }
    }
    if (bottom == 0) {
        return py::none();
    }
    return py::make_tuple(left, top, right, bottom);
}

// The bits of a pixel's alpha in its four bytes read as one number.
std::uint32_t native_alpha_mask() {
    const byte alpha_only[4] = {0, 0, 0, 0xff};
    std::uint32_t mask;
    std::memcpy(&mask, alpha_only, sizeof mask);
    return mask;
}

// Gives each fully transparent pixel of each box that lies at most `depth`
// steps (to one of the eight neighbours) from a pixel with some alpha the
// colour of the nearest such pixel in the same box (a breadth-first search
// from all of them at once), leaving alpha at 0: linear filtering then
// blends the sprite's own colour at its edges, not black. Filtering reaches
// a pixel or two; farther pixels keep their colour, which compresses best
// left alone. Boxes are (left, top, right, bottom) and must not overlap; a
// box with no pixel of any alpha is left as it is. Costs three passes over
// each box in bytes, which vectorise, a search of the eight neighbours only
// for the transparent pixels next to visible ones, and two bytes per pixel
// of the largest box.
void bleed(py::array_t<byte, py::array::c_style>& pixels, const py::array_t<int, py::array::c_style>& boxes,
           const int depth) {
    if (pixels.ndim() != 3 || pixels.shape(2) != static_cast<py::ssize_t>(bpp)) {
        throw py::value_error("pixels must be an array of RGBA, of shape (height, width, 4)");
    }
    if (boxes.ndim() != 2 || boxes.shape(1) != 4) {
        throw py::value_error("boxes must be an array of (left, top, right, bottom) rows");
    }
    const auto height = static_cast<long>(pixels.shape(0));
    const auto width = static_cast<long>(pixels.shape(1));
    const auto box = boxes.unchecked<2>();
    for (py::ssize_t i = 0; i < boxes.shape(0); ++i) {
        if (box(i, 0) < 0 || box(i, 1) < 0 || box(i, 2) > width || box(i, 3) > height || box(i, 0) > box(i, 2) ||
            box(i, 1) > box(i, 3)) {
            throw py::value_error("every box must lie inside the pixels, left <= right and top <= bottom");
        }
    }
    byte* const data = pixels.mutable_data();
    const py::gil_scoped_release unlocked;
    // Per pixel of a box, with a frame of one pixel around it that no
    // search enters: visible, filled, not reached yet, or outside.
    // Visible is the only odd state until the search fills pixels, so that
    // "visible" is a bit to combine; 0 and 1 as alpha is seen.
    enum : byte { unreached = 0, visible = 1, outside = 2, filled = 3 };
    std::vector<byte> state;
    // Per pixel: whether it or a pixel beside it (left or right) is visible.
    std::vector<byte> beside;
    std::vector<byte> candidates;  // of one row
    std::vector<std::uint32_t> queue;
    for (py::ssize_t i = 0; i < boxes.shape(0); ++i) {
        const long left = box(i, 0), top = box(i, 1), box_width = box(i, 2) - left, box_height = box(i, 3) - top;
        const long stride = box_width + 2;  // of the framed box
        // A pixel's place in the framed box, and the pixel itself.
        const auto at = [stride](const long x, const long y) { return (y + 1) * stride + x + 1; };
        const auto pixel = [&](const long index) {
            const long x = index % stride - 1, y = index / stride - 1;
            return data + (static_cast<std::size_t>(top + y) * static_cast<std::size_t>(width) +
                           static_cast<std::size_t>(left + x)) * bpp;
        };
        const auto framed = static_cast<std::size_t>(stride * (box_height + 2));
        state.assign(framed, outside);
        beside.assign(framed, 0);
        for (long y = 0; y < box_height; ++y) {
            const byte* const row = pixel(at(0, y));
            byte* const states = state.data() + at(0, y);
            // Alpha, the fourth byte, in a pixel read as one number in the machine's byte order.
            const std::uint32_t alpha_mask = native_alpha_mask();
            for (long x = 0; x < box_width; ++x) {  // a pixel at a time, which vectorises
                std::uint32_t rgba;
                std::memcpy(&rgba, row + x * static_cast<long>(bpp), sizeof rgba);
                states[x] = static_cast<byte>((rgba & alpha_mask) != 0);
            }
            byte* const near = beside.data() + at(0, y);
            for (long x = 0; x < box_width; ++x) {
                near[x] = static_cast<byte>((states[x - 1] | states[x] | states[x + 1]) & visible);
            }
        }
        // The transparent pixels next to visible ones take a neighbour's
        // colour first (the first visible one, row by row); the search goes
        // on from them, not from the visible pixels, most of which have no
        // transparent neighbour.
        static constexpr long steps[3] = {-1, 0, 1};
        // From a pixel to its neighbour dy rows and dx columns away, in the layer.
        const auto offset = [width](const long dy, const long dx) { return (dy * width + dx) * static_cast<long>(bpp); };
        queue.clear();
        candidates.resize(static_cast<std::size_t>(box_width) + 8);  // the scan below reads whole words
        for (long y = 0; y < box_height; ++y) {
            byte* const row = pixel(at(0, y));
            const byte* const states = state.data() + at(0, y);
            const byte* const near = beside.data() + at(0, y);
            // Unreached with a visible pixel among the eight around: a loop
            // that vectorises, then a scan that passes over words of none.
            for (long x = 0; x < box_width; ++x) {
                candidates[static_cast<std::size_t>(x)] = static_cast<byte>(
                    (states[x] == unreached) & (near[x - stride] | near[x] | near[x + stride]));
            }
            std::fill(candidates.begin() + box_width, candidates.end(), byte{0});
            for (long x = 0; x < box_width; ++x) {
                std::uint64_t word;
                if ((x & 7) == 0 && (std::memcpy(&word, candidates.data() + x, sizeof word), word == 0)) {
                    x += 7;
                    continue;
                }
                if (!candidates[static_cast<std::size_t>(x)]) {
                    continue;
                }
                const auto i = static_cast<std::size_t>(at(x, y));
                for (const long dy : steps) {
                    const std::size_t from = i + static_cast<std::size_t>(dy * stride) - 1;
                    const long dx = state[from] == visible ? -1 : state[from + 1] == visible ? 0
                                  : state[from + 2] == visible ? 1 : 2;
                    if (dx < 2) {
                        byte* const to = row + x * static_cast<long>(bpp);
                        std::copy(to + offset(dy, dx), to + offset(dy, dx) + 3, to);
                        queue.push_back(static_cast<std::uint32_t>(i));
                        break;
                    }
                }
            }
        }
        for (const std::uint32_t index : queue) {
            state[index] = filled;
        }
        // One step further a round, `depth` steps from the visible pixels in all.
        std::size_t round_start = 0;
        for (int step = 1; step < depth && round_start < queue.size(); ++step) {
            const std::size_t round_end = queue.size();
            for (std::size_t next = round_start; next < round_end; ++next) {
                const long from = queue[next];
                byte* const colour = pixel(from);
                for (const long dy : steps) {
                    for (const long dx : steps) {
                        const auto to = static_cast<std::size_t>(from + dy * stride + dx);
                        if (state[to] == unreached) {
                            state[to] = filled;
                            std::copy(colour, colour + 3, colour + offset(dy, dx));
                            queue.push_back(static_cast<std::uint32_t>(to));
                        }
                    }
                }
            }
            round_start = round_end;
        }
    }
}

// A zlib stream deflated by runs, as zlib's compression objects are used:
// compress() each piece, then flush() once.
class RunDeflater {
public:
    py::bytes compress(const py::buffer& data) {
        still_open();
        const py::buffer_info bytes = contiguous_bytes(data, "data");
        {
            const py::gil_scoped_release unlocked;
            out_.clear();
            deflater_.compress(static_cast<const byte*>(bytes.ptr), static_cast<std::size_t>(bytes.size), out_);
        }
        return py::bytes(reinterpret_cast<const char*>(out_.data()), out_.size());
    }

    py::bytes flush() {
        still_open();
        finished_ = true;
        out_.clear();
        deflater_.finish(out_);
        return py::bytes(reinterpret_cast<const char*>(out_.data()), out_.size());
    }

private:
    void still_open() const {
        if (finished_) {
            throw py::value_error("the stream was flushed: make another RunDeflater");
        }
    }

    run_deflate::Deflater deflater_;
    std::vector<byte> out_;
    bool finished_ = false;
};

}  // namespace

PYBIND11_MODULE(_png, m) {
    m.doc() = "Row filtering and deflate by runs for tessel-atlas's PNG writer, filtering for its reader, trimming's alpha box, and bleeding.";
    // pybind11 loads NumPy's C API on first use, inside a function-local
    // static that imports a module. Two threads using this module for the
    // first time at once would deadlock there (one waits on the static
    // holding the interpreter lock, the other on the lock inside the import),
    // so it is loaded now, while the module itself is imported.
    py::detail::npy_api::get();
    m.def("filter_rows", &filter_rows, py::arg("pixels").noconvert(), py::arg("start"), py::arg("stop"),
          "Rows start to stop of the PNG image data of C-contiguous RGBA pixels (height, width, 4)\n"
          "before deflating: each row prefixed by the filter that leaves its bytes smallest, and\n"
          "filtered by it.");
    m.def("unfilter_rows", &unfilter_rows, py::arg("image_data"), py::arg("width"), py::arg("height"),
          py::arg("colour_type") = 6, py::arg("bit_depth") = 8, py::arg("palette") = py::bytes(),
          py::arg("transparency") = py::bytes(),
          "RGBA pixels (height, width, 4) from inflated PNG image data (bytes-like): rows that\n"
          "each start with their filter byte, of pixels of PNG's colour_type and bit_depth (8,\n"
          "or 1, 2 or 4 for indexed pixels), with the file's palette and transparency chunks.");
    m.def("bleed", &bleed, py::arg("pixels").noconvert(), py::arg("boxes").noconvert(), py::arg("depth"),
          "Gives each fully transparent pixel of each box (left, top, right, bottom; not overlapping) within\n"
          "depth steps of a pixel with some alpha the colour of the nearest such pixel in the same box, in\n"
          "place; alpha stays 0.");
    m.def("alpha_box", &alpha_box, py::arg("pixels").noconvert(), py::arg("threshold") = 0,
          "The box (left, top, right, bottom) of the RGBA pixels whose alpha is above threshold\n"
          "(0 to 254), or None.");
    py::class_<RunDeflater>(m, "RunDeflater",
                            "A zlib stream that codes runs of one byte and literals only: what zlib's run-length\n"
                            "strategy writes, several times faster. compress() each piece, then flush() once.")
        .def(py::init<>())
        .def("compress", &RunDeflater::compress, py::arg("data"),
             "The stream's next bytes for data (bytes-like); a few bits may wait for the next call.")
        .def("flush", &RunDeflater::flush, "The stream's last bytes: the end, and the checksum.");
}
