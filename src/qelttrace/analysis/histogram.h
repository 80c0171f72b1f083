// Logarithmic buckets for latencies and deltas: counts, minimum, maximum and
// mean exact; percentiles exact (a value that occurred, by nearest rank) up
// to kExactMax values, within 0.4% beyond. Memory holds the buckets between
// the smallest and the largest value seen (at most kBuckets), and the values
// themselves until there are more than kExactMax of them (at most
// kExactMax x 8 bytes, taken as they arrive), whatever the count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qelttrace {

class LogHistogram {
  public:
    // 128 buckets per power of two above 127, one per value below.
    static constexpr int kSub = 128;
    static constexpr int kBuckets = kSub + 56 * kSub;
    // Up to this many values, percentiles are exact.
    static constexpr std::size_t kExactMax = 10000;

    void add(std::int64_t value);
    std::uint64_t count() const { return count_; }
    std::int64_t min() const { return min_; }
    std::int64_t max() const { return max_; }
    // The sum is kept in a long double: exact up to 2^64 ns (584 years).
    double mean() const {
        return count_ ? static_cast<double>(sum_ / static_cast<long double>(count_)) : 0.0;
    }
    // The value at quantile q (0 < q <= 1) by nearest rank: the value itself
    // while count() <= kExactMax, else its bucket's midpoint, within [min, max].
    std::int64_t percentile(double q) const;
    bool exact() const { return count_ <= kExactMax; }
    // Sorts the values it keeps (a percentile does it when needed), so that
    // the copies of a finished histogram need not each sort theirs.
    void settle() const;
    // Bucket i's bounds and count, for drawing; buckets outside
    // [firstBucket(), lastBucket()] are empty (all are when count() is 0).
    static void bounds(int index, std::int64_t* low, std::int64_t* high);
    static int indexOf(std::int64_t value);
    std::uint64_t bucket(int index) const {
        const int at = index - base_;
        return at >= 0 && at < static_cast<int>(counts_.size())
                   ? counts_[static_cast<std::size_t>(at)]
                   : 0;
    }
    int firstBucket() const { return count_ ? indexOf(min_) : 0; }
    int lastBucket() const { return count_ ? indexOf(max_) : -1; }

  private:
    std::uint64_t rankOf(double q) const;

    std::vector<std::uint64_t> counts_;  // buckets base_ onwards
    // Every value while there are at most kExactMax, sorted when `sorted_`
    // (a percentile sorts them; adding one more unsorts them).
    mutable std::vector<std::int64_t> values_;
    mutable bool sorted_ = true;
    int base_ = 0;
    std::uint64_t count_ = 0;
    std::int64_t min_ = 0;
    std::int64_t max_ = 0;
    long double sum_ = 0;
};

}  // namespace qelttrace
