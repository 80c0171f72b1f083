// Fuzzes the telnet protocol core of ProbeLinkServices. The front of the input
// is the byte stream from the peer; choices from the back cut it into
// segments, step the clock between them (so previews fall due), and decide
// which previews the dialog answers. Checked against a byte-at-a-time model
// of the protocol written from the library's contract:
//   - every chunk is NUL-terminated, holds no NUL, has the length it claims,
//     1 to 4095 bytes, and a line feed only as its last byte;
//   - the data delivered (lines, plus the previews that were answered) is
//     exactly the data the model decodes, nothing lost, doubled or altered,
//     even though the dialog writes into every chunk it gets;
//   - a preview comes only after 20 ms of silence or at the end, never twice
//     unchanged, and an unanswered one is followed by its whole line (or the
//     end);
//   - the end delivers the unfinished text as a preview, never as a finished
//     chunk: the peer never finished that line;
//   - the replies are exactly the refusals of the WILL and DO received so
//     far: never more replies than requests.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "probelink/telnet_core.h"

namespace {

using probelink::kChunkMax;

// The model: decodes the stream one byte at a time.
class Model {
  public:
    std::string data;     // data bytes the dialog must see, in order
    std::string replies;  // bytes the core must send back

    void feed(const std::uint8_t* bytes, std::size_t length) {
        for (std::size_t i = 0; i < length; ++i) step(bytes[i]);
    }

  private:
    enum class State { Data, Iac, Will, Wont, Do, Dont, Sb, SbIac };
    State state_ = State::Data;

    void step(std::uint8_t byte) {
        switch (state_) {
            case State::Data:
                if (byte == 255) {
                    state_ = State::Iac;
                } else if (byte != 0) {
                    data.push_back(static_cast<char>(byte));
                }
                return;
            case State::Iac:
                command(byte);
                return;
            case State::Will:
            case State::Do:
                replies.push_back(static_cast<char>(255));
                replies.push_back(static_cast<char>(state_ == State::Will ? 254 : 252));
                replies.push_back(static_cast<char>(byte));
                state_ = State::Data;
                return;
            case State::Wont:
            case State::Dont:
                state_ = State::Data;
                return;
            case State::Sb:
                if (byte == 255) state_ = State::SbIac;
                return;
            case State::SbIac:
                if (byte == 240) {
                    state_ = State::Data;
                } else if (byte == 255) {
                    state_ = State::Sb;
                } else {
                    command(byte);  // a command ends the subnegotiation
                }
                return;
        }
    }

    void command(std::uint8_t byte) {
        state_ = State::Data;
        switch (byte) {
            case 255:
                data.push_back(static_cast<char>(255));
                break;
            case 249:
                data.push_back(static_cast<char>(255));
                data.push_back(static_cast<char>(249));
                break;
            case 251:
                state_ = State::Will;
                break;
            case 252:
                state_ = State::Wont;
                break;
            case 253:
                state_ = State::Do;
                break;
            case 254:
                state_ = State::Dont;
                break;
            case 250:
                state_ = State::Sb;
                break;
            default:
                break;
        }
    }
};

class CheckingSink : public probelink::ChunkSink {
  public:
    std::string delivered;
    std::string replies;
    std::string pendingPreview;  // an unanswered preview not yet delivered whole
    std::int64_t now = 0;
    std::int64_t lastFeed = 0;
    bool ending = false;
    bool expectGa = false;  // a line was cut short to make room for IAC GA
    std::uint8_t answerMask = 0;
    unsigned previews = 0;

    bool onChunk(char* text, int length, int peek) override {
        FUZZ_CHECK(text != nullptr, "chunk text");
        FUZZ_CHECK(length >= 1 && static_cast<std::size_t>(length) <= kChunkMax, "chunk length");
        FUZZ_CHECK(text[length] == '\0', "chunk NUL-terminated at its length");
        FUZZ_CHECK(std::strlen(text) == static_cast<std::size_t>(length), "no NUL inside a chunk");
        FUZZ_CHECK(peek == 0 || peek == 1, "peek flag");
        const std::string chunk(text, static_cast<std::size_t>(length));
        const char* newline = static_cast<const char*>(std::memchr(text, '\n', chunk.size()));
        FUZZ_CHECK(!newline || newline == text + length - 1, "a line feed ends its chunk");
        if (expectGa) {
            FUZZ_CHECK(peek == 0 && chunk == "\xFF\xF9", "a line cut for IAC GA is followed by it");
            expectGa = false;
        }

        FUZZ_CHECK(chunk.compare(0, pendingPreview.size(), pendingPreview) == 0,
                   "an unanswered preview is followed by its whole line");
        bool answered = false;
        if (peek) {
            FUZZ_CHECK(ending || now - lastFeed >= probelink::kPreviewSilenceMs,
                       "preview after silence or at the end");
            FUZZ_CHECK(chunk.size() > pendingPreview.size(), "no preview twice unchanged");
            answered = (answerMask >> (previews++ % 8)) & 1;
            pendingPreview = answered ? std::string() : chunk;
            if (answered) delivered += chunk;
        } else {
            FUZZ_CHECK(!ending, "the end delivers no finished chunk");
            pendingPreview.clear();
            delivered += chunk;
            const bool ended =
                chunk.back() == '\n' ||
                (chunk.size() >= 2 && chunk.compare(chunk.size() - 2, 2, "\xFF\xF9") == 0) ||
                chunk.size() == kChunkMax;
            if (!ended && !ending) {
                FUZZ_CHECK(chunk.size() == kChunkMax - 1,
                           "a chunk ends at a line end, IAC GA or 4095 bytes");
                expectGa = true;
            }
        }
        // The dialog may write into what it gets; the core must not care.
        std::memset(text, 'Z', static_cast<std::size_t>(length));
        return answered;
    }

    void onReply(const unsigned char* bytes, std::size_t length) override {
        FUZZ_CHECK(length == 3, "replies come 3 bytes at a time");
        replies.append(reinterpret_cast<const char*>(bytes), length);
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    CheckingSink sink;
    sink.answerMask = input.choice();
    probelink::TelnetCore core(sink);
    Model model;

    while (input.remaining() > 0) {
        const std::uint8_t op = input.choice();
        sink.now += op >> 3 & 0x1F;  // 0 to 31 ms
        if ((op & 7) == 7) {
            core.tick(sink.now);
            continue;
        }
        const std::size_t wanted =
            (op & 4) ? std::size_t{input.choice()} * 32 + 1 : std::size_t{input.choice()} % 16 + 1;
        std::size_t taken = 0;
        const std::uint8_t* bytes = input.take(wanted, taken);
        model.feed(bytes, taken);
        core.feed(bytes, taken, sink.now);
        if (taken > 0) sink.lastFeed = sink.now;
        FUZZ_CHECK(sink.replies == model.replies, "replies are the refusals of what was asked");
        FUZZ_CHECK(model.data.compare(0, sink.delivered.size(), sink.delivered) == 0,
                   "the data delivered is the data received");
        const std::int64_t due = core.previewDueAt();
        FUZZ_CHECK(due == -1 || due == sink.lastFeed + probelink::kPreviewSilenceMs,
                   "preview due time");
    }
    sink.ending = true;
    core.end();
    FUZZ_CHECK(!sink.expectGa, "IAC GA after the cut line");
    // The unfinished text was last seen as a preview (at the end, or earlier
    // and unchanged since): it counts as delivered, once.
    FUZZ_CHECK(sink.delivered + sink.pendingPreview == model.data,
               "all data received is delivered once");
    FUZZ_CHECK(core.previewDueAt() == -1, "nothing pending after the end");
    return 0;
}
