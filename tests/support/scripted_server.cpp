#include "support/scripted_server.h"

#include <chrono>
#include <cstdint>

namespace qelttest {

namespace {

constexpr int kExpectLimitMs = 5000;
constexpr int kDrainLimitMs = 5000;
constexpr int kAcceptLimitMs = 20000;

std::int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

ScriptedServer::ScriptedServer(int ipVersion, bool listenNow) {
    QeltAddress address = qelt_net_loopback(ipVersion, 0);
    listener_ = qelt::Socket(listenNow ? qelt_net_listen(&address, 16) : qelt_net_bind(&address));
    if (listener_) port_ = qelt_net_local_port(listener_.get());
}

ScriptedServer::~ScriptedServer() {
    stop();
    join();
}

void ScriptedServer::startListening() {
    qelt_net_start_listening(listener_.get(), 16);
}

ScriptedServer& ScriptedServer::send(const std::string& bytes) {
    script_.push_back({Kind::kSend, bytes, 0, 0});
    return *this;
}

ScriptedServer& ScriptedServer::sendSplit(const std::string& bytes, std::size_t segment,
                                          int pauseMs) {
    script_.push_back({Kind::kSendSplit, bytes, segment == 0 ? 1 : segment, pauseMs});
    return *this;
}

ScriptedServer& ScriptedServer::sendPieces(const std::string& bytes, std::size_t maxPiece) {
    script_.push_back({Kind::kSendPieces, bytes, maxPiece == 0 ? 1 : maxPiece, 0});
    return *this;
}

ScriptedServer& ScriptedServer::sendRepeated(const std::string& bytes, long count) {
    script_.push_back({Kind::kSendRepeated, bytes, 0, 0, count});
    return *this;
}

ScriptedServer& ScriptedServer::pause(int ms) {
    script_.push_back({Kind::kPause, {}, 0, ms});
    return *this;
}

ScriptedServer& ScriptedServer::expectLine(const std::string& line) {
    script_.push_back({Kind::kExpect, line, 0, 0});
    return *this;
}

ScriptedServer& ScriptedServer::closeFin() {
    script_.push_back({Kind::kCloseFin, {}, 0, 0});
    return *this;
}

ScriptedServer& ScriptedServer::closeNow() {
    script_.push_back({Kind::kCloseNow, {}, 0, 0});
    return *this;
}

ScriptedServer& ScriptedServer::closeRst() {
    script_.push_back({Kind::kCloseRst, {}, 0, 0});
    return *this;
}

ScriptedServer& ScriptedServer::silent() {
    script_.push_back({Kind::kSilent, {}, 0, 0});
    return *this;
}

ScriptedServer& ScriptedServer::connections(int n) {
    connections_ = n;
    return *this;
}

ScriptedServer& ScriptedServer::nagle() {
    nagle_ = true;
    return *this;
}

void ScriptedServer::start() {
    thread_ = std::thread([this] { serve(); });
}

void ScriptedServer::join() {
    if (thread_.joinable()) thread_.join();
}

void ScriptedServer::stop() {
    stop_ = true;
}

std::string ScriptedServer::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::string ScriptedServer::failures() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failures_;
}

void ScriptedServer::fail(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    failures_ += what;
    failures_ += '\n';
}

void ScriptedServer::serve() {
    for (int i = 0; i < connections_ && !stop_; ++i) {
        const std::int64_t limit = nowMs() + kAcceptLimitMs;
        qelt::Socket s;
        while (!s && !stop_ && nowMs() < limit)
            if (qelt_net_poll(listener_.get(), QELT_POLL_IN, 50) > 0)
                s = qelt::Socket(qelt_net_accept(listener_.get()));
        if (!s) {
            if (!stop_) fail("no connection accepted");
            return;
        }
        if (qelt_net_set_nodelay(s.get(), nagle_ ? 0 : 1) != 0) fail("TCP_NODELAY not set");
        pending_.clear();
        play(std::move(s));
        served_++;
    }
}

void ScriptedServer::play(qelt::Socket owned) {
    const QeltSocket s = owned.get();
    for (const Step& step : script_) {
        if (stop_) break;
        switch (step.kind) {
            case Kind::kSend:
                if (!sendAll(s, step.bytes.data(), step.bytes.size())) return;
                break;
            case Kind::kSendRepeated:
                for (long k = 0; k < step.count; ++k) {
                    if (!sendAll(s, step.bytes.data(), step.bytes.size())) return;
                }
                break;
            case Kind::kSendSplit:
                for (std::size_t at = 0; at < step.bytes.size(); at += step.segment) {
                    std::size_t n = step.bytes.size() - at;
                    if (n > step.segment) n = step.segment;
                    if (!sendAll(s, step.bytes.data() + at, n)) return;
                    if (step.ms > 0) sleepMs(step.ms);
                }
                break;
            case Kind::kSendPieces: {
                // A fixed sequence of sizes, so that a failing run can be replayed.
                std::uint32_t state = 12345;
                for (std::size_t at = 0; at < step.bytes.size();) {
                    state = state * 1103515245u + 12345u;
                    std::size_t n = 1 + (state >> 16) % step.segment;
                    if (n > step.bytes.size() - at) n = step.bytes.size() - at;
                    if (!sendAll(s, step.bytes.data() + at, n)) return;
                    at += n;
                }
                break;
            }
            case Kind::kPause: {
                // Keep logging what the client sends while pausing.
                const std::int64_t until = nowMs() + step.ms;
                for (std::int64_t now = nowMs(); now < until; now = nowMs())
                    if (!readSome(s, static_cast<int>(until - now))) break;
                break;
            }
            case Kind::kExpect: {
                const std::int64_t until = nowMs() + kExpectLimitMs;
                std::size_t lf;
                while ((lf = pending_.find('\n')) == std::string::npos && nowMs() < until)
                    if (!readSome(s, 50)) break;
                if (lf == std::string::npos) {
                    fail("expected line not received: " + step.bytes);
                    break;
                }
                std::string line = pending_.substr(0, lf + 1);
                pending_.erase(0, lf + 1);
                if (line != step.bytes) fail("expected " + step.bytes + " got " + line);
                break;
            }
            case Kind::kCloseFin:
                qelt_net_shutdown_send(s);
                drainUntilClosed(s, kDrainLimitMs);
                return;
            case Kind::kCloseNow:
                return;
            case Kind::kCloseRst:
                owned.abort();
                return;
            case Kind::kSilent:
                drainUntilClosed(s, 60000);
                return;
        }
    }
    drainUntilClosed(s, kDrainLimitMs);
}

bool ScriptedServer::sendAll(QeltSocket s, const char* data, std::size_t length) {
    const std::int64_t limit = nowMs() + kDrainLimitMs;
    while (length > 0 && !stop_) {
        long n = qelt_net_send(s, data, length);
        if (n > 0) {
            data += n;
            length -= static_cast<std::size_t>(n);
            continue;
        }
        int error = qelt_net_last_error();
        if (n < 0 && !qelt_net_would_block(error) && !qelt_net_interrupted(error)) return false;
        if (nowMs() >= limit) return false;
        // While the client's window is full, read its side so neither end stalls.
        if (!readSome(s, 0)) return false;
        qelt_net_poll(s, QELT_POLL_OUT, 20);
    }
    return length == 0;
}

bool ScriptedServer::readSome(QeltSocket s, int waitMs) {
    int ready = qelt_net_poll(s, QELT_POLL_IN, waitMs);
    if (ready <= 0) return true;
    char buffer[16384];
    long n = qelt_net_recv(s, buffer, sizeof buffer);
    if (n < 0) {
        int error = qelt_net_last_error();
        return qelt_net_would_block(error) || qelt_net_interrupted(error);
    }
    if (n == 0) return false;
    std::string got(buffer, static_cast<std::size_t>(n));
    pending_ += got;
    std::lock_guard<std::mutex> lock(mutex_);
    received_ += got;
    return true;
}

void ScriptedServer::drainUntilClosed(QeltSocket s, int limitMs) {
    const std::int64_t until = nowMs() + limitMs;
    while (!stop_ && nowMs() < until)
        if (!readSome(s, 50)) return;
}

}  // namespace qelttest
