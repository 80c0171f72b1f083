// The fields of a record, once, for every output that lists them: the CSV
// header and rows, the keys of a JSON line, the arguments of a Perfetto event.
// A field is added here and appears in all of them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "input/record.h"
#include "output/json.h"

namespace qelttrace {

enum class FieldKind {
    kCount,    // record: a number from 1
    kTime,     // the time as printed, a string in JSON
    kInteger,  // nanoseconds
    kText,     // bytes as received
    kStatus,   // a status name
};

enum class FieldId {
    kRecord,
    kTime,
    kTimeNs,
    kDeltaNs,
    kEvent,
    kQualifier,
    kArgument,
    kStatus,
    kText
};

struct Field {
    FieldId id;
    std::string_view name;
    std::string_view jsonKey;  // the name as a JSON member's after a comma: ",\"name\":"
    FieldKind kind;
    bool traceArgument;  // carried by the Perfetto events drawn for the record
};

// Known at compile time, so that the writers' loops over it unroll.
inline constexpr Field kFields[] = {
    {FieldId::kRecord, "record", ",\"record\":", FieldKind::kCount, true},
    {FieldId::kTime, "time", ",\"time\":", FieldKind::kTime, false},
    {FieldId::kTimeNs, "time_ns", ",\"time_ns\":", FieldKind::kInteger, false},
    {FieldId::kDeltaNs, "delta_ns", ",\"delta_ns\":", FieldKind::kInteger, false},
    {FieldId::kEvent, "event", ",\"event\":", FieldKind::kText, true},
    {FieldId::kQualifier, "qualifier", ",\"qualifier\":", FieldKind::kText, true},
    {FieldId::kArgument, "argument", ",\"argument\":", FieldKind::kText, true},
    {FieldId::kStatus, "status", ",\"status\":", FieldKind::kStatus, true},
    {FieldId::kText, "text", ",\"text\":", FieldKind::kText, false},
};
constexpr std::size_t kFieldCount = sizeof kFields / sizeof kFields[0];

constexpr bool keysMatchNames() {
    for (const Field& f : kFields) {
        if (f.jsonKey.size() != f.name.size() + 4 || f.jsonKey.substr(0, 2) != ",\"" ||
            f.jsonKey.substr(2, f.name.size()) != f.name ||
            f.jsonKey.substr(f.name.size() + 2) != "\":")
            return false;
    }
    return true;
}
static_assert(keysMatchNames(), "each field's JSON key is its name");

// The fields a trace event carries are those a record's words give.
constexpr bool traceArgumentsAreWords() {
    for (const Field& f : kFields) {
        if (f.traceArgument && f.id != FieldId::kRecord && f.id != FieldId::kEvent &&
            f.id != FieldId::kQualifier && f.id != FieldId::kArgument && f.id != FieldId::kStatus)
            return false;
    }
    return true;
}
static_assert(traceArgumentsAreWords(), "TraceWords holds every trace argument");

// A record as the trace events drawn for it after it streamed by name it: a
// transaction's start or end, the SATAWakeup that entered a state.
struct TraceWords {
    std::uint64_t record = 0;
    std::string_view event, qualifier, argument;
    Status status = Status::kOk;
};

// "record,time,...": the field names joined by commas.
void appendCsvHeader(std::string& out);
// One record as a CSV row (RFC 4180: a field with a comma, a quote or a line
// end quoted, quotes doubled; the bytes as they are otherwise), no line end.
void appendCsvRow(std::string& out, const Record& record);
// Appends `text` as one CSV field.
void appendCsvField(std::string& out, std::string_view text);
// The record's fields as members of the JSON object being written: every one,
// or only those that Perfetto's events carry.
void writeJsonFields(JsonWriter& json, const Record& record, bool traceArgumentsOnly);
// The record's fields as the elements of the JSON array being written, in
// the table's order, each text cut at `textMax` bytes; the record text only
// for a record that did not decode.
void writeJsonFieldValues(JsonWriter& json, const Record& record, std::size_t textMax);
// The fields a trace event carries, from the words kept of a record.
void writeTraceFields(JsonWriter& json, const TraceWords& words);

}  // namespace qelttrace
