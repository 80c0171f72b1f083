// The decompressing stages of the input chain (byte_source.h): gzip through
// zlib, zstd through libzstd where the build has it.
#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "input/byte_source.h"

#if QELT_HAVE_ZSTD
#include <zstd.h>
#endif

namespace qelttrace {

namespace {

constexpr std::size_t kBlock = 64 * 1024;
constexpr char kCutShort[] = "cut short: the file ends inside its compressed data (truncated)";

// gzip members one after another, as gzip -d reads them; zero bytes after a
// member (padding) are passed over; anything else is damage.
class GzipReader final : public ByteSource {
  public:
    explicit GzipReader(std::unique_ptr<ByteSource> inner) : inner_(std::move(inner)), in_(kBlock) {
        // 16 + the largest window: a gzip wrapper only, its CRC and length checked.
        if (inflateInit2(&stream_, 16 + MAX_WBITS) != Z_OK) {
            error_ = "gzip: out of memory";
        } else {
            initialised_ = true;
        }
    }
    ~GzipReader() override {
        if (initialised_) inflateEnd(&stream_);
    }
    GzipReader(const GzipReader&) = delete;
    GzipReader& operator=(const GzipReader&) = delete;

    std::size_t read(char* out, std::size_t size) override {
        std::size_t done = 0;
        while (done < size && !ended_ && error_.empty()) {
            if (stream_.avail_in == 0 && !innerEnded_) fill();
            if (!error_.empty()) break;
            if (stream_.avail_in == 0 && innerEnded_ && !inMember_) {
                ended_ = true;
                break;
            }
            if (!inMember_) {
                while (stream_.avail_in > 0 && *stream_.next_in == 0) {
                    ++stream_.next_in;
                    --stream_.avail_in;
                }
                if (stream_.avail_in == 0) continue;
                inMember_ = true;
            }
            const std::size_t room = std::min<std::size_t>(size - done, kBlock);
            stream_.next_out = reinterpret_cast<Bytef*>(out + done);
            stream_.avail_out = static_cast<uInt>(room);
            const int result = inflate(&stream_, Z_NO_FLUSH);
            done += room - stream_.avail_out;
            if (result == Z_STREAM_END) {
                inMember_ = false;
                inflateReset(&stream_);
            } else if (result == Z_BUF_ERROR && stream_.avail_in == 0 && innerEnded_) {
                // No progress, and nothing more will come: the member is unfinished.
                error_ = std::string("gzip data ") + kCutShort;
            } else if (result != Z_OK && result != Z_BUF_ERROR) {
                error_ = std::string("gzip data damaged (") +
                         (stream_.msg ? stream_.msg : "zlib error " + std::to_string(result)) + ")";
            }
        }
        return done;
    }

  private:
    void fill() {
        const std::size_t got = inner_->read(reinterpret_cast<char*>(in_.data()), in_.size());
        if (got < in_.size()) {
            innerEnded_ = true;
            error_ = inner_->error();
        }
        stream_.next_in = in_.data();
        stream_.avail_in = static_cast<uInt>(got);
    }

    std::unique_ptr<ByteSource> inner_;
    std::vector<Bytef> in_;
    z_stream stream_{};
    bool initialised_ = false;
    bool innerEnded_ = false;
    bool inMember_ = false;
    bool ended_ = false;
};

#if QELT_HAVE_ZSTD
// zstd frames one after another (skippable frames passed over by the
// library), as zstd -d reads them.
class ZstdReader final : public ByteSource {
  public:
    explicit ZstdReader(std::unique_ptr<ByteSource> inner)
        : inner_(std::move(inner)), in_(ZSTD_DStreamInSize()), stream_(ZSTD_createDStream()) {
        if (!stream_) error_ = "zstd: out of memory";
    }
    ~ZstdReader() override { ZSTD_freeDStream(stream_); }
    ZstdReader(const ZstdReader&) = delete;
    ZstdReader& operator=(const ZstdReader&) = delete;

    std::size_t read(char* out, std::size_t size) override {
        ZSTD_outBuffer output{out, size, 0};
        while (output.pos < output.size && !ended_ && error_.empty()) {
            if (input_.pos == input_.size && !innerEnded_) fill();
            if (!error_.empty()) break;
            const bool noInput = input_.pos == input_.size && innerEnded_;
            if (noInput && !inFrame_) {
                ended_ = true;
                break;
            }
            // With no input left, the decoder may still hold output to flush.
            const std::size_t before = output.pos;
            const std::size_t hint = ZSTD_decompressStream(stream_, &output, &input_);
            if (ZSTD_isError(hint)) {
                error_ = std::string("zstd data damaged (") + ZSTD_getErrorName(hint) + ")";
                break;
            }
            inFrame_ = hint != 0;
            if (noInput && inFrame_ && output.pos == before) {
                error_ = std::string("zstd data ") + kCutShort;
            }
        }
        return output.pos;
    }

  private:
    void fill() {
        const std::size_t got = inner_->read(in_.data(), in_.size());
        if (got < in_.size()) {
            innerEnded_ = true;
            error_ = inner_->error();
        }
        input_ = ZSTD_inBuffer{in_.data(), got, 0};
    }

    std::unique_ptr<ByteSource> inner_;
    std::vector<char> in_;
    ZSTD_DStream* stream_;
    ZSTD_inBuffer input_{nullptr, 0, 0};
    bool innerEnded_ = false;
    bool inFrame_ = false;
    bool ended_ = false;
};
#endif

}  // namespace

bool canReadZstd() {
    return QELT_HAVE_ZSTD != 0;
}

std::unique_ptr<ByteSource> gzipReader(std::unique_ptr<ByteSource> compressed) {
    return std::make_unique<GzipReader>(std::move(compressed));
}

std::unique_ptr<ByteSource> zstdReader(std::unique_ptr<ByteSource> compressed) {
#if QELT_HAVE_ZSTD
    return std::make_unique<ZstdReader>(std::move(compressed));
#else
    (void)compressed;
    return nullptr;
#endif
}

}  // namespace qelttrace
