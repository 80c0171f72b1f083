// One session's side of the bridge's conversation, without sockets: the
// login, the password, the failures, then the commands. It is given one
// received line at a time and writes what the session answers into a
// ReplySink; the owner escapes it through its telnet state, paces it, and
// acts on the requests it returns (close the session, reboot the bridge).
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "options.h"
#include "trace_source.h"

namespace qeltbridge {

// What the sessions share: the configuration (credentials, page size, GA),
// the trace, and the power state. The owner keeps it alive as long as any
// Conversation that reads it.
struct BridgeState {
    const Options* options = nullptr;
    const TraceSource* trace = nullptr;
    std::chrono::steady_clock::time_point bootEnd{};  // pwista reports INIT until then
};

// Where a conversation's answer goes, in order.
class ReplySink {
  public:
    virtual ~ReplySink() = default;
    // Telnet data, not yet escaped.
    virtual void text(std::string_view data) = 0;
    // `data` then CR LF: one line, the unit --line-delay-ms paces.
    virtual void line(std::string_view data) = 0;
    // The telnet command GA (after the prompt, unless --no-ga).
    virtual void goAhead() = 0;
    // One event worth a line in the bridge's log.
    virtual void note(const std::string& what) = 0;
};

class Conversation {
  public:
    enum class Request { None, Close, Reboot };

    explicit Conversation(const BridgeState& state) : state_(state) {}

    // The first "login: ", sent on connect.
    void begin(ReplySink& out);

    // Handles one received line (without its end). Close: the session ends
    // once its answer is sent (exit, third failed login). Reboot: hwrst, the
    // owner reboots the whole bridge. After either, no further line is
    // meant to be handled.
    Request handleLine(const std::string& line, std::chrono::steady_clock::time_point now,
                       ReplySink& out);

    // True once the password was accepted; the login time-out no longer applies.
    bool loggedIn() const { return phase_ == Phase::Shell; }

  private:
    enum class Phase { Login, Password, Shell };

    void prompt(ReplySink& out) const;
    Request runCommand(const std::string& line, std::chrono::steady_clock::time_point now,
                       ReplySink& out) const;
    void runPwista(std::chrono::steady_clock::time_point now, ReplySink& out) const;
    void runTaskTrace(ReplySink& out) const;
    void runDump(std::string_view argument, ReplySink& out) const;

    const BridgeState& state_;
    Phase phase_ = Phase::Login;
    std::string user_;
    int failures_ = 0;
};

}  // namespace qeltbridge
