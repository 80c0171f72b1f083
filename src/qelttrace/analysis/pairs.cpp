#include "analysis/pairs.h"

#include <algorithm>
#include <utility>

namespace qelttrace {

namespace {

bool parseWord(const std::string& text, PairWord* word) {
    for (const PairWord w : {PairWord::kNone, PairWord::kQualifier, PairWord::kArgument}) {
        if (text == pairWordName(w)) {
            *word = w;
            return true;
        }
    }
    return false;
}

std::string_view wordOf(const Record& r, PairWord word) {
    switch (word) {
        case PairWord::kQualifier:
            return r.qualifier();
        case PairWord::kArgument:
            return r.argument();
        case PairWord::kNone:
            break;
    }
    return {};
}

}  // namespace

const char* pairWordName(PairWord word) {
    constexpr const char* kNames[] = {"none", "qualifier", "argument"};
    static_assert(
        sizeof kNames / sizeof kNames[0] == static_cast<std::size_t>(PairWord::kArgument) + 1,
        "a name for each word");
    return kNames[static_cast<std::size_t>(word)];
}

std::string ruleName(const PairRule& rule) {
    return rule.start + "->" + rule.end;
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
    if (parts.size() < 2 || parts.size() > 4) return "not START,END[,KEY[,KIND]]";
    if (parts[0].empty() || parts[1].empty()) return "START and END are event names";
    if (parts[0] == parts[1]) return "START and END are one event";
    rule->start = parts[0];
    rule->end = parts[1];
    rule->key = PairWord::kNone;
    rule->kind = PairWord::kNone;
    if (parts.size() > 2 && !parseWord(parts[2], &rule->key)) {
        return "the key is qualifier, argument or none";
    }
    if (parts.size() > 3 && !parseWord(parts[3], &rule->kind)) {
        return "the kind is qualifier, argument or none";
    }
    return {};
}

std::vector<PairRule> defaultPairs() {
    return {
        {"DMA Start", "DMA End", PairWord::kNone, PairWord::kNone},
        {"FPGA_DMARXStart", "FPGA_DMARXStop", PairWord::kNone, PairWord::kNone},
        {"ActivateTransaction", "CompleteTransation", PairWord::kArgument, PairWord::kQualifier},
    };
}

double PairMatcher::Depth::mean() const {
    long double weighted = 0, total = 0;
    for (std::size_t d = 0; d < timeNs.size(); ++d) {
        weighted += static_cast<long double>(d) * static_cast<long double>(timeNs[d]);
        total += static_cast<long double>(timeNs[d]);
    }
    return total > 0 ? static_cast<double>(weighted / total) : 0.0;
}

std::vector<PairMatcher::KindStats> PairMatcher::RuleStats::kindsByCount() const {
    std::vector<KindStats> list = kinds;
    std::stable_sort(list.begin(), list.end(), [](const KindStats& a, const KindStats& b) {
        return a.latency.count() > b.latency.count();
    });
    return list;
}

void PairMatcher::DepthClock::step(std::int64_t ns, std::size_t after, bool end, Depth& into) {
    if (started) {
        // Time does not run backwards for the depth, whatever the input's times do.
        const std::int64_t held = std::max<std::int64_t>(0, ns - sinceNs);
        if (!pending.empty() && pending.back().first == depth) {
            pending.back().second += held;
        } else {
            pending.emplace_back(depth, held);
        }
    }
    started = true;
    sinceNs = ns;
    depth = after;
    pendingMax = std::max(pendingMax, after);
    if (!end) return;
    into.max = std::max(into.max, pendingMax);
    if (into.timeNs.size() <= into.max) into.timeNs.resize(into.max + 1, 0);
    for (const auto& [d, t] : pending) into.timeNs[d] += t;
    pending.clear();
    pendingMax = after;
}

PairMatcher::PairMatcher(std::vector<PairRule> rules, std::size_t slowest)
    : rules_(std::move(rules)), slowestMax_(slowest), stats_(rules_.size()), state_(rules_.size()) {
    for (std::size_t i = 0; i < rules_.size(); ++i) {
        if (rules_[i].key != PairWord::kNone) stats_[i].depth.timeNs.assign(1, 0);
    }
}

std::size_t PairMatcher::openCount(std::size_t rule) const {
    const RuleState& s = state_[rule];
    return rules_[rule].key == PairWord::kNone ? (s.open ? 1 : 0) : s.keyed.size();
}

PairMatcher::KindStats& PairMatcher::kindStats(std::size_t rule, std::string_view kind) {
    RuleState& s = state_[rule];
    std::vector<KindStats>& kinds = stats_[rule].kinds;
    lookup_.assign(kind);
    auto found = s.kindIndex.find(lookup_);
    if (found != s.kindIndex.end()) return kinds[found->second];
    if (kinds.size() >= kKindsMax) {
        lookup_ = kOtherKinds;
        found = s.kindIndex.find(lookup_);
        if (found != s.kindIndex.end()) return kinds[found->second];
    }
    s.kindIndex.emplace(lookup_, kinds.size());
    kinds.push_back(KindStats{lookup_, LogHistogram()});
    return kinds.back();
}

void PairMatcher::record(const Record& r, const StreamPoint& at,
                         std::vector<TransactionPoint>& points, Writer& out) {
    const std::string_view event = r.event();
    for (std::size_t i = 0; i < rules_.size(); ++i) {
        const PairRule& rule = rules_[i];
        const bool isStart = event == rule.start;
        if (!isStart && event != rule.end) continue;
        if (isStart) {
            start(i, r, at, points, out);
        } else {
            end(i, r, at, points, out);
        }
    }
}

std::string_view PairMatcher::kindOf(std::size_t rule, const Open& open) const {
    return wordOf(open.record, rules_[rule].kind);
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
    t.kind = kindOf(rule, open);
    t.startRecord = &open.record;
    out.transaction(t);
}

void PairMatcher::start(std::size_t rule, const Record& r, const StreamPoint& at,
                        std::vector<TransactionPoint>& points, Writer& out) {
    RuleState& s = state_[rule];
    const std::string_view key = wordOf(r, rules_[rule].key);
    const std::uint64_t id = ++s.started;
    Open* opened = nullptr;
    if (rules_[rule].key == PairWord::kNone) {
        // A second start first leaves the open one unmatched.
        if (s.open) unmatchedStart(rule, s.only, key, out);
        s.open = true;
        opened = &s.only;
    } else {
        lookup_.assign(key);
        auto found = s.keyed.find(lookup_);
        if (found != s.keyed.end()) {
            unmatchedStart(rule, found->second, key, out);
        } else if (!s.ended.empty()) {
            s.ended.key() = lookup_;
            found = s.keyed.insert(std::move(s.ended)).position;
        } else {
            found = s.keyed.emplace(lookup_, Open()).first;
        }
        opened = &found->second;
    }
    opened->point = at;
    opened->id = id;
    opened->record.assignWithoutText(r);
    const std::size_t depth = openCount(rule);
    if (rules_[rule].key != PairWord::kNone) {
        s.clock.step(at.timeNs, depth, false, stats_[rule].depth);
    }
    points.push_back(TransactionPoint{rule, id, true, key, wordOf(r, rules_[rule].kind), depth});
}

void PairMatcher::matched(std::size_t rule, Transaction& t) {
    RuleStats& stats = stats_[rule];
    const std::int64_t duration = t.durationNs();
    ++stats.count;
    stats.latency.add(duration);
    kindStats(rule, t.kind).latency.add(duration);
    t.records = t.end.position - t.start.position + 1;
    t.errors = t.end.troubleBefore + (t.end.trouble ? 1 : 0) - t.start.troubleBefore;
    if (slowestMax_ == 0) return;
    auto& heap = state_[rule].slow;
    if (heap.size() >= slowestMax_ &&
        !SlowOrder::ranksBefore(duration, t.start.record, heap.top())) {
        return;
    }
    t.slowest = true;
    heap.push(KeptTransaction(t));
    if (heap.size() > slowestMax_) {
        t.slowestLeft = heap.top().id;
        heap.pop();
    }
}

void PairMatcher::end(std::size_t rule, const Record& r, const StreamPoint& at,
                      std::vector<TransactionPoint>& points, Writer& out) {
    RuleState& s = state_[rule];
    const std::string_view key = wordOf(r, rules_[rule].key);
    // What it ends outlives the open start: the writers see it with the record.
    const Open* open = nullptr;
    if (rules_[rule].key == PairWord::kNone) {
        if (s.open) open = &s.only;
        s.open = false;
    } else {
        lookup_.assign(key);
        const auto it = s.keyed.find(lookup_);
        if (it != s.keyed.end()) {
            s.ended = s.keyed.extract(it);
            open = &s.ended.mapped();
        }
    }
    Transaction t;
    t.rule = rule;
    t.hasEnd = true;
    t.end = at;
    t.key = key;
    const std::size_t depth = openCount(rule);
    if (!open) {
        ++stats_[rule].unmatchedEnds;
        out.transaction(t);
        points.push_back(TransactionPoint{rule, 0, false, key, {}, depth});
        return;
    }
    t.id = open->id;
    t.hasStart = true;
    t.start = open->point;
    t.kind = kindOf(rule, *open);
    t.startRecord = &open->record;
    matched(rule, t);
    if (rules_[rule].key != PairWord::kNone) {
        s.clock.step(at.timeNs, depth, true, stats_[rule].depth);
    }
    out.transaction(t);
    points.push_back(TransactionPoint{rule, open->id, false, key, t.kind, depth});
}

void PairMatcher::finish(Writer& out) {
    for (std::size_t i = 0; i < rules_.size(); ++i) {
        RuleState& s = state_[i];
        if (s.open) unmatchedStart(i, s.only, {}, out);
        s.open = false;
        // In record order, so that what is drawn does not depend on hashing.
        std::vector<std::pair<const std::string*, const Open*>> left;
        for (const auto& entry : s.keyed) left.emplace_back(&entry.first, &entry.second);
        std::sort(left.begin(), left.end(), [](const auto& a, const auto& b) {
            return a.second->point.record < b.second->point.record;
        });
        for (const auto& entry : left) {
            unmatchedStart(i, *entry.second, *entry.first, out);
        }
        s.keyed.clear();
        // The slowest, longest first.
        std::vector<KeptTransaction>& list = stats_[i].slowest;
        list.clear();
        while (!s.slow.empty()) {
            list.push_back(s.slow.top());
            s.slow.pop();
        }
        std::reverse(list.begin(), list.end());
    }
}

}  // namespace qelttrace
