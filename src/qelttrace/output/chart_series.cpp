#include "output/chart_series.h"

#include <algorithm>
#include <cmath>
#include <functional>

namespace qelttrace {

namespace {

// x values as differences from the previous one: short numbers for the page.
std::vector<std::int64_t> differences(const std::vector<std::int64_t>& xs) {
    std::vector<std::int64_t> out(xs.size());
    std::int64_t previous = 0;
    for (std::size_t i = 0; i < xs.size(); ++i) {
        out[i] = xs[i] - previous;
        previous = xs[i];
    }
    return out;
}

// The intervals doubled in width: interval i becomes intervals 2i and 2i + 1
// merged, one past the end counting as `none`.
template <typename T, typename Merge>
void mergePairsOf(std::vector<T>& values, T none, Merge merge) {
    const std::size_t count = values.size();
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t a = 2 * i, b = 2 * i + 1;
        values[i] = merge(a < count ? values[a] : none, b < count ? values[b] : none);
    }
}

std::int64_t larger(std::int64_t a, std::int64_t b) {
    return std::max(a, b);
}

}  // namespace

void MinMaxSeries::add(std::int64_t x, std::int64_t y) {
    if (!reduced_) {
        exact_.emplace_back(x, y);
        if (exact_.size() > budget_) toBuckets();
        return;
    }
    put(x, y);
}

void MinMaxSeries::toBuckets() {
    reduced_ = true;
    const std::size_t count = std::max<std::size_t>(2, budget_ / 2);
    buckets_.assign(count, Bucket{});
    origin_ = exact_.empty() ? 0 : exact_.front().first;
    std::int64_t last = origin_;
    for (const auto& point : exact_) last = std::max(last, point.first);
    width_ = 1;
    while ((last - origin_) / width_ >= static_cast<std::int64_t>(count)) width_ *= 2;
    for (const auto& point : exact_) put(point.first, point.second);
    exact_.clear();
    exact_.shrink_to_fit();
}

void MinMaxSeries::mergePairs() {
    mergePairsOf(buckets_, Bucket{}, [](const Bucket& a, const Bucket& b) {
        if (!a.used || !b.used) return a.used ? a : b;
        return Bucket{std::min(a.min, b.min), std::max(a.max, b.max), true};
    });
    width_ *= 2;
}

void MinMaxSeries::put(std::int64_t x, std::int64_t y) {
    // Times before the first (decoded input may hold them) go to the first bucket.
    std::int64_t index = x < origin_ ? 0 : (x - origin_) / width_;
    while (index >= static_cast<std::int64_t>(buckets_.size())) {
        mergePairs();
        index = (x - origin_) / width_;
    }
    Bucket& b = buckets_[static_cast<std::size_t>(index)];
    b.min = b.used ? std::min(b.min, y) : y;
    b.max = b.used ? std::max(b.max, y) : y;
    b.used = true;
}

void MinMaxSeries::coarsen() {
    if (!reduced_) {
        budget_ = std::max<std::size_t>(4, std::min(budget_, exact_.size()) / 2);
        toBuckets();
        return;
    }
    mergePairs();
}

void MinMaxSeries::write(JsonWriter& json) const {
    std::vector<std::int64_t> xs, first, second;
    if (!reduced_) {
        for (const auto& point : exact_) {
            xs.push_back(point.first);
            first.push_back(point.second);
        }
        json.beginObject();
        json.memberIntegers("x", differences(xs));
        json.memberIntegers("y", first);
        json.endObject();
        return;
    }
    for (std::size_t i = 0; i < buckets_.size(); ++i) {
        if (!buckets_[i].used) continue;
        xs.push_back(origin_ + static_cast<std::int64_t>(i) * width_);
        first.push_back(buckets_[i].min);
        second.push_back(buckets_[i].max);
    }
    json.beginObject();
    json.memberIntegers("x", differences(xs));
    json.memberIntegers("min", first);
    json.memberIntegers("max", second);
    json.endObject();
}

void PointSeries::add(std::int64_t x, std::int64_t y) {
    ++count_;
    if (xs_.size() >= budget_) return;
    xs_.push_back(x);
    ys_.push_back(y);
}

void PointSeries::write(JsonWriter& json) const {
    json.beginObject();
    json.memberIntegers("x", differences(xs_));
    json.memberIntegers("y", ys_);
    json.memberUnsigned("count", count_);
    json.endObject();
}

void CountSeries::add(std::int64_t x) {
    intervals_.start(x);
    const std::size_t i = intervals_.fit(
        x, [this] { mergePairsOf(counts_, std::uint64_t{0}, std::plus<std::uint64_t>()); });
    ++counts_[i];
    intervals_.use(i);
}

void CountSeries::write(JsonWriter& json) const {
    std::vector<std::int64_t> xs, ys;
    for (std::size_t i = 0; i < intervals_.used(); ++i) {
        xs.push_back(intervals_.begin(i));
        ys.push_back(static_cast<std::int64_t>(counts_[i]));
    }
    json.beginObject();
    json.memberIntegers("x", differences(xs));
    json.memberIntegers("y", ys);
    json.memberInteger("width", intervals_.width());
    json.endObject();
}

void LevelSeries::hold(std::int64_t until) {
    // The level from lastX_ to `until`, spread over the intervals it spans.
    intervals_.fit(until, [this] {
        mergePairsOf(sums_, 0.0, std::plus<double>());
        mergePairsOf(max_, std::int64_t{-1}, larger);
    });
    std::int64_t at = lastX_;
    for (;;) {
        const std::size_t i = intervals_.index(at);
        const std::int64_t to = std::min(until, intervals_.begin(i + 1));
        sums_[i] += static_cast<double>(level_) * static_cast<double>(to - at);
        max_[i] = std::max(max_[i], level_);
        intervals_.use(i);
        if (to >= until) break;
        at = to;
    }
}

void LevelSeries::add(std::int64_t x, std::int64_t level) {
    if (!intervals_.started()) {
        intervals_.start(x);
        lastX_ = x;
    }
    x = std::max(x, lastX_);
    hold(x);
    lastX_ = x;
    level_ = level;
    // The new level shows at once, even if it changes again at this time,
    // and in an interval of its own when it begins one.
    const std::size_t i = intervals_.index(x);
    max_[i] = std::max(max_[i], level);
    intervals_.use(i);
}

void LevelSeries::write(JsonWriter& json) const {
    std::vector<std::int64_t> xs, means, maxes;
    const std::int64_t width = intervals_.width();
    for (std::size_t i = 0; i < intervals_.used(); ++i) {
        if (max_[i] < 0) continue;
        const std::int64_t begin = intervals_.begin(i);
        // The last interval is held only up to the last change.
        const std::int64_t held =
            std::max<std::int64_t>(1, std::min(begin + width, std::max(lastX_, begin + 1)) - begin);
        xs.push_back(begin);
        means.push_back(std::llround(sums_[i] * 1000.0 / static_cast<double>(held)));
        maxes.push_back(max_[i]);
    }
    json.beginObject();
    json.memberIntegers("x", differences(xs));
    json.memberIntegers("mean", means);
    json.memberIntegers("max", maxes);
    json.memberInteger("width", width);
    json.endObject();
}

void AgeSeries::hold(std::int64_t until) {
    const std::size_t last = intervals_.fit(until, [this] { mergePairsOf(max_, kNone, larger); });
    intervals_.use(last);
    if (!open_) return;
    // The age at each interval's end within [lastX_, until], where it is largest.
    for (std::size_t i = intervals_.index(lastX_); i <= last; ++i) {
        const std::int64_t end = i == last ? until : intervals_.begin(i + 1) - 1;
        max_[i] = std::max(max_[i], std::max<std::int64_t>(0, end - since_));
    }
}

void AgeSeries::set(std::int64_t x, bool open, std::int64_t since) {
    if (!intervals_.started()) {
        intervals_.start(x);
        lastX_ = x;
    }
    x = std::max(x, lastX_);
    hold(x);
    lastX_ = x;
    open_ = open;
    since_ = since;
    hold(x);  // the age just after the change, in its interval
}

void AgeSeries::finish(std::int64_t x) {
    if (!intervals_.started()) return;
    x = std::max(x, lastX_);
    hold(x);
    lastX_ = x;
}

void AgeSeries::write(JsonWriter& json) const {
    std::vector<std::int64_t> xs, maxes;
    for (std::size_t i = 0; i < intervals_.used(); ++i) {
        xs.push_back(intervals_.begin(i));
        maxes.push_back(max_[i]);
    }
    json.beginObject();
    json.memberIntegers("x", differences(xs));
    json.memberIntegers("max", maxes);
    json.memberInteger("width", intervals_.width());
    json.endObject();
}

}  // namespace qelttrace
