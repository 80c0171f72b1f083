// A scripted telnet peer on a loopback port, for tests of clients.
//
//   ScriptedServer server;                  // bound to a free port on 127.0.0.1 (or ::1)
//   server.send("login: ").pause(50).expectLine("qelt\r\n").send("bye\r\n").closeFin();
//   server.start();                         // serves on its own thread
//   ... run the client against server.port() ...
//   server.join();  server.received();  server.failures();
//
// Each accepted connection plays the whole script; `connections(n)` serves n
// connections one after another. Everything the client sent is logged, in
// order, whatever step was running. After the last step (or after a close with
// FIN) the server keeps reading until the client closes, so the log is whole.
// Every wait is bounded, so a faulty client cannot hang a test.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"

namespace qelttest {

class ScriptedServer {
  public:
    // Binds a free loopback port (ipVersion 4 or 6). With listenNow false the
    // port is reserved but refuses connections until startListening().
    explicit ScriptedServer(int ipVersion = 4, bool listenNow = true);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const { return port_; }
    bool ok() const { return static_cast<bool>(listener_); }
    void startListening();

    ScriptedServer& send(const std::string& bytes);
    // Sends in segments of at most `segment` bytes with `pauseMs` between them.
    ScriptedServer& sendSplit(const std::string& bytes, std::size_t segment, int pauseMs);
    // Sends in pieces of 1 to `maxPiece` bytes (sizes varying from piece to
    // piece), one write each, back to back: what an embedded server printing
    // its lines bit by bit puts on the wire.
    ScriptedServer& sendPieces(const std::string& bytes, std::size_t maxPiece);
    // Sends `bytes` `count` times over, without holding the whole stream.
    ScriptedServer& sendRepeated(const std::string& bytes, long count);
    ScriptedServer& pause(int ms);
    // Waits (at most 5 s) for the client's next line up to its LF and records a
    // failure unless it equals `line` (telnet commands included, as sent).
    ScriptedServer& expectLine(const std::string& line);
    // Ends sending with FIN, then keeps reading (and logging) until the client
    // closes.
    ScriptedServer& closeFin();
    // Closes at once with FIN: whatever the client sends afterwards draws RST.
    ScriptedServer& closeNow();
    // Closes at once with RST.
    ScriptedServer& closeRst();
    // Sends nothing more and keeps the connection until the client closes.
    ScriptedServer& silent();
    ScriptedServer& connections(int n);
    // Keeps Nagle's algorithm on for the connections, as most TCP stacks do by
    // default: a small write waits until the previous one is acknowledged. By
    // default the server sends at once (TCP_NODELAY).
    ScriptedServer& nagle();

    void start();
    // Waits for the serving thread to finish its connections (or `stop()`).
    void join();
    void stop();

    // All bytes the client sent, over all connections.
    std::string received() const;
    // Expectations that were not met, one per line; empty when all held.
    std::string failures() const;
    int served() const { return served_.load(); }

  private:
    enum class Kind {
        kSend,
        kSendRepeated,
        kSendSplit,
        kSendPieces,
        kPause,
        kExpect,
        kCloseFin,
        kCloseNow,
        kCloseRst,
        kSilent
    };
    struct Step {
        Kind kind;
        std::string bytes;
        std::size_t segment = 0;
        int ms = 0;
        long count = 0;
    };

    void serve();
    // Plays the script on `s`; it closes as the script says, else when done.
    void play(qelt::Socket s);
    bool sendAll(QeltSocket s, const char* data, std::size_t length);
    // Reads what is available within `waitMs`; false once the client closed.
    bool readSome(QeltSocket s, int waitMs);
    void drainUntilClosed(QeltSocket s, int limitMs);
    void fail(const std::string& what);

    qelt::NetScope net_;  // before the listener, which it outlives
    qelt::Socket listener_;
    int port_ = 0;
    std::vector<Step> script_;
    int connections_ = 1;
    bool nagle_ = false;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> served_{0};
    mutable std::mutex mutex_;
    std::string received_;
    std::string pending_;  // received but not yet matched by an expectation (this connection)
    std::string failures_;
};

}  // namespace qelttest
