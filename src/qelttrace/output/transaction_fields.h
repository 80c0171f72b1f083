// The fields of a transaction, once, for every output that lists them: the
// --transactions listing (CSV and JSON lines), the slowest transactions in
// --stats, --stats=json and on the page, the arguments of the Perfetto
// slices. A field is one row of kTransactionFields: its name, its label, its
// unit, where it goes, and the one accessor that reads its value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "analysis/pairs.h"
#include "output/json.h"
#include "stages.h"

namespace qelttrace {

// What a figure is, so that each output shows it its own way.
enum class Unit {
    kText,      // bytes as received
    kCount,     // a number of records, or a record's number
    kTime,      // nanoseconds of the dump's clock: seconds in the text and on the page
    kDuration,  // nanoseconds: seconds in the text, microseconds on the page
};

// A transaction as the table reads it: one handed on, or one kept.
struct TransactionView {
    std::string_view rule, key, kind, outcome;
    std::uint64_t startRecord = 0, endRecord = 0;
    std::int64_t startNs = 0, durationNs = 0;
    std::uint64_t records = 0, errors = 0;
    bool ended = false;  // matched; a start left open has no end fields

    TransactionView() = default;
    TransactionView(const Transaction& t, std::string_view ruleName);
    TransactionView(const KeptTransaction& t, std::string_view ruleName);
};

// A field's value: its text for a kText field, else its number.
struct TransactionValue {
    std::string_view text;
    std::int64_t number = 0;

    static constexpr TransactionValue ofText(std::string_view text) { return {text, 0}; }
    static constexpr TransactionValue ofCount(std::uint64_t count) {
        return {{}, static_cast<std::int64_t>(count)};
    }
    static constexpr TransactionValue ofNs(std::int64_t ns) { return {{}, ns}; }
};

// Where a field goes beside the listing, which has them all.
enum TransactionOutput : unsigned {
    kInSlowest = 1,     // the slowest in --stats, --stats=json and on the page
    kInSliceStart = 2,  // the Perfetto async slice's start, after its record's fields
    kInSliceEnd = 4,    // the end of a Perfetto slice: an async one's end, a complete one
};

// In the tables of the slowest (--stats and the page): for every rule, or
// only for a rule that has keys, kinds, or outcomes. --stats=json names them
// all.
enum class ShownFor { kEveryRule, kKeyedRule, kRuleWithKinds, kRuleWithOutcomes };

struct TransactionField {
    std::string_view name;   // the CSV column and the JSON member
    std::string_view label;  // the head of a table of the slowest, before its unit
    Unit unit;
    // Only a transaction that ended has it: empty in CSV, null in JSON for a
    // start left open.
    bool endOnly;
    unsigned outputs;  // TransactionOutput bits
    ShownFor shownFor;
    TransactionValue (*value)(const TransactionView&);
    JsonKey key;  // the name as the JSON writer writes it

    constexpr TransactionField(std::string_view name_, std::string_view label_, Unit unit_,
                               bool endOnly_, unsigned outputs_, ShownFor shownFor_,
                               TransactionValue (*value_)(const TransactionView&))
        : name(name_),
          label(label_),
          unit(unit_),
          endOnly(endOnly_),
          outputs(outputs_),
          shownFor(shownFor_),
          value(value_),
          key(name_) {}
};

inline constexpr TransactionField kTransactionFields[] = {
    {"rule", "rule", Unit::kText, false, 0, ShownFor::kEveryRule,
     [](const TransactionView& t) { return TransactionValue::ofText(t.rule); }},
    {"key", "key", Unit::kText, false, kInSlowest | kInSliceStart, ShownFor::kKeyedRule,
     [](const TransactionView& t) { return TransactionValue::ofText(t.key); }},
    {"kind", "kind", Unit::kText, false, kInSlowest | kInSliceStart, ShownFor::kRuleWithKinds,
     [](const TransactionView& t) { return TransactionValue::ofText(t.kind); }},
    {"start_record", "start record", Unit::kCount, false, kInSlowest, ShownFor::kEveryRule,
     [](const TransactionView& t) { return TransactionValue::ofCount(t.startRecord); }},
    {"end_record", "end record", Unit::kCount, true, kInSlowest | kInSliceEnd, ShownFor::kEveryRule,
     [](const TransactionView& t) { return TransactionValue::ofCount(t.endRecord); }},
    {"start_ns", "start", Unit::kTime, false, kInSlowest, ShownFor::kEveryRule,
     [](const TransactionView& t) { return TransactionValue::ofNs(t.startNs); }},
    {"duration_ns", "duration", Unit::kDuration, true, kInSlowest, ShownFor::kEveryRule,
     [](const TransactionView& t) { return TransactionValue::ofNs(t.durationNs); }},
    {"records", "records", Unit::kCount, true, kInSliceEnd, ShownFor::kEveryRule,
     [](const TransactionView& t) { return TransactionValue::ofCount(t.records); }},
    {"errors", "errors", Unit::kCount, true, kInSliceEnd, ShownFor::kEveryRule,
     [](const TransactionView& t) { return TransactionValue::ofCount(t.errors); }},
    // Last, so that a listing of before it is replaced as one of its own.
    {"outcome", "outcome", Unit::kText, true, 0, ShownFor::kRuleWithOutcomes,
     [](const TransactionView& t) { return TransactionValue::ofText(t.outcome); }},
};
constexpr std::size_t kTransactionFieldCount =
    sizeof kTransactionFields / sizeof kTransactionFields[0];

constexpr bool transactionNamesFit() {
    for (const TransactionField& f : kTransactionFields) {
        if (f.name.size() > JsonKey::kNameMax) return false;
    }
    return true;
}
static_assert(transactionNamesFit(), "each field's name fits its JsonKey");

// The field named `name` (a compile-time error when there is none).
constexpr const TransactionField& transactionField(std::string_view name) {
    std::size_t i = 0;
    while (kTransactionFields[i].name != name) ++i;
    return kTransactionFields[i];
}

// The listing's CSV header, "rule,key,...", made from the table when compiled.
struct TransactionsHeader {
    static constexpr std::size_t kSize = 256;
    char text[kSize] = {};
    std::size_t size = 0;
    constexpr TransactionsHeader() {
        for (std::size_t i = 0; i < kTransactionFieldCount; ++i) {
            if (i > 0) text[size++] = ',';
            for (const char c : kTransactionFields[i].name) text[size++] = c;
        }
    }
};
inline constexpr TransactionsHeader kTransactionsHeaderText;
static_assert(kTransactionsHeaderText.size < TransactionsHeader::kSize, "the header fits");
inline constexpr const char* kTransactionsHeader = kTransactionsHeaderText.text;

// Whether `field` has a column in a table of the slowest of `rule`.
bool shownFor(const TransactionField& field, const PairRule& rule);
// The fields in `output` (a TransactionOutput bit) of `t`, as members of the
// JSON object being written; every field when `output` is 0. A field a start
// left open does not have is null; with `emptyAsNull` (the listing's JSON
// lines, whose fields are those of its CSV) so is an empty text.
void writeTransactionMembers(JsonWriter& json, const TransactionView& t, unsigned output,
                             bool emptyAsNull = false);
// Every field of `t` as a CSV row (RFC 4180), no line end.
void appendTransactionCsvRow(std::string& out, const TransactionView& t);

}  // namespace qelttrace
