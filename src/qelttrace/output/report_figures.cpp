#include "output/report_figures.h"

namespace qelttrace {

void writeLatencyMembers(JsonWriter& json, const LogHistogram& h, bool meanLast) {
    const LatencyColumn& mean = latencyColumn("mean");
    const bool any = h.count() > 0;
    for (const LatencyColumn& c : kLatencyColumns) {
        if (meanLast && &c == &mean) continue;
        json.memberMaybe(c.key, any, any ? c.value(h) : 0);
    }
    if (meanLast) json.memberMaybe(mean.key, any, any ? mean.value(h) : 0);
}

}  // namespace qelttrace
