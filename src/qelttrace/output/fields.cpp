#include "output/fields.h"

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

// The value of field `id`, which the writers know at compile time: each call
// folds to the one member it reads.
inline std::int64_t integerOf(const Record& r, FieldId id) {
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

inline std::string_view textOf(const Record& r, FieldId id) {
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

template <std::size_t I>
void appendCsvValue(std::string& out, const Record& r) {
    constexpr Field f = kFields[I];
    if constexpr (I > 0) out += ',';
    if constexpr (f.kind == FieldKind::kCount || f.kind == FieldKind::kInteger) {
        appendInt(out, integerOf(r, f.id));
    } else if constexpr (f.kind == FieldKind::kTime) {
        appendTime(out, r.time);
    } else if constexpr (f.kind == FieldKind::kText) {
        appendCsvField(out, textOf(r, f.id));
    } else {
        out += statusName(r.status);
    }
}

template <bool kTraceArgumentsOnly, std::size_t I>
void writeJsonValue(JsonWriter& json, const Record& r) {
    constexpr Field f = kFields[I];
    if constexpr (kTraceArgumentsOnly && !f.traceArgument) return;
    json.key(f.name);
    if constexpr (f.kind == FieldKind::kCount || f.kind == FieldKind::kInteger) {
        json.integer(integerOf(r, f.id));
    } else if constexpr (f.kind == FieldKind::kTime) {
        char time[kTimeTextMax];
        json.plainString(std::string_view(time, formatTime(time, r.time)));
    } else if constexpr (f.kind == FieldKind::kText) {
        json.string(textOf(r, f.id));
    } else {
        json.plainString(statusName(r.status));
    }
}

template <std::size_t... I>
void appendCsvValues(std::string& out, const Record& r, std::index_sequence<I...>) {
    (appendCsvValue<I>(out, r), ...);
}

template <bool kTraceArgumentsOnly, std::size_t... I>
void writeJsonValues(JsonWriter& json, const Record& r, std::index_sequence<I...>) {
    (writeJsonValue<kTraceArgumentsOnly, I>(json, r), ...);
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
        writeJsonValues<true>(json, r, std::make_index_sequence<kFieldCount>());
    } else {
        writeJsonValues<false>(json, r, std::make_index_sequence<kFieldCount>());
    }
}

void writeJsonFieldValues(JsonWriter& json, const Record& r, std::size_t textMax) {
    for (const Field& f : kFields) {
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
            case FieldKind::kText: {
                const bool shown = f.id != FieldId::kText || r.status != Status::kOk;
                json.string(shown ? textOf(r, f.id).substr(0, textMax) : std::string_view());
                break;
            }
            case FieldKind::kStatus:
                json.plainString(statusName(r.status));
                break;
        }
    }
}

void writeTraceFields(JsonWriter& json, const TraceWords& w) {
    for (const Field& f : kFields) {
        if (!f.traceArgument) continue;
        json.key(f.name);
        switch (f.id) {
            case FieldId::kRecord:
                json.unsignedInteger(w.record);
                break;
            case FieldId::kEvent:
                json.string(w.event);
                break;
            case FieldId::kQualifier:
                json.string(w.qualifier);
                break;
            case FieldId::kArgument:
                json.string(w.argument);
                break;
            default:
                json.plainString(statusName(w.status));
                break;
        }
    }
}

}  // namespace qelttrace
