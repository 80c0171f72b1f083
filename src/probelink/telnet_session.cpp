// TelnetSession: connecting, the poll loop around the protocol core, SendLine
// and the result codes. All socket calls go through platform/net.h.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/probelink.h"
#include "common/version.h"
#include "platform/net.h"
#include "platform/platform.h"
#include "probelink/host_text.h"
#include "probelink/session_log.h"
#include "probelink/telnet_core.h"

namespace probelink {

namespace {

constexpr int kRetryIntervalMs = 100;
// One read: large enough that a fast stream costs few system calls, small
// enough that the refusals it can provoke (at most as many bytes) stay small.
constexpr std::size_t kReceiveSize = 64 * 1024;

std::int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int clampWait(std::int64_t ms) {
    if (ms < 0) return 0;
    return ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms);
}

using qelt::addressText;
using qelt::errorText;

// Case-insensitive search for "password" in a chunk (it may hold 0xFF bytes).
bool mentionsPassword(const char* text, int length) {
    static const char kWord[] = "password";
    const int n = static_cast<int>(sizeof kWord - 1);
    for (int i = 0; i + n <= length; ++i) {
        int j = 0;
        while (j < n) {
            char c = text[i + j];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if (c != kWord[j]) break;
            ++j;
        }
        if (j == n) return true;
    }
    return false;
}

// Waits until `events` are ready on `s` or `deadline` has passed, retrying
// interrupted waits. Returns the ready events, 0 at the deadline, or -1 with
// the system's error in *error.
int waitUntil(QeltSocket s, int events, std::int64_t deadline, int* error) {
    for (;;) {
        const std::int64_t now = nowMs();
        const int ready = qelt_net_poll(s, events, clampWait(deadline - now));
        if (ready > 0) return ready;
        if (ready == 0) {
            if (nowMs() >= deadline) return 0;
            continue;  // woke early: poll counts whole milliseconds
        }
        const int e = qelt_net_last_error();
        if (!qelt_net_interrupted(e)) {
            *error = e;
            return -1;
        }
    }
}

using recording::Ending;
using LogEvent = recording::EventWord;

class Session final : public ChunkSink {
  public:
    Session(int timeoutMs, DialogCallback callback, void* context)
        : timeoutMs_(timeoutMs), callback_(callback), context_(context), core_(*this) {
        log_ = SessionLog::openFromEnvironment();
    }

    int run(const char* host, int port);

    static int QELT_CDECL sendLineThunk(void* handle, const char* line, int flags) noexcept;

    bool onChunk(char* text, int length, int peek) override;
    void onReply(const unsigned char* bytes, std::size_t length) override;

  private:
    // How one connection attempt to one address ended.
    enum class Attempt { kConnected, kFailed, kFamilyUnsupported, kSystemError };
    // What the session may still do on its socket.
    enum class Link { kNone, kConnected, kEnded };
    // The loop's verdict after one step: go on, or the session's result.
    static constexpr int kGoOn = -1;

    int connect(const HostTarget& target);
    Attempt tryAddress(const QeltAddress& address, std::int64_t deadline, int* lastError);
    void tuneSocket();
    void noteAttempt(const QeltAddress& address, int error);
    int exchange();
    int step(std::int64_t* lastReceive);
    int receive(std::int64_t* lastReceive);
    int finish(int result);
    // The session's result, and how it ended for the log.
    int settle(int result, Ending ending) {
        ending_ = ending;
        return result;
    }
    int sendLine(const char* line);
    bool sendAll(const void* data, std::size_t length, std::int64_t deadline);
    bool flushReplies();
    void fail(int result, Ending ending, const std::string& why);
    bool connected() const { return link_ == Link::kConnected && failure_ < 0; }
    void note(LogEvent event, const std::string& text) {
        if (log_) log_->note(event, text);
    }
    void noteSystemError(const char* call, int error) {
        note(LogEvent::kError, call + (": " + errorText(error)));
    }

    const int timeoutMs_;
    const DialogCallback callback_;
    void* const context_;
    std::int64_t startMs_ = 0;
    std::unique_ptr<SessionLog> log_;
    qelt::Socket socket_;
    Link link_ = Link::kNone;
    TelnetCore core_;
    std::vector<unsigned char> receive_;
    std::vector<unsigned char> replies_;
    bool inCallback_ = false;
    bool answered_ = false;
    bool chunkMentionsPassword_ = false;
    int failure_ = -1;  // the result a failed send or reply has settled on
    Ending failureEnding_ = Ending::kToolClose;
    Ending ending_ = Ending::kLocalError;
    // The last moment the socket was seen empty: bytes found waiting later may
    // have come at any time since, so only a silence up to then is certain.
    std::int64_t lastEmpty_ = 0;
};

int Session::run(const char* host, int port) {
    startMs_ = nowMs();
    // A log gathered from several machines must say which build wrote each session.
    note(LogEvent::kStart, "ProbeLinkServices " QELT_VERSION);
    HostTarget target;
    if (!callback_ || timeoutMs_ <= 0 || !parseHostText(host, port, &target))
        return finish(settle(PROBELINK_BAD_ARGUMENTS, Ending::kInvalid));
    note(LogEvent::kOpen, target.name + " port " + std::to_string(target.port) + " timeout " +
                              std::to_string(timeoutMs_) + " ms");
    qelt::NetScope net;
    if (!net.ok()) return finish(settle(PROBELINK_SYSTEM_ERROR, Ending::kLocalError));
    const int connectResult = connect(target);
    if (connectResult != PROBELINK_CLOSED) return finish(connectResult);
    receive_.resize(kReceiveSize);
    return finish(exchange());
}

int Session::finish(int result) {
    link_ = Link::kEnded;
    socket_.reset();
    if (log_) log_->end(result, ending_);
    return result;
}

// Tries every address, again every kRetryIntervalMs, until one accepts or the
// time-out since the call began has passed. Returns PROBELINK_CLOSED once
// connected, else the session's result.
int Session::connect(const HostTarget& target) {
    QeltAddress addresses[QELT_NET_MAX_ADDRESSES];
    int count = 0;
    const QeltResolveResult resolved = qelt_net_resolve(target.name.c_str(), target.port, addresses,
                                                        QELT_NET_MAX_ADDRESSES, &count);
    if (resolved == QELT_RESOLVE_SYSTEM) return settle(PROBELINK_SYSTEM_ERROR, Ending::kLocalError);
    if (resolved != QELT_RESOLVE_OK) return settle(PROBELINK_UNRESOLVED, Ending::kUnresolved);

    const std::int64_t deadline = startMs_ + timeoutMs_;
    int lastError = 0;
    while (nowMs() < deadline) {
        const std::int64_t roundStart = nowMs();
        bool anyFamily = false;
        int tried = 0;
        for (; tried < count && nowMs() < deadline; ++tried) {
            switch (tryAddress(addresses[tried], deadline, &lastError)) {
                case Attempt::kConnected:
                    return PROBELINK_CLOSED;
                case Attempt::kSystemError:
                    return settle(PROBELINK_SYSTEM_ERROR, Ending::kLocalError);
                case Attempt::kFamilyUnsupported:
                    break;
                case Attempt::kFailed:
                    anyFamily = true;
                    break;
            }
        }
        if (!anyFamily && tried == count) {
            note(LogEvent::kError, "no usable address family");
            return settle(PROBELINK_NO_CONNECTION, Ending::kNoConnection);
        }
        const std::int64_t now = nowMs();
        if (now < deadline)
            qelt_sleep_ms(clampWait(std::min(roundStart + kRetryIntervalMs, deadline) - now));
    }
    note(LogEvent::kError,
         "connect: " + (lastError ? errorText(lastError) : std::string("timed out")));
    return settle(PROBELINK_NO_CONNECTION, Ending::kNoConnection);
}

// One attempt on one address, waiting at most until `deadline`. A refused or
// unreachable attempt leaves its error in *lastError.
Session::Attempt Session::tryAddress(const QeltAddress& address, std::int64_t deadline,
                                     int* lastError) {
    qelt::Socket s(qelt_net_socket(address.family));
    if (!s) {
        const int error = qelt_net_last_error();
        if (qelt_net_family_unsupported(error)) return Attempt::kFamilyUnsupported;
        noteSystemError("socket", error);
        return Attempt::kSystemError;
    }
    int rc = qelt_net_connect(s.get(), &address);
    if (rc < 0) {
        *lastError = qelt_net_last_error();
        noteAttempt(address, *lastError);
        return Attempt::kFailed;
    }
    if (rc == 1) {
        int error = 0;
        const int ready = waitUntil(s.get(), QELT_POLL_OUT, deadline, &error);
        if (ready < 0) {
            noteSystemError("poll", error);
            return Attempt::kSystemError;
        }
        if (ready == 0) {
            *lastError = 0;  // timed out
            noteAttempt(address, 0);
            return Attempt::kFailed;
        }
        *lastError = qelt_net_connect_error(s.get());
        if (*lastError != 0) {
            noteAttempt(address, *lastError);
            return Attempt::kFailed;
        }
    }
    socket_ = std::move(s);
    link_ = Link::kConnected;
    lastEmpty_ = nowMs();
    if (log_) note(LogEvent::kConnected, addressText(address));
    tuneSocket();
    return Attempt::kConnected;
}

// A refused attempt during a reboot is a fact a replay needs, so every failed
// attempt is logged, with why (0: it timed out).
void Session::noteAttempt(const QeltAddress& address, int error) {
    if (log_) log_->attempt(addressText(address), error ? errorText(error) : "timed out");
}

// Send at once and acknowledge at once: a bridge writing small pieces under
// Nagle's algorithm waits for our acknowledgement before its next piece, and a
// delayed one would look like a silence worth a preview. A refusal costs only
// speed, so the session goes on.
void Session::tuneSocket() {
    if (qelt_net_set_nodelay(socket_.get(), 1) != 0)
        noteSystemError("TCP_NODELAY", qelt_net_last_error());
    if (qelt_net_ack_at_once(socket_.get()) != 0)
        noteSystemError("acknowledge at once", qelt_net_last_error());
}

// The connected session: received bytes into the core until the bridge
// closes, breaks, falls silent or a send fails. The one way out ends the link
// before the core delivers what the connection cut off, so that nothing the
// dialog answers then is sent.
int Session::exchange() {
    std::int64_t lastReceive = nowMs();
    int result = kGoOn;
    while (result == kGoOn) result = step(&lastReceive);
    link_ = Link::kEnded;
    core_.end();
    return result;
}

// Previews and the silence time-out go by the last moment the socket was seen
// empty, not by the clock: bytes that waited in the socket while the dialog
// was busy (or the machine loaded) are no silence of the bridge.
int Session::step(std::int64_t* lastReceive) {
    if (failure_ >= 0) return settle(failure_, failureEnding_);
    core_.tick(lastEmpty_);
    if (failure_ >= 0) return settle(failure_, failureEnding_);
    const std::int64_t silenceEnd = *lastReceive + timeoutMs_;
    if (lastEmpty_ >= silenceEnd) {
        note(LogEvent::kError, "silent for " + std::to_string(timeoutMs_) + " ms");
        return settle(PROBELINK_SILENT, Ending::kTimeout);
    }
    std::int64_t wakeAt = silenceEnd;
    const std::int64_t previewAt = core_.previewDueAt();
    if (previewAt >= 0 && previewAt < wakeAt) wakeAt = previewAt;

    int error = 0;
    const std::int64_t pollStart = nowMs();
    const int ready = waitUntil(socket_.get(), QELT_POLL_IN, wakeAt, &error);
    if (ready < 0) {
        noteSystemError("poll", error);
        return settle(PROBELINK_SYSTEM_ERROR, Ending::kToolClose);
    }
    const std::int64_t pollEnd = nowMs();
    if (ready == 0) {
        lastEmpty_ = pollEnd;
        return kGoOn;
    }
    // A poll that had to wait saw the socket empty when it began; one that
    // returned at once learnt nothing new.
    if (pollEnd > pollStart) lastEmpty_ = pollStart;
    return receive(lastReceive);
}

int Session::receive(std::int64_t* lastReceive) {
    const long n = qelt_net_recv(socket_.get(), receive_.data(), receive_.size());
    if (n < 0) {
        const int error = qelt_net_last_error();
        if (qelt_net_interrupted(error) || qelt_net_would_block(error)) return kGoOn;
        noteSystemError("recv", error);
        return settle(PROBELINK_BROKEN,
                      qelt_net_reset_by_peer(error) ? Ending::kReset : Ending::kBroken);
    }
    if (n == 0) {
        note(LogEvent::kEof, "");
        return settle(PROBELINK_CLOSED, Ending::kClosed);
    }
    const std::size_t got = static_cast<std::size_t>(n);
    if (log_) log_->bytes(LogEvent::kRecv, receive_.data(), got);
    // Re-armed before the dialog runs: its answer and the pause before a dump
    // page must not leave the bridge's next segment waiting for an ACK.
    if (qelt_net_rearm_quick_ack(socket_.get()) != 0)
        noteSystemError("TCP_QUICKACK", qelt_net_last_error());
    *lastReceive = nowMs();
    const std::int64_t silentUntil = lastEmpty_;
    // A read that did not fill the buffer left the socket empty.
    if (got < receive_.size()) lastEmpty_ = *lastReceive;
    core_.feed(receive_.data(), got, *lastReceive, silentUntil);
    flushReplies();
    return kGoOn;
}

// A send that failed ends the session; the log says so in place of an error
// note, so that a reader knows the bytes just logged may not have arrived.
void Session::fail(int result, Ending ending, const std::string& why) {
    note(LogEvent::kSendFailed, why);
    if (failure_ < 0) {
        failure_ = result;
        failureEnding_ = ending;
    }
}

bool Session::sendAll(const void* data, std::size_t length, std::int64_t deadline) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    while (length > 0) {
        const long n = qelt_net_send(socket_.get(), p, length);
        if (n > 0) {
            p += n;
            length -= static_cast<std::size_t>(n);
            continue;
        }
        const int error = qelt_net_last_error();
        if (n < 0 && qelt_net_interrupted(error)) continue;
        if (n < 0 && !qelt_net_would_block(error)) {
            fail(PROBELINK_BROKEN,
                 qelt_net_reset_by_peer(error) ? Ending::kReset : Ending::kToolClose,
                 "send: " + errorText(error));
            return false;
        }
        int pollError = 0;
        const int ready = waitUntil(socket_.get(), QELT_POLL_OUT, deadline, &pollError);
        if (ready == 0) {
            fail(PROBELINK_BROKEN, Ending::kToolClose, "send: not accepted within the time-out");
            return false;
        }
        if (ready < 0) {
            fail(PROBELINK_SYSTEM_ERROR, Ending::kToolClose, "poll: " + errorText(pollError));
            return false;
        }
    }
    return true;
}

bool Session::flushReplies() {
    if (replies_.empty()) return true;
    bool ok = connected();
    if (ok) {
        if (log_) log_->bytes(LogEvent::kSend, replies_.data(), replies_.size());
        ok = sendAll(replies_.data(), replies_.size(), nowMs() + timeoutMs_);
    }
    replies_.clear();
    return ok;
}

void Session::onReply(const unsigned char* bytes, std::size_t length) {
    replies_.insert(replies_.end(), bytes, bytes + length);
}

bool Session::onChunk(char* text, int length, int peek) {
    // Refusals caused by earlier bytes go out before anything the dialog sends.
    flushReplies();
    if (log_) log_->chunk(text, length, peek);
    chunkMentionsPassword_ = log_ && mentionsPassword(text, length);
    answered_ = false;
    inCallback_ = true;
    struct Leave {
        bool& flag;
        ~Leave() { flag = false; }
    } leave{inCallback_};
    callback_(text, length, peek, context_, &Session::sendLineThunk, this);
    return answered_;
}

int Session::sendLine(const char* line) {
    if (!inCallback_ || !line) return -1;
    answered_ = true;
    if (!connected()) {
        note(LogEvent::kSendLine, "refused: the connection is over");
        return -1;
    }
    std::size_t length = std::strlen(line);
    std::string wire;
    wire.reserve(length + 8);
    for (std::size_t i = 0; i < length; ++i) {
        wire += line[i];
        if (static_cast<unsigned char>(line[i]) == kIac) wire += static_cast<char>(kIac);
    }
    if (log_) {
        if (chunkMentionsPassword_)
            log_->maskedLine(wire.size());
        else
            log_->bytes(LogEvent::kSend, wire.data(), wire.size());
    }
    return sendAll(wire.data(), wire.size(), nowMs() + timeoutMs_) ? 0 : -1;
}

int QELT_CDECL Session::sendLineThunk(void* handle, const char* line, int /*flags*/) noexcept {
    try {
        return handle ? static_cast<Session*>(handle)->sendLine(line) : -1;
    } catch (...) {
        return -1;
    }
}

}  // namespace

}  // namespace probelink

extern "C" PROBELINK_API int QELT_CDECL TelnetSession(const char* host, int port, int timeoutMs,
                                                      DialogCallback callback, void* context) {
    try {
        probelink::Session session(timeoutMs, callback, context);
        return session.run(host, port);
    } catch (...) {
        return PROBELINK_SYSTEM_ERROR;
    }
}
