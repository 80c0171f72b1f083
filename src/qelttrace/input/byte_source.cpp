#include "input/byte_source.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "platform/files.h"

namespace qelttrace {

namespace {

// The longest mark looked for: zstd's magic number.
constexpr std::size_t kHeadSize = 4;

// A stream whose first bytes can be looked at before they are read.
class Lookahead final : public ByteSource {
  public:
    explicit Lookahead(std::unique_ptr<ByteSource> inner) : inner_(std::move(inner)) {}

    // The first bytes not yet read, up to kHeadSize (fewer at the end).
    std::string_view head() {
        if (!looked_) {
            looked_ = true;
            end_ = inner_->read(head_.data(), head_.size());
            if (end_ < head_.size()) error_ = inner_->error();
        }
        return std::string_view(head_.data() + begin_, end_ - begin_);
    }
    // Drops the first `n` bytes of head().
    void skip(std::size_t n) { begin_ += std::min(n, end_ - begin_); }

    std::size_t read(char* out, std::size_t size) override {
        head();
        std::size_t done = std::min(size, end_ - begin_);
        std::memcpy(out, head_.data() + begin_, done);
        begin_ += done;
        // What is past the head goes straight into `out`, copied by no one.
        if (done < size && error_.empty() && end_ == head_.size()) {
            const std::size_t got = inner_->read(out + done, size - done);
            if (got < size - done) error_ = inner_->error();
            done += got;
        }
        return done;
    }

  private:
    std::unique_ptr<ByteSource> inner_;
    std::array<char, kHeadSize> head_{};
    std::size_t begin_ = 0, end_ = 0;
    bool looked_ = false;
};

class Refused final : public ByteSource {
  public:
    explicit Refused(std::string reason) { error_ = std::move(reason); }
    std::size_t read(char*, std::size_t) override { return 0; }
};

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

// The text a stream holds, read by its byte-order mark, the mark dropped.
std::unique_ptr<ByteSource> transcoded(std::unique_ptr<Lookahead> text) {
    const Encoding encoding = encodingOf(text->head());
    if (encoding == Encoding::kBytes) return text;
    if (encoding == Encoding::kUtf8) {
        text->skip(3);
        return text;
    }
    text->skip(2);
    return utf16Reader(std::move(text), encoding == Encoding::kUtf16Be);
}

}  // namespace

std::size_t FileSource::read(char* out, std::size_t size) {
    if (ended_) return 0;
    const std::size_t got = std::fread(out, 1, size, file_);
    if (got < size) {
        ended_ = true;
        if (std::ferror(file_)) error_ = std::strerror(errno);
    }
    return got;
}

std::size_t MemorySource::read(char* out, std::size_t size) {
    const std::size_t n = std::min(size, left_);
    if (n > 0) std::memcpy(out, data_, n);
    data_ += n;
    left_ -= n;
    return n;
}

Compression compressionOf(std::string_view head) {
    if (startsWith(head, "\x1f\x8b")) return Compression::kGzip;
    if (startsWith(head, "\x28\xb5\x2f\xfd")) return Compression::kZstd;
    // A skippable frame (magic 0x184D2A50 to 0x184D2A5F) may open a zstd file.
    if (head.size() >= 4 && (static_cast<unsigned char>(head[0]) & 0xf0) == 0x50 &&
        head.substr(1, 3) == "\x2a\x4d\x18") {
        return Compression::kZstd;
    }
    return Compression::kNone;
}

Encoding encodingOf(std::string_view head) {
    if (startsWith(head, "\xef\xbb\xbf")) return Encoding::kUtf8;
    if (startsWith(head, "\xff\xfe")) return Encoding::kUtf16Le;
    if (startsWith(head, "\xfe\xff")) return Encoding::kUtf16Be;
    return Encoding::kBytes;
}

const char kZstdUnsupported[] =
    "zstd-compressed, and this build of qelttrace cannot read zstd; decompress it first "
    "(zstd -d)";

std::unique_ptr<ByteSource> decodedInput(std::unique_ptr<ByteSource> raw) {
    auto file = std::make_unique<Lookahead>(std::move(raw));
    std::unique_ptr<ByteSource> decompressed;
    switch (compressionOf(file->head())) {
        case Compression::kNone:
            return transcoded(std::move(file));
        case Compression::kGzip:
            decompressed = gzipReader(std::move(file));
            break;
        case Compression::kZstd:
            if (!canReadZstd()) return std::make_unique<Refused>(kZstdUnsupported);
            decompressed = zstdReader(std::move(file));
            break;
    }
    return transcoded(std::make_unique<Lookahead>(std::move(decompressed)));
}

std::string cannotRead(const std::string& name) {
    // A FIFO is not opened here: that would wait for its writer, and closing
    // it again could leave the writer without a reader.
    QeltFileInfo info{};
    if (qelt_file_info(name.c_str(), &info) == 0 && info.kind == QeltFileDevice) return {};
    const std::unique_ptr<FILE, FileCloser> file(std::fopen(name.c_str(), "rb"));
    if (!file) return std::strerror(errno);
    if (qelt_stream_info(file.get(), &info) != 0) return {};
    if (info.kind == QeltFileDirectory) return std::strerror(EISDIR);
    if (info.kind != QeltFileRegular || canReadZstd()) return {};
    char head[kHeadSize];
    const std::size_t got = std::fread(head, 1, sizeof head, file.get());
    if (compressionOf(std::string_view(head, got)) == Compression::kZstd) return kZstdUnsupported;
    return {};
}

}  // namespace qelttrace
