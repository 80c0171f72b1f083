// The fields of a record, once, for every output that lists them: the CSV
// header and rows, the keys of a JSON line, the arguments of a Perfetto
// event, the rows of the page's records. A field is one row of kFields: its
// name, its kind, where it goes, and the one accessor that reads its value.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "input/record.h"
#include "output/json.h"

namespace qelttrace {

enum class FieldKind {
    kCount,    // a number from 1
    kTime,     // the time as printed, a string in JSON
    kInteger,  // nanoseconds
    kText,     // bytes as received
    kStatus,   // a status name
};

// A field's value as its accessor reads it: the member its kind names.
struct FieldValue {
    std::int64_t number = 0;  // kCount, kInteger
    DBGTime time{0, 0};       // kTime
    std::string_view text;    // kText
    Status status = Status::kOk;

    constexpr FieldValue() = default;
    constexpr explicit FieldValue(std::int64_t number_) : number(number_) {}
    constexpr explicit FieldValue(DBGTime time_) : time(time_) {}
    constexpr explicit FieldValue(std::string_view text_) : text(text_) {}
    constexpr explicit FieldValue(Status status_) : status(status_) {}
};

struct Field {
    std::string_view name;
    FieldKind kind;
    // Carried by the Perfetto events drawn for the record.
    bool traceArgument;
    // Shown in the page's rows of records only for a record that did not
    // decode (a decoded one's words say what it holds).
    bool onlyUndecoded;
    FieldValue (*value)(const Record&);
};

// Known at compile time, so that the writers' loops over it unroll and each
// accessor folds to the one member it reads.
inline constexpr Field kFields[] = {
    {"record", FieldKind::kCount, true, false,
     [](const Record& r) { return FieldValue(static_cast<std::int64_t>(r.number)); }},
    {"time", FieldKind::kTime, false, false, [](const Record& r) { return FieldValue(r.time); }},
    {"time_ns", FieldKind::kInteger, false, false,
     [](const Record& r) { return FieldValue(r.timeNs); }},
    {"delta_ns", FieldKind::kInteger, false, false,
     [](const Record& r) { return FieldValue(r.deltaNs); }},
    {"event", FieldKind::kText, true, false, [](const Record& r) { return FieldValue(r.event()); }},
    {"qualifier", FieldKind::kText, true, false,
     [](const Record& r) { return FieldValue(r.qualifier()); }},
    {"argument", FieldKind::kText, true, false,
     [](const Record& r) { return FieldValue(r.argument()); }},
    {"status", FieldKind::kStatus, true, false,
     [](const Record& r) { return FieldValue(r.status); }},
    {"text", FieldKind::kText, false, true, [](const Record& r) { return FieldValue(r.text()); }},
};
constexpr std::size_t kFieldCount = sizeof kFields / sizeof kFields[0];

constexpr bool namesAreDistinctIdentifiers() {
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        if (kFields[i].name.empty() || kFields[i].name.size() > JsonKey::kNameMax) return false;
        for (const char c : kFields[i].name) {
            if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (kFields[j].name == kFields[i].name) return false;
        }
    }
    return true;
}
// They are CSV columns and JSON keys as they stand: nothing to quote or escape.
static_assert(namesAreDistinctIdentifiers(),
              "field names are distinct lower-case identifiers that fit a JsonKey");

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
// the table's order, each text cut at `textMax` bytes; an `onlyUndecoded`
// field empty for a record that decoded.
void writeJsonFieldValues(JsonWriter& json, const Record& record, std::size_t textMax);

}  // namespace qelttrace
