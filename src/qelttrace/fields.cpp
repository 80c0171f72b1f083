#include "fields.h"

namespace qelttrace {

const Field kFields[kFieldCount] = {
    {FieldId::kRecord, "record", FieldKind::kCount, true},
    {FieldId::kTime, "time", FieldKind::kTime, false},
    {FieldId::kTimeNs, "time_ns", FieldKind::kInteger, false},
    {FieldId::kDeltaNs, "delta_ns", FieldKind::kInteger, false},
    {FieldId::kEvent, "event", FieldKind::kText, false},
    {FieldId::kQualifier, "qualifier", FieldKind::kText, false},
    {FieldId::kArgument, "argument", FieldKind::kText, false},
    {FieldId::kStatus, "status", FieldKind::kStatus, false},
    {FieldId::kText, "text", FieldKind::kText, false},
};

namespace {

// Bytes that make a CSV field quoted.
struct Quoted {
    bool is[256] = {};
    constexpr Quoted() {
        is[static_cast<unsigned char>(',')] = true;
        is[static_cast<unsigned char>('"')] = true;
        is[static_cast<unsigned char>('\r')] = true;
        is[static_cast<unsigned char>('\n')] = true;
    }
};
constexpr Quoted kQuoted;

// Each field's name as a JSON member's: a comma, the name quoted, its colon.
struct JsonKeys {
    std::string key[kFieldCount];
    JsonKeys() {
        for (std::size_t i = 0; i < kFieldCount; ++i) {
            key[i] = std::string(",\"") + kFields[i].name + "\":";
        }
    }
};

std::int64_t integerOf(const Record& r, FieldId id) {
    switch (id) {
        case FieldId::kRecord:
            return static_cast<std::int64_t>(r.number);
        case FieldId::kTimeNs:
            return r.timeNs;
        case FieldId::kDeltaNs:
            return r.deltaNs;
        default:
            return 0;
    }
}

std::string_view textOf(const Record& r, FieldId id) {
    switch (id) {
        case FieldId::kEvent:
            return r.event();
        case FieldId::kQualifier:
            return r.qualifier();
        case FieldId::kArgument:
            return r.argument();
        case FieldId::kText:
            return r.text();
        default:
            return {};
    }
}

}  // namespace

void appendCsvHeader(std::string& out) {
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        if (i > 0) out += ',';
        out += kFields[i].name;
    }
}

void appendCsvField(std::string& out, std::string_view text) {
    bool quoted = false;
    for (const char c : text) quoted = quoted || kQuoted.is[static_cast<unsigned char>(c)];
    if (!quoted) {
        out.append(text);
        return;
    }
    out += '"';
    for (const char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

void appendCsvRow(std::string& out, const Record& r) {
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        if (i > 0) out += ',';
        const Field& f = kFields[i];
        switch (f.kind) {
            case FieldKind::kCount:
            case FieldKind::kInteger:
                appendInt(out, integerOf(r, f.id));
                break;
            case FieldKind::kTime:
                appendTime(out, r.time);
                break;
            case FieldKind::kText:
                appendCsvField(out, textOf(r, f.id));
                break;
            case FieldKind::kStatus:
                out += statusName(r.status);
                break;
        }
    }
}

void writeJsonFields(JsonWriter& json, const Record& r, bool traceArgumentsOnly) {
    static const JsonKeys keys;
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        const Field& f = kFields[i];
        if (traceArgumentsOnly && !f.traceArgument) continue;
        json.quotedKey(keys.key[i]);
        switch (f.kind) {
            case FieldKind::kCount:
            case FieldKind::kInteger:
                json.integer(integerOf(r, f.id));
                break;
            case FieldKind::kTime: {
                char time[kTimeTextMax];
                json.plainString(std::string_view(time, formatTime(time, r.time)));
                break;
            }
            case FieldKind::kText:
                json.string(textOf(r, f.id));
                break;
            case FieldKind::kStatus:
                json.plainString(statusName(r.status));
                break;
        }
    }
}

}  // namespace qelttrace
