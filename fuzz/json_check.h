// A strict JSON reader for the fuzz targets: the grammar of RFC 8259, strings
// of valid UTF-8 without raw control bytes, nesting bounded. It keeps what
// the checks ask about: every member's name with its value as text, and the
// integers of members named in `wanted`.
#pragma once

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class JsonCheck {
  public:
    // The members whose integer values are kept (in order met).
    explicit JsonCheck(std::vector<std::string> wanted = {}) : wanted_(std::move(wanted)) {}

    // Whether `text` is one JSON value and nothing else (blanks aside).
    bool parse(std::string_view text) {
        text_ = text;
        at_ = 0;
        numbers_.clear();
        blanks();
        if (!value(0)) return false;
        blanks();
        return at_ == text_.size();
    }
    // The integers of the wanted members, with their names.
    const std::vector<std::pair<std::string, std::int64_t>>& numbers() const { return numbers_; }

  private:
    static constexpr int kDepthMax = 64;

    void blanks() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\n' ||
                                      text_[at_] == '\r' || text_[at_] == '\t'))
            ++at_;
    }
    bool take(char c) {
        if (at_ >= text_.size() || text_[at_] != c) return false;
        ++at_;
        return true;
    }
    bool literal(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) return false;
        at_ += word.size();
        return true;
    }
    bool utf8() {
        const auto lead = static_cast<unsigned char>(text_[at_]);
        int more = lead >= 0xF0 && lead <= 0xF4 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 ? 1 : -1;
        if (lead >= 0xF8 || more < 0) return false;
        ++at_;
        for (; more > 0; --more, ++at_) {
            if (at_ >= text_.size() || (static_cast<unsigned char>(text_[at_]) & 0xC0) != 0x80)
                return false;
        }
        return true;
    }
    bool string(std::string* out) {
        if (!take('"')) return false;
        while (at_ < text_.size() && text_[at_] != '"') {
            const auto c = static_cast<unsigned char>(text_[at_]);
            if (c < 0x20) return false;
            if (c >= 0x80) {
                if (!utf8()) return false;
                continue;
            }
            if (c == '\\') {
                ++at_;
                if (at_ >= text_.size()) return false;
                const char e = text_[at_++];
                if (e == 'u') {
                    for (int i = 0; i < 4; ++i, ++at_) {
                        if (at_ >= text_.size() ||
                            !std::isxdigit(static_cast<unsigned char>(text_[at_])))
                            return false;
                    }
                } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
                    return false;
                }
                continue;
            }
            if (out) out->push_back(static_cast<char>(c));
            ++at_;
        }
        return take('"');
    }
    bool number(const std::string& name) {
        const std::size_t start = at_;
        take('-');
        if (take('0')) {
        } else if (at_ < text_.size() && text_[at_] >= '1' && text_[at_] <= '9') {
            while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_])))
                ++at_;
        } else {
            return false;
        }
        bool integer = true;
        if (take('.')) {
            integer = false;
            if (at_ >= text_.size() || !std::isdigit(static_cast<unsigned char>(text_[at_])))
                return false;
            while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_])))
                ++at_;
        }
        if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
            integer = false;
            ++at_;
            if (!take('+')) take('-');
            if (at_ >= text_.size() || !std::isdigit(static_cast<unsigned char>(text_[at_])))
                return false;
            while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_])))
                ++at_;
        }
        if (integer && !name.empty()) {
            for (const std::string& w : wanted_) {
                if (w == name) {
                    numbers_.emplace_back(
                        name, std::stoll(std::string(text_.substr(start, at_ - start))));
                }
            }
        }
        return true;
    }
    bool value(int depth, const std::string& name = {}) {
        if (depth > kDepthMax || at_ >= text_.size()) return false;
        const char c = text_[at_];
        if (c == '{') return object(depth);
        if (c == '[') return array(depth);
        if (c == '"') return string(nullptr);
        if (c == 't') return literal("true");
        if (c == 'f') return literal("false");
        if (c == 'n') return literal("null");
        return number(name);
    }
    bool object(int depth) {
        take('{');
        blanks();
        if (take('}')) return true;
        for (;;) {
            std::string name;
            blanks();
            if (!string(&name)) return false;
            blanks();
            if (!take(':')) return false;
            blanks();
            if (!value(depth + 1, name)) return false;
            blanks();
            if (take('}')) return true;
            if (!take(',')) return false;
        }
    }
    bool array(int depth) {
        take('[');
        blanks();
        if (take(']')) return true;
        for (;;) {
            blanks();
            if (!value(depth + 1)) return false;
            blanks();
            if (take(']')) return true;
            if (!take(',')) return false;
        }
    }

    std::vector<std::string> wanted_;
    std::string_view text_;
    std::size_t at_ = 0;
    std::vector<std::pair<std::string, std::int64_t>> numbers_;
};
