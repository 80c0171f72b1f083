#include "filter.h"

#include <cstring>
#include <utility>

namespace qelttrace {

namespace {

// One '[...]' class at pattern[*at] (just after '['); moves *at past ']'.
// Returns -1 when unterminated, else whether `c` is in it.
int matchClass(std::string_view pattern, std::size_t* at, char c) {
    std::size_t i = *at;
    bool negate = false;
    if (i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^')) {
        negate = true;
        ++i;
    }
    bool found = false;
    bool first = true;
    while (i < pattern.size() && (pattern[i] != ']' || first)) {
        first = false;
        char low = pattern[i];
        if (low == '\\' && i + 1 < pattern.size()) low = pattern[++i];
        char high = low;
        if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
            high = pattern[i + 2];
            if (high == '\\' && i + 3 < pattern.size()) high = pattern[++i + 2];
            i += 2;
        }
        const auto u = static_cast<unsigned char>(c);
        if (u >= static_cast<unsigned char>(low) && u <= static_cast<unsigned char>(high)) {
            found = true;
        }
        ++i;
    }
    if (i >= pattern.size()) return -1;
    *at = i + 1;
    return found != negate ? 1 : 0;
}

// Iterative matching with one backtrack point (the last '*').
bool matchFrom(std::string_view p, std::string_view t) {
    std::size_t pi = 0, ti = 0;
    std::size_t starP = std::string_view::npos, starT = 0;
    while (ti < t.size()) {
        if (pi < p.size() && p[pi] == '*') {
            starP = ++pi;
            starT = ti;
            continue;
        }
        bool step = false;
        std::size_t next = pi + 1;
        if (pi < p.size()) {
            if (p[pi] == '?') {
                step = true;
            } else if (p[pi] == '[') {
                next = pi + 1;
                step = matchClass(p, &next, t[ti]) == 1;
            } else if (p[pi] == '\\' && pi + 1 < p.size()) {
                step = p[pi + 1] == t[ti];
                next = pi + 2;
            } else {
                step = p[pi] == t[ti];
            }
        }
        if (step) {
            pi = next;
            ++ti;
        } else if (starP != std::string_view::npos) {
            pi = starP;
            ti = ++starT;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == '*') ++pi;
    return pi == p.size();
}

bool names(std::string_view word, const char* name) {
    return word.find(name) != std::string_view::npos;
}

}  // namespace

bool globMatch(std::string_view pattern, std::string_view text) {
    return matchFrom(pattern, text);
}

std::string globError(std::string_view pattern) {
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '\\') {
            if (i + 1 == pattern.size()) return "ends in a lone backslash";
            ++i;
        } else if (pattern[i] == '[') {
            std::size_t at = i + 1;
            if (matchClass(pattern, &at, 'x') < 0) return "has a '[' without its ']'";
            i = at - 1;
        }
    }
    return {};
}

std::string parseSeconds(const std::string& text, std::int64_t* ns) {
    std::size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) ++i;
    std::int64_t seconds = 0;
    std::size_t digits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
        if (seconds > 999999999999) return "is too large";
        seconds = seconds * 10 + (text[i] - '0');
    }
    std::int64_t fraction = 0;
    std::size_t decimals = 0;
    if (i < text.size() && text[i] == '.') {
        for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++decimals) {
            if (decimals == 9) return "has more than nine decimals";
            fraction = fraction * 10 + (text[i] - '0');
        }
    }
    if (i != text.size() || digits + decimals == 0) return "is not a number of seconds";
    for (std::size_t d = decimals; d < 9; ++d) fraction *= 10;
    const std::int64_t value = seconds * 1000000000 + fraction;
    *ns = negative ? -value : value;
    return {};
}

bool isError(const Record& r) {
    if (r.status != Status::kOk || r.held) return true;
    if (r.event == "FatalError" || r.event == "UnexpectedState" ||
        r.event == "AHCI_Fail_Alloc_Resp_Buffer") {
        return true;
    }
    static const char* const kNames[] = {
        "ACT_SND_ERROR",   "ACT_RCV_ERROR",     "ACT_FATAL_ERROR", "istatus=FATAL",
        "istatus=ILLEGAL", "istatus=COMMRESET", "state=COMMRESET",
    };
    for (const char* name : kNames) {
        if (names(r.event, name) || names(r.qualifier, name) || names(r.argument, name))
            return true;
    }
    return false;
}

Filter::Filter(FilterOptions options, Sink& next)
    : options_(std::move(options)),
      next_(next),
      selecting_(!options_.events.empty() || options_.errors) {}

void Filter::banner(const char* text) {
    if (!options_.active()) next_.banner(text);
}

void Filter::span(const SataTraceRecord& span) {
    if (!options_.active()) next_.span(span);
}

bool Filter::selected(const Record& r) const {
    if (options_.errors && !isError(r)) return false;
    if (options_.events.empty()) return true;
    for (const std::string& pattern : options_.events) {
        if (globMatch(pattern, r.event)) return true;
    }
    return false;
}

void Filter::record(const Record& r) {
    if (options_.hasFrom && r.timeNs < options_.fromNs) return;
    if (options_.hasTo && r.timeNs > options_.toNs) return;
    if (!selecting_) {
        next_.record(r);
        return;
    }
    if (selected(r)) {
        for (const OwnedRecord& kept : before_) next_.record(kept.view());
        before_.clear();
        next_.record(r);
        after_ = options_.context;
    } else if (after_ > 0) {
        next_.record(r);
        --after_;
    } else if (options_.context > 0) {
        if (before_.size() == options_.context) before_.pop_front();
        before_.emplace_back(r);
    }
}

void Filter::end(bool dumpRead) {
    next_.end(dumpRead);
}

}  // namespace qelttrace
