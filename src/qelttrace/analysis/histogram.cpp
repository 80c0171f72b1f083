#include "analysis/histogram.h"

#include <algorithm>
#include <cmath>

namespace qelttrace {

namespace {

// The place of the highest bit set in `v` (> 0): one instruction where the
// compiler has it, rather than a step per bit for every value added.
int highestBit(std::uint64_t v) {
    return 63 - __builtin_clzll(v);
}

}  // namespace

int LogHistogram::indexOf(std::int64_t value) {
    if (value < kSub) return value < 0 ? 0 : static_cast<int>(value);
    const auto v = static_cast<std::uint64_t>(value);
    const int shift = highestBit(v) - 7;
    const auto mantissa = static_cast<int>(v >> shift);
    return kSub + shift * kSub + (mantissa - kSub);
}

void LogHistogram::bounds(int index, std::int64_t* low, std::int64_t* high) {
    if (index < kSub) {
        *low = *high = index;
        return;
    }
    const int shift = (index - kSub) / kSub;
    const auto mantissa = static_cast<std::uint64_t>(kSub + (index - kSub) % kSub);
    *low = static_cast<std::int64_t>(mantissa << shift);
    // The top bucket ends at INT64_MAX: its end is 2^63 - 1, reckoned unsigned.
    *high = static_cast<std::int64_t>(((mantissa + 1) << shift) - 1);
}

void LogHistogram::add(std::int64_t value) {
    if (count_ == 0 || value < min_) min_ = value;
    if (count_ == 0 || value > max_) max_ = value;
    ++count_;
    sum_ += static_cast<long double>(value);
    if (count_ <= kExactMax) {
        // Grown by hand, so that it never holds room for more than kExactMax.
        if (values_.size() == values_.capacity()) {
            values_.reserve(std::min(kExactMax, std::max<std::size_t>(16, 2 * values_.size())));
        }
        values_.push_back(value);
        sorted_ = false;
    } else if (!values_.empty()) {
        std::vector<std::int64_t>().swap(values_);
    }
    const int index = indexOf(value);
    if (counts_.empty()) base_ = index;
    if (index < base_) {
        // Grown downwards by at least as much as it holds, so that values
        // falling one bucket at a time cost no more than rising ones.
        const int below =
            std::max(base_ - index, std::min(static_cast<int>(counts_.size()), base_));
        counts_.insert(counts_.begin(), static_cast<std::size_t>(below), 0);
        base_ -= below;
    }
    const auto at = static_cast<std::size_t>(index - base_);
    if (at >= counts_.size()) {
        const auto room = static_cast<std::size_t>(kBuckets - base_);
        counts_.resize(std::min(std::max(at + 1, counts_.size() * 2), room), 0);
    }
    ++counts_[at];
}

std::uint64_t LogHistogram::rankOf(double q) const {
    const auto rank = static_cast<std::uint64_t>(std::ceil(q * static_cast<double>(count_)));
    return std::max<std::uint64_t>(1, std::min(rank, count_));
}

void LogHistogram::settle() const {
    if (sorted_) return;
    std::sort(values_.begin(), values_.end());
    sorted_ = true;
}

std::int64_t LogHistogram::percentile(double q) const {
    if (count_ == 0) return 0;
    const std::uint64_t rank = rankOf(q);
    if (exact()) {
        settle();
        return values_[static_cast<std::size_t>(rank - 1)];
    }
    std::uint64_t seen = 0;
    const int last = lastBucket();
    for (int i = firstBucket(); i <= last; ++i) {
        seen += bucket(i);
        if (seen < rank) continue;
        std::int64_t low = 0, high = 0;
        bounds(i, &low, &high);
        const std::int64_t middle = low + (high - low) / 2;
        return std::max(min_, std::min(max_, middle));
    }
    return max_;
}

}  // namespace qelttrace
