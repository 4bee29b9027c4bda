// inflate.hpp: zlib streams (RFC 1950, deflate of RFC 1951) inflated into
// a buffer the caller sizes, and the CRC-32 of PNG's chunks, for reading
// sprites without the interpreter: a build reads thousands of small PNGs,
// and taking turns at the interpreter for each step of each one cost more
// than the steps.
//
// What it does: inflates one whole stream held in memory, in one of two
// ways, or a piece of one deflated apart (`inflate_piece`, which a
// distance reaching before the piece fails). `inflate_prefix` gives the
// first `size` bytes the stream holds, as PNG's image data is read, and
// reads on past them only as zlib does when it has room for no more: to
// the next byte the stream would make, or its checksum, so that a stream
// zlib refuses there is refused here too.
// `inflate_whole` requires the stream to end, its checksum right and
// nothing after it, within `size` bytes, as a compressed text is judged.
// Every fault zlib reports (a bad header, a preset dictionary, a block type
// or code that does not exist, codes that over- or under-fill their lengths,
// a distance before the start) fails the same way here.
//
// What it does not: stream (the input and the output are whole buffers),
// keep a window beyond the output, or say what was wrong.
//
// Costs: table-driven, a 10-bit first look for literals and lengths and 8
// bits for distances; decoding a symbol is a table read or two, a match a
// few 8-byte copies. Output buffers need `slack` bytes past `size`, which
// copies may overwrite. No allocation, no exceptions.
#pragma once

#include "run_deflate.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace inflating {

using byte = std::uint8_t;

// Bytes past `size` that an output buffer must have room for.
constexpr std::size_t slack = 8;

// A table entry: the bits its code takes (for a link, the first table's),
// the extra bits that follow it (for a link, the bits that index its
// second table), what it is, and a value (a literal, a length's or a
// distance's base, or where a second table starts).
enum Kind : std::uint32_t { literal, base, end_of_block, link, invalid };

constexpr std::uint32_t entry(const Kind kind, const unsigned bits, const unsigned extra, const unsigned value) {
    return static_cast<std::uint32_t>(value) << 16 | static_cast<std::uint32_t>(kind) << 12 |
           static_cast<std::uint32_t>(extra) << 8 | bits;
}
constexpr unsigned bits_of(const std::uint32_t e) { return e & 0xFF; }
constexpr unsigned extra_of(const std::uint32_t e) { return (e >> 8) & 0xF; }
constexpr Kind kind_of(const std::uint32_t e) { return static_cast<Kind>((e >> 12) & 0xF); }
constexpr unsigned value_of(const std::uint32_t e) { return e >> 16; }

constexpr unsigned literal_root = 10;
constexpr unsigned distance_root = 8;
constexpr unsigned code_length_root = 7;
// Room for any code's tables: the first table and every second one, at
// most 2^(15 - root) entries for each of the codes longer than root.
constexpr std::size_t literal_room = (1 << literal_root) + 288 * (1 << (15 - literal_root));
constexpr std::size_t distance_room = (1 << distance_root) + 32 * (1 << (15 - distance_root));

// RFC 1951, 3.2.5: lengths 257 to 285 and distances 0 to 29, their bases
// and extra bits.
constexpr std::uint16_t length_base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                           31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint16_t distance_base[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,
                                             33,  49,  65,  97,  129, 193,  257,  385,  513,  769,
                                             1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t distance_extra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                             6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Which of deflate's three codes a table decodes: what each symbol is.
enum class Alphabet { code_lengths, literals, distances };

inline std::uint32_t symbol_entry(const Alphabet alphabet, const unsigned symbol, const unsigned bits) {
    switch (alphabet) {
        case Alphabet::code_lengths: return entry(literal, bits, 0, symbol);
        case Alphabet::literals:
            if (symbol < 256) return entry(literal, bits, 0, symbol);
            if (symbol == 256) return entry(end_of_block, bits, 0, 0);
            if (symbol < 286) {
                return entry(base, bits, run_deflate::length_extra_bits[symbol - 257], length_base[symbol - 257]);
            }
            return entry(invalid, bits, 0, 0);  // 286 and 287: in the fixed code, but never valid
        default:
            if (symbol < 30) return entry(base, bits, distance_extra[symbol], distance_base[symbol]);
            return entry(invalid, bits, 0, 0);
    }
}

// The decoding table of a canonical code (RFC 1951, 3.2.2) of `count`
// symbols' lengths, into `table` (of `room` entries) with a first look of
// `root` bits. False where zlib refuses the code: lengths that over-fill
// it, or leave it incomplete, except for a code of one symbol (of
// literals or distances) and a code of none (decoding anything with it
// then fails).
inline bool build(const byte* lengths, const unsigned count, const Alphabet alphabet, const unsigned root,
                  std::uint32_t* table, const std::size_t room) {
    constexpr unsigned most = 15;
    std::array<unsigned, most + 1> per_length{};
    for (unsigned s = 0; s < count; ++s) {
        ++per_length[lengths[s]];
    }
    per_length[0] = 0;
    unsigned longest = 0;
    int left = 1;
    for (unsigned bits = 1; bits <= most; ++bits) {
        left = (left << 1) - static_cast<int>(per_length[bits]);
        if (left < 0) {
            return false;
        }
        if (per_length[bits]) {
            longest = bits;
        }
    }
    if (left > 0 && longest > 0 && (alphabet == Alphabet::code_lengths || longest != 1)) {
        return false;
    }
    // A complete code fills every entry; only an incomplete one leaves
    // some for codes that do not exist.
    const bool complete = left == 0;
    const std::size_t first = std::size_t{1} << root;
    if (!complete) {
        std::fill(table, table + first, entry(invalid, 0, 0, 0));
    }
    // Each code's bits, least significant first as they are read; the
    // longest code under each first look sets the size of its second table.
    std::array<unsigned, most + 2> next{};
    for (unsigned bits = 1; bits <= most; ++bits) {
        next[bits + 1] = (next[bits] + per_length[bits]) << 1;
    }
    const auto reversed = [](const unsigned code, const unsigned bits) {
        static const auto bytes = [] {
            std::array<byte, 256> r{};
            for (unsigned i = 0; i < 256; ++i) {
                for (unsigned b = 0; b < 8; ++b) {
                    r[i] |= static_cast<byte>(((i >> b) & 1U) << (7 - b));
                }
            }
            return r;
        }();
        return (static_cast<unsigned>(bytes[code & 0xFF]) << 8 | bytes[(code >> 8) & 0xFF]) >> (16 - bits);
    };
    std::array<unsigned, most + 2> code = next;
    if (longest > root) {
        std::array<unsigned, 1 << 10> deepest{};  // under each first look, of the codes longer than root
        for (unsigned s = 0; s < count; ++s) {
            const unsigned bits = lengths[s];
            if (bits > root) {
                const unsigned r = reversed(code[bits], bits) & (static_cast<unsigned>(first) - 1);
                deepest[r] = std::max(deepest[r], bits);
            }
            if (bits) {
                ++code[bits];
            }
        }
        std::size_t used = first;
        for (unsigned r = 0; r < first; ++r) {
            if (deepest[r]) {
                const unsigned sub = deepest[r] - root;
                if (used + (std::size_t{1} << sub) > room) {
                    return false;
                }
                table[r] = entry(link, root, sub, static_cast<unsigned>(used));
                if (!complete) {
                    std::fill(table + used, table + used + (std::size_t{1} << sub), entry(invalid, 0, 0, 0));
                }
                used += std::size_t{1} << sub;
            }
        }
        code = next;
    }
    for (unsigned s = 0; s < count; ++s) {
        const unsigned bits = lengths[s];
        if (!bits) {
            continue;
        }
        const unsigned r = reversed(code[bits]++, bits);
        const std::uint32_t e = symbol_entry(alphabet, s, bits);
        if (bits <= root) {
            for (std::size_t i = r; i < first; i += std::size_t{1} << bits) {
                table[i] = e;
            }
        } else {
            const std::uint32_t to = table[r & (first - 1)];
            const std::size_t size = std::size_t{1} << extra_of(to);
            for (std::size_t i = r >> root; i < size; i += std::size_t{1} << (bits - root)) {
                table[value_of(to) + i] = e;
            }
        }
    }
    return true;
}

// The input, read least significant bit first through a 64-bit buffer.
// Past the end it reads zeros and counts them, so that a stream that
// needs more than it has fails however its last codes are made.
class Bits {
public:
    Bits(const byte* data, const std::size_t size) : in_(data), end_(data + size) {}

    void refill() {
        if (end_ - in_ >= 8) {
            std::uint64_t word = 0;
            for (unsigned i = 0; i < 8; ++i) {  // little-endian on any machine; compilers make it one load
                word |= static_cast<std::uint64_t>(in_[i]) << (8 * i);
            }
            buffer_ |= word << count_;
            in_ += (63 - count_) >> 3;
            count_ |= 56;
            return;
        }
        while (count_ < 56) {
            std::uint64_t next = 0;
            if (in_ < end_) {
                next = *in_++;
            } else {
                ++past_end_;
            }
            buffer_ |= next << count_;
            count_ += 8;
        }
    }

    // At least 56 bits stand in the buffer after refill(); a refill before
    // each symbol and its extra bits is enough (48 at most).
    std::uint64_t peek() const { return buffer_; }
    void drop(const unsigned n) {
        buffer_ >>= n;
        count_ -= n;
    }
    unsigned take(const unsigned n) {
        const auto v = static_cast<unsigned>(buffer_ & ((std::uint64_t{1} << n) - 1));
        drop(n);
        return v;
    }
    void to_byte() { drop(count_ % 8); }
    bool at_byte() const { return count_ % 8 == 0; }
    // Whether decoding used bits past the end of the input.
    bool overran() const { return past_end_ * 8 > count_; }
    // The input's bytes not read yet, once at a byte boundary.
    std::size_t unread() const {
        return static_cast<std::size_t>(end_ - in_) + (count_ / 8 > past_end_ ? count_ / 8 - past_end_ : 0);
    }
    // Enough input left that the fast loop's refills never reach the end.
    bool plenty() const { return end_ - in_ >= 16; }

private:
    const byte* in_;
    const byte* end_;
    std::uint64_t buffer_ = 0;
    unsigned count_ = 0;
    std::size_t past_end_ = 0;
};

inline std::uint32_t decode(const std::uint32_t* table, const unsigned root, Bits& in) {
    std::uint32_t e = table[in.peek() & ((1U << root) - 1)];
    if (kind_of(e) == link) {
        e = table[value_of(e) + ((in.peek() >> root) & ((1U << extra_of(e)) - 1))];
    }
    in.drop(bits_of(e));
    return e;
}

// How decoding a block, or the stream, ended.
enum class Step { block_done, full, failed };

struct Codes {
    std::array<std::uint32_t, literal_room> literals;
    std::array<std::uint32_t, distance_room> distances;
};

// Copies a match of `length` bytes from `distance` back, which may
// overlap what it writes; may write up to `slack` bytes past the match.
inline void copy_match(byte* out, const std::size_t distance, const std::size_t length) {
    byte* const stop = out + length;
    const byte* from = out - distance;
    if (distance >= 8) {
        do {
            std::memcpy(out, from, 8);
            out += 8;
            from += 8;
        } while (out < stop);
    } else if (distance == 1) {
        std::memset(out, *from, length);
    } else {
        // The first eight bytes one at a time, then eight at a time from a
        // whole number of repeats back, at least eight bytes.
        for (std::size_t i = 0; i < 8; ++i) {
            out[i] = from[i];
        }
        std::size_t period = distance;
        while (period < 8) {
            period += distance;
        }
        for (byte* at = out + 8; at < stop; at += 8) {
            std::memcpy(at, at - period, 8);
        }
    }
}

// A block's symbols, from what `codes` decode, onto out[at...], up to `size`.
// Without `stop_when_full`, a stream that would pass size fails. With it,
// the output is `full` at size, and the stream is read on as zlib reads it
// when it has no more room (and as Pillow's reading of a PNG sees it):
// through the ends of blocks, their headers and codes, to the next symbol
// that would make a byte (a literal, or a length and its distance, which
// must be valid) or the checksum after the last block; a fault there fails
// it, and input that ends there ends it well.
inline Step block(const Codes& codes, Bits& bits, byte* const out, std::size_t& done, const std::size_t size,
                  const bool stop_when_full) {
    const std::uint32_t* literals = codes.literals.data();
    const std::uint32_t* distances = codes.distances.data();
    // Copies in locals: every byte stored through `out` might otherwise be
    // the bit buffer or the count (bytes may alias anything), which would
    // be read back from memory after each.
    Bits in = bits;
    std::size_t at = done;
    const auto leave = [&](const Step step) {
        bits = in;
        done = at;
        return step;
    };
    // Fast: no symbol can take the output past size, nor the input past
    // its end. A refill holds 56 bits: two literals' codes (15 bits each at
    // most), or a literal's and a length's, whose extra bits and distance
    // need a refill of their own (33 bits at most).
    while (in.plenty() && size - at >= 258 + 1) {
        in.refill();
        std::uint32_t e = decode(literals, literal_root, in);
        if (kind_of(e) == literal) {
            out[at++] = static_cast<byte>(value_of(e));
            e = decode(literals, literal_root, in);
            if (kind_of(e) == literal) {
                out[at++] = static_cast<byte>(value_of(e));
                continue;
            }
            in.refill();
        }
        if (kind_of(e) != base) {
            return leave(kind_of(e) == end_of_block ? Step::block_done : Step::failed);
        }
        const std::size_t length = value_of(e) + in.take(extra_of(e));
        e = decode(distances, distance_root, in);
        if (kind_of(e) != base) {
            return leave(Step::failed);
        }
        const std::size_t distance = value_of(e) + in.take(extra_of(e));
        if (distance > at) {
            return leave(Step::failed);
        }
        copy_match(out + at, distance, length);
        at += length;
    }
    // Near either end: every symbol checked.
    for (;;) {
        const bool full = stop_when_full && at == size;
        in.refill();
        std::uint32_t e = decode(literals, literal_root, in);
        const Kind kind = kind_of(e);
        std::size_t length = 1, distance = 0;  // 0: no distance, or none valid
        if (kind == base) {
            length = value_of(e) + in.take(extra_of(e));
            e = decode(distances, distance_root, in);
            if (kind_of(e) == base) {
                distance = value_of(e) + in.take(extra_of(e));
            }
        }
        if (in.overran()) {
            return leave(full ? Step::full : Step::failed);
        }
        if (kind == end_of_block) {
            return leave(Step::block_done);
        }
        if ((kind != literal && kind != base) || (kind == base && (distance == 0 || distance > at))) {
            return leave(Step::failed);
        }
        if (full) {
            return leave(Step::full);
        }
        // A match that runs past size fills the output: zlib stops there,
        // with the rest of it still to make.
        const bool cut = length > size - at;
        if (cut && !stop_when_full) {
            return leave(Step::failed);
        }
        if (cut) {
            length = size - at;
        }
        if (kind == literal) {
            out[at] = static_cast<byte>(value_of(e));
        } else {
            for (std::size_t i = 0; i < length; ++i) {  // exact: nothing past size is written
                out[at + i] = out[at + i - distance];
            }
        }
        at += length;
        if (cut) {
            return leave(Step::full);
        }
    }
}

inline bool fixed_codes(Codes& codes) {
    std::array<byte, 288> lengths{};
    std::fill(lengths.begin(), lengths.begin() + 144, 8);
    std::fill(lengths.begin() + 144, lengths.begin() + 256, 9);
    std::fill(lengths.begin() + 256, lengths.begin() + 280, 7);
    std::fill(lengths.begin() + 280, lengths.end(), 8);
    std::array<byte, 32> distance_lengths;
    distance_lengths.fill(5);
    return build(lengths.data(), 288, Alphabet::literals, literal_root, codes.literals.data(), literal_room) &&
           build(distance_lengths.data(), 32, Alphabet::distances, distance_root, codes.distances.data(),
                 distance_room);
}

// A dynamic block's codes, as its header gives them (RFC 1951, 3.2.7).
inline bool dynamic_codes(Bits& in, Codes& codes) {
    in.refill();
    const unsigned literal_count = in.take(5) + 257, distance_count = in.take(5) + 1, length_codes = in.take(4) + 4;
    if (literal_count > 286 || distance_count > 30) {
        return false;
    }
    constexpr byte order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    std::array<byte, 19> code_length_lengths{};
    for (unsigned i = 0; i < length_codes; ++i) {
        in.refill();
        code_length_lengths[order[i]] = static_cast<byte>(in.take(3));
    }
    std::array<std::uint32_t, 1 << code_length_root> code_length_table;
    if (!build(code_length_lengths.data(), 19, Alphabet::code_lengths, code_length_root, code_length_table.data(),
               code_length_table.size())) {
        return false;
    }
    std::array<byte, 286 + 30> lengths{};
    const unsigned total = literal_count + distance_count;
    for (unsigned i = 0; i < total;) {
        in.refill();
        const std::uint32_t e = decode(code_length_table.data(), code_length_root, in);
        if (kind_of(e) != literal) {
            return false;
        }
        const unsigned symbol = value_of(e);
        if (symbol < 16) {
            lengths[i++] = static_cast<byte>(symbol);
            continue;
        }
        byte repeated = 0;
        unsigned times;
        if (symbol == 16) {
            if (i == 0) {
                return false;
            }
            repeated = lengths[i - 1];
            times = 3 + in.take(2);
        } else if (symbol == 17) {
            times = 3 + in.take(3);
        } else {
            times = 11 + in.take(7);
        }
        if (i + times > total) {
            return false;
        }
        for (; times > 0; --times) {
            lengths[i++] = repeated;
        }
    }
    if (in.overran() || lengths[256] == 0) {
        return false;
    }
    return build(lengths.data(), literal_count, Alphabet::literals, literal_root, codes.literals.data(),
                 literal_room) &&
           build(lengths.data() + literal_count, distance_count, Alphabet::distances, distance_root,
                 codes.distances.data(), distance_room);
}

// The stream's blocks onto out, up to size, as block() reads them; how far
// it got in `at`. A `piece` (run_deflate's pieces deflated apart) has no
// last block and ends where its input does, on a byte boundary after a
// block.
inline Step blocks(Bits& in, Codes& codes, byte* out, std::size_t& at, const std::size_t size,
                   const bool stop_when_full, const bool piece = false) {
    for (bool last = false; !last;) {
        if (piece && in.at_byte() && in.unread() == 0) {  // the end of its input, not zeros read past it
            return in.overran() ? Step::failed : Step::block_done;
        }
        const bool full = stop_when_full && at == size;
        in.refill();
        last = in.take(1) != 0;
        if (piece && last) {
            return Step::failed;
        }
        const unsigned type = in.take(2);
        if (in.overran()) {
            return full ? Step::full : Step::failed;
        }
        if (type == 0) {  // stored: the length and its complement, from the next byte on
            in.to_byte();
            in.refill();
            const unsigned length = in.take(16), complement = in.take(16);
            if (in.overran()) {
                return full ? Step::full : Step::failed;
            }
            if ((length ^ 0xFFFF) != complement) {
                return Step::failed;
            }
            for (unsigned i = 0; i < length; ++i) {
                if (at == size) {
                    return stop_when_full ? Step::full : Step::failed;
                }
                in.refill();
                out[at++] = static_cast<byte>(in.take(8));
                if (in.overran()) {
                    return Step::failed;
                }
            }
            continue;
        }
        if (type == 3) {
            return Step::failed;
        }
        if (!(type == 1 ? fixed_codes(codes) : dynamic_codes(in, codes))) {
            return full && in.overran() ? Step::full : Step::failed;
        }
        const Step step = block(codes, in, out, at, size, stop_when_full);
        if (step != Step::block_done) {
            return step;
        }
    }
    if (!stop_when_full || at != size) {
        return Step::block_done;
    }
    // Full, and the stream ends: its checksum, as far as the input goes.
    in.to_byte();
    in.refill();
    std::uint32_t check = 0;
    for (int i = 0; i < 4; ++i) {
        check = check << 8 | in.take(8);
    }
    return in.overran() || check == run_deflate::adler32(1, out, at) ? Step::full : Step::failed;
}

// zlib's header: deflate, a window of at most 32 KiB, no preset dictionary.
inline bool header(Bits& in) {
    in.refill();
    const unsigned method = in.take(8), flags = in.take(8);
    return (method & 0x0F) == 8 && (method >> 4) <= 7 && (method << 8 | flags) % 31 == 0 && !(flags & 0x20) &&
           !in.overran();
}

// The first `size` bytes the zlib stream `data` inflates to, into out
// (room for size + slack): false if it holds fewer, or fails before them.
inline bool inflate_prefix(const byte* data, const std::size_t length, byte* out, const std::size_t size,
                           Codes& codes) {
    Bits in(data, length);
    std::size_t at = 0;
    return header(in) && blocks(in, codes, out, at, size, true) == Step::full;
}

// What the zlib stream `data` inflates to, into out (room for size +
// slack), if the stream is whole: at most size bytes, its checksum right,
// nothing after it. Its length, or -1.
inline long long inflate_whole(const byte* data, const std::size_t length, byte* out, const std::size_t size,
                               Codes& codes) {
    Bits in(data, length);
    std::size_t at = 0;
    if (!header(in) || blocks(in, codes, out, at, size, false) != Step::block_done) {
        return -1;
    }
    in.to_byte();
    in.refill();
    std::uint32_t check = 0;
    for (int i = 0; i < 4; ++i) {
        check = check << 8 | in.take(8);
    }
    if (in.overran() || in.unread() != 0 || check != run_deflate::adler32(1, out, at)) {
        return -1;
    }
    return static_cast<long long>(at);
}

// What a piece of a zlib stream deflated apart from the rest inflates to
// (see `blocks`), the stream's header first where it is the `first`: true
// if exactly `size` bytes, into out (room for size + slack).
inline bool inflate_piece(const byte* data, const std::size_t length, const bool first, byte* out,
                          const std::size_t size, Codes& codes) {
    Bits in(data, length);
    std::size_t at = 0;
    return (!first || header(in)) && blocks(in, codes, out, at, size, false, true) == Step::block_done && at == size;
}

// CRC-32 as PNG's chunks carry it (ISO 3309), eight bytes a step through
// eight tables.
inline std::uint32_t crc32(std::uint32_t crc, const byte* data, std::size_t length) {
    static const auto tables = [] {
        std::array<std::array<std::uint32_t, 256>, 8> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) {
                c = c & 1 ? 0xEDB88320U ^ (c >> 1) : c >> 1;
            }
            t[0][n] = c;
        }
        for (std::size_t k = 1; k < 8; ++k) {
            for (std::size_t n = 0; n < 256; ++n) {
                t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
            }
        }
        return t;
    }();
    crc = ~crc;
    for (; length >= 8; length -= 8, data += 8) {
        const std::uint32_t low = crc ^ (std::uint32_t{data[0]} | std::uint32_t{data[1]} << 8 |
                                         std::uint32_t{data[2]} << 16 | std::uint32_t{data[3]} << 24);
        crc = tables[7][low & 0xFF] ^ tables[6][(low >> 8) & 0xFF] ^ tables[5][(low >> 16) & 0xFF] ^
              tables[4][low >> 24] ^ tables[3][data[4]] ^ tables[2][data[5]] ^ tables[1][data[6]] ^
              tables[0][data[7]];
    }
    for (; length > 0; --length, ++data) {
        crc = tables[0][(crc ^ *data) & 0xFF] ^ (crc >> 8);
    }
    return ~crc;
}

}  // namespace inflating
