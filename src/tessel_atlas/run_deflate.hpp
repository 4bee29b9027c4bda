// run_deflate.hpp: a zlib stream (RFC 1950, deflate of RFC 1951) of data
// whose repeats are mostly runs of one byte, as filtered PNG rows of
// sprites, and the transparent space between them, are.
//
// What it does: finds each run of a byte (a match at distance 1 of 3 to 258
// bytes, as long as it goes) and codes the rest as literals, in blocks of
// at most `block_symbols` symbols, each with Huffman codes made for it and
// stored as whichever of dynamic codes, fixed codes or no compression is
// shortest. Input comes in pieces (rows filtered a strip at a time); a run
// may reach back into the piece before. Output is whole bytes, appended as
// each piece is done; `finish` ends the stream with the data's checksum.
// Pieces can also be deflated apart, on several threads, and joined: each
// after the first has no header (`continue_apart`), no run reaches back
// into the piece before, and each ends on a byte boundary (`sync`), so
// that each inflates alone; the stream's checksum is then their checksums
// joined (`adler32_joined`), or mended when one is replaced
// (`adler32_replaced`).
//
// What it does not: look for repeats at any other distance, or weigh a
// shorter run against a literal, as zlib's levels do at several times the
// cost. zlib's own run-length strategy finds the same runs, so files come
// out within a fraction of a per cent of its size.
//
// Costs: one pass over each piece to find its runs and one for its
// checksum, one over each block's symbols to write them; memory, two bytes
// a symbol of one block, beside the output. No allocation once the symbol
// buffer has grown, apart from the output's; no exceptions of its own.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace run_deflate {

using byte = std::uint8_t;

// Deflate's alphabets: 256 literals, the end of a block and 29 lengths (286
// codes, 288 in the fixed code); 19 codes of code lengths. Codes are at most
// 15 bits, codes of code lengths 7.
constexpr int literal_codes = 286;
constexpr int fixed_literal_codes = 288;
constexpr int end_of_block = 256;
constexpr int code_length_codes = 19;
constexpr int max_code_bits = 15;
constexpr int max_code_length_bits = 7;
constexpr std::size_t min_run = 3;
constexpr std::size_t max_run = 258;
constexpr std::size_t max_stored = 65535;

// A block's symbols: a literal byte below 256, a run of n bytes as 256 + n.
// On the layers of a game's sprites, blocks of 2^16 symbols came out 0.3%
// smaller than of 2^14 (zlib's), and 2^17 no smaller: fewer code tables,
// still close enough to the data.
constexpr std::size_t block_symbols = std::size_t{1} << 16;

// A length's code (257 to 285), its count of extra bits and their value.
struct LengthCode {
    std::uint16_t code;
    std::uint8_t extra_bits;
    std::uint8_t extra;
};

// RFC 1951, 3.2.5: the extra bits of each length code, 257 to 285.
constexpr std::uint8_t length_extra_bits[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};

inline const std::array<LengthCode, max_run + 1>& length_codes() {
    static const std::array<LengthCode, max_run + 1> table = [] {
        // Each code's first length; 258 has a code of its own (285), not 284's last value.
        constexpr std::uint16_t first[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                             31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
        std::array<LengthCode, max_run + 1> made{};
        for (int c = 0; c < 29; ++c) {
            const int last = c == 28 ? 258 : std::min(257, first[c + 1] - 1);
            for (int n = first[c]; n <= last; ++n) {
                made[static_cast<std::size_t>(n)] = {static_cast<std::uint16_t>(257 + c), length_extra_bits[c],
                                                     static_cast<std::uint8_t>(n - first[c])};
            }
        }
        return made;
    }();
    return table;
}

// Huffman code lengths of at most `limit` bits for `count` symbols'
// frequencies; a symbol of frequency 0 gets no code. At least two symbols
// must have a frequency, so that the code is complete.
inline void code_lengths(const std::uint32_t* frequency, const int count, const int limit, byte* lengths) {
    constexpr std::size_t most = fixed_literal_codes;
    std::array<std::uint16_t, most> leaf{};  // symbols, rarest first
    std::array<std::uint64_t, 2 * most> weight{};
    std::array<std::uint16_t, 2 * most> parent{};
    std::array<std::uint16_t, 2 * most> depth{};
    std::array<int, 2 * most> per_depth{};
    int leaves = 0;
    for (int s = 0; s < count; ++s) {
        lengths[s] = 0;
        if (frequency[s] > 0) {
            leaf[static_cast<std::size_t>(leaves++)] = static_cast<std::uint16_t>(s);
        }
    }
    // Ties in symbol order, so that the same data always gives the same codes.
    std::sort(leaf.begin(), leaf.begin() + leaves, [&](const std::uint16_t a, const std::uint16_t b) {
        return frequency[a] < frequency[b] || (frequency[a] == frequency[b] && a < b);
    });
    for (int i = 0; i < leaves; ++i) {
        weight[static_cast<std::size_t>(i)] = frequency[leaf[static_cast<std::size_t>(i)]];
    }
    // Two queues, the leaves and the nodes joined so far, both in order of
    // weight: each join takes the two lightest of their fronts.
    std::size_t next_leaf = 0, next_node = static_cast<std::size_t>(leaves), made = next_node;
    const auto lightest = [&] {
        if (next_leaf < static_cast<std::size_t>(leaves) &&
            (next_node == made || weight[next_leaf] <= weight[next_node])) {
            return next_leaf++;
        }
        return next_node++;
    };
    for (int joins = 1; joins < leaves; ++joins) {
        const std::size_t a = lightest(), b = lightest();
        weight[made] = weight[a] + weight[b];
        parent[a] = parent[b] = static_cast<std::uint16_t>(made);
        ++made;
    }
    // Depths from the root (the last node) down: a parent comes after its children.
    for (std::size_t node = made - 1; node-- > 0;) {
        depth[node] = static_cast<std::uint16_t>(depth[parent[node]] + 1);
    }
    int deepest = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(leaves); ++i) {
        ++per_depth[depth[i]];
        deepest = std::max<int>(deepest, depth[i]);
    }
    // Too deep: two leaves at the bottom become one a level up and a leaf
    // above becomes two a level down, which keeps the code complete.
    for (int d = deepest; d > limit; --d) {
        while (per_depth[static_cast<std::size_t>(d)] > 0) {
            std::size_t j = static_cast<std::size_t>(d) - 2;
            while (per_depth[j] == 0) {
                --j;
            }
            per_depth[static_cast<std::size_t>(d)] -= 2;
            per_depth[static_cast<std::size_t>(d) - 1] += 1;
            per_depth[j + 1] += 2;
            per_depth[j] -= 1;
        }
    }
    // The shortest codes to the commonest symbols.
    int next = leaves - 1;
    for (int d = 1; d <= limit; ++d) {
        for (int n = per_depth[static_cast<std::size_t>(d)]; n > 0; --n) {
            lengths[leaf[static_cast<std::size_t>(next--)]] = static_cast<byte>(d);
        }
    }
}

// The canonical code of each length (RFC 1951, 3.2.2), its bits reversed
// to be written least significant first.
inline void canonical_codes(const byte* lengths, const int count, std::uint16_t* codes) {
    std::array<unsigned, max_code_bits + 1> per_length{}, next{};
    for (int s = 0; s < count; ++s) {
        ++per_length[lengths[s]];
    }
    per_length[0] = 0;
    unsigned code = 0;
    for (std::size_t bits = 1; bits <= max_code_bits; ++bits) {
        code = (code + per_length[bits - 1]) << 1;
        next[bits] = code;
    }
    for (int s = 0; s < count; ++s) {
        const unsigned bits = lengths[s];
        const unsigned value = bits ? next[bits]++ : 0;
        unsigned reversed = 0;
        for (unsigned b = 0; b < bits; ++b) {
            reversed = (reversed << 1) | ((value >> b) & 1U);
        }
        codes[s] = static_cast<std::uint16_t>(reversed);
    }
}

// zlib's checksum of the data (RFC 1950, 2.2). b gains a after each byte,
// so each byte counts in b once for every byte from it to the end. Taken 32
// bytes at a time, that is 32 times the sums of the groups so far, summed,
// less each byte's place in its group: thirty-two sums of bytes and
// thirty-two sums of those, in slices short enough for 32 bits, which
// vectorise without a multiplication.
inline std::uint32_t adler32(const std::uint32_t adler, const byte* data, std::size_t length) {
    constexpr std::uint32_t modulus = 65521;
    constexpr std::size_t group = 32;
    constexpr std::size_t most_groups = 1024;  // a sum of sums reaches 255 * 1024 * 1025 / 2
    std::uint64_t a = adler & 0xFFFF, b = adler >> 16;
    while (length >= group) {
        const std::size_t groups = std::min(length / group, most_groups);
        std::array<std::uint32_t, group> sums{}, sums_of_sums{};
        for (std::size_t g = 0; g < groups; ++g, data += group) {
            for (std::size_t k = 0; k < group; ++k) {
                sums[k] += data[k];
                sums_of_sums[k] += sums[k];
            }
        }
        std::uint64_t sum = 0, sum_of_sums = 0, places = 0;
        for (std::size_t k = 0; k < group; ++k) {
            sum += sums[k];
            sum_of_sums += sums_of_sums[k];
            places += k * sums[k];
        }
        const std::size_t n = groups * group;
        b = (b + n * a + group * sum_of_sums - places) % modulus;
        a = (a + sum) % modulus;
        length -= n;
    }
    for (; length > 0; --length) {
        a += *data++;
        b += a;
    }
    return static_cast<std::uint32_t>((b % modulus) << 16 | (a % modulus));
}

// The checksum of two pieces of data joined, from each one's and the
// second's length: a gains the second's sum; b gains the second's b, and
// the first's sum once for every byte of the second.
inline std::uint32_t adler32_joined(const std::uint32_t first, const std::uint32_t second, const std::uint64_t length) {
    constexpr std::uint64_t modulus = 65521;
    const std::uint64_t first_sum = (first & 0xFFFF) + modulus - 1;  // less the 1 that a starts at
    const std::uint64_t a = (first_sum + (second & 0xFFFF)) % modulus;
    const std::uint64_t b = ((first >> 16) + (second >> 16) + (length % modulus) * (first_sum % modulus)) % modulus;
    return static_cast<std::uint32_t>(b << 16 | a);
}

// The checksum of data once a part of it is replaced by another of the
// same length, from the checksums of the whole, the part and its
// replacement, and the count of bytes after the part: a changes by the
// difference of the parts' sums; b, by that of their own b, and by that of
// their sums once for every byte after them.
inline std::uint32_t adler32_replaced(const std::uint32_t whole, const std::uint32_t part,
                                      const std::uint32_t replacement, const std::uint64_t after) {
    constexpr std::uint64_t modulus = 65521;
    const std::uint64_t sum_change = (replacement & 0xFFFF) + modulus - (part & 0xFFFF);
    const std::uint64_t a = ((whole & 0xFFFF) + sum_change) % modulus;
    const std::uint64_t b =
        ((whole >> 16) + (replacement >> 16) + modulus - (part >> 16) + (after % modulus) * (sum_change % modulus)) %
        modulus;
    return static_cast<std::uint32_t>(b << 16 | a);
}

// Whether the machine stores a number's lowest byte first.
inline bool little_endian() {
    const std::uint16_t one = 1;
    byte first;
    std::memcpy(&first, &one, 1);
    return first == 1;
}

// Writes bits least significant first, as deflate packs them, into room
// made beforehand. A plain local value, so that the compiler keeps it in
// registers while symbols are written.
struct Bits {
    byte* cursor;
    std::uint64_t buffer;  // bits of a byte not yet whole, the first in the lowest
    unsigned filled;

    // At most 32 bits at a time. Eight bytes are stored each time (there is
    // room) and the cursor moves past the whole ones: no branch.
    void put(const std::uint32_t bits, const unsigned count) {
        add(bits, count);
        if (little_endian()) {
            std::memcpy(cursor, &buffer, 8);
        } else {
            for (int k = 0; k < 8; ++k) {
                cursor[k] = static_cast<byte>(buffer >> (8 * k));
            }
        }
        const unsigned whole = filled / 8;
        cursor += whole;
        buffer >>= 8 * whole;
        filled %= 8;
    }

    // Bits into the buffer only, for the next put to store: the two, with
    // the 7 that may wait, must fit its 64.
    void add(const std::uint32_t bits, const unsigned count) {
        buffer |= std::uint64_t{bits} << filled;
        filled += count;
    }

    // To the next byte boundary, with zeros.
    void align() {
        if (filled > 0) {
            put(0, 8 - filled);
        }
    }
};

class Deflater {
public:
    // Appends to `out` the stream's bytes for `data`, all but the bits of
    // a last byte not yet whole, which wait for the next call.
    void compress(const byte* data, const std::size_t length, std::vector<byte>& out) {
        adler_ = adler32(adler_, data, length);
        for (std::size_t at = 0; at < length;) {
            at = block(data, at, length, out);
        }
        if (length > 0) {
            previous_ = data[length - 1];
            has_previous_ = true;
        }
    }

    // Appends the end of the stream: an empty last block, then the checksum
    // (by default, of the data this deflater was given).
    void finish(std::vector<byte>& out) { finish(adler_, out); }

    void finish(const std::uint32_t checksum, std::vector<byte>& out) {
        Bits bits = start_writing(out, 8);
        bits.put(1 | (1 << 1), 3);  // the last block, in fixed codes
        bits.put(0, 7);             // its end: 256, coded 0000000
        bits.align();
        for (int shift = 24; shift >= 0; shift -= 8) {
            bits.put((checksum >> shift) & 0xFF, 8);
        }
        stop_writing(out, bits);
    }

    // For a piece of a stream deflated apart from what comes before it:
    // no header of its own, and no run reaching back before the piece.
    void continue_apart() { started_ = true; }

    // Appends an empty block that is not compressed, which ends on a byte
    // boundary (zlib's sync flush): pieces deflated apart join there as bytes.
    void sync(std::vector<byte>& out) {
        Bits bits = start_writing(out, 8);
        bits.put(0, 3);  // not the last block; not compressed
        bits.align();
        bits.put(0xFFFF0000U, 32);  // its length, 0, and the length's complement
        stop_writing(out, bits);
    }

    // The checksum of the data given so far.
    std::uint32_t checksum() const { return adler_; }

private:
    // One block from data[at], ended when the symbol buffer is full or the
    // data ends; returns where the next begins.
    std::size_t block(const byte* data, const std::size_t at, const std::size_t length, std::vector<byte>& out) {
        const auto& lengths_code = length_codes();
        std::array<std::uint32_t, fixed_literal_codes> frequency{};
        // Literals are counted in four tables in turn and summed at the end:
        // a byte repeated close by would otherwise wait on its own count.
        std::array<std::array<std::uint32_t, 256>, 4> literal{};
        symbols_.resize(block_symbols);
        std::uint16_t* symbol = symbols_.data();
        std::size_t count = 0, i = at;
        while (i < length && count < block_symbols) {
            // Literals, up to where a run may start (a byte equal to the
            // one before it and the two after it).
            const std::size_t plain = std::min(literals_from(data, i, length), i + (block_symbols - count));
            for (; i + 4 <= plain; i += 4, count += 4) {
                for (std::size_t k = 0; k < 4; ++k) {
                    symbol[count + k] = data[i + k];
                    ++literal[k][data[i + k]];
                }
            }
            for (; i < plain; ++i) {
                symbol[count++] = data[i];
                ++literal[0][data[i]];
            }
            if (i == length || count == block_symbols) {
                break;
            }
            const byte value = data[i];
            if (i > 0 ? data[i - 1] == value : has_previous_ && previous_ == value) {
                const std::size_t run = run_of(data + i, value, std::min(max_run, length - i));
                if (run >= min_run) {
                    symbol[count++] = static_cast<std::uint16_t>(256 + run);
                    ++frequency[lengths_code[run].code];
                    i += run;
                    continue;
                }
            }
            symbol[count++] = value;
            ++literal[0][value];
            ++i;
        }
        for (std::size_t v = 0; v < 256; ++v) {
            frequency[v] = literal[0][v] + literal[1][v] + literal[2][v] + literal[3][v];
        }
        frequency[end_of_block] = 1;
        write_block(data + at, i - at, symbol, count, frequency, out);
        return i;
    }

    // A place from `at` on before which no run can start: no byte equals
    // the one before it and the two after it. Eight bytes at a time,
    // compared with the eight one before; where that finds a run, or at the
    // first byte of a piece (whose byte before is the last piece's), the
    // byte-by-byte path takes over.
    static std::size_t literals_from(const byte* data, std::size_t at, const std::size_t length) {
        constexpr std::uint64_t low = 0x7F7F7F7F7F7F7F7FULL;
        if (at == 0) {
            return 0;
        }
        for (; at + 8 <= length; at += 6) {
            std::uint64_t here, before;
            std::memcpy(&here, data + at, 8);
            std::memcpy(&before, data + at - 1, 8);
            const std::uint64_t differ = here ^ before;
            // The top bit of each byte that is zero in differ (a byte equal
            // to the one before it), and of no other.
            const std::uint64_t same = ~(((differ & low) + low) | differ | low);
            // Three such bytes in a row, in memory order (a run of four
            // with the byte before), among the first six.
            const std::uint64_t three = little_endian() ? same & (same >> 8) & (same >> 16)
                                                        : same & (same << 8) & (same << 16);
            if (three) {
                return at;
            }
        }
        return at;
    }


    // How many of the next `limit` bytes equal `value`: eight at a time
    // while they all do.
    static std::size_t run_of(const byte* from, const byte value, const std::size_t limit) {
        const std::uint64_t all = 0x0101010101010101ULL * value;
        std::size_t n = 0;
        for (; n + 8 <= limit; n += 8) {
            std::uint64_t word;
            std::memcpy(&word, from + n, 8);
            if (word != all) {
                break;
            }
        }
        while (n < limit && from[n] == value) {
            ++n;
        }
        return n;
    }

    void write_block(const byte* data, const std::size_t size, const std::uint16_t* symbol, const std::size_t count,
                     const std::array<std::uint32_t, fixed_literal_codes>& frequency, std::vector<byte>& out) {
        const auto& lengths_code = length_codes();
        std::uint64_t runs = 0, extra_bits = 0;
        for (int c = 257; c < literal_codes; ++c) {
            runs += frequency[static_cast<std::size_t>(c)];
            extra_bits += std::uint64_t{frequency[static_cast<std::size_t>(c)]} * length_extra_bits[c - 257];
        }

        // Dynamic codes: literals and lengths coded for this block; the
        // distance code has two codes of one bit (only the first is used,
        // for distance 1): the smallest complete code.
        std::array<byte, fixed_literal_codes> literal_length{};
        code_lengths(frequency.data(), literal_codes, max_code_bits, literal_length.data());
        int literals = literal_codes;
        while (literal_length[static_cast<std::size_t>(literals - 1)] == 0) {
            --literals;
        }
        literals = std::max(literals, 257);
        // The code lengths, literals' then distances', as one sequence run-length coded.
        std::array<byte, literal_codes + 2> sequence{};
        std::copy(literal_length.begin(), literal_length.begin() + literals, sequence.begin());
        sequence[static_cast<std::size_t>(literals)] = sequence[static_cast<std::size_t>(literals) + 1] = 1;
        std::array<std::pair<byte, byte>, literal_codes + 2> coded{};  // a code of lengths, its extra bits' value
        const std::size_t coded_count = run_lengths(sequence.data(), static_cast<std::size_t>(literals) + 2, coded.data());
        std::array<std::uint32_t, code_length_codes> length_frequency{};
        for (std::size_t k = 0; k < coded_count; ++k) {
            ++length_frequency[coded[k].first];
        }
        // A second code, unused, where the sequence needs only one.
        if (std::count_if(length_frequency.begin(), length_frequency.end(), [](std::uint32_t f) { return f > 0; }) < 2) {
            ++length_frequency[length_frequency[0] ? 1 : 0];
        }
        std::array<byte, code_length_codes> length_length{};
        code_lengths(length_frequency.data(), code_length_codes, max_code_length_bits, length_length.data());
        static constexpr byte order[code_length_codes] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
        int sent = code_length_codes;
        while (sent > 4 && length_length[order[sent - 1]] == 0) {
            --sent;
        }
        std::uint64_t dynamic = 3 + 5 + 5 + 4 + 3 * static_cast<std::uint64_t>(sent) + extra_bits + runs;
        for (int c = 0; c < code_length_codes; ++c) {
            dynamic += std::uint64_t{length_frequency[static_cast<std::size_t>(c)]} *
                       (length_length[static_cast<std::size_t>(c)] + (c == 16 ? 2 : c == 17 ? 3 : c == 18 ? 7 : 0));
        }
        std::uint64_t fixed = 3 + extra_bits + 5 * runs;
        for (int c = 0; c < literal_codes; ++c) {
            dynamic += std::uint64_t{frequency[static_cast<std::size_t>(c)]} * literal_length[static_cast<std::size_t>(c)];
            fixed += std::uint64_t{frequency[static_cast<std::size_t>(c)]} * fixed_length(c);
        }
        const std::uint64_t pieces = std::max<std::uint64_t>(1, (size + max_stored - 1) / max_stored);
        const std::uint64_t stored = pieces * (3 + 7 + 32) + 8 * std::uint64_t{size};

        if (stored < std::min(dynamic, fixed)) {
            Bits bits = start_writing(out, static_cast<std::size_t>(stored / 8 + 8));
            for (std::size_t from = 0; from < size; from += max_stored) {
                const auto n = static_cast<std::uint32_t>(std::min(max_stored, size - from));
                bits.put(0, 3);  // not the last block; not compressed
                bits.align();
                bits.put(n | (~n & 0xFFFF) << 16, 32);
                std::memcpy(bits.cursor, data + from, n);
                bits.cursor += n;
            }
            stop_writing(out, bits);
            return;
        }

        std::array<std::uint16_t, fixed_literal_codes> code{};
        std::uint32_t distance_code = 0, distance_bits = 1;
        Bits bits = start_writing(out, static_cast<std::size_t>(std::min(dynamic, fixed) / 8 + 8));
        if (dynamic <= fixed) {
            bits.put(2 << 1, 3);  // not the last block; dynamic codes
            bits.put(static_cast<std::uint32_t>(literals - 257), 5);
            bits.put(2 - 1, 5);
            bits.put(static_cast<std::uint32_t>(sent - 4), 4);
            for (int k = 0; k < sent; ++k) {
                bits.put(length_length[order[k]], 3);
            }
            std::array<std::uint16_t, code_length_codes> length_code{};
            canonical_codes(length_length.data(), code_length_codes, length_code.data());
            for (std::size_t k = 0; k < coded_count; ++k) {
                const byte c = coded[k].first;
                bits.put(length_code[c], length_length[c]);
                if (c >= 16) {
                    bits.put(coded[k].second, c == 16 ? 2 : c == 17 ? 3 : 7);
                }
            }
            canonical_codes(literal_length.data(), literal_codes, code.data());
        } else {
            bits.put(1 << 1, 3);  // not the last block; fixed codes
            for (int c = 0; c < fixed_literal_codes; ++c) {
                literal_length[static_cast<std::size_t>(c)] = static_cast<byte>(fixed_length(c));
            }
            canonical_codes(literal_length.data(), fixed_literal_codes, code.data());
            distance_bits = 5;  // distance 1 is code 0 of five bits
        }
        // Each symbol's whole code: a literal's, or for a run its length's
        // code, the extra bits and the distance's code.
        std::array<std::uint32_t, 256 + max_run + 1> whole_code{};
        std::array<byte, 256 + max_run + 1> whole_bits{};
        for (std::size_t v = 0; v < 256; ++v) {
            whole_code[v] = code[v];
            whole_bits[v] = literal_length[v];
        }
        for (std::size_t n = min_run; n <= max_run; ++n) {
            const LengthCode& l = lengths_code[n];
            const unsigned length_bits = literal_length[l.code];
            whole_code[256 + n] = code[l.code] | std::uint32_t{l.extra} << length_bits |
                                  distance_code << (length_bits + l.extra_bits);
            whole_bits[256 + n] = static_cast<byte>(length_bits + l.extra_bits + distance_bits);
        }
        // Two symbols a store: each code is at most 21 bits (15 for the
        // length, 5 extra, 1 for the distance; 18 in fixed codes), and with
        // the 7 bits that may wait, two fit in the 64-bit buffer.
        std::size_t k = 0;
        for (; k + 2 <= count; k += 2) {
            bits.add(whole_code[symbol[k]], whole_bits[symbol[k]]);
            bits.put(whole_code[symbol[k + 1]], whole_bits[symbol[k + 1]]);
        }
        if (k < count) {
            bits.put(whole_code[symbol[k]], whole_bits[symbol[k]]);
        }
        bits.put(code[end_of_block], literal_length[end_of_block]);
        stop_writing(out, bits);
    }

    // The code lengths as deflate sends them: 16 repeats the last length 3
    // to 6 times, 17 and 18 give 3 to 10 and 11 to 138 zeros.
    static std::size_t run_lengths(const byte* lengths, const std::size_t n, std::pair<byte, byte>* coded) {
        std::size_t count = 0;
        for (std::size_t i = 0; i < n;) {
            const byte value = lengths[i];
            std::size_t same = 1;
            while (i + same < n && lengths[i + same] == value) {
                ++same;
            }
            i += same;
            if (value == 0) {
                for (; same >= 11; same -= std::min<std::size_t>(same, 138)) {
                    coded[count++] = {18, static_cast<byte>(std::min<std::size_t>(same, 138) - 11)};
                }
                if (same >= 3) {
                    coded[count++] = {17, static_cast<byte>(same - 3)};
                    same = 0;
                }
            } else {
                coded[count++] = {value, 0};
                --same;
                for (; same >= 3; same -= std::min<std::size_t>(same, 6)) {
                    coded[count++] = {16, static_cast<byte>(std::min<std::size_t>(same, 6) - 3)};
                }
            }
            for (; same > 0; --same) {
                coded[count++] = {value, 0};
            }
        }
        return count;
    }

    static unsigned fixed_length(const int code) { return code < 144 ? 8 : code < 256 ? 9 : code < 280 ? 7 : 8; }

    // Room for `most` bytes more at the output's end, and a writer there;
    // the stream's first bytes go first.
    Bits start_writing(std::vector<byte>& out, const std::size_t most) {
        const std::size_t at = out.size();
        out.resize(at + most + 16);
        Bits bits{out.data() + at, pending_, pending_bits_};
        if (!started_) {
            // CMF: deflate, 32 KiB window; FLG: the fastest level, and a
            // check that makes the two a multiple of 31.
            bits.put(0x78, 8);
            bits.put(0x01, 8);
            started_ = true;
        }
        return bits;
    }

    // The output cut to what was written; the bits of a last byte not yet whole wait.
    void stop_writing(std::vector<byte>& out, const Bits& bits) {
        out.resize(static_cast<std::size_t>(bits.cursor - out.data()));
        pending_ = bits.buffer;
        pending_bits_ = bits.filled;
    }

    std::vector<std::uint16_t> symbols_;
    std::uint64_t pending_ = 0;  // the bits of a byte not yet whole, between calls
    unsigned pending_bits_ = 0;
    bool started_ = false;
    bool has_previous_ = false;
    byte previous_ = 0;
    std::uint32_t adler_ = 1;
};

}  // namespace run_deflate
