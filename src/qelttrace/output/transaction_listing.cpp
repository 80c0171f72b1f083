#include "output/transaction_listing.h"

#include <algorithm>

#include "output/json.h"
#include "output/record_fields.h"

namespace qelttrace {

namespace {

class TransactionListing : public Writer {
  public:
    TransactionListing(Output& out, std::vector<PairRule> rules, bool jsonl)
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
            unmatched_.emplace_back(t);
            return;
        }
        write(TransactionView(t, names_[t.rule]));
    }
    void end(const Ending&) override {
        std::stable_sort(unmatched_.begin(), unmatched_.end(),
                         [](const KeptTransaction& a, const KeptTransaction& b) {
                             return a.startRecord != b.startRecord ? a.startRecord < b.startRecord
                                                                   : a.rule < b.rule;
                         });
        for (const KeptTransaction& u : unmatched_) write(TransactionView(u, names_[u.rule]));
        out_.flush();
    }

  private:
    void write(const TransactionView& row) {
        std::string& out = out_.buffer();
        if (jsonl_) {
            JsonWriter j(out);
            j.beginObject();
            writeTransactionMembers(j, row, 0, true);
            j.endObject();
            out += '\n';
        } else {
            appendTransactionCsvRow(out, row);
            out += "\r\n";
        }
        out_.maybeFlush();
    }

    Output& out_;
    bool jsonl_;
    std::vector<std::string> names_;
    std::vector<KeptTransaction> unmatched_;
};

}  // namespace

bool transactionsAsJsonl(const std::string& target) {
    const std::string suffix = ".jsonl";
    return target.size() >= suffix.size() &&
           target.compare(target.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::unique_ptr<Writer> makeTransactionListing(Output& out, std::vector<PairRule> rules,
                                               bool jsonl) {
    return std::make_unique<TransactionListing>(out, std::move(rules), jsonl);
}

}  // namespace qelttrace
