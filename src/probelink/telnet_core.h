// The telnet protocol core of ProbeLinkServices: bytes in, chunks and replies
// out, no sockets and no clock of its own.
//
//   TelnetCore::feed(bytes, now)  received bytes, with the monotonic time of their arrival
//   TelnetCore::tick(now)         lets the preview timer fire; previewDueAt() says when
//   TelnetCore::end()             the connection is over: the unfinished line is previewed
//   TelnetCore::pending()         the unfinished line so far, for a replay of saved bytes
//   ChunkSink::onChunk / onReply  what comes out, in the order the input caused it
//
// It refuses every option, skips subnegotiation without storing it, and cuts
// the data into the chunks the dialog expects (lines, IAC GA, previews after
// 20 ms of silence, pieces of at most kChunkMax bytes). Memory is fixed: one
// line buffer and one preview copy.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace probelink {

// The longest chunk handed to the dialog, in bytes; a longer line arrives in
// pieces of this size. The buffers hold one more byte for the NUL.
constexpr std::size_t kChunkMax = 4095;
// Silence on an unfinished line after which it is previewed.
constexpr std::int64_t kPreviewSilenceMs = 20;

// Telnet command bytes used by the core and its tests.
enum TelnetByte : unsigned char {
    kSe = 240,
    kGa = 249,
    kSb = 250,
    kWill = 251,
    kWont = 252,
    kDo = 253,
    kDont = 254,
    kIac = 255,
};

class ChunkSink {
  public:
    virtual ~ChunkSink() = default;
    // One chunk for the dialog: `text` is NUL-terminated, writable, holds no NUL
    // of its own and has `length` bytes (1 to kChunkMax); `peek` is 1 for a
    // preview. Returns true when the dialog answered it (called SendLine),
    // which consumes a previewed prompt.
    virtual bool onChunk(char* text, int length, int peek) = 0;
    // Bytes to send back to the peer (refusals of options), 3 at a time.
    virtual void onReply(const unsigned char* bytes, std::size_t length) = 0;
};

class TelnetCore {
  public:
    explicit TelnetCore(ChunkSink& sink) : sink_(sink) {}
    TelnetCore(const TelnetCore&) = delete;
    TelnetCore& operator=(const TelnetCore&) = delete;

    // Processes received bytes that arrived at `nowMs`. A preview that fell due
    // before them is delivered first, so the outcome does not depend on how
    // often tick() was called. Bytes that may have waited (in a socket, while
    // the caller was busy) came at some time after `silentUntilMs`, the last
    // moment the peer is known to have been silent: only a preview due by then
    // comes first (-1: they came at `nowMs`).
    void feed(const unsigned char* data, std::size_t length, std::int64_t nowMs,
              std::int64_t silentUntilMs = -1);
    // Delivers the preview of the unfinished line if the peer has been silent on
    // it for kPreviewSilenceMs at `nowMs`.
    void tick(std::int64_t nowMs);
    // When tick() has a preview to deliver, or -1 when none is pending.
    std::int64_t previewDueAt() const;
    // The connection is over: the unfinished line, unless already previewed
    // unchanged, is delivered as a preview (peek 1), since the bridge never
    // finished it. Later calls deliver nothing more.
    void end();

    // The unfinished line received so far, not yet delivered as a chunk (a
    // preview does not take it). For a caller that re-encodes saved bytes
    // (qelttrace replaying a dump, where 0xFF 0xF9 is an IAC GA only where it
    // completes a prompt at a chunk's start) and must see where a chunk stands.
    std::string_view pending() const { return std::string_view(line_.data(), length_); }

  private:
    // kOption: after IAC WILL, WONT, DO or DONT (kept in verb_), its option.
    enum class State { kData, kIac, kOption, kSb, kSbIac };

    void appendSpan(const unsigned char* data, std::size_t length);
    void appendByte(unsigned char byte);
    void deliverLine();
    void deliverPreview();
    void command(unsigned char byte);
    void option(unsigned char byte);
    void refuse(unsigned char verb, unsigned char option);

    ChunkSink& sink_;
    State state_ = State::kData;
    unsigned char verb_ = 0;
    std::size_t length_ = 0;           // bytes of the unfinished line
    std::size_t previewedLength_ = 0;  // length of the pending text when it was last previewed
    std::int64_t lastReceiveMs_ = 0;
    std::array<char, kChunkMax + 1> line_{};
    std::array<char, kChunkMax + 1> preview_{};
};

}  // namespace probelink
