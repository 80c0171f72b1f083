// The --transactions listing: one row a transaction of every pair rule, in
// the order they end, then the starts left unmatched in start order with
// their end fields empty. CSV (RFC 4180, the header line
// kTransactionsHeader) or JSON lines (null for an empty field). Written as
// the transactions are handed on; memory holds the unmatched starts until
// the end, as they are listed last.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analysis/pairs.h"
#include "output/output.h"
#include "stages.h"

namespace qelttrace {

inline constexpr char kTransactionsHeader[] =
    "rule,key,kind,start_record,end_record,start_ns,duration_ns,records,errors";
// What a JSON lines listing begins with (a file of no transactions is empty).
inline constexpr char kTransactionsJsonlSignature[] = "{\"rule\":";

// Whether a listing named `target` is JSON lines (its name ends in ".jsonl").
bool transactionsAsJsonl(const std::string& target);

std::unique_ptr<Writer> makeTransactionsWriter(Output& out, std::vector<PairRule> rules,
                                               bool jsonl);

}  // namespace qelttrace
