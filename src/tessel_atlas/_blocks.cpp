// BC3 blocks for tessel-atlas: the encoder of the bc3 texture format.
//
// Each 4 x 4 block is 8 bytes of alpha (two 8-bit endpoints and a 3-bit
// index per pixel) and 8 of colour (two RGB 5:6:5 endpoints and a 2-bit
// index per pixel). Colour: endpoints from the closer of two starts, the
// extremes of the pixels along the block's principal axis (weighted
// covariance, power iteration) and the corners of their bounding box along
// it, inset by a sixteenth, refitted twice by least squares to the indices
// chosen; a block of one colour takes the endpoint pair that comes closest
// to it through the 2/3 point. Alpha: the extremes, in the eight-level mode or,
// where the block holds 0 or 255, the six-level mode that has those exactly,
// whichever errs less, refitted once by least squares. Pixels whose alpha is
// 0 weigh a sixteenth in the colour fit: only filtering at a sprite's edge
// shows their colour.
//
// It does not search index orderings (cluster fits), nor BC1's three-colour
// mode (BC3 decodes four colours always). Costs about 0.4 us a block on one
// core (0.1 s a 2048 x 2048 layer, six times etcpak's); releases the
// interpreter lock.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

namespace py = pybind11;

namespace {

using byte = std::uint8_t;

struct Vec3 {
    float r, g, b;
};

Vec3 operator+(Vec3 a, Vec3 b) { return {a.r + b.r, a.g + b.g, a.b + b.b}; }
Vec3 operator-(Vec3 a, Vec3 b) { return {a.r - b.r, a.g - b.g, a.b - b.b}; }
Vec3 operator*(Vec3 a, float s) { return {a.r * s, a.g * s, a.b * s}; }
float dot(Vec3 a, Vec3 b) { return a.r * b.r + a.g * b.g + a.b * b.b; }

int clamp_to(float v, int top) { return std::min(top, std::max(0, static_cast<int>(v + 0.5f))); }

// 5:6:5 from 8-bit channels, rounded to the nearest level.
std::uint16_t pack565(Vec3 c) {
    return static_cast<std::uint16_t>(clamp_to(c.r * 31.0f / 255.0f, 31) << 11 |
                                      clamp_to(c.g * 63.0f / 255.0f, 63) << 5 | clamp_to(c.b * 31.0f / 255.0f, 31));
}

// What a decoder makes of a 5:6:5 colour: its bits repeated into 8.
Vec3 unpack565(std::uint16_t c) {
    const int r = c >> 11, g = (c >> 5) & 63, b = c & 31;
    return {static_cast<float>(r << 3 | r >> 2), static_cast<float>(g << 2 | g >> 4),
            static_cast<float>(b << 3 | b >> 2)};
}

struct ColourFit {
    std::uint16_t c0, c1;
    std::uint32_t indices;
    float error;
};

// The indices (BC1 order: 0 = c0, 1 = c1, 2 = 2/3 c0 + 1/3 c1, 3 = the
// other third) nearest each pixel for the endpoints, and the weighted error.
// The four colours lie evenly on a line, so the nearest is found by
// projecting onto it.
ColourFit choose_indices(const Vec3 (&pixels)[16], const float (&weights)[16], std::uint16_t c0, std::uint16_t c1) {
    static constexpr std::uint32_t index_of_step[4] = {0, 2, 3, 1};
    const Vec3 a = unpack565(c0), d = unpack565(c1) - a;
    const float length = dot(d, d), scale = length > 0 ? 3.0f / length : 0.0f;
    ColourFit fit{c0, c1, 0, 0.0f};
    for (int i = 0; i < 16; ++i) {
        // Rounded by adding a half: below 0 it truncates to 0, which the clamp gives anyway.
        const int step = std::min(3, std::max(0, static_cast<int>(dot(pixels[i] - a, d) * scale + 0.5f)));
        const Vec3 off = pixels[i] - (a + d * (static_cast<float>(step) / 3));
        fit.indices |= index_of_step[step] << (2 * i);
        fit.error += weights[i] * dot(off, off);
    }
    return fit;
}

// The endpoints that least-squares fit the pixels to the fit's indices.
bool refit(const Vec3 (&pixels)[16], const float (&weights)[16], std::uint32_t indices, Vec3& a, Vec3& b) {
    static constexpr float along[4] = {0.0f, 1.0f, 1.0f / 3, 2.0f / 3};
    float aa = 0, ab = 0, bb = 0;
    Vec3 ax{0, 0, 0}, bx{0, 0, 0};
    for (int i = 0; i < 16; ++i) {
        const float t = along[(indices >> (2 * i)) & 3], s = 1.0f - t, w = weights[i];
        aa += w * s * s, ab += w * s * t, bb += w * t * t;
        ax = ax + pixels[i] * (w * s), bx = bx + pixels[i] * (w * t);
    }
    const float determinant = aa * bb - ab * ab;
    if (std::fabs(determinant) < 1e-6f) return false;
    a = (ax * bb - bx * ab) * (1.0f / determinant);
    b = (bx * aa - ax * ab) * (1.0f / determinant);
    return true;
}

// For one channel of 2^bits levels, the endpoint pair whose 2/3 point
// comes nearest each 8-bit value.
template <int bits>
std::array<std::array<byte, 2>, 256> single_colour_table() {
    std::array<std::array<byte, 2>, 256> table{};
    constexpr int top = (1 << bits) - 1;
    auto expand = [](int v) { return bits == 5 ? (v << 3 | v >> 2) : (v << 2 | v >> 4); };
    for (int value = 0; value < 256; ++value) {
        float least = 1e30f;
        for (int x = 0; x <= top; ++x) {
            for (int y = 0; y <= top; ++y) {
                const float e = std::fabs((2.0f * expand(x) + expand(y)) / 3.0f - static_cast<float>(value));
                if (e < least) least = e, table[value] = {static_cast<byte>(x), static_cast<byte>(y)};
            }
        }
    }
    return table;
}

const auto five_bits = single_colour_table<5>();
const auto six_bits = single_colour_table<6>();

// Endpoints in the order BC1's four-colour mode needs (c0 > c1), the
// indices following; equal endpoints take index 0 throughout.
void put_colour(ColourFit fit, byte* out) {
    if (fit.c0 < fit.c1) {
        std::swap(fit.c0, fit.c1);
        fit.indices ^= 0x55555555u;  // 0 <-> 1, 2 <-> 3
    } else if (fit.c0 == fit.c1) {
        fit.indices = 0;
    }
    const std::uint16_t ends[2] = {fit.c0, fit.c1};
    for (int i = 0; i < 2; ++i) out[2 * i] = static_cast<byte>(ends[i] & 255), out[2 * i + 1] = static_cast<byte>(ends[i] >> 8);
    for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<byte>(fit.indices >> (8 * i));
}

void encode_colour(const byte* block, std::ptrdiff_t stride, byte* out) {
    Vec3 pixels[16];
    float weights[16];
    float total = 0;
    Vec3 mean{0, 0, 0};
    bool one_colour = true;
    for (int i = 0; i < 16; ++i) {
        const byte* p = block + (i / 4) * stride + (i % 4) * 4;
        pixels[i] = {static_cast<float>(p[0]), static_cast<float>(p[1]), static_cast<float>(p[2])};
        weights[i] = p[3] ? 1.0f : 1.0f / 16;
        total += weights[i];
        mean = mean + pixels[i] * weights[i];
        one_colour = one_colour && std::memcmp(p, block, 3) == 0;
    }
    if (one_colour) {
        const byte* p = block;
        const auto r = five_bits[p[0]], g = six_bits[p[1]], b = five_bits[p[2]];
        const auto c0 = static_cast<std::uint16_t>(r[0] << 11 | g[0] << 5 | b[0]);
        const auto c1 = static_cast<std::uint16_t>(r[1] << 11 | g[1] << 5 | b[1]);
        put_colour(choose_indices(pixels, weights, c0, c1), out);  // every pixel at the 2/3 point
        return;
    }
    mean = mean * (1.0f / total);
    float c[6] = {0, 0, 0, 0, 0, 0};  // rr rg rb gg gb bb
    for (int i = 0; i < 16; ++i) {
        const Vec3 d = pixels[i] - mean;
        const float w = weights[i];
        c[0] += w * d.r * d.r, c[1] += w * d.r * d.g, c[2] += w * d.r * d.b;
        c[3] += w * d.g * d.g, c[4] += w * d.g * d.b, c[5] += w * d.b * d.b;
    }
    Vec3 axis{1.0f, 1.0f, 1.0f};
    for (int step = 0; step < 4; ++step) {
        const Vec3 next{c[0] * axis.r + c[1] * axis.g + c[2] * axis.b, c[1] * axis.r + c[3] * axis.g + c[4] * axis.b,
                        c[2] * axis.r + c[4] * axis.g + c[5] * axis.b};
        const float length = std::sqrt(dot(next, next));
        if (length < 1e-6f) break;
        axis = next * (1.0f / length);
    }
    // Two starts: the extremes along the axis, and the corners of the
    // pixels' bounding box that the axis points between (better where a
    // few pixels lie off the axis).
    float low = 1e30f, high = -1e30f;
    Vec3 least{255, 255, 255}, most{0, 0, 0};
    for (int i = 0; i < 16; ++i) {
        if (weights[i] < 1.0f && total > 1.0f) continue;  // the visible pixels, where there are any
        const float t = dot(pixels[i] - mean, axis);
        low = std::min(low, t), high = std::max(high, t);
        least = {std::min(least.r, pixels[i].r), std::min(least.g, pixels[i].g), std::min(least.b, pixels[i].b)};
        most = {std::max(most.r, pixels[i].r), std::max(most.g, pixels[i].g), std::max(most.b, pixels[i].b)};
    }
    const Vec3 inset = (most - least) * (1.0f / 16);
    least = least + inset, most = most - inset;
    const Vec3 corner_high{axis.r >= 0 ? most.r : least.r, axis.g >= 0 ? most.g : least.g, axis.b >= 0 ? most.b : least.b};
    const Vec3 corner_low{axis.r >= 0 ? least.r : most.r, axis.g >= 0 ? least.g : most.g, axis.b >= 0 ? least.b : most.b};
    // The closer start refitted, twice where anything in the block shows
    // (one with nothing visible shows only where filtering reaches into it
    // from a sprite's edge).
    ColourFit best = choose_indices(pixels, weights, pack565(mean + axis * high), pack565(mean + axis * low));
    const ColourFit corners = choose_indices(pixels, weights, pack565(corner_high), pack565(corner_low));
    if (corners.error < best.error) best = corners;
    for (int round = 0; round < (total > 1.0f ? 2 : 1) && best.error > 0; ++round) {
        Vec3 a, b;
        if (!refit(pixels, weights, best.indices, a, b)) break;
        const ColourFit again = choose_indices(pixels, weights, pack565(a), pack565(b));
        if (again.error >= best.error) break;
        best = again;
    }
    put_colour(best, out);
}

struct AlphaFit {
    int a0, a1;
    std::uint64_t indices;
    int error;
};

// BC4's palette: with a0 > a1, eight levels from a0 to a1; otherwise six,
// and 0 and 255. Each alpha's nearest is found by its place between the
// endpoints (the levels lie evenly, but for rounding: the steps beside it
// are tried too).
AlphaFit fit_alpha(const int (&alpha)[16], int a0, int a1) {
    const bool eight = a0 > a1;
    const int steps = eight ? 7 : 5;
    int level[8];  // by step from a0 to a1
    for (int k = 0; k <= steps; ++k) level[k] = ((steps - k) * a0 + k * a1 + steps / 2) / steps;
    const int span = a1 - a0;
    AlphaFit fit{a0, a1, 0, 0};
    for (int i = 0; i < 16; ++i) {
        const int guess = span ? std::min(steps, std::max(0, ((alpha[i] - a0) * steps * 2 + span) / (2 * span))) : 0;
        int best = guess, least = (alpha[i] - level[guess]) * (alpha[i] - level[guess]);
        for (int k = std::max(0, guess - 1); k <= std::min(steps, guess + 1); ++k) {
            const int e = (alpha[i] - level[k]) * (alpha[i] - level[k]);
            if (e < least) least = e, best = k;
        }
        std::uint64_t index = best == 0 ? 0 : best == steps ? 1 : static_cast<std::uint64_t>(best + 1);
        if (!eight) {
            for (const auto& [value, extreme] : {std::pair<int, std::uint64_t>{0, 6}, std::pair<int, std::uint64_t>{255, 7}}) {
                const int e = (alpha[i] - value) * (alpha[i] - value);
                if (e < least) least = e, index = extreme;
            }
        }
        fit.indices |= index << (3 * i);
        fit.error += least;
    }
    return fit;
}

// The endpoints that least-squares fit the alphas to the fit's indices (eight-level mode).
AlphaFit refit_alpha(const int (&alpha)[16], AlphaFit fit) {
    float aa = 0, ab = 0, bb = 0, ax = 0, bx = 0;
    for (int i = 0; i < 16; ++i) {
        const int index = static_cast<int>((fit.indices >> (3 * i)) & 7);
        const float t = index == 0 ? 0.0f : index == 1 ? 1.0f : static_cast<float>(index - 1) / 7, s = 1.0f - t;
        aa += s * s, ab += s * t, bb += t * t, ax += s * static_cast<float>(alpha[i]), bx += t * static_cast<float>(alpha[i]);
    }
    const float determinant = aa * bb - ab * ab;
    if (std::fabs(determinant) < 1e-6f) return fit;
    const int a0 = clamp_to((ax * bb - bx * ab) / determinant, 255), a1 = clamp_to((bx * aa - ax * ab) / determinant, 255);
    if (a0 <= a1) return fit;
    const AlphaFit again = fit_alpha(alpha, a0, a1);
    return again.error < fit.error ? again : fit;
}

void encode_alpha(const byte* block, std::ptrdiff_t stride, byte* out) {
    int alpha[16];
    int low = 255, high = 0, inner_low = 255, inner_high = 0;
    for (int i = 0; i < 16; ++i) {
        alpha[i] = block[(i / 4) * stride + (i % 4) * 4 + 3];
        low = std::min(low, alpha[i]), high = std::max(high, alpha[i]);
        if (alpha[i] != 0 && alpha[i] != 255) inner_low = std::min(inner_low, alpha[i]), inner_high = std::max(inner_high, alpha[i]);
    }
    AlphaFit fit{high, high, 0, 0};  // one level: index 0 throughout
    if (low != high) {
        fit = refit_alpha(alpha, fit_alpha(alpha, high, low));
        if (fit.error && (low == 0 || high == 255)) {
            if (inner_low > inner_high) inner_low = inner_high = low == 0 ? 255 : 0;  // only 0 and 255
            const AlphaFit six = fit_alpha(alpha, inner_low, inner_high);
            if (six.error < fit.error) fit = six;
        }
    }
    out[0] = static_cast<byte>(fit.a0), out[1] = static_cast<byte>(fit.a1);
    for (int i = 0; i < 6; ++i) out[2 + i] = static_cast<byte>(fit.indices >> (8 * i));
}

py::bytes bc3_blocks(const py::array_t<byte, py::array::c_style>& pixels) {
    if (pixels.ndim() != 3 || pixels.shape(2) != 4 || pixels.shape(0) % 4 || pixels.shape(1) % 4) {
        throw std::invalid_argument("bc3_blocks takes (height, width, 4) RGBA pixels, sides multiples of 4");
    }
    const std::ptrdiff_t height = pixels.shape(0), width = pixels.shape(1), stride = width * 4;
    std::string blocks(static_cast<std::size_t>(height / 4 * width / 4 * 16), '\0');
    const byte* data = pixels.data();
    {
        const py::gil_scoped_release unlocked;
        byte* out = reinterpret_cast<byte*>(&blocks[0]);
        for (std::ptrdiff_t y = 0; y < height; y += 4) {
            for (std::ptrdiff_t x = 0; x < width; x += 4, out += 16) {
                const byte* block = data + y * stride + x * 4;
                encode_alpha(block, stride, out);
                encode_colour(block, stride, out + 8);
            }
        }
    }
    return py::bytes(blocks);
}

}  // namespace

PYBIND11_MODULE(_blocks, m) {
    m.doc() = "BC3 blocks for tessel-atlas's bc3 texture format.";
    m.def("bc3_blocks", &bc3_blocks, py::arg("pixels"),
          "The BC3 blocks of (height, width, 4) RGBA pixels, sides multiples of 4, rows of blocks from the top.");
}
