// The transcoding stage of the input chain (byte_source.h): UTF-16 as
// Windows tools save text (PowerShell's > and Out-File) turned into UTF-8.
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "input/byte_source.h"

namespace qelttrace {

namespace {

constexpr std::size_t kBlock = 64 * 1024;
constexpr std::uint32_t kReplacement = 0xfffd;

bool isHighSurrogate(std::uint32_t unit) {
    return unit >= 0xd800 && unit <= 0xdbff;
}
bool isLowSurrogate(std::uint32_t unit) {
    return unit >= 0xdc00 && unit <= 0xdfff;
}

class Utf16Reader final : public ByteSource {
  public:
    Utf16Reader(std::unique_ptr<ByteSource> inner, bool bigEndian)
        : inner_(std::move(inner)), bigEndian_(bigEndian), in_(kBlock + 1) {}

    std::size_t read(char* out, std::size_t size) override {
        char* o = out;
        char* const end = out + size;
        // First the rest of a character that the last call had no room for.
        while (pendingAt_ < pendingEnd_ && o < end) *o++ = pending_[pendingAt_++];
        // Within the loop nothing is pending: a character spills over only
        // when `out` is full, which ends the loop.
        while (o < end && !ended_) {
            if (end_ - at_ >= 2) {
                decode(o, end);
            } else if (!innerEnded_) {
                fill();
            } else {
                finishInput(o, end);
            }
        }
        return static_cast<std::size_t>(o - out);
    }

  private:
    // The whole code units at hand into `o`, while there is room.
    void decode(char*& o, char* end) {
        const unsigned char* p = in_.data() + at_;
        const unsigned char* const last = in_.data() + end_ - 1;
        if (high_ == 0) p = copyAscii(p, last, o, end);
        if (p < last && o < end) p = decodeUnit(p, o, end);
        at_ = static_cast<std::size_t>(p - in_.data());
    }

    // ASCII, the whole of a trace, one byte each.
    const unsigned char* copyAscii(const unsigned char* p, const unsigned char* last, char*& o,
                                   char* end) const {
        while (p < last && o < end) {
            const std::uint32_t unit = this->unit(p);
            if (unit >= 0x80) break;
            *o++ = static_cast<char>(unit);
            p += 2;
        }
        return p;
    }

    // One code unit past ASCII, or the low half of a pair; returns where the
    // next one begins.
    const unsigned char* decodeUnit(const unsigned char* p, char*& o, char* end) {
        const std::uint32_t unit = this->unit(p);
        p += 2;
        if (high_ != 0 && isLowSurrogate(unit)) {
            put(0x10000 + ((high_ - 0xd800) << 10) + (unit - 0xdc00), o, end);
            high_ = 0;
            return p;
        }
        if (high_ != 0) {
            high_ = 0;
            put(kReplacement, o, end);
        }
        if (isHighSurrogate(unit)) {
            high_ = unit;
        } else if (o < end) {
            put(isLowSurrogate(unit) ? kReplacement : unit, o, end);
        } else {
            p -= 2;  // no room left: read again next time
        }
        return p;
    }

    // The input is over with less than a code unit left: what is left
    // unfinished is a character that could not be read, unless a read error
    // cut it.
    void finishInput(char*& o, char* end) {
        if (!error_.empty()) {
            ended_ = true;
        } else if (high_ != 0) {
            high_ = 0;
            put(kReplacement, o, end);
        } else if (end_ > at_) {
            at_ = end_;
            put(kReplacement, o, end);
        } else {
            ended_ = true;
        }
    }

    std::uint32_t unit(const unsigned char* p) const {
        return bigEndian_ ? (std::uint32_t{p[0]} << 8) | p[1] : (std::uint32_t{p[1]} << 8) | p[0];
    }

    // A character as UTF-8 into `o`, what does not fit kept for the next call.
    void put(std::uint32_t c, char*& o, char* end) {
        char bytes[4];
        std::size_t n = 0;
        if (c < 0x80) {
            bytes[n++] = static_cast<char>(c);
        } else if (c < 0x800) {
            bytes[n++] = static_cast<char>(0xc0 | (c >> 6));
            bytes[n++] = static_cast<char>(0x80 | (c & 0x3f));
        } else if (c < 0x10000) {
            bytes[n++] = static_cast<char>(0xe0 | (c >> 12));
            bytes[n++] = static_cast<char>(0x80 | ((c >> 6) & 0x3f));
            bytes[n++] = static_cast<char>(0x80 | (c & 0x3f));
        } else {
            bytes[n++] = static_cast<char>(0xf0 | (c >> 18));
            bytes[n++] = static_cast<char>(0x80 | ((c >> 12) & 0x3f));
            bytes[n++] = static_cast<char>(0x80 | ((c >> 6) & 0x3f));
            bytes[n++] = static_cast<char>(0x80 | (c & 0x3f));
        }
        const std::size_t room = static_cast<std::size_t>(end - o);
        const std::size_t now = n < room ? n : room;
        std::memcpy(o, bytes, now);
        o += now;
        std::memcpy(pending_.data(), bytes + now, n - now);
        pendingAt_ = 0;
        pendingEnd_ = n - now;
    }

    // The next block behind the odd byte a block may have ended in.
    void fill() {
        const std::size_t left = end_ - at_;
        std::memmove(in_.data(), in_.data() + at_, left);
        at_ = 0;
        const std::size_t got = inner_->read(reinterpret_cast<char*>(in_.data() + left), kBlock);
        end_ = left + got;
        if (got < kBlock) {
            innerEnded_ = true;
            error_ = inner_->error();
        }
    }

    std::unique_ptr<ByteSource> inner_;
    const bool bigEndian_;
    std::vector<unsigned char> in_;
    std::size_t at_ = 0, end_ = 0;
    std::uint32_t high_ = 0;  // a high surrogate waiting for its low half
    std::array<char, 4> pending_{};
    std::size_t pendingAt_ = 0, pendingEnd_ = 0;
    bool innerEnded_ = false;
    bool ended_ = false;
};

}  // namespace

std::unique_ptr<ByteSource> utf16Reader(std::unique_ptr<ByteSource> text, bool bigEndian) {
    return std::make_unique<Utf16Reader>(std::move(text), bigEndian);
}

}  // namespace qelttrace
