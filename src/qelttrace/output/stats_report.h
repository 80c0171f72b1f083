// The --stats report of the finished statistics, as readable text or as one
// JSON object, written on standard output once the input is over.
#pragma once

#include <string>

#include "analysis/statistics.h"
#include "output/json.h"
#include "output/output.h"

namespace qelttrace {

void writeStatsText(const Statistics& stats, std::string& out);
void writeStatsJson(const Statistics& stats, std::string& out);
// The same object as the next value of `json`, without the line end.
void writeStatsJson(JsonWriter& json, const Statistics& stats);

enum class StatsFormat { kNone, kText, kJson };

class StatsWriter : public Writer {
  public:
    StatsWriter(StatsFormat format, Output& out) : format_(format), out_(out) {}
    void record(const Record&, const Observation&) override {}
    void end(const Ending& ending) override;

  private:
    StatsFormat format_;
    Output& out_;
};

}  // namespace qelttrace
