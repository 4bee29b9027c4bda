// tessel_atlas._png: the parts of writing and reading PNG that the
// interpreter would do slowly: the row filters and deflate for the default
// level, and reading whole files of the common kinds.
//
// PNG deflates a row better when each byte is stored as its difference from
// a prediction: the byte to its left, the one above, their average, or the
// Paeth predictor of left, above and upper left. Which prediction pays
// varies from row to row, so every row gets all five (a strip's first row,
// the two that do not look above: filter_strip) and keeps the one whose
// bytes, read as signed, sum to the least in magnitude: the heuristic PNG
// encoders commonly use, and the one that keeps our files as small as theirs.
// Reading adds the predictions back, row by row. The filtered rows are then
// deflated looking for runs of one byte only (RunDeflater, run_deflate.hpp),
// a layer in strips of about 2 MB, each of which restores alone: a run
// that draws a sprite again reads and writes only the strips under it
// (read_strips, patched_png).
//
// Reading walks a file's chunks, checking each (read_png says which files
// are read here), inflates its image data (inflate.hpp) and restores the
// rows as RGBA, all without the interpreter: a build reads thousands of
// small sprites, and taking turns at the interpreter for each step of each
// cost more than the steps. read_png_files does the same for a batch of
// files, and trims each (visible_box) while its pixels are at hand.
//
// Beside them, copying sprites into a layer (draw) and bleeding colour into
// the transparent pixels around them (bleed), pixel loops that NumPy would
// do a slice or a pass at a time.
//
// It does not deflate at zlib's levels, nor read any other kind of PNG
// (16-bit samples, interlacing), which Pillow reads. It writes 8-bit RGBA
// only; it reads 8-bit grey, grey and alpha, RGB and RGBA, and indexed
// pixels and grey of 1 to 8 bits, into RGBA. Writing a 2048 x 2048 RGBA
// layer costs five passes over each row to filter it, about 10 ms with
// AVX2, and about 30 to deflate it; reading, about 1.3 ns a byte of rows
// to inflate and a pass to restore them. All release the interpreter lock,
// so several threads work at once.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include "inflate.hpp"
#include "run_deflate.hpp"
#include "shared_work.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
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
#if defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <unistd.h>
#define TESSEL_POSIX_FILES 1
#else
#define TESSEL_POSIX_FILES 0
#endif
// SSE2, which every x86-64 processor has, restores a pixel's bytes at once.
#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define TESSEL_SSE2 1
#else
#define TESSEL_SSE2 0
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
// pixel back; the first pixel is filtered with zeros for both. It returns
// the sum of the filtered bytes' magnitudes read as signed: small when the
// filter left mostly values near zero, which deflate then codes shortly.
// Summed as the row is filtered, in slices whose sum fits 32 bits, the
// width the loop vectorises at.
template <class Predict>
TESSEL_INLINE std::uint64_t filter_with(const byte* row, const byte* above, const std::size_t length, byte* out,
                                        Predict predict) {
    static constexpr std::int16_t zero_pixel[4] = {0, 0, 0, 0};
    const auto magnitude = [](const byte filtered) {
        const int value = static_cast<std::int8_t>(filtered);
        return static_cast<std::uint32_t>(value < 0 ? -value : value);
    };
    std::uint32_t first = 0;
    for (std::size_t i = 0; i < bpp; ++i) {
        out[i] = static_cast<byte>(row[i] - predict(zero_pixel[i], above[i], zero_pixel[i]));
        first += magnitude(out[i]);
    }
    std::uint64_t sum = first;
    const byte* left = row;
    const byte* upper_left = above;
    constexpr std::size_t slice = std::size_t{1} << 24;
    for (std::size_t from = bpp; from < length; from += slice) {
        const std::size_t to = std::min(length, from + slice);
        std::uint32_t part = 0;
        for (std::size_t i = from; i < to; ++i) {
            out[i] = static_cast<byte>(row[i] - predict(std::int16_t{left[i - bpp]}, above[i], upper_left[i - bpp]));
            part += magnitude(out[i]);
        }
        sum += part;
    }
    return sum;
}

// Lambdas rather than functions: each is a type of its own, so filter_with
// is instantiated, and inlined, per filter.
constexpr auto predict_none = [](int, int, int) { return 0; };
constexpr auto predict_sub = [](const int left, int, int) { return left; };
constexpr auto predict_up = [](int, const int above, int) { return above; };
constexpr auto predict_average = [](const int left, const int above, int) { return (left + above) >> 1; };
// In the type of the left byte its caller gives: filter_with's 16 bits,
// which every difference here fits (vectorised, twice as many lanes as in
// int, the filters a third faster), or int for restoring rows a pixel at a
// time, where 16 bits cost conversions.
constexpr auto predict_paeth = [](const auto left_byte, const int above_byte, const int upper_left_byte) {
    using lane = decltype(left_byte);
    const auto left = static_cast<lane>(left_byte), above = static_cast<lane>(above_byte);
    const auto upper_left = static_cast<lane>(upper_left_byte);
    const auto to_left = static_cast<lane>(std::abs(static_cast<lane>(above - upper_left)));
    const auto to_above = static_cast<lane>(std::abs(static_cast<lane>(left - upper_left)));
    const auto to_upper_left = static_cast<lane>(std::abs(static_cast<lane>(left + above - 2 * upper_left)));
    // Chosen by multiplying with 0 or 1, not by branching: on real pixels the
    // choice is as good as random, and mispredicted branches cost five times
    // the arithmetic.
    const lane take_above = to_above <= to_upper_left;
    const lane take_left = (to_left <= to_above) & (to_left <= to_upper_left);
    const auto nearer_above = static_cast<lane>(upper_left + take_above * (above - upper_left));
    return static_cast<lane>(nearer_above + take_left * (left - nearer_above));
};

// Exact type only: a conversion would copy the whole image on every call.
using pixel_array = py::array_t<byte, py::array::c_style>;

void require_rgba(const pixel_array& pixels) {
    if (pixels.ndim() != 3 || pixels.shape(1) < 1 || pixels.shape(2) != static_cast<py::ssize_t>(bpp)) {
        throw py::value_error("pixels must be an array of RGBA, of shape (height, width, 4), width 1 or more");
    }
}

// A strip's first row takes only the filters that do not look at the row
// above (none and sub), so that a strip's rows restore without those
// before it: a run drawing one sprite again reads and writes only the
// strips under it (patched_png). It costs a few bytes a strip.
TESSEL_WIDEST void filter_strip(const byte* src, const std::size_t rows, const std::size_t length, byte* dst) {
    std::array<std::vector<byte>, filter_count> candidates;
    for (auto& candidate : candidates) {
        candidate.resize(length);
    }
    for (std::size_t y = 0; y < rows; ++y) {
        const byte* row = src + y * length;
        const byte* above = row - length;
        std::array<std::uint64_t, filter_count> magnitudes = {
            filter_with(row, row, length, candidates[none].data(), predict_none),
            filter_with(row, row, length, candidates[sub].data(), predict_sub), ~std::uint64_t{0},
            ~std::uint64_t{0}, ~std::uint64_t{0}};
        if (y > 0) {
            magnitudes[up] = filter_with(row, above, length, candidates[up].data(), predict_up);
            magnitudes[average] = filter_with(row, above, length, candidates[average].data(), predict_average);
            magnitudes[paeth] = filter_with(row, above, length, candidates[paeth].data(), predict_paeth);
        }
        std::size_t best = 0;
        for (std::size_t f = 1; f < filter_count; ++f) {
            if (magnitudes[f] < magnitudes[best]) {
                best = f;
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
        filter_strip(src, rows, length, dst);
    }
    return result;
}

// One strip of a layer's zlib stream (deflate_rows): its rows filtered
// and deflated apart from the rest, the stream's header first for the
// image's first strip, ending on a byte boundary; with their checksum.
struct Strip {
    std::vector<byte> stream;
    std::uint32_t checksum = 1;
    std::size_t filtered = 0;
};

void deflate_strip(const byte* src, const std::size_t top, const std::size_t rows, const std::size_t length,
                   std::vector<byte>& filtered, Strip& strip) {
    filtered.resize(rows * (length + 1));
    filter_strip(src + top * length, rows, length, filtered.data());
    run_deflate::Deflater deflater;
    if (top > 0) {
        deflater.continue_apart();
    }
    deflater.compress(filtered.data(), filtered.size(), strip.stream);
    deflater.sync(strip.stream);
    strip.checksum = deflater.checksum();
    strip.filtered = filtered.size();
}

// The end of a layer's stream, after its last strip: an empty last block
// and the checksum of all its rows.
void end_stream(const std::uint32_t checksum, std::vector<byte>& out) {
    run_deflate::Deflater end;
    end.continue_apart();
    end.finish(checksum, out);
}

// Its length: the last block's 10 bits made whole, and the checksum.
constexpr std::size_t end_length = 6;

// The zlib stream of C-contiguous RGBA pixels' rows, filtered as
// filter_rows does and deflated by runs, as one piece of bytes a strip of
// `strip_rows` rows (the last with the stream's end), to be stored as IDAT
// chunks. The strips are filtered and deflated apart (deflate_strip), on
// up to `threads` threads at once (one layer's alone would keep one core of
// several busy, as when a watch draws one layer again), so the stream is
// the same whatever the number of threads, and each strip can be read and
// written again alone (read_strips, patched_png). Memory: a filtered strip
// a thread, and the stream.
std::vector<py::bytes> deflate_rows(const pixel_array& pixels, const py::ssize_t strip_rows, const int threads) {
    require_rgba(pixels);
    if (strip_rows < 1 || threads < 1) {
        throw py::value_error("strip_rows and threads must be 1 or more");
    }
    const std::size_t length = static_cast<std::size_t>(pixels.shape(1)) * bpp;
    const auto height = static_cast<std::size_t>(pixels.shape(0));
    const auto per_strip = static_cast<std::size_t>(strip_rows);
    const std::size_t count = std::max<std::size_t>(1, (height + per_strip - 1) / per_strip);
    const byte* src = pixels.data();
    std::vector<Strip> strips(count);
    {
        const py::gil_scoped_release unlocked;
        shared_work::share<std::vector<byte>>(count, 1, threads, [&](const std::size_t k, std::vector<byte>& filtered) {
            const std::size_t top = k * per_strip;
            deflate_strip(src, top, std::min(per_strip, height - top), length, filtered, strips[k]);
        });
    }
    std::uint32_t checksum = 1;
    for (const Strip& strip : strips) {
        checksum = run_deflate::adler32_joined(checksum, strip.checksum, strip.filtered);
    }
    end_stream(checksum, strips.back().stream);
    std::vector<py::bytes> pieces;
    pieces.reserve(count);
    for (const Strip& strip : strips) {
        pieces.emplace_back(reinterpret_cast<const char*>(strip.stream.data()), strip.stream.size());
    }
    return pieces;
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

#if TESSEL_SSE2
// A pixel's four bytes in the low four 16-bit lanes, and back.
TESSEL_INLINE __m128i lanes_of(const byte* pixel) {
    std::int32_t bytes;
    std::memcpy(&bytes, pixel, sizeof bytes);
    return _mm_unpacklo_epi8(_mm_cvtsi32_si128(bytes), _mm_setzero_si128());
}

TESSEL_INLINE void store_lanes(byte* pixel, const __m128i lanes) {
    const std::int32_t bytes = _mm_cvtsi128_si32(_mm_packus_epi16(lanes, lanes));
    std::memcpy(pixel, &bytes, sizeof bytes);
}

TESSEL_INLINE __m128i magnitude_of(const __m128i lanes) {
    return _mm_max_epi16(lanes, _mm_sub_epi16(_mm_setzero_si128(), lanes));
}

// Restores a row of RGBA whose prediction needs the pixel to its left (sub,
// average, Paeth): a pixel depends on the one before it, so the loop cannot
// run across pixels, but a pixel's four bytes are restored at once, in the
// lanes of one register. A third of reading a game's sprites went to Paeth
// rows a byte at a time. (RGB's three bytes, loaded and stored apart, came
// out slower than three bytes in turn.)
template <filter F>
void unfilter_rgba(const byte* stored, const byte* above, const std::size_t length, byte* out) {
    const __m128i low_byte = _mm_set1_epi16(0xFF);
    __m128i left = _mm_setzero_si128(), upper_left = _mm_setzero_si128();
    for (std::size_t i = 0; i < length; i += bpp) {
        const __m128i difference = lanes_of(stored + i), up = lanes_of(above + i);
        __m128i prediction;
        if constexpr (F == sub) {
            prediction = left;
        } else if constexpr (F == average) {
            prediction = _mm_srli_epi16(_mm_add_epi16(left, up), 1);
        } else {
            // predict_paeth's choice: left where its distance is the least,
            // else above where its is, else upper left.
            const __m128i to_left = _mm_sub_epi16(up, upper_left), to_above = _mm_sub_epi16(left, upper_left);
            const __m128i pa = magnitude_of(to_left), pb = magnitude_of(to_above);
            const __m128i pc = magnitude_of(_mm_add_epi16(to_left, to_above));
            const __m128i least = _mm_min_epi16(_mm_min_epi16(pa, pb), pc);
            const __m128i take_left = _mm_cmpeq_epi16(pa, least), take_above = _mm_cmpeq_epi16(pb, least);
            const __m128i above_or_corner =
                _mm_or_si128(_mm_and_si128(take_above, up), _mm_andnot_si128(take_above, upper_left));
            prediction = _mm_or_si128(_mm_and_si128(take_left, left), _mm_andnot_si128(take_left, above_or_corner));
        }
        left = _mm_and_si128(_mm_add_epi16(difference, prediction), low_byte);
        store_lanes(out + i, left);
        upper_left = up;
    }
}
#endif

// One row by its filter byte; false for a filter PNG does not have.
template <std::size_t N>
bool unfilter_row(const byte filter, const byte* stored, const byte* above, const std::size_t length, byte* out) {
#if TESSEL_SSE2
    if constexpr (N == bpp) {
        switch (filter) {
            case sub: unfilter_rgba<sub>(stored, above, length, out); return true;
            case average: unfilter_rgba<average>(stored, above, length, out); return true;
            case paeth: unfilter_rgba<paeth>(stored, above, length, out); return true;
            default: break;
        }
    }
#endif
    if (filter == up) {  // no pixel waits on the one before: a loop that vectorises
        for (std::size_t i = 0; i < length; ++i) {
            out[i] = static_cast<byte>(stored[i] + above[i]);
        }
        return true;
    }
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

// How the samples of a kind of pixel read here (read_here; grey of fewer
// bits as indexes) become RGBA, from the file's palette and transparency
// chunks (empty where it has none); false where PNG does not define that
// combination.
bool conversion(const int colour, const int bit_depth, const byte* palette, const std::size_t palette_size,
                const byte* transparency, const std::size_t transparency_size, to_rgba& to) {
    to = to_rgba{colour, bit_depth, palette_size / 3, {}, {-1, -1, -1}};
    if (colour == indexed) {
        // A palette holds 1 to 2^bit_depth colours, and alpha for at most as many.
        if (palette_size % 3 != 0 || to.entries == 0 || to.entries > (std::size_t{1} << bit_depth) ||
            transparency_size > to.entries) {
            return false;
        }
        for (std::size_t i = 0; i < to.entries; ++i) {
            std::memcpy(to.palette.data() + i * bpp, palette + i * 3, 3);
            to.palette[i * bpp + 3] = i < transparency_size ? transparency[i] : 0xFF;
        }
        return true;
    }
    if (palette_size != 0) {
        return false;
    }
    // The transparent colour: a 16-bit big-endian number a sample (grey or
    // RGB only), which 8-bit samples never reach past 255.
    const std::size_t samples = colour == grey ? 1 : colour == rgb ? 3 : 0;
    if (transparency_size != 0) {
        if (transparency_size != 2 * samples) {
            return false;
        }
        for (std::size_t i = 0; i < samples; ++i) {
            const int value = transparency[2 * i] << 8 | transparency[2 * i + 1];
            if (value > 0xFF) {
                return false;
            }
            to.key[i] = value;
        }
    }
    return true;
}

// A bytes-like object's bytes, which must lie one after another.
py::buffer_info contiguous_bytes(const py::buffer& object, const char* what) {
    py::buffer_info bytes = object.request();
    if (bytes.ndim != 1 || bytes.itemsize != 1 || bytes.strides[0] != 1) {
        throw py::value_error(std::string(what) + " must be contiguous bytes");
    }
    return bytes;
}

// RGBA pixels (height x width x 4, into out) from inflated image data:
// rows of `length` bytes after each one's filter byte. False where a row
// names a filter PNG does not have, or a pixel an index past the palette.
bool unfilter(const byte* stored, const std::size_t width, const std::size_t height, const std::size_t length,
              const to_rgba& converting, byte* out) {
    // RGBA rows are restored in place; others into two rows of samples in
    // turn (this one, and the one above that the filters read), then made
    // RGBA. The first row has zeros above it.
    const bool direct = converting.colour == rgb_alpha;
    const std::size_t channels = channels_of(converting.colour);
    const std::vector<byte> zeros(length, 0);
    std::vector<byte> samples(direct ? 0 : 2 * length);
    const byte* above = zeros.data();
    for (std::size_t y = 0; y < height; ++y, stored += length + 1) {
        byte* row = direct ? out + y * length : samples.data() + (y % 2) * length;
        bool known;
        switch (channels) {
            case 1: known = unfilter_row<1>(stored[0], stored + 1, above, length, row); break;
            case 2: known = unfilter_row<2>(stored[0], stored + 1, above, length, row); break;
            case 3: known = unfilter_row<3>(stored[0], stored + 1, above, length, row); break;
            default: known = unfilter_row<4>(stored[0], stored + 1, above, length, row); break;
        }
        if (!known || (!direct && !converting.row(row, width, out + y * width * bpp))) {
            return false;
        }
        above = row;
    }
    return true;
}

// A chunk's name as the number its four bytes make, big-endian.
constexpr std::uint32_t name_of(const char (&name)[5]) {
    return static_cast<std::uint32_t>(static_cast<byte>(name[0])) << 24 |
           static_cast<std::uint32_t>(static_cast<byte>(name[1])) << 16 |
           static_cast<std::uint32_t>(static_cast<byte>(name[2])) << 8 | static_cast<byte>(name[3]);
}

std::uint32_t big_endian(const byte* at) {
    return static_cast<std::uint32_t>(at[0]) << 24 | static_cast<std::uint32_t>(at[1]) << 16 |
           static_cast<std::uint32_t>(at[2]) << 8 | at[3];
}

// Every chunk PNG (with its animated form) defines. A chunk of any other
// name that is ancillary (its first letter lower case), such as a painting
// program's own, changes no pixel; Pillow skips those too, so they are read
// past here. Those named here that the reader does not accept are Pillow's.
constexpr std::uint32_t defined_chunks[] = {
    name_of("IHDR"), name_of("PLTE"), name_of("IDAT"), name_of("IEND"), name_of("tRNS"), name_of("cHRM"),
    name_of("gAMA"), name_of("iCCP"), name_of("sBIT"), name_of("sRGB"), name_of("cICP"), name_of("mDCv"),
    name_of("cLLi"), name_of("tEXt"), name_of("zTXt"), name_of("iTXt"), name_of("bKGD"), name_of("hIST"),
    name_of("pHYs"), name_of("sPLT"), name_of("eXIf"), name_of("tIME"), name_of("acTL"), name_of("fcTL"),
    name_of("fdAT")};

// Text past this, in all and inflated (Pillow allows 1 MiB a chunk
// inflated, 64 MiB in all), is Pillow's to judge.
constexpr std::size_t text_limit = std::size_t{1} << 20;

// Whether a chunk is one that changes no pixel, at the one length it may
// have beside the image data (for a background colour and the significant
// bits of each sample, set by the colour type). Pillow accepts each of them
// at that length.
bool harmless(const std::uint32_t name, const int colour, const std::size_t length) {
    switch (name) {
        case name_of("gAMA"): return length == 4;
        case name_of("cHRM"): return length == 32;
        case name_of("sRGB"): return length == 1;
        case name_of("pHYs"): return length == 9;
        case name_of("tIME"): return length == 7;
        case name_of("bKGD"): return length == (colour == indexed ? 1U : colour == grey || colour == grey_alpha ? 2U : 6U);
        case name_of("sBIT"):
            return length == (colour == grey ? 1U : colour == grey_alpha ? 2U : colour == rgb_alpha ? 4U : 3U);
        default: return false;
    }
}

bool private_ancillary(const std::uint32_t name) {
    for (const std::uint32_t defined : defined_chunks) {
        if (name == defined) {
            return false;
        }
    }
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto c = static_cast<byte>(name >> shift);
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) {
            return false;
        }
    }
    return (name >> 24) >= 'a';
}

// The text a text or colour profile chunk holds, inflated, in its strict
// form (a keyword of 1 to 79 bytes, deflate, a whole stream), or -1.
long long text_bytes(const std::uint32_t name, const byte* body, const std::size_t length, inflating::Codes& codes,
                     std::vector<byte>& scratch) {
    if (name == name_of("tEXt")) {
        return static_cast<long long>(length);
    }
    const byte* const end = body + length;
    const byte* const keyword_end = std::find(body, end, byte{0});
    const std::size_t keyword = static_cast<std::size_t>(keyword_end - body);
    if (keyword < 1 || keyword > 79 || end - keyword_end < 3) {  // the zero, then at least two bytes
        return -1;
    }
    const byte* rest = keyword_end + 1;
    const auto inflated = [&](const byte* from) -> long long {
        scratch.resize(text_limit + inflating::slack);
        return inflating::inflate_whole(from, static_cast<std::size_t>(end - from), scratch.data(), text_limit, codes);
    };
    if (name == name_of("zTXt") || name == name_of("iCCP")) {  // compression method 0, deflate
        return rest[0] == 0 ? inflated(rest + 1) : -1;
    }
    if (name == name_of("iTXt")) {  // compressed or not, then method 0; a language and a translated keyword
        const byte compressed = rest[0], method = rest[1];
        const byte* const language_end = std::find(rest + 2, end, byte{0});
        const byte* const translated_end = language_end == end ? end : std::find(language_end + 1, end, byte{0});
        if (compressed > 1 || method != 0 || translated_end == end) {
            return -1;
        }
        const byte* text = translated_end + 1;
        return compressed ? inflated(text) : static_cast<long long>(end - text);
    }
    return -1;
}

// The pixels that read_png returns, made without the interpreter.
struct Decoded {
    std::unique_ptr<byte[]> pixels;
    std::size_t width = 0, height = 0;
};

// PNG's (bit depth, colour type) pairs that are read here.
bool read_here(const int bit_depth, const int colour) {
    switch (colour) {
        case indexed: case grey: return bit_depth == 1 || bit_depth == 2 || bit_depth == 4 || bit_depth == 8;
        case rgb: case grey_alpha: case rgb_alpha: return bit_depth == 8;
        default: return false;
    }
}

constexpr byte signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// See read_png. Left undone (false) wherever the file is not in the
// strict form, for Pillow to read or refuse in its own words.
bool decode_png(const byte* data, const std::size_t size, const std::uint64_t max_pixels, Decoded& decoded) {
    if (size < 8 || std::memcmp(data, signature, 8) != 0) {
        return false;
    }
    bool header = false;
    std::size_t width = 0, height = 0, expected = 0;
    int bit_depth = 8, colour = rgb_alpha;
    const byte* palette = nullptr;
    const byte* transparency = nullptr;
    std::size_t palette_size = 0, transparency_size = 0;
    // The image data: where its one chunk lies, or its chunks joined.
    const byte* image_data_start = nullptr;
    std::size_t image_data_size = 0;
    std::vector<byte> joined;
    enum { before, inside, after } image_data = before;
    std::size_t text = 0;
    inflating::Codes codes;
    std::vector<byte> scratch;
    for (std::size_t at = 8;;) {
        if (size - at < 12) {
            return false;  // ends before IEND
        }
        const std::size_t length = big_endian(data + at);
        const std::uint32_t name = big_endian(data + at + 4);
        if (size - at - 12 < length) {
            return false;
        }
        const byte* body = data + at + 8;
        if (big_endian(body + length) != inflating::crc32(0, data + at + 4, length + 4)) {
            return false;
        }
        at += 12 + length;
        if (!header) {
            if (name != name_of("IHDR") || length != 13) {
                return false;
            }
            header = true;
            width = big_endian(body);
            height = big_endian(body + 4);
            bit_depth = body[8];
            colour = body[9];
            if (!read_here(bit_depth, colour) || body[10] != 0 || body[11] != 0 || body[12] != 0 || width == 0 ||
                height == 0 || static_cast<std::uint64_t>(width) * height > max_pixels) {
                return false;
            }
            const std::size_t row = (width * channels_of(colour) * static_cast<std::size_t>(bit_depth) + 7) / 8 + 1;
            if (row > std::numeric_limits<std::size_t>::max() / height) {
                return false;
            }
            expected = row * height;
        } else if (name == name_of("IDAT")) {
            if (image_data == after || (colour == indexed && palette == nullptr)) {
                return false;
            }
            image_data = inside;
            if (image_data_start == nullptr) {
                image_data_start = body;
            } else {
                if (joined.empty()) {
                    joined.assign(image_data_start, image_data_start + image_data_size);
                }
                joined.insert(joined.end(), body, body + length);
            }
            image_data_size += length;
        } else if (name == name_of("IEND")) {
            break;
        } else if (name == name_of("PLTE")) {  // an indexed image's colours, before its transparency
            if (colour != indexed || palette != nullptr || transparency != nullptr || image_data != before) {
                return false;
            }
            palette = body;
            palette_size = length;
        } else if (name == name_of("tRNS")) {  // which colours are transparent, or indexes' alpha
            if ((colour != grey && colour != rgb && colour != indexed) || transparency != nullptr ||
                image_data != before || (colour == indexed && palette == nullptr)) {
                return false;
            }
            transparency = body;
            transparency_size = length;
        } else {
            long long more = 0;
            if (!harmless(name, colour, length) && !private_ancillary(name)) {
                more = text_bytes(name, body, length, codes, scratch);
            }
            if (more < 0 || (text += static_cast<std::size_t>(more)) > text_limit) {
                return false;
            }
            if (image_data == inside) {
                image_data = after;
            }
        }
    }
    // Deflate makes at most about a thousand bytes of each it is given:
    // image data that could never fill the rows is refused before they are
    // made room for.
    if (image_data_size == 0 || expected / 1032 > image_data_size) {
        return false;
    }
    // Grey of fewer bits is read as indexes into the greys they stand for,
    // spread over 0 to 255 as Pillow spreads them; Pillow judges it with a
    // transparent level.
    std::array<byte, 3 * 16> greys{};
    if (colour == grey && bit_depth < 8) {
        if (transparency != nullptr) {
            return false;
        }
        const int top = (1 << bit_depth) - 1;
        for (int level = 0; level <= top; ++level) {
            const auto value = static_cast<byte>(255 * level / top);  // exact for 1, 2 and 4 bits
            std::fill_n(greys.begin() + 3 * level, 3, value);
        }
        colour = indexed;
        palette = greys.data();
        palette_size = static_cast<std::size_t>(3 * (top + 1));
    }
    to_rgba converting{};
    if (!conversion(colour, bit_depth, palette, palette_size, transparency, transparency_size, converting)) {
        return false;
    }
    const byte* stream = joined.empty() ? image_data_start : joined.data();
    // Not zeroed: inflating writes every byte before anything reads it.
    std::unique_ptr<byte[]> rows(new byte[expected + inflating::slack]);
    if (!inflating::inflate_prefix(stream, image_data_size, rows.get(), expected, codes)) {
        return false;
    }
    decoded.width = width;
    decoded.height = height;
    const std::size_t length = expected / height - 1;
    if (converting.colour == rgb_alpha) {
        // Restored where they were inflated, each row moved up over the
        // filter bytes before it (a byte is read before it is written over):
        // no second image's memory to fault in.
        if (!unfilter(rows.get(), width, height, length, converting, rows.get())) {
            return false;
        }
        decoded.pixels = std::move(rows);
        return true;
    }
    decoded.pixels.reset(new byte[width * height * bpp]);
    return unfilter(rows.get(), width, height, length, converting, decoded.pixels.get());
}

// What trimming keeps of RGBA pixels (height x width): the box (left,
// top, right, bottom) of those whose alpha is above threshold, grown by
// margin on each side as far as the image goes; the corner pixel of an
// image with none.
std::array<std::size_t, 4> visible(const byte* data, const std::size_t width, const std::size_t height,
                                   const byte threshold, const std::size_t margin) {
    std::size_t left = width, top = height, right = 0, bottom = 0;
    for (std::size_t y = 0; y < height; ++y) {
        const byte* alpha = data + y * width * bpp + 3;
        std::size_t first = 0;
        while (first < width && alpha[first * bpp] <= threshold) {
            ++first;
        }
        if (first == width) {
            continue;
        }
        std::size_t last = width;
        while (alpha[(last - 1) * bpp] <= threshold) {
            --last;
        }
        left = std::min(left, first);
        right = std::max(right, last);
        top = std::min(top, y);
        bottom = y + 1;
    }
    if (bottom == 0) {
        return {0, 0, 1, 1};
    }
    return {left > margin ? left - margin : 0, top > margin ? top - margin : 0, std::min(width, right + margin),
            std::min(height, bottom + margin)};
}

// Whether a file's first bytes are a PNG's, with a header of a kind read
// here (IHDR, without checking anything else).
bool read_kind(const byte* at, const std::size_t size) {
    return size >= 29 && std::memcmp(at, signature, 8) == 0 && big_endian(at + 12) == name_of("IHDR") &&
           read_here(at[24], at[25]) && at[26] == 0 && at[27] == 0 && at[28] == 0;
}

// A NumPy array that owns the decoded pixels.
py::array_t<byte> array_of(Decoded& decoded) {
    byte* const pixels = decoded.pixels.release();
    const py::capsule owner(pixels, [](void* p) { delete[] static_cast<byte*>(p); });
    return py::array_t<byte>({static_cast<py::ssize_t>(decoded.height), static_cast<py::ssize_t>(decoded.width),
                              static_cast<py::ssize_t>(bpp)},
                             pixels, owner);
}

bool read_file(const std::filesystem::path& path, std::vector<byte>& data) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) {
        return false;
    }
    const std::streamoff size = file.tellg();
    if (size < 0) {
        return false;
    }
    data.resize(static_cast<std::size_t>(size));
    file.seekg(0);
    return static_cast<bool>(file.read(reinterpret_cast<char*>(data.data()), size));
}

// Many small sprites read, decoded and trimmed in one call: for each file,
// (pixels, box, (width, height)): the pixels inside the box that trimming
// keeps (visible_box), where `trims` says to trim it, else the whole image;
// or None where the file cannot be read or is not a PNG read here (see
// read_png), for the caller to read as it reads any other file. A PNG with
// a side past most_side, or more than most_pixels pixels, and every file
// after it, or once the pixels kept pass most_bytes, every file after, are
// not read (None): the caller judges the canvas first, and a few large
// images decoded ahead are all that a batch holds. The files are read one
// after another without the interpreter: a thread calling this runs no
// Python until all are done.
py::list read_png_files(const std::vector<std::filesystem::path>& files, const std::vector<bool>& trims,
                        const int threshold, const std::size_t margin, const std::optional<std::uint64_t> max_pixels,
                        const std::uint64_t most_side, const std::uint64_t most_pixels, const std::uint64_t most_bytes) {
    if (trims.size() != files.size() || threshold < 0 || threshold > 254) {
        throw py::value_error("one trim for each file, and a threshold from 0 to 254");
    }
    struct Read {
        Decoded decoded;
        std::array<std::size_t, 4> box;
    };
    std::vector<Read> read(files.size());
    {
        const py::gil_scoped_release unlocked;
        const std::uint64_t limit = std::min(max_pixels.value_or(most_pixels), most_pixels);
        std::vector<byte> data;
        std::uint64_t kept = 0;
        for (std::size_t i = 0; i < files.size() && kept <= most_bytes; ++i) {
            if (!read_file(files[i], data)) {
                continue;
            }
            if (read_kind(data.data(), data.size())) {
                const std::uint64_t width = big_endian(data.data() + 16), height = big_endian(data.data() + 20);
                if (width > most_side || height > most_side || width * height > limit) {
                    break;
                }
            }
            Decoded& d = read[i].decoded;
            if (!decode_png(data.data(), data.size(), limit, d)) {
                d.pixels.reset();
                continue;
            }
            auto& box = read[i].box;
            box = trims[i] ? visible(d.pixels.get(), d.width, d.height, static_cast<byte>(threshold), margin)
                           : std::array<std::size_t, 4>{0, 0, d.width, d.height};
            const std::size_t width = box[2] - box[0], height = box[3] - box[1];
            if (width != d.width || height != d.height) {  // copied: the whole image goes
                std::unique_ptr<byte[]> inside(new byte[width * height * bpp]);
                for (std::size_t y = 0; y < height; ++y) {
                    std::memcpy(inside.get() + y * width * bpp, d.pixels.get() + ((box[1] + y) * d.width + box[0]) * bpp,
                                width * bpp);
                }
                d.pixels = std::move(inside);
            }
            kept += width * height * bpp;
        }
    }
    py::list out;
    for (Read& one : read) {
        if (!one.decoded.pixels) {
            out.append(py::none());
            continue;
        }
        const auto& box = one.box;
        const py::tuple size = py::make_tuple(one.decoded.width, one.decoded.height);
        one.decoded.width = box[2] - box[0];
        one.decoded.height = box[3] - box[1];
        out.append(py::make_tuple(array_of(one.decoded), py::make_tuple(box[0], box[1], box[2], box[3]), size));
    }
    return out;
}

// The width and height in a PNG's header when it is of a kind read here,
// and whether it surely has no transparency (no alpha, and no tRNS chunk
// anywhere), without checking anything else; None for any other file.
py::object png_size(const py::buffer& data) {
    const py::buffer_info bytes = contiguous_bytes(data, "data");
    const auto* at = static_cast<const byte*>(bytes.ptr);
    const auto size = static_cast<std::size_t>(bytes.size);
    if (!read_kind(at, size)) {
        return py::none();
    }
    constexpr byte transparency[4] = {'t', 'R', 'N', 'S'};
    const bool opaque = (at[25] == grey || at[25] == rgb || at[25] == indexed) &&
                        std::search(at, at + size, transparency, transparency + 4) == at + size;
    return py::make_tuple(py::make_tuple(big_endian(at + 16), big_endian(at + 20)), opaque);
}

// Up to `head` bytes from the start of a file into `into`: how many (none
// where it cannot be read). A descriptor where there are descriptors: a
// stream opened for each of thousands of files took twice as long.
std::size_t read_head(const std::filesystem::path& path, char* into, const std::size_t head) {
#if TESSEL_POSIX_FILES
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    std::size_t done = 0;
    while (done < head) {
        const ssize_t got = ::read(fd, into + done, head - done);
        if (got <= 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    ::close(fd);
    return done;
#else
    std::ifstream file(path, std::ios::binary);
    file.read(into, static_cast<std::streamsize>(head));
    return static_cast<std::size_t>(std::max<std::streamsize>(file.gcount(), 0));
#endif
}

// Whether each PNG file may hold frames: its first `head` bytes name the
// animation chunk (acTL), and no image data (IDAT) before it. A file that
// cannot be read is taken for a still, which reading then reports. A scan
// looks into every PNG it finds, nearly all stills: here on up to
// `threads` threads, without the interpreter, rather than a file opened,
// read and closed by it at a time (the 37,685 PNGs of four sets: 0.23 s
// that way, 0.10 to 0.15 here on two cores).
py::list may_be_animated(const std::vector<std::filesystem::path>& files, const std::size_t head, const int threads) {
    std::vector<byte> found(files.size());
    {
        const py::gil_scoped_release unlocked;
        struct Buffer {
            std::vector<char> bytes;
        };
        shared_work::share<Buffer>(files.size(), 64, threads, [&](const std::size_t i, Buffer& buffer) {
            buffer.bytes.resize(head);
            const std::string_view read(buffer.bytes.data(), read_head(files[i], buffer.bytes.data(), head));
            const std::size_t animation = read.find("acTL"), image = read.find("IDAT");
            found[i] = animation != std::string_view::npos && (image == std::string_view::npos || animation < image);
        });
    }
    py::list out;
    for (const byte one : found) {
        out.append(py::bool_(one != 0));
    }
    return out;
}

// The RGBA pixels of a PNG file's bytes, or None: see tessel_atlas.png.read_rgba.
py::object read_png(const py::buffer& data, const std::optional<std::uint64_t> max_pixels) {
    const py::buffer_info bytes = contiguous_bytes(data, "data");
    Decoded decoded;
    bool done;
    {
        const py::gil_scoped_release unlocked;
        done = decode_png(static_cast<const byte*>(bytes.ptr), static_cast<std::size_t>(bytes.size),
                          max_pixels.value_or(std::numeric_limits<std::uint64_t>::max()), decoded);
    }
    if (!done) {
        return py::none();
    }
    return array_of(decoded);
}

py::tuple visible_box(const pixel_array& pixels, const int threshold, const py::ssize_t margin) {
    require_rgba(pixels);
    if (threshold < 0 || threshold > 254 || margin < 0) {
        throw py::value_error("threshold must be from 0 to 254, and margin 0 or more");
    }
    const byte* data = pixels.data();
    std::array<std::size_t, 4> box;
    {
        const py::gil_scoped_release unlocked;
        box = visible(data, static_cast<std::size_t>(pixels.shape(1)), static_cast<std::size_t>(pixels.shape(0)),
                      static_cast<byte>(threshold), static_cast<std::size_t>(margin));
    }
    return py::make_tuple(box[0], box[1], box[2], box[3]);
}

// The bits of a pixel's alpha in its four bytes read as one number.
std::uint32_t native_alpha_mask() {
    const byte alpha_only[4] = {0, 0, 0, 0xff};
    std::uint32_t mask;
    std::memcpy(&mask, alpha_only, sizeof mask);
    return mask;
}

// A picture draw copies: its pixels, by rows, columns and channels, and
// where it goes (the box drawn, extruded and turned, from left and top).
struct picture {
    const byte* data;
    std::int64_t height, width;
    py::ssize_t row_step, column_step, channel_step;
    std::int64_t left, top, extrusion, drawn_width, drawn_height;
    bool rotated;
};

// Copies each picture into the layer with its edge pixels repeated
// `extrusion` times outward, turned a quarter turn clockwise where asked,
// its drawn box's top left corner at the place given; later pictures over
// earlier ones. Pictures are (height, width, 4) of any strides. What a
// loop of NumPy slices did a placement at a time, and as one call the
// interpreter is not held meanwhile: it was a third of composing a layer,
// and threads composing at once took turns at it.
void draw(py::array_t<byte, py::array::c_style>& layer, const py::sequence& pictures,
          const py::array_t<int, py::array::c_style>& places) {
    if (layer.ndim() != 3 || layer.shape(2) != static_cast<py::ssize_t>(bpp)) {
        throw py::value_error("layer must be an array of RGBA, of shape (height, width, 4)");
    }
    if (places.ndim() != 2 || places.shape(1) != 4 || places.shape(0) != static_cast<py::ssize_t>(pictures.size())) {
        throw py::value_error("places must be an array of (left, top, rotated, extrusion) rows, one a picture");
    }
    const std::int64_t layer_height = layer.shape(0), layer_width = layer.shape(1);
    const auto place = places.unchecked<2>();
    std::vector<picture> found;
    found.reserve(pictures.size());
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        const py::object item = pictures[i];
        if (!py::array_t<byte>::check_(item)) {
            throw py::value_error("every picture must be an array of bytes");
        }
        const auto pixels = py::reinterpret_borrow<py::array>(item);
        if (pixels.ndim() != 3 || pixels.shape(0) < 1 || pixels.shape(1) < 1 ||
            pixels.shape(2) != static_cast<py::ssize_t>(bpp)) {
            throw py::value_error("every picture must be RGBA, of shape (height, width, 4), not empty");
        }
        const std::int64_t left = place(i, 0), top = place(i, 1), rotated = place(i, 2), extrusion = place(i, 3);
        const std::int64_t height = pixels.shape(0), width = pixels.shape(1);
        const std::int64_t drawn_width = (rotated ? height : width) + 2 * extrusion;
        const std::int64_t drawn_height = (rotated ? width : height) + 2 * extrusion;
        if (extrusion < 0 || (rotated != 0 && rotated != 1) || left < 0 || top < 0 ||
            left + drawn_width > layer_width || top + drawn_height > layer_height) {
            throw py::value_error("every picture must lie inside the layer, rotated 0 or 1, extrusion 0 or more");
        }
        found.push_back({static_cast<const byte*>(pixels.data()), height, width, pixels.strides(0), pixels.strides(1),
                         pixels.strides(2), left, top, extrusion, drawn_width, drawn_height, rotated != 0});
    }
    byte* const out = layer.mutable_data();
    const py::gil_scoped_release unlocked;
    for (const picture& from : found) {
        const std::int64_t left = from.left, top = from.top, extrusion = from.extrusion;
        const std::int64_t drawn_width = from.drawn_width, drawn_height = from.drawn_height;
        const bool rotated = from.rotated;
        // The extruded picture, before turning, is height + 2e by width + 2e.
        const std::int64_t extruded_height = from.height + 2 * extrusion;
        const bool packed = from.column_step == static_cast<py::ssize_t>(bpp) && from.channel_step == 1;
        for (std::int64_t y = 0; y < drawn_height; ++y) {
            byte* const row = out + (static_cast<std::size_t>(top + y) * static_cast<std::size_t>(layer_width) +
                                     static_cast<std::size_t>(left)) * bpp;
            for (std::int64_t x = 0; x < drawn_width;) {
                // Turned clockwise, drawn pixel (y, x) is the extruded one at (eh - 1 - x, y).
                const std::int64_t source_y = rotated ? extruded_height - 1 - x : y, source_x = rotated ? y : x;
                const std::int64_t sy = std::clamp<std::int64_t>(source_y - extrusion, 0, from.height - 1);
                const std::int64_t sx = std::clamp<std::int64_t>(source_x - extrusion, 0, from.width - 1);
                const byte* const pixel = from.data + sy * from.row_step + sx * from.column_step;
                if (!rotated && packed && source_x >= extrusion && source_x < extrusion + from.width) {
                    // The picture's own pixels of the row, at once.
                    std::memcpy(row + static_cast<std::size_t>(x) * bpp, pixel, static_cast<std::size_t>(from.width) * bpp);
                    x += from.width;
                    continue;
                }
                for (std::size_t c = 0; c < bpp; ++c) {
                    row[static_cast<std::size_t>(x) * bpp + c] = pixel[static_cast<py::ssize_t>(c) * from.channel_step];
                }
                ++x;
            }
        }
    }
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

// A layer image as write_png writes it at the default level, by the chunks
// that hold its strips: the signature, the header of 8-bit RGBA of the
// pixels' size, one IDAT chunk a strip of `per_strip` rows (deflate_rows),
// the last ending with the stream's end, then IEND and nothing more, every
// checksum right. Where each IDAT chunk starts; false for any other file.
bool strip_chunks(const byte* data, const std::size_t size, const std::size_t width, const std::size_t height,
                  const std::size_t per_strip, std::vector<std::size_t>& chunks) {
    const std::size_t count = std::max<std::size_t>(1, (height + per_strip - 1) / per_strip);
    if (size < 8 || std::memcmp(data, signature, 8) != 0) {
        return false;
    }
    chunks.clear();
    std::size_t at = 8;
    for (std::size_t n = 0; n < count + 2; ++n) {  // the header, the strips, the end
        if (size - at < 12) {
            return false;
        }
        const std::size_t length = big_endian(data + at);
        const std::uint32_t name = big_endian(data + at + 4);
        const byte* body = data + at + 8;
        if (size - at - 12 < length || big_endian(body + length) != inflating::crc32(0, data + at + 4, length + 4)) {
            return false;
        }
        if (n == 0) {
            const byte rgba_header[5] = {8, rgb_alpha, 0, 0, 0};
            if (name != name_of("IHDR") || length != 13 || big_endian(body) != width ||
                big_endian(body + 4) != height || std::memcmp(body + 8, rgba_header, 5) != 0) {
                return false;
            }
        } else if (n <= count) {
            if (name != name_of("IDAT") || (n == count && (length < end_length || body[length - end_length] != 3 ||
                                                           body[length - end_length + 1] != 0))) {
                return false;
            }
            chunks.push_back(at);
        } else if (name != name_of("IEND") || length != 0) {
            return false;
        }
        at += 12 + length;
    }
    return at == size;
}

// The rows of a strip, as strip_chunks found its chunk: restored into
// pixels (a row `length` bytes), using `stored` for the inflated rows; the
// checksum of those, or nothing where the strip is not as deflate_strip
// writes it.
std::optional<std::uint32_t> read_strip(const byte* data, const std::size_t chunk, const bool first,
                                        const bool last, const std::size_t rows, const std::size_t length,
                                        std::vector<byte>& stored, inflating::Codes& codes, byte* pixels) {
    const std::size_t size = rows * (length + 1);
    stored.resize(size + inflating::slack);
    const std::size_t body = big_endian(data + chunk) - (last ? end_length : 0);
    if (!inflating::inflate_piece(data + chunk + 8, body, first, stored.data(), size, codes) ||
        stored[0] > sub) {  // the first row must restore without the one above it
        return std::nullopt;
    }
    for (std::size_t y = 0; y < rows; ++y) {
        byte* out = pixels + y * length;
        // none and sub never read `above`: the first row's is itself.
        if (!unfilter_row<bpp>(stored[y * (length + 1)], stored.data() + y * (length + 1) + 1,
                               y == 0 ? out : out - length, length, out)) {
            return std::nullopt;
        }
    }
    return run_deflate::adler32(1, stored.data(), size);
}

// The layer image `data`, as write_png wrote it at the default level with
// strips of `strip_rows` rows, restored into `pixels` (its size) in the
// strips numbered in `strips` only, on up to `threads` threads; each
// strip's checksum, for patched_png, or None where the file is not so
// written (the pixels then half restored).
std::optional<std::vector<std::uint32_t>> read_strips(const py::buffer& data, pixel_array& pixels,
                                                      const py::ssize_t strip_rows,
                                                      const std::vector<py::ssize_t>& strips, const int threads) {
    require_rgba(pixels);
    const py::buffer_info bytes = contiguous_bytes(data, "data");
    if (strip_rows < 1 || threads < 1 || !pixels.writeable()) {
        throw py::value_error("strip_rows and threads must be 1 or more, and pixels writeable");
    }
    const auto height = static_cast<std::size_t>(pixels.shape(0)), width = static_cast<std::size_t>(pixels.shape(1));
    const auto per_strip = static_cast<std::size_t>(strip_rows);
    const std::size_t length = width * bpp, count = std::max<std::size_t>(1, (height + per_strip - 1) / per_strip);
    for (const py::ssize_t k : strips) {
        if (k < 0 || static_cast<std::size_t>(k) >= count) {
            throw py::value_error("a strip past the image");
        }
    }
    const auto* at = static_cast<const byte*>(bytes.ptr);
    byte* out = pixels.mutable_data();
    std::vector<std::uint32_t> checksums(strips.size());
    std::vector<char> read(strips.size(), 0);
    std::vector<std::size_t> chunks;
    {
        const py::gil_scoped_release unlocked;
        if (!strip_chunks(at, static_cast<std::size_t>(bytes.size), width, height, per_strip, chunks)) {
            return std::nullopt;
        }
        struct Buffers {
            std::vector<byte> stored;
            inflating::Codes codes;
        };
        shared_work::share<Buffers>(strips.size(), 1, threads, [&](const std::size_t i, Buffers& buffers) {
            const auto k = static_cast<std::size_t>(strips[i]);
            const std::size_t top = k * per_strip;
            const std::optional<std::uint32_t> checksum =
                read_strip(at, chunks[k], k == 0, k + 1 == count, std::min(per_strip, height - top), length,
                           buffers.stored, buffers.codes, out + top * length);
            read[i] = checksum.has_value();
            checksums[i] = checksum.value_or(0);
        });
    }
    if (std::find(read.begin(), read.end(), 0) != read.end()) {
        return std::nullopt;
    }
    return checksums;
}

// The layer image `data` (as read_strips read it) again, with the strips
// numbered in `strips` (their checksums as read_strips gave them) made anew
// from `pixels`, deflated on up to `threads` threads, and the others as they
// were: the file write_png would write of the pixels, where those strips
// hold all that changed. None where the file is not so written.
py::object patched_png(const py::buffer& data, const pixel_array& pixels, const py::ssize_t strip_rows,
                       const std::vector<py::ssize_t>& strips, const std::vector<std::uint32_t>& checksums,
                       const int threads) {
    require_rgba(pixels);
    const py::buffer_info bytes = contiguous_bytes(data, "data");
    if (strip_rows < 1 || threads < 1 || checksums.size() != strips.size()) {
        throw py::value_error("strip_rows and threads must be 1 or more, and a checksum given a strip");
    }
    const auto height = static_cast<std::size_t>(pixels.shape(0)), width = static_cast<std::size_t>(pixels.shape(1));
    const auto per_strip = static_cast<std::size_t>(strip_rows);
    const std::size_t length = width * bpp, count = std::max<std::size_t>(1, (height + per_strip - 1) / per_strip);
    std::vector<long long> made(count, -1);  // each strip's place in `strips`, where made anew
    for (std::size_t i = 0; i < strips.size(); ++i) {
        if (strips[i] < 0 || static_cast<std::size_t>(strips[i]) >= count ||
            made[static_cast<std::size_t>(strips[i])] >= 0) {
            throw py::value_error("strips must be in the image, each once");
        }
        made[static_cast<std::size_t>(strips[i])] = static_cast<long long>(i);
    }
    const auto* at = static_cast<const byte*>(bytes.ptr);
    const auto size = static_cast<std::size_t>(bytes.size);
    std::vector<std::size_t> chunks;
    std::vector<Strip> fresh(strips.size());
    std::vector<byte> file;
    bool striped = false;
    {
        const py::gil_scoped_release unlocked;
        striped = strip_chunks(at, size, width, height, per_strip, chunks);
    }
    if (!striped) {
        return py::none();
    }
    {
        const py::gil_scoped_release unlocked;
        shared_work::share<std::vector<byte>>(strips.size(), 1, threads,
                                              [&](const std::size_t i, std::vector<byte>& filtered) {
            const std::size_t top = static_cast<std::size_t>(strips[i]) * per_strip;
            deflate_strip(pixels.data(), top, std::min(per_strip, height - top), length, filtered, fresh[i]);
        });
        const std::size_t all = height * (length + 1);
        const std::size_t last_chunk = chunks.back(), last_body = big_endian(at + last_chunk);
        std::uint32_t checksum = big_endian(at + last_chunk + 8 + last_body - 4);
        for (std::size_t i = 0; i < strips.size(); ++i) {
            const std::size_t bottom = std::min(height, static_cast<std::size_t>(strips[i] + 1) * per_strip);
            checksum = run_deflate::adler32_replaced(checksum, checksums[i], fresh[i].checksum,
                                                     all - bottom * (length + 1));
        }
        file.reserve(size + size / 8);
        file.insert(file.end(), at, at + chunks.front());  // the signature and the header
        std::vector<byte> body;
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t chunk = chunks[k], stored = big_endian(at + chunk);
            if (made[k] < 0 && k + 1 < count) {  // as it was, checksum and all
                file.insert(file.end(), at + chunk, at + chunk + 12 + stored);
                continue;
            }
            if (made[k] >= 0) {
                body.swap(fresh[static_cast<std::size_t>(made[k])].stream);
            } else {
                body.assign(at + chunk + 8, at + chunk + 8 + stored - end_length);
            }
            if (k + 1 == count) {
                end_stream(checksum, body);
            }
            const std::size_t start = file.size();
            for (int shift = 24; shift >= 0; shift -= 8) {
                file.push_back(static_cast<byte>(body.size() >> shift));
            }
            file.insert(file.end(), at + chunk + 4, at + chunk + 8);  // IDAT
            file.insert(file.end(), body.begin(), body.end());
            const std::uint32_t crc = inflating::crc32(0, file.data() + start + 4, body.size() + 4);
            for (int shift = 24; shift >= 0; shift -= 8) {
                file.push_back(static_cast<byte>(crc >> shift));
            }
        }
        const std::size_t end = chunks.back() + 12 + last_body;
        file.insert(file.end(), at + end, at + size);  // IEND
    }
    return py::bytes(reinterpret_cast<const char*>(file.data()), file.size());
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
    m.doc() = "Row filtering and deflate by runs for tessel-atlas's PNG writer, reading the common kinds of PNG "
              "file, the box trimming keeps, drawing sprites into layers, and bleeding.";
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
    m.def("deflate_rows", &deflate_rows, py::arg("pixels").noconvert(), py::arg("strip_rows"), py::arg("threads"),
          "The zlib stream of C-contiguous RGBA pixels' (height, width, 4) rows, filtered as filter_rows\n"
          "does and deflated by runs, in one piece a strip of strip_rows rows, for IDAT chunks; the strips\n"
          "deflated on up to `threads` threads at once, the same stream whatever their number.");
    m.def("read_strips", &read_strips, py::arg("data"), py::arg("pixels").noconvert(), py::arg("strip_rows"),
          py::arg("strips"), py::arg("threads"),
          "Restores into pixels (writeable RGBA of the image's size) the rows of the numbered strips of a\n"
          "PNG file's bytes as deflate_rows wrote them (strips of strip_rows rows, an IDAT chunk each),\n"
          "on up to `threads` threads: each strip's checksum, for patched_png; None for any other file.");
    m.def("patched_png", &patched_png, py::arg("data"), py::arg("pixels").noconvert(), py::arg("strip_rows"),
          py::arg("strips"), py::arg("checksums"), py::arg("threads"),
          "The PNG file's bytes (as read_strips read them) with the numbered strips filtered and deflated\n"
          "anew from pixels, the rest kept: the file deflate_rows would make of pixels, where nothing\n"
          "outside those strips changed; None for any other file.");
    m.def("read_png_files", &read_png_files, py::arg("files"), py::arg("trims"), py::arg("threshold"),
          py::arg("margin"), py::arg("max_pixels"), py::arg("most_side"), py::arg("most_pixels"),
          py::arg("most_bytes"),
          "For each file, (pixels, box, (width, height)): its RGBA pixels as read_png reads its bytes,\n"
          "inside the box visible_box gives where trims says to trim it; or None. A PNG with a side past\n"
          "most_side or more than most_pixels pixels stops the batch there, as do pixels kept past\n"
          "most_bytes. Read, decoded and trimmed without the interpreter.");
    m.def("may_be_animated", &may_be_animated, py::arg("files"), py::arg("head"), py::arg("threads"),
          "Whether each PNG file's first `head` bytes name the animation chunk before any image data,\n"
          "read on up to `threads` threads; False for a file that cannot be read.");
    m.def("png_size", &png_size, py::arg("data"),
          "((width, height), opaque) from a PNG file's header (bytes-like) when it is of a kind read\n"
          "here, opaque when it has no alpha and no transparency chunk; else None.");
    m.def("read_png", &read_png, py::arg("data"), py::arg("max_pixels"),
          "The RGBA pixels (height, width, 4) of a PNG file's bytes (bytes-like) when it is of a kind\n"
          "read here and in the strict form, with at most max_pixels pixels (None: any number); else None.");
    m.def("bleed", &bleed, py::arg("pixels").noconvert(), py::arg("boxes").noconvert(), py::arg("depth"),
          "Gives each fully transparent pixel of each box (left, top, right, bottom; not overlapping) within\n"
          "depth steps of a pixel with some alpha the colour of the nearest such pixel in the same box, in\n"
          "place; alpha stays 0.");
    m.def("draw", &draw, py::arg("layer").noconvert(), py::arg("pictures"), py::arg("places").noconvert(),
          "Copies each RGBA picture (height, width, 4) into the layer at its place (left, top, rotated,\n"
          "extrusion): its edge pixels repeated extrusion times outward, turned a quarter turn clockwise\n"
          "where rotated is 1, the top left corner of what is drawn at (left, top).");
    m.def("visible_box", &visible_box, py::arg("pixels").noconvert(), py::arg("threshold"), py::arg("margin"),
          "What trimming keeps of RGBA pixels: the box (left, top, right, bottom) of those whose alpha is\n"
          "above threshold (0 to 254), grown by margin as far as the image goes; (0, 0, 1, 1) for none.");
    py::class_<RunDeflater>(m, "RunDeflater",
                            "A zlib stream that codes runs of one byte and literals only: what zlib's run-length\n"
                            "strategy writes, several times faster. compress() each piece, then flush() once.")
        .def(py::init<>())
        .def("compress", &RunDeflater::compress, py::arg("data"),
             "The stream's next bytes for data (bytes-like); a few bits may wait for the next call.")
        .def("flush", &RunDeflater::flush, "The stream's last bytes: the end, and the checksum.");
}
