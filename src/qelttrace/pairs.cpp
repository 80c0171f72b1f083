#include "pairs.h"

#include <algorithm>
#include <utility>

namespace qelttrace {

const char* pairKeyName(PairKey key) {
    switch (key) {
        case PairKey::kQualifier:
            return "qualifier";
        case PairKey::kArgument:
            return "argument";
        case PairKey::kNone:
            break;
    }
    return "";
}

std::string parsePair(const std::string& text, PairRule* rule) {
    std::vector<std::string> parts;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t comma = text.find(',', begin);
        parts.push_back(text.substr(begin, comma == std::string::npos ? comma : comma - begin));
        if (comma == std::string::npos) break;
        begin = comma + 1;
    }
    if (parts.size() < 2 || parts.size() > 3) return "not START,END or START,END,KEY";
    if (parts[0].empty() || parts[1].empty()) return "START and END are event names";
    if (parts[0] == parts[1]) return "START and END are one event";
    rule->start = parts[0];
    rule->end = parts[1];
    rule->key = PairKey::kNone;
    if (parts.size() == 3) {
        if (parts[2] == "qualifier") {
            rule->key = PairKey::kQualifier;
        } else if (parts[2] == "argument") {
            rule->key = PairKey::kArgument;
        } else {
            return "the key is qualifier or argument";
        }
    }
    return {};
}

std::vector<PairRule> defaultPairs() {
    return {
        {"DMA Start", "DMA End", PairKey::kNone},
        {"FPGA_DMARXStart", "FPGA_DMARXStop", PairKey::kNone},
        {"ActivateTransaction", "CompleteTransation", PairKey::kArgument},
    };
}

PairMatcher::PairMatcher(std::vector<PairRule> rules)
    : rules_(std::move(rules)), stats_(rules_.size()), state_(rules_.size()) {}

void PairMatcher::record(const Record& r, const PairPoint& at,
                         std::vector<TransactionPoint>& points, Writer& out) {
    const std::string_view event = r.event();
    for (std::size_t i = 0; i < rules_.size(); ++i) {
        const PairRule& rule = rules_[i];
        const bool isStart = event == rule.start;
        if (!isStart && event != rule.end) continue;
        const std::string_view key = rule.key == PairKey::kQualifier  ? r.qualifier()
                                     : rule.key == PairKey::kArgument ? r.argument()
                                                                      : std::string_view();
        if (isStart) {
            start(i, key, at, points, out);
        } else {
            end(i, key, at, points, out);
        }
    }
}

void PairMatcher::unmatchedStart(std::size_t rule, const Open& open, std::string_view key,
                                 Writer& out) {
    ++stats_[rule].unmatchedStarts;
    Transaction t;
    t.rule = rule;
    t.id = open.id;
    t.hasStart = true;
    t.start = open.point;
    t.key = key;
    out.transaction(t);
}

void PairMatcher::start(std::size_t rule, std::string_view key, const PairPoint& at,
                        std::vector<TransactionPoint>& points, Writer& out) {
    RuleState& s = state_[rule];
    const Open opened{at, ++s.started};
    if (rules_[rule].key == PairKey::kNone) {
        // A second start first leaves the open one unmatched.
        if (s.open) unmatchedStart(rule, s.only, key, out);
        s.only = opened;
        s.open = true;
    } else {
        auto found = s.keyed.find(std::string(key));
        if (found != s.keyed.end()) {
            unmatchedStart(rule, found->second, key, out);
            found->second = opened;
        } else {
            s.keyed.emplace(std::string(key), opened);
        }
    }
    points.push_back(TransactionPoint{rule, opened.id, true});
}

void PairMatcher::end(std::size_t rule, std::string_view key, const PairPoint& at,
                      std::vector<TransactionPoint>& points, Writer& out) {
    RuleState& s = state_[rule];
    RuleStats& stats = stats_[rule];
    Open open;
    bool found = false;
    if (rules_[rule].key == PairKey::kNone) {
        found = s.open;
        open = s.only;
        s.open = false;
    } else {
        const auto it = s.keyed.find(std::string(key));
        if (it != s.keyed.end()) {
            found = true;
            open = it->second;
            s.keyed.erase(it);
        }
    }
    Transaction t;
    t.rule = rule;
    t.hasEnd = true;
    t.end = at;
    t.key = key;
    if (!found) {
        ++stats.unmatchedEnds;
        out.transaction(t);
        points.push_back(TransactionPoint{rule, 0, false});
        return;
    }
    ++stats.count;
    stats.latency.add(at.timeNs - open.point.timeNs);
    t.id = open.id;
    t.hasStart = true;
    t.start = open.point;
    out.transaction(t);
    points.push_back(TransactionPoint{rule, open.id, false});
}

void PairMatcher::finish(Writer& out) {
    for (std::size_t i = 0; i < rules_.size(); ++i) {
        RuleState& s = state_[i];
        if (s.open) unmatchedStart(i, s.only, {}, out);
        s.open = false;
        // In record order, so that what is drawn does not depend on hashing.
        std::vector<std::pair<const std::string*, Open>> left;
        for (const auto& entry : s.keyed) left.emplace_back(&entry.first, entry.second);
        std::sort(left.begin(), left.end(), [](const auto& a, const auto& b) {
            return a.second.point.record < b.second.point.record;
        });
        for (const auto& entry : left) unmatchedStart(i, entry.second, *entry.first, out);
        s.keyed.clear();
    }
}

}  // namespace qelttrace
