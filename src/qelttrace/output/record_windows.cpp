#include "output/record_windows.h"

#include <algorithm>
#include <iterator>
#include <map>

#include "output/record_fields.h"

namespace qelttrace {

namespace {

// `r` as the page shows it, into `to`'s storage: its texts cut at kTextMax.
void assignShown(Record& to, const Record& r) {
    constexpr std::size_t kMax = RecordWindows::kTextMax;
    if (r.event().size() <= kMax && r.qualifier().size() <= kMax && r.argument().size() <= kMax &&
        r.text().size() <= kMax) {
        to = r;
        return;
    }
    to.assignWithoutText(r);
    to.setWords(r.event().substr(0, kMax), r.qualifier().substr(0, kMax),
                r.argument().substr(0, kMax), r.text().substr(0, kMax));
}

}  // namespace

void RecordWindows::put(Window& w, const Record& r) {
    if (w.used == w.rows.size()) w.rows.emplace_back();
    assignShown(w.rows[w.used++], r);  // into the storage the window's row already holds
}

void RecordWindows::record(const Record& r) {
    assignShown(ring_[ringNext_], r);
    ringNext_ = (ringNext_ + 1) % ring_.size();
    ringUsed_ = std::min(ringUsed_ + 1, ring_.size());
    std::size_t kept = 0;
    for (const Handle h : pending_) {
        Window& w = *windows_[h];
        if (!w.live || w.after == 0) continue;
        put(w, r);
        --w.after;
        if (w.after > 0) pending_[kept++] = h;
    }
    pending_.resize(kept);
}

RecordWindows::Handle RecordWindows::open() {
    Handle h = 0;
    if (!free_.empty()) {
        h = free_.back();
        free_.pop_back();
    } else {
        h = windows_.size();
        windows_.push_back(std::make_unique<Window>());
    }
    Window& w = *windows_[h];
    w.used = 0;
    w.live = true;
    // The ring's oldest first, the record it opens at last.
    for (std::size_t i = 0; i < ringUsed_; ++i) {
        put(w, ring_[(ringNext_ + ring_.size() - ringUsed_ + i) % ring_.size()]);
    }
    w.after = kAround;
    pending_.push_back(h);
    return h;
}

void RecordWindows::release(Handle h) {
    if (h >= windows_.size() || !windows_[h]->live) return;
    windows_[h]->live = false;
    free_.push_back(h);
}

std::uint64_t RecordWindows::first(Handle h) const {
    const Window& w = *windows_[h];
    return w.used ? w.rows[0].number : 0;
}

std::uint64_t RecordWindows::last(Handle h) const {
    const Window& w = *windows_[h];
    return w.used ? w.rows[w.used - 1].number : 0;
}

void RecordWindows::writeRows(JsonWriter& json, const std::vector<Handle>& handles) const {
    std::map<std::uint64_t, const Record*> rows;
    for (const Handle h : handles) {
        const Window& w = *windows_[h];
        for (std::size_t i = 0; i < w.used; ++i) rows.emplace(w.rows[i].number, &w.rows[i]);
    }
    json.beginArray();
    for (const auto& [number, r] : rows) {
        json.beginArray();
        writeJsonFieldValues(json, *r, kTextMax);
        json.endArray();
    }
    json.endArray();
}

void RankedWindows::release(RecordWindows& windows, Held& held) {
    for (Handle& h : held.handles) {
        if (h != kNone) windows.release(h);
        h = kNone;
    }
}

bool RankedWindows::admits(std::int64_t value, std::uint64_t record) const {
    return max_ > 0 && (byRank_.size() < max_ || Rank{value, record} < byRank_.rbegin()->first);
}

bool RankedWindows::offer(RecordWindows& windows, std::uint64_t key, std::int64_t value,
                          std::uint64_t record, Handles handles) {
    Held held{Rank{value, record}, handles};
    if (!admits(value, record)) {
        release(windows, held);
        return false;
    }
    drop(windows, key);
    byRank_.emplace(held.rank, key);
    byKey_[key] = held;
    if (byRank_.size() > max_) {
        const auto worst = std::prev(byRank_.end());
        drop(windows, worst->second);
    }
    return true;
}

void RankedWindows::drop(RecordWindows& windows, std::uint64_t key) {
    const auto found = byKey_.find(key);
    if (found == byKey_.end()) return;
    release(windows, found->second);
    byRank_.erase(found->second.rank);
    byKey_.erase(found);
}

RankedWindows::Handles* RankedWindows::find(std::uint64_t key) {
    const auto found = byKey_.find(key);
    return found == byKey_.end() ? nullptr : &found->second.handles;
}

const RankedWindows::Handles* RankedWindows::find(std::uint64_t key) const {
    const auto found = byKey_.find(key);
    return found == byKey_.end() ? nullptr : &found->second.handles;
}

}  // namespace qelttrace
