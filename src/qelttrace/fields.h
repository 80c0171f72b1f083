// The fields of a record, once, for every output that lists them: the CSV
// header and rows, the keys of a JSON line, the arguments of a Perfetto event.
// A field is added here and appears in all of them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "json.h"
#include "record.h"

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
    const char* name;
    FieldKind kind;
    bool traceArgument;  // carried by the Perfetto events drawn for the record
};

constexpr std::size_t kFieldCount = 9;
extern const Field kFields[kFieldCount];

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

}  // namespace qelttrace
