#include "record.h"

#include <cinttypes>
#include <cstdio>

namespace qelttrace {

std::string timeText(const DBGTime& t) {
    char text[32];
    std::snprintf(text, sizeof text, "%d.%09d", t.sec, t.nsec);
    return text;
}

void appendTime(std::string& out, const DBGTime& t) {
    if (t.sec < 0 || t.nsec < 0 || t.nsec > 999999999) {
        out += timeText(t);
        return;
    }
    char text[24];
    char* end = text + sizeof text;
    char* p = end;
    std::uint32_t nsec = static_cast<std::uint32_t>(t.nsec);
    for (int i = 0; i < 9; ++i) {
        *--p = static_cast<char>('0' + nsec % 10);
        nsec /= 10;
    }
    *--p = '.';
    std::uint32_t sec = static_cast<std::uint32_t>(t.sec);
    do {
        *--p = static_cast<char>('0' + sec % 10);
        sec /= 10;
    } while (sec != 0);
    out.append(p, end);
}

std::string durationText(std::int64_t ns) {
    char text[48];
    const char* sign = ns < 0 ? "-" : "";
    const std::uint64_t magnitude =
        ns < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(ns) : static_cast<std::uint64_t>(ns);
    std::snprintf(text, sizeof text, "%s%" PRIu64 ".%09" PRIu64, sign, magnitude / 1000000000,
                  magnitude % 1000000000);
    return text;
}

void OwnedRecord::assign(const Record& record) {
    record_ = record;
    event_.assign(record.event);
    qualifier_.assign(record.qualifier);
    argument_.assign(record.argument);
    text_.assign(record.text);
    hasTrace_ = record.trace != nullptr;
    if (hasTrace_) {
        trace_ = *record.trace;
        shown_.assign(record.trace->text ? record.trace->text : "");
    }
    bind();
}

void OwnedRecord::bind() {
    record_.event = event_;
    record_.qualifier = qualifier_;
    record_.argument = argument_;
    record_.text = text_;
    if (!hasTrace_) {
        record_.trace = nullptr;
        return;
    }
    // The formatter's words pointed into the record they came with.
    trace_.words.event = event_.c_str();
    trace_.words.qualifier = qualifier_.c_str();
    trace_.words.argument = argument_.c_str();
    trace_.text = shown_.c_str();
    record_.trace = &trace_;
}

}  // namespace qelttrace
