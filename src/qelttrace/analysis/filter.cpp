#include "analysis/filter.h"

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

Filter::Filter(FilterOptions options, RecordSink& next)
    : options_(std::move(options)), next_(next), active_(options_.active()) {}

void Filter::banner(const char* text) {
    if (!active_) next_.banner(text);
}

void Filter::span(const DBGTime& span) {
    if (!active_) next_.span(span);
}

bool Filter::selected(const Record& r) const {
    if (!options_.window().holds(r.timeNs)) return false;
    if (options_.errors && !r.trouble) return false;
    if (options_.events.empty()) return true;
    for (const std::string& pattern : options_.events) {
        if (globMatch(pattern, r.event())) return true;
    }
    return false;
}

void Filter::record(const Record& r) {
    if (!active_) {
        next_.record(r);
        return;
    }
    if (selected(r)) {
        for (; held_ > 0; --held_) {
            next_.record(before_[head_]);
            head_ = (head_ + 1) % before_.size();
        }
        head_ = 0;
        next_.record(r);
        after_ = options_.context;
    } else if (after_ > 0) {
        next_.record(r);
        --after_;
    } else if (options_.context > 0) {
        // A ring of the last `context` records; it grows only as far as the
        // input goes. The one it lets go was in no record's context.
        if (before_.size() < options_.context && held_ == before_.size()) {
            before_.push_back(r);
            ++held_;
            return;
        }
        const std::size_t slot = (head_ + held_) % before_.size();
        if (held_ == before_.size()) {
            next_.passedOver(before_[head_]);
            head_ = (head_ + 1) % before_.size();
        } else {
            ++held_;
        }
        before_[slot] = r;
    } else {
        next_.passedOver(r);
    }
}

void Filter::end(const DBGTime* closingSpan) {
    for (; held_ > 0; --held_) {
        next_.passedOver(before_[head_]);
        head_ = (head_ + 1) % before_.size();
    }
    next_.end(closingSpan);
}

}  // namespace qelttrace
