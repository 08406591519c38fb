// histogram.h - response times in a log-linear histogram: exact below 256 µs,
// then 128 buckets per power of two, so that a bucket's midpoint is within
// 0.4 % of every value in it.  Two histograms merge by adding counts, which is
// how the parts of a run and the runs of many hosts become one.
#ifndef TPCC_DRIVER_HISTOGRAM_H
#define TPCC_DRIVER_HISTOGRAM_H

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

class Histogram {
public:
  static constexpr uint64_t kSub = 128;

  // The bucket that holds us, and the least value a bucket holds.
  static size_t index(uint64_t us) {
    if (us < 2 * kSub) {
      return us;
    }
    const auto shift = static_cast<int>(std::bit_width(us)) - 8; // us >> shift is in [128, 256)
    return 2 * kSub + static_cast<size_t>(shift - 1) * kSub + ((us >> shift) - kSub);
  }
  static uint64_t lower(size_t i) {
    if (i < 2 * kSub) {
      return i;
    }
    const size_t shift = (i - 2 * kSub) / kSub + 1;
    return ((i - 2 * kSub) % kSub + kSub) << shift;
  }
  static uint64_t width(size_t i) {
    return i < 2 * kSub ? 1 : uint64_t{1} << ((i - 2 * kSub) / kSub + 1);
  }

  void add(uint64_t us, uint64_t n = 1) {
    const size_t i = index(us);
    if (i >= counts_.size()) {
      counts_.resize(i + 1);
    }
    counts_[i] += n;
    total_ += n;
    max_ = total_ == n || us > max_ ? us : max_;
  }
  void merge(const Histogram &other) {
    if (other.counts_.size() > counts_.size()) {
      counts_.resize(other.counts_.size());
    }
    for (size_t i = 0; i < other.counts_.size(); ++i) {
      counts_[i] += other.counts_[i];
    }
    max_ = total_ == 0 || other.max_ > max_ ? other.max_ : max_;
    total_ += other.total_;
  }
  uint64_t count() const { return total_; }
  uint64_t max() const { return max_; }

  // The least value with at least p % (0 < p <= 100) of the values at or below it, as the
  // midpoint of its bucket (never above the largest value); 0 when empty.
  double percentile(double p) const {
    if (total_ == 0) {
      return 0;
    }
    const size_t i = bucket_at(rank(p, total_));
    const double mid = static_cast<double>(lower(i)) + static_cast<double>(width(i) - 1) / 2;
    return mid < static_cast<double>(max_) ? mid : static_cast<double>(max_);
  }

  // The largest value the bucket holding the p-th percentile may hold (never above the largest
  // value): what a limit on a percentile is held to, the bucket's midpoint being an estimate.
  // `more` values besides these count as above every limit (transactions that never
  // completed), so a percentile among them is UINT64_MAX; 0 when there are no values at all.
  uint64_t percentile_bound(double p, uint64_t more = 0) const {
    if (total_ + more == 0) {
      return 0;
    }
    const uint64_t r = rank(p, total_ + more);
    if (r > total_) {
      return UINT64_MAX;
    }
    const size_t i = bucket_at(r);
    return std::min(lower(i) + width(i) - 1, max_);
  }

  // The buckets that hold values: (least value, count), in order.
  std::vector<std::pair<uint64_t, uint64_t>> buckets() const {
    std::vector<std::pair<uint64_t, uint64_t>> out;
    for (size_t i = 0; i < counts_.size(); ++i) {
      if (counts_[i] != 0) {
        out.emplace_back(lower(i), counts_[i]);
      }
    }
    return out;
  }
  // Adds n values of the bucket whose least value is lower (from buckets()), the largest
  // value of all being max.
  void add_bucket(uint64_t lower_us, uint64_t n, uint64_t max_us) {
    add(lower_us, n);
    max_ = max_us > max_ ? max_us : max_;
  }

private:
  // ceil(p % of n), less a rounding error: 99.9 % of 20000 is 19980, not 19981; at least 1.
  static uint64_t rank(double p, uint64_t n) {
    return std::max<uint64_t>(
        static_cast<uint64_t>(std::ceil(p / 100 * static_cast<double>(n) - 1e-6)), 1);
  }
  // The bucket holding the rank-th least value, 1 <= rank <= count().
  size_t bucket_at(uint64_t rank) const {
    uint64_t seen = 0;
    for (size_t i = 0; i < counts_.size(); ++i) {
      seen += counts_[i];
      if (seen >= rank && counts_[i] != 0) {
        return i;
      }
    }
    return index(max_);
  }

  std::vector<uint64_t> counts_;
  uint64_t total_ = 0, max_ = 0;
};

#endif
