#include "line_assembler.h"

namespace qeltbridge {

void LineAssembler::feed(std::string_view data, std::vector<std::string>& lines) {
    for (char c : data) {
        if (afterCr_) {
            afterCr_ = false;
            // The LF or NUL that completes a CR belongs to the line it ended.
            if (c == '\n' || c == '\0') continue;
        }
        if (c == '\r' || c == '\n') {
            lines.push_back(std::move(current_));
            current_.clear();
            afterCr_ = c == '\r';
            continue;
        }
        if (current_.size() < kMaxLine) current_.push_back(c);
    }
}

}  // namespace qeltbridge
