#include "output/json.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

namespace qelttrace {

namespace {

constexpr char kHex[] = "0123456789abcdef";

// Bytes that a JSON string cannot hold as they are.
struct Escaped {
    bool is[256] = {};
    constexpr Escaped() {
        for (int c = 0; c < 0x20; ++c) is[c] = true;
        is[static_cast<unsigned char>('"')] = true;
        is[static_cast<unsigned char>('\\')] = true;
        for (int c = 0x7F; c < 256; ++c) is[c] = true;
    }
};
constexpr Escaped kEscaped;

void appendEscaped(std::string& out, unsigned char byte) {
    if (byte >= 0x80) {
        out += static_cast<char>(0xC0 | (byte >> 6));
        out += static_cast<char>(0x80 | (byte & 0x3F));
        return;
    }
    switch (byte) {
        case '"':
        case '\\':
            out += '\\';
            out += static_cast<char>(byte);
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            out += "\\u00";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
            break;
    }
}

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
    // Most strings are short words that need no escaping: one append.
    constexpr std::size_t kShort = 62;
    if (text.size() <= kShort) {
        bool plain = true;
        for (const char c : text) plain = plain && !kEscaped.is[static_cast<unsigned char>(c)];
        if (plain) {
            char quoted[kShort + 2];
            quoted[0] = '"';
            if (!text.empty()) std::memcpy(quoted + 1, text.data(), text.size());
            quoted[text.size() + 1] = '"';
            out.append(quoted, text.size() + 2);
            return;
        }
    }
    out += '"';
    std::size_t run = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (!kEscaped.is[byte]) continue;
        out.append(text.data() + run, i - run);
        appendEscaped(out, byte);
        run = i + 1;
    }
    out.append(text.data() + run, text.size() - run);
    out += '"';
}

void JsonWriter::string(std::string_view text) {
    separate();
    appendJsonString(out_, text);
}

void JsonWriter::integer(std::int64_t value) {
    separate();
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out_.append(digits, result.ptr);
}

void JsonWriter::unsignedInteger(std::uint64_t value) {
    separate();
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out_.append(digits, result.ptr);
}

void JsonWriter::null() {
    separate();
    out_ += "null";
}

void JsonWriter::plainString(std::string_view text) {
    separate();
    // One append: the caller's strings are short (a time, a name).
    char quoted[64];
    if (text.size() + 2 > sizeof quoted) {
        out_ += '"';
        out_.append(text);
        out_ += '"';
        return;
    }
    quoted[0] = '"';
    std::memcpy(quoted + 1, text.data(), text.size());
    quoted[text.size() + 1] = '"';
    out_.append(quoted, text.size() + 2);
}

void JsonWriter::number(std::string_view digits) {
    separate();
    out_.append(digits);
}

}  // namespace qelttrace
