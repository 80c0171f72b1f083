// One session's telnet side, without sockets: the client's bytes go through
// the session's libtelnet state (negotiation answered, IAC IAC unescaped),
// are cut into lines by a LineAssembler, and each line is handled by the
// session's Conversation; the answers come back as wire bytes, escaped
// through the same telnet state. The bridge's socket loop and the fuzz target
// drive this same piece.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "conversation.h"

namespace qeltbridge {

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
