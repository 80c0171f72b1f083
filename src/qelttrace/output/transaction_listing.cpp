#include "output/transaction_listing.h"

#include <algorithm>

#include "output/json.h"
#include "output/record_fields.h"

namespace qelttrace {

namespace {

// A row of the listing; the end fields are absent for an unmatched start.
struct Row {
    std::size_t rule = 0;
    std::string_view key, kind;
    std::uint64_t startRecord = 0, endRecord = 0;
    std::int64_t startNs = 0, durationNs = 0;
    std::uint64_t records = 0, errors = 0;
    bool ended = false;
};

// A start left unmatched, kept for the end of the listing.
struct Unmatched {
    std::size_t rule = 0;
    std::uint64_t record = 0;
    std::int64_t ns = 0;
    std::string key, kind;
};

class TransactionsWriter : public Writer {
  public:
    TransactionsWriter(Output& out, std::vector<PairRule> rules, bool jsonl)
        : out_(out), jsonl_(jsonl) {
        for (const PairRule& rule : rules) names_.push_back(ruleName(rule));
        if (!jsonl_) {
            out_.buffer() += kTransactionsHeader;
            out_.buffer() += "\r\n";
        }
    }
    void record(const Record&, const Observation&) override {}
    void transaction(const Transaction& t) override {
        if (!t.hasStart) return;  // an end with no start is no transaction
        if (!t.hasEnd) {
            unmatched_.push_back(Unmatched{t.rule, t.start.record, t.start.timeNs,
                                           std::string(t.key), std::string(t.kind)});
            return;
        }
        Row row;
        row.rule = t.rule;
        row.key = t.key;
        row.kind = t.kind;
        row.startRecord = t.start.record;
        row.endRecord = t.end.record;
        row.startNs = t.start.timeNs;
        row.durationNs = t.durationNs();
        row.records = t.records;
        row.errors = t.errors;
        row.ended = true;
        write(row);
    }
    void end(const Ending&) override {
        std::stable_sort(unmatched_.begin(), unmatched_.end(),
                         [](const Unmatched& a, const Unmatched& b) {
                             return a.record != b.record ? a.record < b.record : a.rule < b.rule;
                         });
        for (const Unmatched& u : unmatched_) {
            Row row;
            row.rule = u.rule;
            row.key = u.key;
            row.kind = u.kind;
            row.startRecord = u.record;
            row.startNs = u.ns;
            write(row);
        }
        out_.flush();
    }

  private:
    void write(const Row& row) {
        std::string& out = out_.buffer();
        if (jsonl_) {
            JsonWriter j(out);
            j.beginObject();
            j.member("rule", names_[row.rule]);
            j.member("key", row.key);
            j.member("kind", row.kind);
            j.memberUnsigned("start_record", row.startRecord);
            j.memberMaybe("end_record", row.ended, static_cast<std::int64_t>(row.endRecord));
            j.memberInteger("start_ns", row.startNs);
            j.memberMaybe("duration_ns", row.ended, row.durationNs);
            j.memberMaybe("records", row.ended, static_cast<std::int64_t>(row.records));
            j.memberMaybe("errors", row.ended, static_cast<std::int64_t>(row.errors));
            j.endObject();
            out += '\n';
        } else {
            appendCsvField(out, names_[row.rule]);
            out += ',';
            appendCsvField(out, row.key);
            out += ',';
            appendCsvField(out, row.kind);
            out += ',';
            appendInt(out, static_cast<std::int64_t>(row.startRecord));
            out += ',';
            if (row.ended) appendInt(out, static_cast<std::int64_t>(row.endRecord));
            out += ',';
            appendInt(out, row.startNs);
            out += ',';
            if (row.ended) {
                appendInt(out, row.durationNs);
                out += ',';
                appendInt(out, static_cast<std::int64_t>(row.records));
                out += ',';
                appendInt(out, static_cast<std::int64_t>(row.errors));
            } else {
                out += ",,";
            }
            out += "\r\n";
        }
        out_.maybeFlush();
    }

    Output& out_;
    bool jsonl_;
    std::vector<std::string> names_;
    std::vector<Unmatched> unmatched_;
};

}  // namespace

bool transactionsAsJsonl(const std::string& target) {
    const std::string suffix = ".jsonl";
    return target.size() >= suffix.size() &&
           target.compare(target.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::unique_ptr<Writer> makeTransactionsWriter(Output& out, std::vector<PairRule> rules,
                                               bool jsonl) {
    return std::make_unique<TransactionsWriter>(out, std::move(rules), jsonl);
}

}  // namespace qelttrace
