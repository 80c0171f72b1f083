// The records around the items a page lists (a gap, an error, a slow
// transaction's start and end), gathered as the records stream: a window
// holds the kAround records before the one it opens at, that one, and the
// kAround after it. Which items end up listed is known only later, so a
// window is opened for every candidate and released when it drops out;
// windows are reused, so that streaming copies records into storage that
// is already there. A window keeps of each record what the page shows (its
// words and text up to kTextMax bytes), so that memory grows with the
// windows held at once (which the page bounds), never with the records nor
// with the length of their lines.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "input/record.h"
#include "output/json.h"

namespace qelttrace {

class RecordWindows {
  public:
    static constexpr std::size_t kAround = 10;
    // Words and texts shown at most this long.
    static constexpr std::size_t kTextMax = 160;
    using Handle = std::size_t;

    // Each record of the stream, before the windows opened at it.
    void record(const Record& r);
    // A window around the last record given.
    Handle open();
    void release(Handle window);
    // The windows held now, and the most ever held at once (the storage made).
    std::size_t held() const { return windows_.size() - free_.size(); }
    std::size_t made() const { return windows_.size(); }
    // The records a window holds: the first and the last record's numbers.
    std::uint64_t first(Handle window) const;
    std::uint64_t last(Handle window) const;
    // The records of `windows`, each once, in record order: one array of the
    // fields' values each (writeJsonFieldValues).
    void writeRows(JsonWriter& json, const std::vector<Handle>& windows) const;

  private:
    struct Window {
        std::vector<Record> rows;  // rows[0, used) in use; the rest keep their storage
        std::size_t used = 0, after = 0;
        bool live = false;
    };
    void put(Window& w, const Record& r);

    std::vector<Record> ring_ = std::vector<Record>(kAround + 1);  // the last records
    std::size_t ringNext_ = 0, ringUsed_ = 0;
    std::vector<std::unique_ptr<Window>> windows_;
    std::vector<Handle> free_, pending_;  // pending: windows still taking records after
};

// The windows of the candidates for a list of the `max` best (the largest
// gaps, the slowest transactions of a rule): a candidate that cannot be among
// them gives its windows back at once, and one pushed out of them when a
// better one comes. The best rank first: the larger value, of equal values
// the earlier record (the order the statistics list them in), so that the
// `max` held are the first `max` the statistics list, whatever --top is.
class RankedWindows {
  public:
    using Handle = RecordWindows::Handle;
    static constexpr Handle kNone = static_cast<Handle>(-1);
    // Up to two windows a candidate: a transaction's start and end.
    using Handles = std::array<Handle, 2>;

    explicit RankedWindows(std::size_t max) : max_(max) {}
    // Whether a candidate of `value` at `record` would be held: what to ask
    // before opening its windows.
    bool admits(std::int64_t value, std::uint64_t record) const;
    // Candidate `key` of `value` at `record`, with its windows: held if it
    // ranks among the `max` best so far (the worst then held may give way),
    // else its windows released. Whether it is held.
    bool offer(RecordWindows& windows, std::uint64_t key, std::int64_t value, std::uint64_t record,
               Handles handles);
    // Candidate `key` dropped out of the statistics' list: its windows released.
    void drop(RecordWindows& windows, std::uint64_t key);
    // The windows of `key`, null when none are held.
    Handles* find(std::uint64_t key);
    const Handles* find(std::uint64_t key) const;
    std::size_t size() const { return byKey_.size(); }

  private:
    struct Rank {
        std::int64_t value;
        std::uint64_t record;
        bool operator<(const Rank& b) const {  // ranks before
            return value != b.value ? value > b.value : record < b.record;
        }
    };
    struct Held {
        Rank rank;
        Handles handles;
    };
    void release(RecordWindows& windows, Held& held);

    std::size_t max_;
    std::map<Rank, std::uint64_t> byRank_;  // the key of each
    std::unordered_map<std::uint64_t, Held> byKey_;
};

}  // namespace qelttrace
