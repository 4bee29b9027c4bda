// The PNG reader's inflater (src/tessel_atlas/inflate.hpp) against zlib's, on
// any bytes taken as a zlib stream: a stream one inflates whole, the other
// does, to the same bytes; and any first part of what such a stream holds
// is what inflating only that much gives.
#include "inflate.hpp"

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static inflating::Codes codes;
    constexpr std::size_t limit = 1 << 16;
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
    return 0;
}
