#include "output/record_fields.h"

#include <utility>

namespace qelttrace {

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

// A field's value as a JSON value, the text cut at `textMax` bytes.
void writeJsonValue(JsonWriter& json, FieldKind kind, const FieldValue& v, std::size_t textMax) {
    switch (kind) {
        case FieldKind::kCount:
        case FieldKind::kInteger:
            json.integer(v.number);
            break;
        case FieldKind::kTime: {
            char time[kTimeTextMax];
            json.plainString(std::string_view(time, formatTime(time, v.time)));
            break;
        }
        case FieldKind::kText:
            json.string(v.text.substr(0, textMax));
            break;
        case FieldKind::kStatus:
            json.plainString(statusName(v.status));
            break;
    }
}

template <std::size_t I>
void appendCsvValue(std::string& out, const Record& r) {
    constexpr Field f = kFields[I];
    if constexpr (I > 0) out += ',';
    const FieldValue v = f.value(r);
    if constexpr (f.kind == FieldKind::kCount || f.kind == FieldKind::kInteger) {
        appendInt(out, v.number);
    } else if constexpr (f.kind == FieldKind::kTime) {
        appendTime(out, v.time);
    } else if constexpr (f.kind == FieldKind::kText) {
        appendCsvField(out, v.text);
    } else {
        out += statusName(v.status);
    }
}

template <bool kTraceArgumentsOnly, std::size_t I>
void writeJsonMember(JsonWriter& json, const Record& r) {
    constexpr Field f = kFields[I];
    if constexpr (kTraceArgumentsOnly && !f.traceArgument) return;
    static constexpr JsonKey kKey(f.name);
    json.key(kKey);
    writeJsonValue(json, f.kind, f.value(r), std::string_view::npos);
}

template <std::size_t... I>
void appendCsvValues(std::string& out, const Record& r, std::index_sequence<I...>) {
    (appendCsvValue<I>(out, r), ...);
}

template <bool kTraceArgumentsOnly, std::size_t... I>
void writeJsonMembers(JsonWriter& json, const Record& r, std::index_sequence<I...>) {
    (writeJsonMember<kTraceArgumentsOnly, I>(json, r), ...);
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

// The loops over the table run at compile time: a field is still named once,
// in kFields, and costs no look-up per record.
void appendCsvRow(std::string& out, const Record& r) {
    appendCsvValues(out, r, std::make_index_sequence<kFieldCount>());
}

void writeJsonFields(JsonWriter& json, const Record& r, bool traceArgumentsOnly) {
    if (traceArgumentsOnly) {
        writeJsonMembers<true>(json, r, std::make_index_sequence<kFieldCount>());
    } else {
        writeJsonMembers<false>(json, r, std::make_index_sequence<kFieldCount>());
    }
}

void writeJsonFieldValues(JsonWriter& json, const Record& r, std::size_t textMax) {
    const bool decoded = r.status == Status::kOk;
    for (const Field& f : kFields) {
        if (f.onlyUndecoded && decoded) {
            writeJsonValue(json, f.kind, FieldValue(), textMax);
        } else {
            writeJsonValue(json, f.kind, f.value(r), textMax);
        }
    }
}

}  // namespace qelttrace
