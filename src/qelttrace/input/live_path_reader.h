// Dumps, -raw captures and the trace sessions of a session log through the
// live path: the library's telnet core cuts the bytes into the chunks the
// dialog gets, the dialog's trace rule takes prompts and DUMP_RESULT= lines,
// the formatter reads the rest, and each record line becomes a Record.
//
// What is replayed is the wire. A saved file holds the bytes the dialog
// received, so every data byte 0xFF goes to the core escaped (IAC IAC), and
// 0xFF 0xF9 as the Go Ahead it was only where it was one: in a dump, where it
// completes the prompt at a chunk's start (the bridge sends IAC GA only after
// its prompt, which a saved dump glues to the line after it); in a capture,
// where the line feed that puts wrote after every chunk follows it (that line
// feed is puts' own and no line). NUL bytes are no part of a trace. A
// session log holds the wire itself: its received bytes go to the core as
// they came.
#pragma once

#include <array>
#include <cstddef>
#include <optional>

#include "dialog/dialog.h"
#include "input/record.h"
#include "probelink/telnet_core.h"
#include "recording/log_reader.h"

namespace qelttrace {

class RecordCounter;

class LivePathReader : private probelink::ChunkSink {
  public:
    explicit LivePathReader(RecordCounter& out);
    LivePathReader(const LivePathReader&) = delete;
    LivePathReader& operator=(const LivePathReader&) = delete;

    // A capture rather than a dump, from the next byte on.
    void setCapture(bool capture) { capture_ = capture; }
    void feed(const char* data, std::size_t size);
    // The saved bytes are over: their end is no cut connection (the live job
    // drops text that a broken connection cut off, since it may be half a
    // record), so what is left is a whole line.
    void finish();

    // The session of a trace job, from a session log: its received bytes as
    // they came off the wire, through a new core and a new dialog (the session
    // was a new connection), the dialog's own steps first (login, password,
    // the prompt that it answers with the dump request), then the trace rule,
    // as the live job ran them. The live job answered a preview only where a
    // line was sent next, so the unfinished line is previewed there and
    // nowhere else; the text the connection cut off is previewed and never
    // decoded.
    void session(const recording::Session& session);

  private:
    bool onChunk(char* text, int length, int peek) override;
    bool sessionChunk(char* text, int length, int peek);
    void onReply(const unsigned char*, std::size_t) override {}  // a saved file is answered nothing

    void byte(unsigned char c);
    void releaseHeld();
    void wire(unsigned char c) { wire(&c, 1); }
    void wire(const unsigned char* bytes, std::size_t size) { core_.feed(bytes, size, 0); }
    void line(char* text, std::size_t length);
    void emit(const char* line, std::size_t length, const SataTraceRecord& trace);

    RecordCounter& out_;
    probelink::TelnetCore core_{*this};
    DialogContext dialog_{TraceOutput, ModeTrace, 0, 0};
    // A 0xFF (1) or 0xFF 0xF9 (2) held until the next byte tells what it was.
    int held_ = 0;
    bool capture_ = false;
    bool ending_ = false;
    bool previousEndedInCrLf_ = false;
    // A capture: the chunk before was a line the job printed, so puts' line
    // feed follows it; unless the byte replay took that line feed with the
    // Go Ahead before it.
    bool lineFeedDue_ = false;
    bool gaTookLineFeed_ = false;
    std::array<char, probelink::kChunkMax + 1> original_{};
    Record record_;

    // The session being replayed, if one is.
    std::optional<probelink::TelnetCore> sessionCore_;
    DialogContext sessionDialog_{WaitLogin, ModeTrace, 0, 0};
};

}  // namespace qelttrace
