#include "probelink/telnet_core.h"

#include <cstring>

namespace probelink {

namespace {

// Bytes that end a run of plain text in the data state.
struct SpecialBytes {
    bool is[256] = {};
    constexpr SpecialBytes() {
        is[0] = true;                                 // NUL: dropped
        is[static_cast<unsigned char>('\n')] = true;  // ends a line
        is[kIac] = true;                              // starts a command
    }
};
constexpr SpecialBytes kSpecial;

}  // namespace

void TelnetCore::feed(const unsigned char* data, std::size_t length, std::int64_t nowMs,
                      std::int64_t silentUntilMs) {
    if (length == 0) return;
    tick(silentUntilMs < 0 || silentUntilMs > nowMs ? nowMs : silentUntilMs);
    lastReceiveMs_ = nowMs;
    std::size_t i = 0;
    while (i < length) {
        unsigned char byte = data[i];
        switch (state_) {
            case State::kData: {
                std::size_t start = i;
                while (i < length && !kSpecial.is[data[i]]) ++i;
                appendSpan(data + start, i - start);
                if (i == length) break;
                byte = data[i++];
                if (byte == '\n') {
                    appendByte(byte);
                    deliverLine();
                } else if (byte == kIac) {
                    state_ = State::kIac;
                }
                break;  // NUL is dropped
            }
            case State::kIac:
                ++i;
                command(byte);
                break;
            case State::kOption:
                ++i;
                option(byte);
                break;
            case State::kSb: {
                const void* iac = std::memchr(data + i, kIac, length - i);
                if (!iac) {
                    i = length;
                } else {
                    i = static_cast<std::size_t>(static_cast<const unsigned char*>(iac) - data) + 1;
                    state_ = State::kSbIac;
                }
                break;
            }
            case State::kSbIac:
                ++i;
                if (byte == kSe) {
                    state_ = State::kData;
                } else if (byte == kIac) {
                    state_ = State::kSb;  // an escaped 0xFF inside the payload
                } else {
                    // A command inside a subnegotiation is a protocol error; ending
                    // the subnegotiation there keeps a lost SE from hiding all
                    // that follows.
                    state_ = State::kData;
                    command(byte);
                }
                break;
        }
    }
}

void TelnetCore::command(unsigned char byte) {
    state_ = State::kData;
    switch (byte) {
        case kIac:
            appendByte(kIac);
            break;
        case kGa:
            // The prompt keeps its IAC GA: the dialog recognises the 8-byte prompt.
            if (length_ + 2 > kChunkMax) deliverLine();
            appendByte(kIac);
            appendByte(kGa);
            deliverLine();
            break;
        case kWill:
        case kWont:
        case kDo:
        case kDont:
            verb_ = byte;  // its option comes next
            state_ = State::kOption;
            break;
        case kSb:
            state_ = State::kSb;
            break;
        default:
            break;  // NOP, DM, BRK, IP, AO, AYT, EC, EL, SE and unknown commands: dropped
    }
}

// WILL and DO are refused. WONT and DONT are not answered: the option is
// already off on our side, and answering would only start a loop.
void TelnetCore::option(unsigned char byte) {
    state_ = State::kData;
    if (verb_ == kWill) refuse(kDont, byte);
    if (verb_ == kDo) refuse(kWont, byte);
}

void TelnetCore::refuse(unsigned char verb, unsigned char option) {
    const unsigned char reply[3] = {kIac, verb, option};
    sink_.onReply(reply, sizeof reply);
}

void TelnetCore::appendSpan(const unsigned char* data, std::size_t length) {
    while (length > 0) {
        std::size_t room = kChunkMax - length_;
        std::size_t n = length < room ? length : room;
        std::memcpy(line_.data() + length_, data, n);
        length_ += n;
        data += n;
        length -= n;
        if (length_ == kChunkMax) deliverLine();
    }
}

void TelnetCore::appendByte(unsigned char byte) {
    line_[length_++] = static_cast<char>(byte);
    if (length_ == kChunkMax) deliverLine();
}

void TelnetCore::deliverLine() {
    if (length_ == 0) return;
    std::size_t n = length_;
    line_[n] = '\0';
    // Reset first: the dialog may answer, and nothing it does may see a stale line.
    length_ = 0;
    previewedLength_ = 0;
    sink_.onChunk(line_.data(), static_cast<int>(n), 0);
}

std::int64_t TelnetCore::previewDueAt() const {
    if (length_ == 0 || length_ == previewedLength_) return -1;
    return lastReceiveMs_ + kPreviewSilenceMs;
}

void TelnetCore::tick(std::int64_t nowMs) {
    std::int64_t due = previewDueAt();
    if (due >= 0 && nowMs >= due) deliverPreview();
}

void TelnetCore::deliverPreview() {
    // The dialog gets a copy: it may write into the text, and an unanswered
    // preview stays pending in line_ to be delivered whole later.
    std::size_t n = length_;
    std::memcpy(preview_.data(), line_.data(), n);
    preview_[n] = '\0';
    previewedLength_ = n;
    if (sink_.onChunk(preview_.data(), static_cast<int>(n), 1)) {
        length_ = 0;
        previewedLength_ = 0;
    }
}

void TelnetCore::end() {
    // Text the connection cut off is no line the bridge finished: it goes out
    // as a preview, so a trace record or prompt cut by a drop is never taken
    // for a whole one (the trace job ignores previews, the status job prints
    // them marked). Text already previewed unchanged is not delivered again.
    if (length_ != previewedLength_) deliverPreview();
    length_ = 0;
    previewedLength_ = 0;
    state_ = State::kData;
}

}  // namespace probelink
