#include "output/transaction_fields.h"

#include "output/record_fields.h"

namespace qelttrace {

TransactionView::TransactionView(const Transaction& t, std::string_view ruleName)
    : rule(ruleName),
      key(t.key),
      kind(t.kind),
      outcome(t.outcome),
      startRecord(t.start.record),
      endRecord(t.end.record),
      startNs(t.start.timeNs),
      durationNs(t.matched() ? t.durationNs() : 0),
      records(t.records),
      errors(t.errors),
      ended(t.matched()) {}

TransactionView::TransactionView(const KeptTransaction& t, std::string_view ruleName)
    : rule(ruleName),
      key(t.key),
      kind(t.kind),
      outcome(t.outcome),
      startRecord(t.startRecord),
      endRecord(t.endRecord),
      startNs(t.startNs),
      durationNs(t.durationNs),
      records(t.records),
      errors(t.errors),
      ended(t.ended) {}

bool shownFor(const TransactionField& field, const PairRule& rule) {
    switch (field.shownFor) {
        case ShownFor::kKeyedRule:
            return rule.key != PairWord::kNone;
        case ShownFor::kRuleWithKinds:
            return rule.kind != PairWord::kNone;
        case ShownFor::kRuleWithOutcomes:
            return rule.outcome != PairWord::kNone;
        case ShownFor::kEveryRule:
            break;
    }
    return true;
}

void writeTransactionMembers(JsonWriter& json, const TransactionView& t, unsigned output,
                             bool emptyAsNull) {
    for (const TransactionField& f : kTransactionFields) {
        if (output != 0 && !(f.outputs & output)) continue;
        json.key(f.key);
        if (f.endOnly && !t.ended) {
            json.null();
            continue;
        }
        const TransactionValue v = f.value(t);
        if (f.unit == Unit::kText) {
            if (emptyAsNull && v.text.empty()) {
                json.null();
            } else {
                json.string(v.text);
            }
        } else {
            json.integer(v.number);
        }
    }
}

void appendTransactionCsvRow(std::string& out, const TransactionView& t) {
    bool first = true;
    for (const TransactionField& f : kTransactionFields) {
        if (!first) out += ',';
        first = false;
        if (f.endOnly && !t.ended) continue;
        const TransactionValue v = f.value(t);
        if (f.unit == Unit::kText) {
            appendCsvField(out, v.text);
        } else {
            appendInt(out, v.number);
        }
    }
}

}  // namespace qelttrace
