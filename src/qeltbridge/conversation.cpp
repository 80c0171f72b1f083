#include "conversation.h"

#include <algorithm>
#include <cstdio>

#include "common/bridge_words.h"
#include "common/numbers.h"

namespace qeltbridge {
namespace {

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// Reads a record index: at most 19 decimal digits, leading zeros included.
bool parseIndex(std::string_view text, uint64_t& value) {
    return text.size() <= 19 &&
           parseDecimal(text.data(), text.size(), 9999999999999999999u, &value);
}

}  // namespace

void Conversation::begin(ReplySink& out) {
    out.text(QELT_LOGIN_PROMPT);
}

void Conversation::prompt(ReplySink& out) const {
    out.text(QELT_PROMPT_TEXT);
    if (!state_.options->noGa) out.goAhead();
}

void Conversation::runPwista(std::chrono::steady_clock::time_point now, ReplySink& out) const {
    const char* status = now < state_.bootEnd ? "INIT" : "RUN";
    static const char* const kUnits[] = {"HTTP", "SATA", "ETHER", "FPGA"};
    for (const char* unit : kUnits) {
        char line[96];
        std::snprintf(line, sizeof line, "[%s]: state = %s, err = 0x00000000", unit, status);
        out.line(line);
    }
    prompt(out);
}

void Conversation::runTaskTrace(ReplySink& out) const {
    static const char* const kTable[] = {
        "TID  NAME        PRIO  STATE    STACK  USED",
        "  1  idle          31  READY      512    96",
        "  2  http          10  WAIT      4096  1480",
        "  3  dsata          4  RUN       8192  2312",
        "  4  ether          6  WAIT      4096  1024",
        "  5  inet          12  WAIT      2048   760",
    };
    for (const char* line : kTable) out.line(line);
    prompt(out);
}

void Conversation::runDump(std::string_view argument, ReplySink& out) const {
    const TraceSource& trace = *state_.trace;
    const uint64_t total = trace.size();
    uint64_t first = 0;
    if (!argument.empty() && !parseIndex(argument, first)) {
        // Answer as a finished dump, so a client paging through ends
        // cleanly instead of waiting for a result that never comes.
        out.note("dump_dsata_trace: bad record index \"" + std::string(argument) + "\"");
        out.line(QELT_DUMP_RESULT "0");
        prompt(out);
        return;
    }
    if (argument.empty()) out.line(QELT_DUMP_BANNER);
    const uint64_t pageSize = static_cast<uint64_t>(state_.options->pageSize);
    const uint64_t end = first >= total ? first : std::min(total, first + pageSize);
    std::string record;  // one buffer for the whole page
    for (uint64_t i = first; i < end; ++i) {
        record.clear();
        trace.appendRecord(i, record);
        out.line(record);
    }
    const uint64_t next = end < total ? end : 0;
    out.line(QELT_DUMP_RESULT + std::to_string(next));
    prompt(out);
}

Conversation::Request Conversation::runCommand(const std::string& line,
                                               std::chrono::steady_clock::time_point now,
                                               ReplySink& out) const {
    const std::string_view text = trim(line);
    const auto space = text.find_first_of(" \t");
    const std::string_view word = text.substr(0, space);
    const std::string_view argument =
        space == std::string_view::npos ? std::string_view() : trim(text.substr(space));
    if (word.empty()) {
        prompt(out);
    } else if (word == QELT_COMMAND_STATUS) {
        runPwista(now, out);
    } else if (word == QELT_COMMAND_TASKS) {
        runTaskTrace(out);
    } else if (word == QELT_COMMAND_DUMP) {
        runDump(argument, out);
    } else if (word == QELT_COMMAND_REBOOT) {
        out.note("hwrst");
        return Request::Reboot;
    } else if (word == QELT_COMMAND_EXIT) {
        return Request::Close;
    } else {
        out.line("Unknown command");
        prompt(out);
    }
    return Request::None;
}

Conversation::Request Conversation::handleLine(const std::string& line,
                                               std::chrono::steady_clock::time_point now,
                                               ReplySink& out) {
    switch (phase_) {
        case Phase::Login:
            if (line.empty()) {
                out.text(QELT_LOGIN_PROMPT);
                return Request::None;
            }
            user_ = line;
            phase_ = Phase::Password;
            out.text(QELT_PASSWORD_PROMPT);
            return Request::None;
        case Phase::Password:
            if (user_ == state_.options->login && line == state_.options->password) {
                phase_ = Phase::Shell;
                out.note("logged in as " + user_);
                prompt(out);
                return Request::None;
            }
            ++failures_;
            out.note("login incorrect (" + std::to_string(failures_) + ")");
            out.line("Login incorrect");
            if (failures_ >= 3) return Request::Close;
            phase_ = Phase::Login;
            out.text(QELT_LOGIN_PROMPT);
            return Request::None;
        case Phase::Shell:
            return runCommand(line, now, out);
    }
    return Request::None;
}

}  // namespace qeltbridge
