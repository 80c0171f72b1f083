#include "analysis/pairs.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
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
    return rule.name.empty() ? rule.start + "->" + rule.end : rule.name;
}

void nameRules(std::vector<PairRule>& rules) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < rules.size(); ++i) {
        PairRule& rule = rules[i];
        rule.name.clear();
        std::string name = ruleName(rule);
        const PairRule* first = nullptr;
        for (std::size_t j = 0; j < i && !first; ++j) {
            if (rules[j].start == rule.start && rules[j].end == rule.end) first = &rules[j];
        }
        if (first) {
            const struct {
                const char* what;
                PairWord mine, theirs;
            } words[] = {{"key", rule.key, first->key},
                         {"kind", rule.kind, first->kind},
                         {"outcome", rule.outcome, first->outcome}};
            std::string differing;
            for (const auto& w : words) {
                if (w.mine == w.theirs) continue;
                if (!differing.empty()) differing += ", ";
                differing += std::string(w.what) + " " + pairWordName(w.mine);
            }
            const std::string base = differing.empty() ? name : name + " (" + differing + ")";
            name = base;
            for (std::size_t n = 2; std::find(names.begin(), names.end(), name) != names.end();
                 ++n) {
                name = base + " (" + std::to_string(n) + ")";
            }
            rule.name = name;
        }
        names.push_back(name);
    }
}

std::string_view outcomeMeaning(const PairRule& rule, std::string_view outcome) {
    // The bridge's completion codes: what the CompleteTransation's qualifier says.
    static constexpr struct {
        std::string_view code, meaning;
    } kCodes[] = {{"1", kCompleted}, {"0", kAborted}};
    if (rule.end == "CompleteTransation" && rule.outcome == PairWord::kQualifier) {
        for (const auto& c : kCodes) {
            if (outcome == c.code) return c.meaning;
        }
    }
    return {};
}

std::string outcomeLabel(const PairRule& rule, std::string_view outcome) {
    const std::string_view meaning = outcomeMeaning(rule, outcome);
    if (meaning.empty()) return std::string(outcome);
    return std::string(outcome) + " (" + std::string(meaning) + ")";
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
    if (parts.size() < 2 || parts.size() > 5) return "not START,END[,KEY[,KIND[,OUTCOME]]]";
    if (parts[0].empty() || parts[1].empty()) return "START and END are event names";
    if (parts[0] == parts[1]) return "START and END are one event";
    *rule = PairRule();
    rule->start = parts[0];
    rule->end = parts[1];
    const struct {
        PairWord* word;
        const char* reason;
    } words[] = {{&rule->key, "the key is qualifier, argument or none"},
                 {&rule->kind, "the kind is qualifier, argument or none"},
                 {&rule->outcome, "the outcome is qualifier, argument or none"}};
    for (std::size_t i = 2; i < parts.size(); ++i) {
        if (!parseWord(parts[i], words[i - 2].word)) return words[i - 2].reason;
    }
    return {};
}

std::vector<PairRule> defaultPairs() {
    return {
        {"DMA Start", "DMA End", PairWord::kNone, PairWord::kNone, PairWord::kNone, {}},
        {"FPGA_DMARXStart",
         "FPGA_DMARXStop",
         PairWord::kNone,
         PairWord::kNone,
         PairWord::kNone,
         {}},
        {"ActivateTransaction",
         "CompleteTransation",
         PairWord::kArgument,
         PairWord::kQualifier,
         PairWord::kQualifier,
         {}},
    };
}

std::vector<PairRule> pairRules(const std::vector<PairRule>& added) {
    std::vector<PairRule> rules = defaultPairs();
    rules.insert(rules.end(), added.begin(), added.end());
    nameRules(rules);
    return rules;
}

double PairMatcher::Depth::mean() const {
    long double weighted = 0, total = 0;
    for (std::size_t d = 0; d < timeNs.size(); ++d) {
        weighted += static_cast<long double>(d) * static_cast<long double>(timeNs[d]);
        total += static_cast<long double>(timeNs[d]);
    }
    return total > 0 ? static_cast<double>(weighted / total) : 0.0;
}

namespace {

// The places of `kinds` by count, the first seen first among equals.
std::vector<std::size_t> kindOrder(const std::vector<PairMatcher::KindStats>& kinds) {
    std::vector<std::size_t> order(kinds.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&kinds](std::size_t a, std::size_t b) {
        return kinds[a].latency.count() > kinds[b].latency.count();
    });
    return order;
}

}  // namespace

std::vector<PairMatcher::KindStats> PairMatcher::RuleStats::kindsByCount() const {
    std::vector<KindStats> list;
    for (const std::size_t i : kindOrder(kinds)) list.push_back(kinds[i]);
    return list;
}

std::vector<PairMatcher::OutcomeStats> PairMatcher::RuleStats::outcomesInOrder() const {
    std::unordered_map<std::string_view, std::size_t> rank;
    const std::vector<std::size_t> order = kindOrder(kinds);
    for (std::size_t i = 0; i < order.size(); ++i) rank.emplace(kinds[order[i]].kind, i);
    std::vector<OutcomeStats> list = outcomes;
    std::sort(list.begin(), list.end(), [&rank](const OutcomeStats& a, const OutcomeStats& b) {
        const std::size_t ra = rank[a.kind], rb = rank[b.kind];
        if (ra != rb) return ra < rb;
        const bool otherA = a.outcome == kOtherOutcomes, otherB = b.outcome == kOtherOutcomes;
        if (otherA != otherB) return otherB;
        return a.outcome < b.outcome;
    });
    return list;
}

void PairMatcher::DepthClock::step(std::int64_t ns, std::size_t after, bool end,
                                   const TimeWindow& window, Depth& into) {
    if (started) {
        // The stretch held at `depth`, as much of it as lies inside the
        // window. Time does not run backwards for the depth, whatever the
        // input's times do.
        std::int64_t from = sinceNs, to = std::max(sinceNs, ns);
        if (window.hasFrom) from = std::max(from, window.fromNs);
        if (window.hasTo) to = std::min(to, window.toNs);
        if (from <= to) {
            if (!pending.empty() && pending.back().first == depth) {
                pending.back().second += to - from;
            } else {
                pending.emplace_back(depth, to - from);
            }
            pendingMax = std::max(pendingMax, depth);
        }
    }
    started = true;
    sinceNs = ns;
    depth = after;
    const bool inside = window.holds(ns);
    if (inside) pendingMax = std::max(pendingMax, after);
    if (!end) return;
    into.max = std::max(into.max, pendingMax);
    if (into.timeNs.size() <= into.max) into.timeNs.resize(into.max + 1, 0);
    for (const auto& [d, t] : pending) into.timeNs[d] += t;
    pending.clear();
    pendingMax = inside ? after : 0;
}

PairMatcher::PairMatcher(std::vector<PairRule> rules, std::size_t slowest, TimeWindow window)
    : rules_(std::move(rules)),
      slowestMax_(slowest),
      window_(window),
      stats_(rules_.size()),
      state_(rules_.size()) {
    nameRules(rules_);
    for (std::size_t i = 0; i < rules_.size(); ++i) {
        if (rules_[i].key != PairWord::kNone) stats_[i].depth.timeNs.assign(1, 0);
    }
}

std::size_t PairMatcher::openCount(std::size_t rule) const {
    const RuleState& s = state_[rule];
    return rules_[rule].key == PairWord::kNone ? (s.open ? 1 : 0) : s.keyed.size();
}

std::int64_t PairMatcher::oldestStart(std::size_t rule) const {
    const RuleState& s = state_[rule];
    if (rules_[rule].key == PairWord::kNone) return s.open ? s.only.point.timeNs : 0;
    return s.byAge.empty() ? 0 : s.byAge.begin()->first;
}

std::size_t PairMatcher::kindStats(std::size_t rule, std::string_view kind) {
    RuleState& s = state_[rule];
    std::vector<KindStats>& kinds = stats_[rule].kinds;
    lookup_.assign(kind);
    auto found = s.kindIndex.find(lookup_);
    if (found != s.kindIndex.end()) return found->second;
    if (kinds.size() >= kKindsMax) {
        lookup_ = kOtherKinds;
        found = s.kindIndex.find(lookup_);
        if (found != s.kindIndex.end()) return found->second;
    }
    s.kindIndex.emplace(lookup_, kinds.size());
    kinds.push_back(KindStats{lookup_, LogHistogram()});
    return kinds.size() - 1;
}

LogHistogram& PairMatcher::outcomeStats(std::size_t rule, std::size_t kind,
                                        std::string_view outcome) {
    RuleState& s = state_[rule];
    // Few words: a look along them costs less than hashing.
    std::size_t word = 0;
    while (word < s.outcomeWords.size() && s.outcomeWords[word] != outcome) ++word;
    if (word == s.outcomeWords.size()) {
        if (word < kOutcomesMax) {
            s.outcomeWords.emplace_back(outcome);
        } else {
            word = kOutcomesMax;  // the place of kOtherOutcomes
        }
    }
    if (s.outcomeRow.size() <= kind) s.outcomeRow.resize(kind + 1);
    std::vector<std::size_t>& rows = s.outcomeRow[kind];
    if (rows.empty()) rows.assign(kOutcomesMax + 1, SIZE_MAX);
    std::vector<OutcomeStats>& list = stats_[rule].outcomes;
    if (rows[word] == SIZE_MAX) {
        rows[word] = list.size();
        list.push_back(OutcomeStats{stats_[rule].kinds[kind].kind,
                                    word < kOutcomesMax ? s.outcomeWords[word] : kOtherOutcomes,
                                    LogHistogram()});
    }
    return list[rows[word]].latency;
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

Transaction PairMatcher::unmatched(std::size_t rule, const Open& open, std::string_view key) const {
    Transaction t;
    t.rule = rule;
    t.id = open.id;
    t.hasStart = true;
    t.start = open.point;
    t.start.sinceFirstNs = open.point.timeNs - firstNs_;
    t.key = key;
    t.kind = kindOf(rule, open);
    t.startRecord = &open.record;
    return t;
}

void PairMatcher::leftByStart(std::size_t rule, const Open& open, std::string_view key,
                              std::int64_t closedNs, Writer& out) {
    if (window_.holds(closedNs)) {
        ++stats_[rule].unmatchedStarts;
        out.transaction(unmatched(rule, open, key));
    } else if (window_.openAtTo(open.point.timeNs, closedNs)) {
        leftOpen(rule, open, key, window_.toNs, out);
    }
}

void PairMatcher::leftOpen(std::size_t rule, const Open& open, std::string_view key,
                           std::int64_t atNs, Writer& out) {
    RuleStats& stats = stats_[rule];
    ++stats.unmatchedStarts;
    ++stats.openAtEnd.count;
    Transaction t = unmatched(rule, open, key);
    t.openAtEnd = true;
    t.ageNs = atNs - open.point.timeNs;
    auto& heap = state_[rule].oldest;
    if (heap.size() < slowestMax_ ||
        (slowestMax_ > 0 &&
         OldOrder::olderThan(open.point.timeNs, open.point.record, heap.top()))) {
        heap.push(OpenTransaction{std::string(key), std::string(t.kind), open.point.record,
                                  open.point.timeNs, t.ageNs});
        if (heap.size() > slowestMax_) heap.pop();
    }
    out.transaction(t);
}

void PairMatcher::forget(std::size_t rule, const Open& open) {
    state_[rule].agedOut = state_[rule].byAge.extract(open.age);
}

void PairMatcher::start(std::size_t rule, const Record& r, const StreamPoint& at,
                        std::vector<TransactionPoint>& points, Writer& out) {
    RuleState& s = state_[rule];
    const bool keyed = rules_[rule].key != PairWord::kNone;
    const std::string_view key = wordOf(r, rules_[rule].key);
    const std::uint64_t id = ++s.started;
    Open* opened = nullptr;
    if (!keyed) {
        // A second start first leaves the open one unmatched.
        if (s.open) leftByStart(rule, s.only, key, at.timeNs, out);
        s.open = true;
        opened = &s.only;
    } else {
        lookup_.assign(key);
        auto found = s.keyed.find(lookup_);
        if (found != s.keyed.end()) {
            leftByStart(rule, found->second, key, at.timeNs, out);
            forget(rule, found->second);
        } else if (!s.ended.empty()) {
            s.ended.key() = lookup_;
            found = s.keyed.insert(std::move(s.ended)).position;
        } else {
            found = s.keyed.emplace(lookup_, Open()).first;
        }
        opened = &found->second;
        // Its node taken from the last one forgotten, so that the order by
        // age costs no allocation while the number open holds.
        const std::pair<std::int64_t, std::uint64_t> age(at.timeNs, at.record);
        if (!s.agedOut.empty()) {
            s.agedOut.value() = age;
            opened->age = s.byAge.insert(std::move(s.agedOut)).position;
        } else {
            opened->age = s.byAge.insert(age).first;
        }
    }
    opened->point = at;
    opened->id = id;
    opened->record.assignWithoutText(r);
    const std::size_t depth = openCount(rule);
    if (keyed) s.clock.step(at.timeNs, depth, false, window_, stats_[rule].depth);
    points.push_back(TransactionPoint{rule, id, true, key, wordOf(r, rules_[rule].kind), depth,
                                      oldestStart(rule)});
}

void PairMatcher::matched(std::size_t rule, Transaction& t) {
    RuleStats& stats = stats_[rule];
    const std::int64_t duration = t.durationNs();
    ++stats.count;
    stats.latency.add(duration);
    const std::size_t kind = kindStats(rule, t.kind);
    stats.kinds[kind].latency.add(duration);
    if (rules_[rule].outcome != PairWord::kNone) outcomeStats(rule, kind, t.outcome).add(duration);
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
    const bool keyed = rules_[rule].key != PairWord::kNone;
    const std::string_view key = wordOf(r, rules_[rule].key);
    // What it ends outlives the open start: the writers see it with the record.
    const Open* open = nullptr;
    if (!keyed) {
        if (s.open) open = &s.only;
        s.open = false;
    } else {
        lookup_.assign(key);
        const auto it = s.keyed.find(lookup_);
        if (it != s.keyed.end()) {
            s.ended = s.keyed.extract(it);
            open = &s.ended.mapped();
            forget(rule, *open);
        }
    }
    const std::size_t depth = openCount(rule);
    if (!open) {
        if (window_.holds(at.timeNs)) {
            ++stats_[rule].unmatchedEnds;
            Transaction t;
            t.rule = rule;
            t.hasEnd = true;
            t.end = at;
            t.key = key;
            out.transaction(t);
        }
        points.push_back(TransactionPoint{rule, 0, false, key, {}, depth, oldestStart(rule)});
        return;
    }
    const std::string_view kind = kindOf(rule, *open);
    if (window_.holds(at.timeNs)) {
        Transaction t = unmatched(rule, *open, key);
        t.hasEnd = true;
        t.end = at;
        t.outcome = wordOf(r, rules_[rule].outcome);
        matched(rule, t);
        out.transaction(t);
    } else if (window_.openAtTo(open->point.timeNs, at.timeNs)) {
        leftOpen(rule, *open, key, window_.toNs, out);
    }
    if (keyed) s.clock.step(at.timeNs, depth, true, window_, stats_[rule].depth);
    points.push_back(TransactionPoint{rule, open->id, false, key, kind, depth, oldestStart(rule)});
}

void PairMatcher::finish(Writer& out, std::int64_t lastNs) {
    // The ages run to the last record's time, or to --to where the input runs past it.
    const bool atTo = window_.hasTo && window_.toNs < lastNs;
    const std::int64_t atNs = atTo ? window_.toNs : lastNs;
    const auto inWindow = [this](const Open& open) {
        return !window_.hasTo || open.point.timeNs <= window_.toNs;
    };
    for (std::size_t i = 0; i < rules_.size(); ++i) {
        RuleState& s = state_[i];
        if (s.open && inWindow(s.only)) leftOpen(i, s.only, {}, atNs, out);
        s.open = false;
        // In record order, so that what is drawn does not depend on hashing.
        std::vector<std::pair<const std::string*, const Open*>> left;
        for (const auto& entry : s.keyed) left.emplace_back(&entry.first, &entry.second);
        std::sort(left.begin(), left.end(), [](const auto& a, const auto& b) {
            return a.second->point.record < b.second->point.record;
        });
        for (const auto& entry : left) {
            if (inWindow(*entry.second)) leftOpen(i, *entry.second, *entry.first, atNs, out);
        }
        s.keyed.clear();
        s.byAge.clear();
        stats_[i].latency.settle();
        for (const KindStats& k : stats_[i].kinds) k.latency.settle();
        for (const OutcomeStats& o : stats_[i].outcomes) o.latency.settle();
        // The slowest, longest first; the oldest open, oldest first.
        std::vector<KeptTransaction>& list = stats_[i].slowest;
        list.clear();
        while (!s.slow.empty()) {
            list.push_back(s.slow.top());
            s.slow.pop();
        }
        std::reverse(list.begin(), list.end());
        OpenAtEnd& open = stats_[i].openAtEnd;
        open.atTo = atTo;
        open.atNs = atNs;
        open.oldest.clear();
        while (!s.oldest.empty()) {
            open.oldest.push_back(s.oldest.top());
            s.oldest.pop();
        }
        std::reverse(open.oldest.begin(), open.oldest.end());
    }
}

}  // namespace qelttrace
