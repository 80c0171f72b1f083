// Dumps and -raw captures through the live path: the library's telnet core
// cuts the bytes into the chunks the dialog gets, the dialog's trace rule
// takes prompts and DUMP_RESULT= lines, the formatter reads the rest, and
// each record line becomes a Record.
//
// What is replayed is the wire. A saved file holds the bytes the dialog
// received, so every data byte 0xFF goes to the core escaped (IAC IAC), and
// 0xFF 0xF9 as the Go Ahead it was only where it was one: in a dump, where it
// completes the prompt at a chunk's start (the bridge sends IAC GA only after
// its prompt, which a saved dump glues to the line after it); in a capture,
// where the line feed that puts wrote after every chunk follows it (that line
// feed is puts' own and no line). NUL bytes are no part of a trace.
#pragma once

#include <array>
#include <cstddef>

#include "dialog/dialog.h"
#include "probelink/telnet_core.h"
#include "record.h"

namespace qelttrace {

class RecordCounter;

class Replay : private probelink::ChunkSink {
  public:
    explicit Replay(RecordCounter& out);
    Replay(const Replay&) = delete;
    Replay& operator=(const Replay&) = delete;

    // A capture rather than a dump, from the next byte on.
    void setCapture(bool capture) { capture_ = capture; }
    void feed(const char* data, std::size_t size);
    // The saved bytes are over: their end is no cut connection (the live job
    // drops text that a broken connection cut off, since it may be half a
    // record), so what is left is a whole line.
    void finish();

  private:
    bool onChunk(char* text, int length, int peek) override;
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
    std::array<char, probelink::kChunkMax + 1> original_{};
    Record record_;
};

}  // namespace qelttrace
