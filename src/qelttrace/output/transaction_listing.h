// The --transactions listing: one row a transaction of every pair rule, in
// the order they end, then the starts left unmatched in start order with
// their end fields empty. CSV (RFC 4180, the header line
// kTransactionsHeader) or JSON lines (null for a field that is empty in the
// CSV), the fields those of transaction_fields.h. Written as the
// transactions are handed on; memory holds the unmatched starts until the
// end, as they are listed last.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analysis/pairs.h"
#include "output/output.h"
#include "output/transaction_fields.h"
#include "stages.h"

namespace qelttrace {

// What a JSON lines listing begins with (a file of no transactions is empty):
// its first line's first member.
inline constexpr char kTransactionsJsonlSignature[] = "{\"rule\":";
static_assert(std::string_view(kTransactionsJsonlSignature).substr(2, 4) ==
                      kTransactionFields[0].name &&
                  sizeof kTransactionsJsonlSignature == kTransactionFields[0].name.size() + 5,
              "the signature names the first field");

// What a CSV listing begins with, of this version or an older one (whose
// header lacked the columns added at its end since): the header up to them.
inline constexpr char kTransactionsCsvSignature[] =
    "rule,key,kind,start_record,end_record,start_ns,duration_ns,records,errors";
static_assert(std::string_view(kTransactionsHeader)
                      .substr(0, sizeof kTransactionsCsvSignature - 1) == kTransactionsCsvSignature,
              "every listing's header begins as the older ones did");

// Whether a listing named `target` is JSON lines (its name ends in ".jsonl").
bool transactionsAsJsonl(const std::string& target);

std::unique_ptr<Writer> makeTransactionListing(Output& out, std::vector<PairRule> rules,
                                               bool jsonl);

}  // namespace qelttrace
