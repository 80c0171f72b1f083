#include "output/output.h"

namespace qelttrace {

void Output::flush() {
    if (buffer_.empty()) return;
    written_ += buffer_.size();
    if (memory_) {
        memory_->append(buffer_);
    } else if (stream_) {
        std::fwrite(buffer_.data(), 1, buffer_.size(), stream_);
    }
    buffer_.clear();
}

}  // namespace qelttrace
