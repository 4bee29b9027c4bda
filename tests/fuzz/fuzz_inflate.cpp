// The PNG reader's inflater (src/tessel_atlas/inflate.hpp) against zlib's, on
// any bytes taken as a zlib stream: a stream one inflates whole, the other
// does, to the same bytes; and any first part of what such a stream holds
// is what inflating only that much gives. The same bytes taken as a piece
// of a stream, with the header or without (a strip of a layer): a piece
// that zlib inflates to the end of a block, on a byte boundary, with no
// last block, inflate_piece inflates to the same bytes, and no other.
#include "inflate.hpp"

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t limit = 1 << 16;

void check_piece(const std::uint8_t* data, const std::size_t size, const bool first, inflating::Codes& codes) {
    std::vector<std::uint8_t> theirs(limit), ours(limit + inflating::slack);
    z_stream stream{};
    if (inflateInit2(&stream, first ? 15 : -15) != Z_OK) {
        return;
    }
    stream.next_in = const_cast<std::uint8_t*>(data);
    stream.avail_in = static_cast<uInt>(size);
    stream.next_out = theirs.data();
    stream.avail_out = limit;
    // A block at a time: zlib says it stands between blocks only when it stopped there.
    int status = Z_OK;
    while (status == Z_OK && stream.avail_in > 0 && stream.avail_out > 0) {
        status = inflate(&stream, Z_BLOCK);
    }
    const std::size_t made = limit - stream.avail_out;
    // All read, between two blocks (after the header, with one) and not after the last (64), no
    // bit of a byte left over; or nothing at all, without a header.
    const bool piece = (status == Z_OK && stream.avail_in == 0 && (stream.data_type & (128 | 64 | 7)) == 128) ||
                       (!first && size == 0);
    inflateEnd(&stream);
    if (made == limit) {  // it may go on past the limit: neither says
        return;
    }
    if (inflating::inflate_piece(data, size, first, ours.data(), made, codes) != piece ||
        (piece && std::memcmp(ours.data(), theirs.data(), made) != 0)) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static inflating::Codes codes;
    std::vector<std::uint8_t> theirs(limit), ours(limit + inflating::slack);
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) {
        return 0;
    }
    stream.next_in = const_cast<std::uint8_t*>(data);
    stream.avail_in = static_cast<uInt>(size);
    stream.next_out = theirs.data();
    stream.avail_out = limit;
    const int status = inflate(&stream, Z_FINISH);
    const std::size_t made = limit - stream.avail_out;
    const bool whole = status == Z_STREAM_END && stream.avail_in == 0;
    inflateEnd(&stream);
    const long long got = inflating::inflate_whole(data, size, ours.data(), limit, codes);
    // A stream that zlib stopped at the limit may be whole past it: neither says.
    if (status != Z_BUF_ERROR || made < limit) {
        if (whole != (got >= 0)) {
            __builtin_trap();
        }
        if (whole && (static_cast<std::size_t>(got) != made || std::memcmp(ours.data(), theirs.data(), made) != 0)) {
            __builtin_trap();
        }
    }
    if (whole && made > 0) {
        for (const std::size_t part : {made, made / 2 + 1, std::size_t{1}}) {
            std::vector<std::uint8_t> first(part + inflating::slack);
            if (!inflating::inflate_prefix(data, size, first.data(), part, codes) ||
                std::memcmp(first.data(), theirs.data(), part) != 0) {
                __builtin_trap();
            }
        }
    }
    check_piece(data, size, true, codes);
    check_piece(data, size, false, codes);
    return 0;
}
