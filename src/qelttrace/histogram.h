// Fixed-size logarithmic buckets for latencies and deltas: counts, minimum
// and maximum exact, percentiles within 0.4%, memory fixed whatever the count.
#pragma once

#include <cstdint>
#include <vector>

namespace qelttrace {

class LogHistogram {
  public:
    // 128 buckets per power of two above 127, one per value below.
    static constexpr int kSub = 128;
    static constexpr int kBuckets = kSub + 56 * kSub;

    LogHistogram() : counts_(kBuckets, 0) {}
    void add(std::int64_t value);
    std::uint64_t count() const { return count_; }
    std::int64_t min() const { return min_; }
    std::int64_t max() const { return max_; }
    double mean() const { return count_ ? sum_ / static_cast<double>(count_) : 0.0; }
    // The value at quantile q (0 < q <= 1) by nearest rank, as its bucket's
    // midpoint, within [min, max].
    std::int64_t percentile(double q) const;
    // Bucket i's bounds and count, for drawing; buckets outside
    // [firstBucket(), lastBucket()] are empty (all are when count() is 0).
    static void bounds(int index, std::int64_t* low, std::int64_t* high);
    std::uint64_t bucket(int index) const { return counts_[static_cast<std::size_t>(index)]; }
    int firstBucket() const { return count_ ? indexOf(min_) : 0; }
    int lastBucket() const { return count_ ? indexOf(max_) : -1; }

  private:
    static int indexOf(std::int64_t value);
    std::vector<std::uint64_t> counts_;
    std::uint64_t count_ = 0;
    std::int64_t min_ = 0;
    std::int64_t max_ = 0;
    double sum_ = 0;
};

}  // namespace qelttrace
