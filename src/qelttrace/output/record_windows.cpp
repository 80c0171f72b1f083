#include "output/record_windows.h"

#include <algorithm>
#include <map>

#include "output/record_fields.h"

namespace qelttrace {

void RecordWindows::put(Window& w, const Record& r) {
    if (w.used == w.rows.size()) w.rows.emplace_back();
    w.rows[w.used++] = r;  // into the storage the window's row already holds
}

void RecordWindows::record(const Record& r) {
    ring_[ringNext_] = r;
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

}  // namespace qelttrace
