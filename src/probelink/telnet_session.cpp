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

enum Result {
    kClosed = 0,
    kBadArguments = 1,
    kUnresolved = 2,
    kSystemError = 3,
    kNoConnection = 5,
    kBroken = 9,
    kSilent = 12,
};

constexpr int kRetryIntervalMs = 100;
constexpr int kMaxAddresses = 16;
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

const char* resultText(int result) {
    switch (result) {
        case kClosed:
            return "the bridge closed the connection";
        case kBadArguments:
            return "invalid arguments";
        case kUnresolved:
            return "the host name could not be resolved";
        case kSystemError:
            return "local system error";
        case kNoConnection:
            return "no connection within the time-out";
        case kBroken:
            return "connection reset or broken, or a send failed";
        case kSilent:
            return "nothing received within the time-out";
        default:
            return "?";
    }
}

std::string errorText(int error) {
    char text[300];
    qelt_net_error_text(error, text, sizeof text);
    return text;
}

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

class Socket {
  public:
    Socket() = default;
    explicit Socket(QeltSocket s) : s_(s) {}
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    Socket(Socket&& other) noexcept : s_(other.release()) {}
    Socket& operator=(Socket&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~Socket() { reset(QELT_INVALID_SOCKET); }
    QeltSocket get() const { return s_; }
    bool valid() const { return s_ != QELT_INVALID_SOCKET; }
    QeltSocket release() {
        QeltSocket s = s_;
        s_ = QELT_INVALID_SOCKET;
        return s;
    }
    void reset(QeltSocket s) {
        if (s_ != QELT_INVALID_SOCKET) qelt_net_close(s_);
        s_ = s;
    }

  private:
    QeltSocket s_ = QELT_INVALID_SOCKET;
};

class NetScope {
  public:
    NetScope() : ok_(qelt_net_startup() == 0) {}
    NetScope(const NetScope&) = delete;
    NetScope& operator=(const NetScope&) = delete;
    ~NetScope() {
        if (ok_) qelt_net_cleanup();
    }
    bool ok() const { return ok_; }

  private:
    bool ok_;
};

class Session final : public ChunkSink {
  public:
    Session(int timeoutMs, DialogCallback callback, void* context)
        : timeoutMs_(timeoutMs), callback_(callback), context_(context), core_(*this) {
        log_ = SessionLog::openFromEnvironment(this);
    }

    int run(const char* host, int port);

    static int QELT_CDECL sendLineThunk(void* handle, const char* line, int flags) noexcept;

    bool onChunk(char* text, int length, int peek) override;
    void onReply(const unsigned char* bytes, std::size_t length) override;

  private:
    int connect(const HostTarget& target);
    int loop();
    int finish(int result);
    int sendLine(const char* line);
    bool sendAll(const void* data, std::size_t length, std::int64_t deadline);
    bool flushReplies();
    void fail(int result, const std::string& why);
    void note(const char* event, const std::string& text) {
        if (log_) log_->note(event, text);
    }

    const int timeoutMs_;
    const DialogCallback callback_;
    void* const context_;
    std::int64_t startMs_ = 0;
    std::unique_ptr<SessionLog> log_;
    Socket socket_;
    TelnetCore core_;
    std::vector<unsigned char> receive_;
    std::vector<unsigned char> replies_;
    bool inCallback_ = false;
    bool answered_ = false;
    bool chunkMentionsPassword_ = false;
    bool ended_ = false;  // the connection is over: no more sending
    int failure_ = -1;    // the result a failed send or reply has settled on
};

int Session::run(const char* host, int port) {
    startMs_ = nowMs();
    // A log gathered from several machines must say which build wrote each session.
    note("version", "ProbeLinkServices " QELT_VERSION);
    HostTarget target;
    if (!callback_ || timeoutMs_ <= 0 || !parseHostText(host, port, &target)) {
        note("result", "1 invalid arguments");
        return kBadArguments;
    }
    note("open", target.name + " port " + std::to_string(target.port) + " timeout " +
                     std::to_string(timeoutMs_) + " ms");
    NetScope net;
    if (!net.ok()) return finish(kSystemError);
    int rc = connect(target);
    if (rc != kClosed) return finish(rc);
    receive_.resize(kReceiveSize);
    return finish(loop());
}

int Session::finish(int result) {
    socket_.reset(QELT_INVALID_SOCKET);
    note("result", std::to_string(result) + " " + resultText(result));
    return result;
}

// Tries every address, again every kRetryIntervalMs, until one accepts or the
// time-out since the call began has passed. Returns kClosed (0) once connected.
int Session::connect(const HostTarget& target) {
    QeltAddress addresses[kMaxAddresses];
    int count = 0;
    QeltResolveResult resolved =
        qelt_net_resolve(target.name.c_str(), target.port, addresses, kMaxAddresses, &count);
    if (resolved == QELT_RESOLVE_SYSTEM) return kSystemError;
    if (resolved != QELT_RESOLVE_OK) return kUnresolved;

    const std::int64_t deadline = startMs_ + timeoutMs_;
    int lastError = 0;
    for (;;) {
        const std::int64_t roundStart = nowMs();
        bool anyFamily = false;
        for (int i = 0; i < count; ++i) {
            if (nowMs() >= deadline) break;
            Socket s(qelt_net_socket(addresses[i].family));
            if (!s.valid()) {
                int error = qelt_net_last_error();
                if (qelt_net_family_unsupported(error)) continue;
                note("error", "socket: " + errorText(error));
                return kSystemError;
            }
            anyFamily = true;
            int rc = qelt_net_connect(s.get(), &addresses[i]);
            if (rc == 1) {
                for (;;) {
                    int ready =
                        qelt_net_poll(s.get(), QELT_POLL_OUT, clampWait(deadline - nowMs()));
                    if (ready < 0) {
                        int error = qelt_net_last_error();
                        if (qelt_net_interrupted(error)) continue;
                        note("error", "poll: " + errorText(error));
                        return kSystemError;
                    }
                    if (ready == 0) {
                        if (nowMs() < deadline) continue;
                        rc = -1;
                        lastError = 0;
                        break;
                    }
                    int error = qelt_net_connect_error(s.get());
                    rc = error == 0 ? 0 : -1;
                    lastError = error;
                    break;
                }
            } else if (rc < 0) {
                lastError = qelt_net_last_error();
            }
            if (rc == 0) {
                socket_ = std::move(s);
                if (log_) {
                    char text[80];
                    qelt_net_address_text(&addresses[i], text, sizeof text);
                    note("connected", text);
                }
                return kClosed;
            }
        }
        if (!anyFamily) {
            note("error", "no usable address family");
            return kNoConnection;
        }
        const std::int64_t now = nowMs();
        if (now >= deadline) break;
        qelt_sleep_ms(clampWait(std::min(roundStart + kRetryIntervalMs, deadline) - now));
        if (nowMs() >= deadline) break;
    }
    note("error", "connect: " + (lastError ? errorText(lastError) : std::string("timed out")));
    return kNoConnection;
}

int Session::loop() {
    std::int64_t lastReceive = nowMs();
    for (;;) {
        if (failure_ >= 0) {
            ended_ = true;
            core_.end();
            return failure_;
        }
        const std::int64_t now = nowMs();
        core_.tick(now);
        if (failure_ >= 0) continue;
        const std::int64_t silenceEnd = lastReceive + timeoutMs_;
        if (now >= silenceEnd) {
            ended_ = true;
            note("error", "silent for " + std::to_string(timeoutMs_) + " ms");
            core_.end();
            return kSilent;
        }
        std::int64_t wakeAt = silenceEnd;
        const std::int64_t previewAt = core_.previewDueAt();
        if (previewAt >= 0 && previewAt < wakeAt) wakeAt = previewAt;

        int ready = qelt_net_poll(socket_.get(), QELT_POLL_IN, clampWait(wakeAt - now));
        if (ready < 0) {
            int error = qelt_net_last_error();
            if (qelt_net_interrupted(error)) continue;
            note("error", "poll: " + errorText(error));
            ended_ = true;
            core_.end();
            return kSystemError;
        }
        if (ready == 0) continue;

        long n = qelt_net_recv(socket_.get(), receive_.data(), receive_.size());
        if (n < 0) {
            int error = qelt_net_last_error();
            if (qelt_net_interrupted(error) || qelt_net_would_block(error)) continue;
            note("error", "recv: " + errorText(error));
            ended_ = true;
            core_.end();
            return kBroken;
        }
        if (n == 0) {
            note("eof", "");
            ended_ = true;
            core_.end();
            return kClosed;
        }
        const std::size_t got = static_cast<std::size_t>(n);
        if (log_) log_->bytes("recv", receive_.data(), got);
        lastReceive = nowMs();
        core_.feed(receive_.data(), got, lastReceive);
        if (!flushReplies()) continue;
    }
}

void Session::fail(int result, const std::string& why) {
    note("error", why);
    if (failure_ < 0) failure_ = result;
}

bool Session::sendAll(const void* data, std::size_t length, std::int64_t deadline) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    while (length > 0) {
        long n = qelt_net_send(socket_.get(), p, length);
        if (n > 0) {
            p += n;
            length -= static_cast<std::size_t>(n);
            continue;
        }
        int error = qelt_net_last_error();
        if (n < 0 && qelt_net_interrupted(error)) continue;
        if (n < 0 && !qelt_net_would_block(error)) {
            fail(kBroken, "send: " + errorText(error));
            return false;
        }
        for (;;) {
            std::int64_t now = nowMs();
            if (now >= deadline) {
                fail(kBroken, "send: not accepted within the time-out");
                return false;
            }
            int ready = qelt_net_poll(socket_.get(), QELT_POLL_OUT, clampWait(deadline - now));
            if (ready < 0) {
                int pollError = qelt_net_last_error();
                if (qelt_net_interrupted(pollError)) continue;
                fail(kSystemError, "poll: " + errorText(pollError));
                return false;
            }
            if (ready != 0) break;
        }
    }
    return true;
}

bool Session::flushReplies() {
    if (replies_.empty()) return true;
    bool ok = !ended_ && failure_ < 0;
    if (ok) {
        if (log_) log_->bytes("send", replies_.data(), replies_.size());
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
    if (ended_ || failure_ >= 0) {
        note("sendline", "refused: the connection is over");
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
            log_->note("send", std::to_string(wire.size()) + " ********");
        else
            log_->bytes("send", wire.data(), wire.size());
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
        return probelink::kSystemError;
    }
}
