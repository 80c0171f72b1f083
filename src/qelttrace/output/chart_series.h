// The series of the page's charts, gathered as the records stream in fixed
// memory: up to a budget of points a chart draws every point; beyond, it
// keeps the minimum and maximum of each time bucket (buckets merge pairwise
// when the budget is reached), so no spike disappears.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "output/json.h"

namespace qelttrace {

// Points (x, y) drawn exactly up to `budget`, then as the minimum and maximum
// of y per bucket of x (at most budget / 2 buckets).
class MinMaxSeries {
  public:
    explicit MinMaxSeries(std::size_t budget) : budget_(budget) {}
    void add(std::int64_t x, std::int64_t y);
    // Halves the resolution (the page size bound).
    void coarsen();
    bool reduced() const { return reduced_; }
    // {"x":[...],"y":[...]} with x as differences from the previous x, or
    // {"x":[...],"min":[...],"max":[...]} once reduced.
    void write(JsonWriter& json) const;

  private:
    struct Bucket {
        std::int64_t min = 0, max = 0;
        bool used = false;
    };
    void toBuckets();
    void put(std::int64_t x, std::int64_t y);
    void mergePairs();

    std::size_t budget_;
    std::vector<std::pair<std::int64_t, std::int64_t>> exact_;
    bool reduced_ = false;
    std::vector<Bucket> buckets_;
    std::int64_t origin_ = 0;
    std::int64_t width_ = 1;
};

// The first `budget` points (x, y) exactly, the rest counted: marks drawn
// where each falls (the records that tell of trouble).
class PointSeries {
  public:
    explicit PointSeries(std::size_t budget) : budget_(budget) {}
    void add(std::int64_t x, std::int64_t y);
    std::size_t kept() const { return xs_.size(); }
    std::uint64_t count() const { return count_; }
    // {"x":[...],"y":[...],"count":N}, x as differences from the previous x
    // (as every series of the page), N the points added.
    void write(JsonWriter& json) const;

  private:
    std::size_t budget_;
    std::vector<std::int64_t> xs_, ys_;
    std::uint64_t count_ = 0;
};

// Intervals of time of one width from the first time on, at most `count` of
// them: to take a later time the width doubles (1 us to begin with), the
// series merging its values in pairs (mergePairsOf).
class Intervals {
  public:
    explicit Intervals(std::size_t count) : count_(count) {}
    bool started() const { return started_; }
    // The first interval begins at the first time given.
    void start(std::int64_t x) {
        if (started_) return;
        started_ = true;
        origin_ = x;
    }
    // The interval of `x` (a time before the first: the first), after
    // `merge` has merged the series' values in pairs as often as the width
    // doubled to take it.
    template <typename Merge>
    std::size_t fit(std::int64_t x, Merge merge) {
        while (index(x) >= count_) {
            merge();
            width_ *= 2;
            used_ = (used_ + 1) / 2;
        }
        return index(x);
    }
    std::size_t index(std::int64_t x) const {
        return x < origin_ ? 0 : static_cast<std::size_t>((x - origin_) / width_);
    }
    std::int64_t begin(std::size_t i) const {
        return origin_ + static_cast<std::int64_t>(i) * width_;
    }
    std::int64_t width() const { return width_; }
    // The intervals written: up to the last that holds something.
    std::size_t used() const { return used_; }
    void use(std::size_t i) { used_ = std::max(used_, i + 1); }

  private:
    std::size_t count_;
    bool started_ = false;
    std::int64_t origin_ = 0;
    std::int64_t width_ = 1000;
    std::size_t used_ = 0;
};

// Records counted per interval of time; the interval doubles as needed to keep
// at most `buckets` of them.
class CountSeries {
  public:
    explicit CountSeries(std::size_t buckets) : counts_(buckets, 0), intervals_(buckets) {}
    void add(std::int64_t x);
    // {"x":[...],"y":[...],"width":W}, x as differences.
    void write(JsonWriter& json) const;

  private:
    std::vector<std::uint64_t> counts_;
    Intervals intervals_;
};

// A level held from one change to the next (the transactions open), per
// interval of time: its mean weighted by time and its maximum. The interval
// doubles as needed to keep at most `buckets` of them.
class LevelSeries {
  public:
    explicit LevelSeries(std::size_t buckets)
        : sums_(buckets, 0), max_(buckets, -1), intervals_(buckets) {}
    // The level is `level` from `x` on. A time before the last one (decoded
    // input may hold them) counts as the last one.
    void add(std::int64_t x, std::int64_t level);
    bool empty() const { return !intervals_.started(); }
    // {"x":[...],"mean":[...],"max":[...],"width":W}, x as differences, the
    // mean in thousandths; the last level is drawn up to the last change.
    void write(JsonWriter& json) const;

  private:
    void hold(std::int64_t until);

    std::vector<double> sums_;       // level x ns, per interval
    std::vector<std::int64_t> max_;  // -1: nothing held in it
    Intervals intervals_;
    std::int64_t lastX_ = 0, level_ = 0;
};

// The age of the oldest of what is open (a rule's transactions), per
// interval of time: the largest in each. Between two changes the age grows
// with time, so an interval's largest is at its end, or just before a change
// inside it; a hang shows as a ramp. The interval doubles as needed to keep
// at most `buckets` of them.
class AgeSeries {
  public:
    explicit AgeSeries(std::size_t buckets) : max_(buckets, kNone), intervals_(buckets) {}
    // From `x` on, the oldest open started at `since` (on the clock of x), or
    // nothing is open. A time before the last one counts as the last one.
    void set(std::int64_t x, bool open, std::int64_t since);
    // The input ended at `x`: the age grew until then.
    void finish(std::int64_t x);
    bool empty() const { return !intervals_.started(); }
    // {"x":[...],"max":[...],"width":W}, x as differences, the largest age
    // of each interval in nanoseconds, -1 where nothing was open.
    void write(JsonWriter& json) const;

  private:
    static constexpr std::int64_t kNone = -1;
    void hold(std::int64_t until);

    std::vector<std::int64_t> max_;
    Intervals intervals_;
    bool open_ = false;
    std::int64_t lastX_ = 0, since_ = 0;
};

}  // namespace qelttrace
