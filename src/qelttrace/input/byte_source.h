// The bytes of an input as its writer meant them. A file (or standard input,
// or bytes at hand) is read through a chain of sources, each pulling blocks
// from the one below it:
//
//   file -> decompressor (gzip, zstd) -> transcoder (UTF-16 to UTF-8) -> reader
//
// The chain is built from the content, never from the name: the first bytes
// tell a compression (gzip's or zstd's magic number), then the first bytes of
// what it holds tell a text encoding by its byte-order mark (UTF-8's is
// dropped, UTF-16 in either byte order becomes UTF-8). What has no mark is
// passed on as it is, also UTF-16 without one: the reader then warns that it
// looks like no trace. A plain file goes through without a copy.
//
// Memory is fixed whatever the size of the input: each stage holds one block
// (zlib's window, zstd's window up to the library's limit of 128 MiB that a
// frame may ask for). Several gzip members, several zstd frames and zstd's
// skippable frames are read whole, one after another, as the gzip and zstd
// commands read them. Damage (a truncated or corrupt stream) ends the stream
// early with error() saying what; what came before it has been read.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace qelttrace {

class ByteSource {
  public:
    virtual ~ByteSource() = default;
    // Up to `size` bytes into `out`, as many as there are: fewer only at the
    // end of the stream or where it failed (then error() says why). 0 once it
    // is over; later calls read nothing more.
    virtual std::size_t read(char* out, std::size_t size) = 0;
    // Why the stream stopped before its end; "" when it did not.
    const std::string& error() const { return error_; }

  protected:
    std::string error_;
};

// A stream opened by the caller (a file, standard input), read with fread; a
// read error is strerror's text.
class FileSource final : public ByteSource {
  public:
    explicit FileSource(FILE* file) : file_(file) {}
    std::size_t read(char* out, std::size_t size) override;

  private:
    FILE* file_;
    bool ended_ = false;
};

// Bytes at hand (the fuzz target, the tests), not copied: they must outlive
// the source.
class MemorySource final : public ByteSource {
  public:
    MemorySource(const char* data, std::size_t size) : data_(data), left_(size) {}
    std::size_t read(char* out, std::size_t size) override;

  private:
    const char* data_;
    std::size_t left_;
};

// What the first bytes of a stream say of its form. A head too short to hold
// a mark holds none.
enum class Compression { kNone, kGzip, kZstd };
enum class Encoding { kBytes, kUtf8, kUtf16Le, kUtf16Be };  // kUtf8: with its mark
Compression compressionOf(std::string_view head);
Encoding encodingOf(std::string_view head);

// Whether this build reads zstd (it is linked with libzstd).
bool canReadZstd();
// The reason a zstd input is refused by a build that cannot read it.
extern const char kZstdUnsupported[];

// `raw` read as its content says. A zstd stream in a build that cannot read
// zstd gives nothing, with kZstdUnsupported as its error.
std::unique_ptr<ByteSource> decodedInput(std::unique_ptr<ByteSource> raw);

// The stages, for the chain above and for the tests.
std::unique_ptr<ByteSource> gzipReader(std::unique_ptr<ByteSource> compressed);
// Null in a build that cannot read zstd.
std::unique_ptr<ByteSource> zstdReader(std::unique_ptr<ByteSource> compressed);
// UTF-16 code units, the mark already dropped, as UTF-8: a surrogate pair is
// one character of four bytes; a lone surrogate, and an odd byte at the end,
// become U+FFFD.
std::unique_ptr<ByteSource> utf16Reader(std::unique_ptr<ByteSource> text, bool bigEndian);

// Why the named file cannot be read ("" when it can), for a check of every
// input before anything is read or written: it does not open, it is a
// directory, or it is zstd-compressed and this build cannot read zstd. Of a
// regular file only its first bytes are read; a FIFO or a device is not even
// opened (its failures show when it is read).
std::string cannotRead(const std::string& name);

}  // namespace qelttrace
