// Fuzzes the simulated bridge's side of a session without sockets: the
// client's byte stream goes, in segments chosen from the back of the input,
// into the bridge's own SessionProtocol (its libtelnet state, LineAssembler
// and Conversation), one completed line at a time as the bridge handles them.
// A twin protocol that marks every answer line's end (as the bridge does
// under --line-delay-ms) gets the same segments. The page size, the trace,
// the prompt's GA and the power state are chosen from the back too.
// Checked:
//   - every line is at most LineAssembler::kMaxLine bytes and holds no CR or LF;
//   - the lines do not depend on how the stream was cut: the same data fed
//     whole gives the same lines, and so does a byte-at-a-time model of the
//     line ends (LF, CR LF, CR NUL, CR alone);
//   - no command runs before the login completes: until then every answer is
//     "login: ", "password: " or "Login incorrect", and the third failure
//     closes the session;
//   - every answer on the wire is well-formed: lines end in CR LF, the prompt
//     is only ever "INET> " (with IAC GA unless --no-ga) and only at the end;
//   - a dump page holds at most the page size of records, each the trace's
//     own "%6d.%09d ..." record in order, then "DUMP_RESULT=" with the index
//     of the next record, or 0 after the last page;
//   - marking line ends changes no byte on the wire, and the marks fall
//     exactly after each CR LF of an answer.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "conversation.h"
#include "fuzz_support.h"
#include "line_assembler.h"
#include "options.h"
#include "session_protocol.h"
#include "trace_source.h"

namespace {

using qeltbridge::Conversation;
using qeltbridge::LineAssembler;
using qeltbridge::SessionProtocol;
using Clock = std::chrono::steady_clock;

// What one session's protocol produced: its wire bytes since last cleared,
// where it marked line ends in them, and every data byte the client sent.
struct Capture final : qeltbridge::ProtocolOutput {
    std::string sent;
    std::vector<std::size_t> lineEnds;
    std::string data;

    void wire(std::string_view bytes) override { sent.append(bytes); }
    void lineEnd() override { lineEnds.push_back(sent.size()); }
    void clientData(std::string_view bytes) override { data.append(bytes); }
    void clear() {
        sent.clear();
        lineEnds.clear();
    }
};

std::vector<std::string> modelLines(const std::string& data) {
    std::vector<std::string> lines;
    std::string current;
    bool afterCr = false;
    for (char c : data) {
        const bool completesCr = afterCr && (c == '\n' || c == '\0');
        afterCr = false;
        if (completesCr) continue;
        if (c == '\r' || c == '\n') {
            lines.push_back(current);
            current.clear();
            afterCr = c == '\r';
        } else if (current.size() < LineAssembler::kMaxLine) {
            current.push_back(c);
        }
    }
    return lines;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool isDigits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// "%6d.%09d " at the start: at least six places, right-aligned, before the dot.
bool isRecordLine(std::string_view line) {
    const auto dot = line.find('.');
    if (dot == std::string_view::npos || dot < 6) return false;
    const auto digits = line.substr(0, dot).find_first_not_of(' ');
    if (digits == std::string_view::npos || !isDigits(line.substr(digits, dot - digits)))
        return false;
    return line.size() > dot + 10 && isDigits(line.substr(dot + 1, 9)) && line[dot + 10] == ' ';
}

// The marked line ends of one answer: one right after each CR LF, no other.
void checkLineEnds(const Capture& answer) {
    std::vector<std::size_t> expected;
    for (auto at = answer.sent.find("\r\n"); at != std::string::npos;
         at = answer.sent.find("\r\n", at + 2))
        expected.push_back(at + 2);
    FUZZ_CHECK(answer.lineEnds == expected, "a line end marked after each CR LF of an answer");
}

// Follows one session's conversation and checks every answer against what
// the bridge promises its clients.
class Checker {
  public:
    Checker(const qeltbridge::Options& options, const qeltbridge::TraceSource& trace, bool booting)
        : options_(options), trace_(trace), booting_(booting) {
        prompt_ = "INET> ";
        if (!options.noGa) prompt_ += "\xFF\xF9";
    }

    void check(const std::string& line, Conversation::Request request, std::string_view reply) {
        using Request = Conversation::Request;
        if (phase_ != Phase::Shell) {
            FUZZ_CHECK(request != Request::Reboot, "no command before the login completes");
            checkLogin(line, request, reply);
            return;
        }
        const std::string_view text = trim(line);
        const auto space = text.find_first_of(" \t");
        const std::string_view word = text.substr(0, space);
        const std::string_view argument =
            space == std::string_view::npos ? std::string_view() : trim(text.substr(space));
        if (word == "hwrst" || word == "exit") {
            FUZZ_CHECK(reply.empty(), "hwrst and exit answer nothing");
            FUZZ_CHECK(request == (word == "exit" ? Request::Close : Request::Reboot),
                       "exit closes, hwrst reboots");
            return;
        }
        FUZZ_CHECK(request == Request::None, "only exit and hwrst end the session");
        std::vector<std::string_view> lines = splitAnswer(reply);
        if (word.empty()) {
            FUZZ_CHECK(lines.empty(), "an empty line gets the prompt alone");
        } else if (word == "pwista") {
            static const char* const kUnits[] = {"HTTP", "SATA", "ETHER", "FPGA"};
            FUZZ_CHECK(lines.size() == 4, "pwista: four status lines");
            for (std::size_t i = 0; i < lines.size(); ++i)
                FUZZ_CHECK(lines[i] == "[" + std::string(kUnits[i]) + "]: state = " +
                                           (booting_ ? "INIT" : "RUN") + ", err = 0x00000000",
                           "pwista: status line");
        } else if (word == "task_trace") {
            FUZZ_CHECK(lines.size() == 6, "task_trace: header and five tasks");
        } else if (word == "dump_dsata_trace") {
            checkDump(argument, lines);
        } else {
            FUZZ_CHECK(lines.size() == 1 && lines[0] == "Unknown command", "unknown command");
        }
    }

  private:
    enum class Phase { Login, Password, Shell };

    void checkLogin(const std::string& line, Conversation::Request request,
                    std::string_view reply) {
        using Request = Conversation::Request;
        if (phase_ == Phase::Login) {
            FUZZ_CHECK(request == Request::None, "a user name never ends the session");
            FUZZ_CHECK(reply == (line.empty() ? "login: " : "password: "), "login prompt");
            if (!line.empty()) {
                user_ = line;
                phase_ = Phase::Password;
            }
            return;
        }
        if (user_ == options_.login && line == options_.password) {
            FUZZ_CHECK(request == Request::None && reply == prompt_, "logged in: the prompt");
            phase_ = Phase::Shell;
            return;
        }
        ++failures_;
        if (failures_ >= 3) {
            FUZZ_CHECK(request == Request::Close && reply == "Login incorrect\r\n",
                       "the third failure closes");
            return;
        }
        FUZZ_CHECK(request == Request::None && reply == "Login incorrect\r\nlogin: ",
                   "a failure asks again");
        phase_ = Phase::Login;
    }

    // Splits an answer into its CR LF lines; it must end with the prompt,
    // and hold neither a telnet command nor the prompt anywhere else.
    std::vector<std::string_view> splitAnswer(std::string_view reply) const {
        FUZZ_CHECK(reply.size() >= prompt_.size() &&
                       reply.substr(reply.size() - prompt_.size()) == prompt_,
                   "every answer ends with the prompt");
        std::string_view body = reply.substr(0, reply.size() - prompt_.size());
        FUZZ_CHECK(body.find('\xFF') == std::string_view::npos, "no telnet command in a reply");
        FUZZ_CHECK(body.find("INET>") == std::string_view::npos, "the prompt only at the end");
        std::vector<std::string_view> lines;
        while (!body.empty()) {
            const auto end = body.find("\r\n");
            FUZZ_CHECK(end != std::string_view::npos, "every line ends in CR LF");
            const std::string_view line = body.substr(0, end);
            FUZZ_CHECK(line.find_first_of("\r\n") == std::string_view::npos,
                       "no bare CR or LF in a line");
            lines.push_back(line);
            body.remove_prefix(end + 2);
        }
        return lines;
    }

    void checkDump(std::string_view argument, std::vector<std::string_view> lines) const {
        FUZZ_CHECK(!lines.empty(), "a dump ends with DUMP_RESULT");
        const std::string_view result = lines.back();
        lines.pop_back();
        const std::string_view prefix = "DUMP_RESULT=";
        FUZZ_CHECK(
            result.substr(0, prefix.size()) == prefix && isDigits(result.substr(prefix.size())),
            "DUMP_RESULT= and a decimal number");
        const std::string_view number = result.substr(prefix.size());
        FUZZ_CHECK(number.size() == 1 || number[0] != '0', "DUMP_RESULT without leading zeros");
        uint64_t first = 0;
        if (!argument.empty()) {
            if (!isDigits(argument) || argument.size() > 19) {
                FUZZ_CHECK(lines.empty() && number == "0", "a bad index ends the dump");
                return;
            }
            first = std::stoull(std::string(argument));
        } else {
            FUZZ_CHECK(!lines.empty() && lines.front() == "SATA history dump",
                       "the first page starts with the banner");
            lines.erase(lines.begin());
        }
        const uint64_t total = trace_.size();
        FUZZ_CHECK(lines.size() <= static_cast<std::size_t>(options_.pageSize),
                   "a page holds at most the page size");
        const uint64_t expected =
            first >= total ? 0 : std::min<uint64_t>(total - first, uint64_t(options_.pageSize));
        FUZZ_CHECK(lines.size() == expected, "a page is full unless it is the last");
        for (std::size_t i = 0; i < lines.size(); ++i) {
            FUZZ_CHECK(isRecordLine(lines[i]), "a record is \"%6d.%09d ...\"");
            FUZZ_CHECK(lines[i] == trace_.record(first + i), "records in order, as they stand");
        }
        const uint64_t next = first + lines.size() < total ? first + lines.size() : 0;
        FUZZ_CHECK(number == std::to_string(next), "DUMP_RESULT is the next index or 0");
    }

    const qeltbridge::Options& options_;
    const qeltbridge::TraceSource& trace_;
    const bool booting_;
    std::string prompt_;
    Phase phase_ = Phase::Login;
    std::string user_;
    int failures_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const std::uint8_t setup = input.choice();
    const std::uint8_t records = input.choice();
    qeltbridge::Options options;
    options.noGa = (setup & 1) != 0;
    const bool booting = (setup & 2) != 0;
    options.pageSize = (setup >> 2) % 16 + 1;
    // Mostly short generated traces, so that pages run out; now and then the
    // built-in capture.
    const std::unique_ptr<qeltbridge::TraceSource> trace =
        records >= 240 ? qeltbridge::makeBuiltinTrace()
                       : qeltbridge::makeGeneratedTrace(records % 48, records);
    const Clock::time_point now{std::chrono::seconds(100)};
    qeltbridge::BridgeState state;
    state.options = &options;
    state.trace = trace.get();
    state.bootEnd = booting ? now + std::chrono::seconds(1) : Clock::time_point{};

    Capture out;
    Capture twinOut;
    SessionProtocol protocol(state, out, false);
    SessionProtocol twin(state, twinOut, true);
    FUZZ_CHECK(protocol.ready() && twin.ready(), "the telnet state");
    Checker checker(options, *trace, booting);
    protocol.open();
    twin.open();
    FUZZ_CHECK(out.sent == "login: ", "a session opens with the login prompt");
    FUZZ_CHECK(twinOut.sent == out.sent, "marking line ends changes no byte");

    std::vector<std::string> lines;
    std::string line;
    std::string twinLine;
    bool broken = false;
    bool ended = false;  // exit, the third failure or hwrst: the bridge reads no further
    while (input.remaining() > 0 && !broken && !ended) {
        const std::uint8_t op = input.choice();
        const std::size_t wanted = (op & 1) ? std::size_t{op} * 8 + 1 : std::size_t{op} % 16 + 1;
        std::size_t taken = 0;
        const std::uint8_t* bytes = input.take(wanted, taken);
        if (taken == 0) break;
        const std::string_view segment(reinterpret_cast<const char*>(bytes), taken);
        broken = !protocol.receive(segment);  // the bridge ends such a session
        FUZZ_CHECK(twin.receive(segment) == !broken, "the twin breaks alike");
        while (!broken && !ended && protocol.nextLine(line)) {
            FUZZ_CHECK(twin.nextLine(twinLine) && twinLine == line, "the twin's lines");
            lines.push_back(line);
            out.clear();  // negotiation answers come before the replies
            twinOut.clear();
            const Conversation::Request request = protocol.handle(line, now);
            FUZZ_CHECK(twin.handle(line, now) == request, "the twin's request");
            FUZZ_CHECK(twinOut.sent == out.sent, "marking line ends changes no byte");
            checkLineEnds(twinOut);
            checker.check(line, request, out.sent);
            ended = request != Conversation::Request::None;
        }
    }
    // Lines completed after the session ended were cut all the same.
    while (protocol.nextLine(line)) lines.push_back(line);

    for (const std::string& kept : lines) {
        FUZZ_CHECK(kept.size() <= LineAssembler::kMaxLine, "a kept line is bounded");
        FUZZ_CHECK(kept.find_first_of("\r\n") == std::string::npos, "no line end inside a line");
    }
    LineAssembler whole;
    std::vector<std::string> wholeLines;
    whole.feed(out.data, wholeLines);
    FUZZ_CHECK(wholeLines == lines, "lines do not depend on the segments");
    FUZZ_CHECK(modelLines(out.data) == lines, "lines end at LF, CR LF, CR NUL, CR");
    return 0;
}
