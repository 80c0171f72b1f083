// Cuts the received byte stream of one session into input lines. A line ends
// at LF, CR LF, CR NUL or a CR alone; the bytes may arrive split anywhere, so
// the state after a CR carries over to the next call.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qeltbridge {

class LineAssembler {
  public:
    // Longest line kept; the rest of a longer line is dropped, so a client
    // cannot make the bridge hold unbounded input.
    static constexpr std::size_t kMaxLine = 1024;

    // Appends every line completed by `data` to `lines` (without its end).
    void feed(std::string_view data, std::vector<std::string>& lines);

  private:
    std::string current_;
    bool afterCr_ = false;
};

}  // namespace qeltbridge
