#include "output/report_figures.h"

#include <utility>

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

std::string ruleWords(const PairRule& rule, std::string_view before, std::string_view after) {
    const std::pair<const char*, PairWord> words[] = {
        {"keyed", rule.key}, {"kinds", rule.kind}, {"outcomes", rule.outcome}};
    std::string text;
    for (const auto& [what, word] : words) {
        if (word == PairWord::kNone) continue;
        text.append(before).append(what).append(" by the ").append(pairWordName(word));
        text.append(after);
    }
    return text;
}

}  // namespace qelttrace
