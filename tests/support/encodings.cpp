#include "support/encodings.h"

#include <zlib.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#if QELT_HAVE_ZSTD
#include <zstd.h>
#endif

namespace qelttest {

namespace {

constexpr std::size_t kZstdBlockMax = 128 * 1024;

// Part `i` of `parts` of about one size.
std::string_view part(std::string_view text, std::size_t i, std::size_t parts) {
    const std::size_t begin = text.size() * i / parts;
    const std::size_t end = text.size() * (i + 1) / parts;
    return text.substr(begin, end - begin);
}

std::string gzipMember(std::string_view text) {
    z_stream z{};
    // 16 + the window: the gzip wrapper; memory level 8 is zlib's default.
    if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        throw std::runtime_error("deflateInit2");
    }
    std::string out(deflateBound(&z, static_cast<uLong>(text.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    if (result != Z_STREAM_END) throw std::runtime_error("deflate");
    return out;
}

void littleEndian(std::string& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
}

// Magic, a header with a window of 1 MiB and no content size, then the blocks.
std::string zstdHeader() {
    std::string out("\x28\xb5\x2f\xfd", 4);
    out += '\x00';  // no checksum, no dictionary, no content size, not one segment
    out += '\x50';  // window: 2^(10 + 10) bytes
    return out;
}

void zstdBlock(std::string& out, int type, std::size_t size, bool last) {
    littleEndian(out, static_cast<std::uint32_t>((size << 3) | (type << 1) | (last ? 1 : 0)), 3);
}

[[maybe_unused]] std::string zstdRawFrame(std::string_view text) {
    std::string out = zstdHeader();
    std::size_t at = 0;
    do {
        const std::size_t n = std::min(kZstdBlockMax, text.size() - at);
        zstdBlock(out, 0, n, at + n == text.size());
        out.append(text.substr(at, n));
        at += n;
    } while (at < text.size());
    return out;
}

}  // namespace

std::string gzipped(std::string_view text, std::size_t members) {
    std::string out;
    for (std::size_t i = 0; i < members; ++i) out += gzipMember(part(text, i, members));
    return out;
}

std::string zstdFrames(std::string_view text, std::size_t frames) {
    std::string out;
    for (std::size_t i = 0; i < frames; ++i) {
        const std::string_view piece = part(text, i, frames);
#if QELT_HAVE_ZSTD
        ZSTD_CCtx* context = ZSTD_createCCtx();
        ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
        std::string frame(ZSTD_compressBound(piece.size()), '\0');
        const std::size_t size =
            ZSTD_compress2(context, &frame[0], frame.size(), piece.data(), piece.size());
        ZSTD_freeCCtx(context);
        if (ZSTD_isError(size)) throw std::runtime_error(ZSTD_getErrorName(size));
        frame.resize(size);
        out += frame;
#else
        out += zstdRawFrame(piece);
#endif
    }
    return out;
}

std::string zstdRun(char byte, std::size_t count) {
    std::string out = zstdHeader();
    do {
        const std::size_t n = std::min(kZstdBlockMax, count);
        count -= n;
        zstdBlock(out, 1, n, count == 0);
        out += byte;
    } while (count > 0);
    return out;
}

std::string zstdSkippable(std::string_view content) {
    std::string out("\x5a\x2a\x4d\x18", 4);
    littleEndian(out, static_cast<std::uint32_t>(content.size()), 4);
    out.append(content);
    return out;
}

std::string utf16(std::string_view text, bool bigEndian) {
    std::vector<std::uint32_t> units;
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
        const unsigned char lead = byte(i);
        const std::size_t length = lead < 0x80 ? 1 : lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
        bool whole = lead < 0x80 || (lead >= 0xc2 && lead <= 0xf4 && i + length <= text.size());
        std::uint32_t c = lead < 0x80 ? lead : lead & (0x7f >> length);
        for (std::size_t k = 1; whole && k < length; ++k) {
            whole = (byte(i + k) & 0xc0) == 0x80;
            c = (c << 6) | (byte(i + k) & 0x3f);
        }
        if (!whole) {
            units.push_back(lead);
            ++i;
            continue;
        }
        i += length;
        if (c >= 0x10000) {
            units.push_back(0xd800 + ((c - 0x10000) >> 10));
            units.push_back(0xdc00 + ((c - 0x10000) & 0x3ff));
        } else {
            units.push_back(c);
        }
    }
    std::string out = bigEndian ? std::string("\xfe\xff") : std::string("\xff\xfe");
    for (const std::uint32_t unit : units) {
        const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xff);
        out += bigEndian ? high : low;
        out += bigEndian ? low : high;
    }
    return out;
}

}  // namespace qelttest
