// qelttrace: decodes a saved SATA trace dump, or a capture of the tool's -raw
// output, exactly as the live trace job would have printed it.
//
// The live path is replayed step by step: the telnet library cuts the received
// bytes into chunks (a line up to and including its "\n", the text up to and
// including a Go Ahead, at most 4095 bytes, NUL bytes dropped); the dialog
// skips the prompt in front of a line, takes "DUMP_RESULT=" lines and the bare
// prompt that follows them, and hands everything else to the formatter. The
// input is streamed through one chunk buffer, so memory stays small whatever
// the length of the input or of its lines.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "common/version.h"
#include "platform/platform.h"
#include "trace/sata_format.h"

namespace {

constexpr size_t kChunkMax = 4095;  // longest chunk the telnet library delivers
constexpr size_t kReadSize = 64 * 1024;
constexpr size_t kOutputBuffer = 64 * 1024;

// "INET> " followed by IAC GA.
constexpr char kPrompt[] = {'I', 'N', 'E', 'T', '>', ' ', '\xff', '\xf9'};
constexpr size_t kPromptSize = sizeof kPrompt;
constexpr char kDumpResult[] = "DUMP_RESULT=";
// The tool's own messages in a capture of its output are no part of the dump.
constexpr char kToolMessage[] = "qelttelnet.exe: ";

const char kUsage[] =
    "usage: qelttrace [FILE...]\n"
    "\n"
    "Decodes a SATA trace dump of a QELT bridge and prints it as the trace job\n"
    "of qelttelnet does: each record with its absolute time and the time since\n"
    "the previous record, the banner, error lines for records that do not\n"
    "decode, a span at each empty line, and the span of the whole dump at the\n"
    "end.\n"
    "\n"
    "Input: the bridge's dump lines (\"SSSSSS.NNNNNNNNN CODE TAG ARG\", LF or\n"
    "CR LF line ends), as saved from the bridge or captured from\n"
    "\"qelttelnet -satatrace -raw\" (the line break that -raw adds after each\n"
    "line is recognised and skipped, as are the tool's own messages). Prompts\n"
    "and DUMP_RESULT= lines are handled as the live session handles them.\n"
    "\n"
    "With no FILE, or when FILE is -, standard input is read. Several files are\n"
    "read one after another as one dump, as cat would join them.\n"
    "\n"
    "Exit status: 0 on success, 2 when a file could not be read (the others are\n"
    "still decoded) or the output could not be written.\n";

class Replay {
  public:
    // Takes the next bytes of the joined input.
    void feed(const char* data, size_t size) {
        for (size_t i = 0; i < size; ++i) {
            char c = data[i];
            if (c == '\0') continue;
            chunk_[length_++] = c;
            if (c == '\n' || length_ == kChunkMax ||
                (c == '\xf9' && length_ >= 2 && chunk_[length_ - 2] == '\xff')) {
                deliver();
            }
        }
    }

    // The end of the input: a last line without its line end is still
    // decoded. A saved file's end is no cut connection (the live job drops
    // text a broken connection cut off, since it may be half a record).
    void finish() {
        if (length_ > 0) deliver();
    }

  private:
    void deliver() {
        chunk_[length_] = '\0';
        dialog(chunk_.data(), length_);
        length_ = 0;
    }

    void dialog(char* text, size_t length) {
        bool endsInCrLf = length >= 2 && text[length - 2] == '\r' && text[length - 1] == '\n';
        bool afterCrLf = previousEndedInCrLf_;
        previousEndedInCrLf_ = endsInCrLf;

        bool prompted = length >= kPromptSize && memcmp(text, kPrompt, kPromptSize) == 0;
        if (prompted && length == kPromptSize && resultReady_) {
            // The bare prompt after a result: the live dialog asks for the next
            // page or ends the session here.
            resultReady_ = false;
            return;
        }
        char* line = prompted ? text + kPromptSize : text;
        if (strncmp(line, kDumpResult, sizeof kDumpResult - 1) == 0) {
            resultReady_ = true;
            return;
        }
        // -raw prints each line with puts, which adds one "\n".
        if (afterCrLf && line[0] == '\n' && line[1] == '\0') return;
        if (strncmp(line, kToolMessage, sizeof kToolMessage - 1) == 0) return;
        ParseSataTrace(line);
    }

    std::array<char, kChunkMax + 1> chunk_{};
    size_t length_ = 0;
    bool resultReady_ = false;
    bool previousEndedInCrLf_ = false;
};

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

void reportError(const std::string& name, int error) {
    fprintf(stderr, "qelttrace: %s: %s\n", name.c_str(), strerror(error));
}

// Streams one input into the replay. Returns false after reporting a failure.
bool replayInput(const std::string& name, Replay& replay, std::vector<char>& buffer) {
    bool isStdin = name == "-";
    File owned;
    FILE* input = stdin;
    if (!isStdin) {
        owned.reset(fopen(name.c_str(), "rb"));
        if (!owned) {
            reportError(name, errno);
            return false;
        }
        input = owned.get();
    }
    const std::string shown = isStdin ? "standard input" : name;
    for (;;) {
        size_t got = fread(buffer.data(), 1, buffer.size(), input);
        if (got > 0) replay.feed(buffer.data(), got);
        if (got < buffer.size()) {
            if (ferror(input)) {
                reportError(shown, errno);
                clearerr(input);
                return false;
            }
            if (feof(input)) break;
        }
    }
    if (isStdin) clearerr(stdin);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> inputs;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (!optionsEnded && (arg == "-h" || arg == "--help")) {
            fputs(kUsage, stdout);
            return 0;
        }
        if (!optionsEnded && arg == "--version") {
            fputs("qelttrace " QELT_VERSION "\n", stdout);
            return 0;
        }
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            fprintf(stderr, "qelttrace: unknown option %s\n%s", arg.c_str(), kUsage);
            return 2;
        }
        inputs.push_back(arg);
    }
    if (inputs.empty()) inputs.push_back("-");

    // A capture is decoded byte for byte: its CR LF line ends matter.
    qelt_binary_stdin();
    static char outputBuffer[kOutputBuffer];
    setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);

    int status = 0;
    Replay replay;
    std::vector<char> buffer(kReadSize);
    for (const std::string& name : inputs) {
        // Like cat, a file that cannot be read does not stop the others.
        if (!replayInput(name, replay, buffer)) status = 2;
    }
    replay.finish();

    // The span of the whole dump, as the tool prints it after the session.
    DiffTime(&startTime, &pt, &diff);
    printf("\t%6d.%09d\n", diff.sec, diff.nsec);
    if (fflush(stdout) != 0 || ferror(stdout)) {
        reportError("standard output", errno);
        status = 2;
    }
    return status;
}
