// One session's telnet side, without sockets: the client's bytes go through
// the session's libtelnet state (negotiation answered, IAC IAC unescaped),
// are cut into lines by a LineAssembler, and each line is handled by the
// session's Conversation; the answers come back as wire bytes, escaped
// through the same telnet state. The bridge's socket loop and the fuzz target
// drive this same piece.
//
// Beside it, where the session is in its life on the bridge (SessionState),
// what moves it on (SessionEvent) and the one function that decides
// (nextState); the bridge's loop carries the decision out.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "conversation.h"

namespace qeltbridge {

// Where a session is in its life.
enum class SessionState {
    Refused,   // over --max-sessions: its one message goes out, then it drains
    Open,      // the conversation runs: input is handled, answers are sent
    Closing,   // the conversation ended: its last answer goes out, then it drains
    Stalled,   // --stall-after: nothing more is sent; input is still handled
    Draining,  // our FIN is sent; input is read and dropped until the client closes
    Dead,      // gone; the loop reaps it
};

enum class SessionEvent {
    Ended,      // exit, the third failed login, the login time-out
    Stalled,    // the fault plan stalls the output
    Flushed,    // everything queued has gone out
    Dropped,    // the fault plan drops the connection (FIN)
    Reset,      // the fault plan drops the connection with RST
    Rebooting,  // hwrst: every session closes
    Gone,       // the client closed, or the connection or its telnet stream failed
    Drained,    // the drain time-out passed
};

// The state a session in `state` goes to on `event` (the same state: the
// event means nothing there). Dead is for good.
SessionState nextState(SessionState state, SessionEvent event);
// Whether a session in `state` queues what its conversation answers.
bool takesOutput(SessionState state);
// Whether it handles what the client sends (else it reads and drops it); the
// login time-out runs while it does and the login is not done.
bool handlesInput(SessionState state);
// Whether it counts against --max-sessions.
bool countsAsSession(SessionState state);

// Where a session's protocol puts what it produces.
class ProtocolOutput {
  public:
    virtual ~ProtocolOutput() = default;
    // Wire bytes to send, in order.
    virtual void wire(std::string_view bytes) = 0;
    // The wire bytes so far end a line of an answer (only when the protocol
    // was asked to mark line ends).
    virtual void lineEnd() {}
    // An event worth a line in the bridge's log.
    virtual void note(const std::string& what) { (void)what; }
    // The client's data as the telnet state passed it on, before it is cut
    // into lines: a seam for checks, which the bridge does not need.
    virtual void clientData(std::string_view data) { (void)data; }
};

class SessionProtocol {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Request = Conversation::Request;

    // What a batch of received bytes led to.
    enum class Event {
        None,
        Close,   // the conversation ended: exit or the third failed login
        Reboot,  // hwrst: the whole bridge reboots
        Broken,  // the telnet stream cannot go on; the session ends
    };

    // `markLineEnds`: report the end of every answer line (--line-delay-ms
    // paces at them); without it an answer goes out in as few pieces as the
    // escaping allows.
    SessionProtocol(const BridgeState& state, ProtocolOutput& out, bool markLineEnds);
    ~SessionProtocol();
    SessionProtocol(const SessionProtocol&) = delete;
    SessionProtocol& operator=(const SessionProtocol&) = delete;

    // False if the telnet state could not be made (out of memory); nothing
    // else may be called then.
    bool ready() const;

    // The session's opening: with --negotiate the options offered and
    // requested, then the first "login: ".
    void open();

    // Takes bytes from the client: negotiation is answered at once, the lines
    // they complete are kept for nextLine(). False once the telnet stream is
    // broken.
    bool receive(std::string_view bytes);
    // The oldest completed line not yet taken, without its end; false if none.
    bool nextLine(std::string& line);
    // Handles one line; its answer goes out.
    Request handle(const std::string& line, TimePoint now);

    // receive(), then handle() each line it completed until one ends the
    // session or reboots the bridge; lines after that one are dropped.
    Event serve(std::string_view bytes, TimePoint now);

    // Text of the session's own (not the conversation's), escaped.
    void say(std::string_view text);

    // True once the password was accepted.
    bool loggedIn() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qeltbridge
