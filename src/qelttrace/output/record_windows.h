// The records around the items a page lists (a gap, an error, a slow
// transaction's start and end), gathered as the records stream: a window
// holds the kAround records before the one it opens at, that one, and the
// kAround after it. Which items end up listed is known only later, so a
// window is opened for every candidate and released when it drops out;
// windows are reused, so that streaming copies records into storage that
// is already there. Memory grows with the windows held at once (the
// candidates: the transactions open, the items listed), never with the
// records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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

}  // namespace qelttrace
