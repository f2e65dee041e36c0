#include "move_statistics.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

#include "compensated_sum.hpp"

namespace orvane::core {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// The kept values of the rows laid out group after group (group g in
// [starts[g], starts[g + 1])), each group's in row order: `keep(i)` tells
// whether row i counts, `value(i)` what it holds. Rows whose group is out of
// range are left out.
template <class T, class Keep, class Value>
std::unique_ptr<T[]> by_group(std::span<const std::int64_t> group, std::size_t n_groups,
                              std::vector<std::size_t>& starts, Keep keep, Value value) {
  const auto kept = [&](std::size_t i) {
    return group[i] >= 0 && static_cast<std::size_t>(group[i]) < n_groups && keep(i);
  };
  starts.assign(n_groups + 1, 0);
  for (std::size_t i = 0; i < group.size(); ++i) {
    if (kept(i)) ++starts[group[i] + 1];
  }
  for (std::size_t g = 0; g < n_groups; ++g) starts[g + 1] += starts[g];
  // every entry is written below: no need to clear them first
  auto laid = std::make_unique_for_overwrite<T[]>(starts[n_groups]);
  std::vector<std::size_t> fill(starts.begin(), starts.end() - 1);
  for (std::size_t i = 0; i < group.size(); ++i) {
    if (kept(i)) laid[fill[group[i]]++] = value(i);
  }
  return laid;
}

// Moves the values of v[lo, hi) below `pivot` (or, with `or_equal`, not
// above it) to the front, without a branch on the values: the comparisons of
// moves are a coin toss, which a branch would mispredict half the time.
// Returns where the rest starts.
std::size_t partition(std::span<double> v, std::size_t lo, std::size_t hi, double pivot,
                      bool or_equal) {
  std::size_t store = lo;
  for (std::size_t i = lo; i < hi; ++i) {
    const double x = v[i];
    const bool front = or_equal ? x <= pivot : x < pivot;
    v[i] = v[store];
    v[store] = x;
    store += front;
  }
  return store;
}

// Reorders v so that v[k] holds the order statistic k, the values before it
// not above it and those after it not below (as std::nth_element). Each
// round splits the range around the median of three of its values, and a
// range whose least value is the pivot sheds the values equal to it, so runs
// of equal moves end it at once; a range
// that keeps splitting badly is left to std::nth_element.
void select(std::span<double> v, std::size_t k) {
  std::size_t lo = 0, hi = v.size();
  for (int rounds = 0; hi - lo > 16; ++rounds) {
    if (rounds > 64) {
      std::nth_element(v.begin() + static_cast<std::ptrdiff_t>(lo),
                       v.begin() + static_cast<std::ptrdiff_t>(k),
                       v.begin() + static_cast<std::ptrdiff_t>(hi));
      return;
    }
    const double a = v[lo], b = v[lo + (hi - lo) / 2], c = v[hi - 1];
    const double pivot = std::max(std::min(a, b), std::min(std::max(a, b), c));
    const std::size_t below = partition(v, lo, hi, pivot, false);
    if (k < below) {
      hi = below;
    } else if (below > lo) {
      lo = below;
    } else {
      // nothing below the pivot: the values equal to it come off the front
      const std::size_t equal = partition(v, below, hi, pivot, true);
      if (k < equal) return;  // v[k] equals the pivot
      lo = equal;
    }
  }
  std::sort(v.begin() + static_cast<std::ptrdiff_t>(lo),
            v.begin() + static_cast<std::ptrdiff_t>(hi));
}

// A group's values split at their middle by selection: v[mid] holds the
// order statistic `mid`, the values before it are the `mid` smallest. Order
// statistics are then selected in one half only, which leaves the split as
// it is: far less work than sorting the group.
class Halves {
 public:
  explicit Halves(std::span<double> v) : v_(v), mid_(v.size() / 2) { select(v_, mid_); }

  double median() const {
    if (v_.size() % 2) return v_[mid_];
    return (*std::max_element(v_.begin(), v_.begin() + static_cast<std::ptrdiff_t>(mid_)) +
            v_[mid_]) /
           2.0;
  }

  // Linear interpolation at q between the order statistics.
  double quantile(double q) {
    const double at = q * static_cast<double>(v_.size() - 1);
    const auto k = static_cast<std::size_t>(at);
    const double frac = at - static_cast<double>(k);
    if (k == mid_) {
      if (frac == 0.0) return v_[mid_];
      const double next =
          *std::min_element(v_.begin() + static_cast<std::ptrdiff_t>(mid_) + 1, v_.end());
      return v_[mid_] + (next - v_[mid_]) * frac;
    }
    // the half holding place k, and k's place in it
    const std::span<double> half = k < mid_ ? v_.first(mid_) : v_.subspan(mid_ + 1);
    const std::size_t j = k < mid_ ? k : k - mid_ - 1;
    select(half, j);
    if (frac == 0.0) return half[j];
    // the next order statistic: the least value after j in its half, or the middle one
    const double next =
        j + 1 < half.size()
            ? *std::min_element(half.begin() + static_cast<std::ptrdiff_t>(j) + 1, half.end())
            : v_[mid_];
    return half[j] + (next - half[j]) * frac;
  }

 private:
  std::span<double> v_;
  std::size_t mid_;
};

void summarize_one(std::span<double> v, const MoveSummary& out, std::size_t g) {
  const std::size_t n = v.size();
  out.count[g] = static_cast<std::int64_t>(n);
  if (n == 0) {
    out.up[g] = out.down[g] = 0;
    for (auto column : {out.mean, out.std_dev, out.median, out.q25, out.q75, out.mean_abs}) {
      column[g] = nan;
    }
    return;
  }
  Sum sum;
  double size = 0.0;  // terms of one sign: plain summation loses nothing to cancellation
  std::int64_t up = 0, down = 0;
  bool equal = true;
  for (double x : v) {
    sum.add(x);
    size += std::abs(x);
    up += x > 0.0;
    down += x < 0.0;
    equal = equal && x == v.front();
  }
  const double mean = equal ? v.front() : sum.value() / static_cast<double>(n);
  double squares = 0.0;
  for (double x : v) squares += (x - mean) * (x - mean);
  out.up[g] = up;
  out.down[g] = down;
  out.mean[g] = mean;
  // equal infinities have no spread to speak of: inf - inf is NaN, as pandas says
  const bool no_spread = equal && std::isfinite(v.front());
  out.std_dev[g] = n < 2 ? nan : no_spread ? 0.0 : std::sqrt(squares / static_cast<double>(n - 1));
  out.mean_abs[g] = size / static_cast<double>(n);
  Halves halves(v);
  out.median[g] = halves.median();
  out.q25[g] = halves.quantile(0.25);
  out.q75[g] = halves.quantile(0.75);
}

}  // namespace

void summarize_groups(std::span<const std::int64_t> group, std::span<const double> move,
                      const MoveSummary& out) {
  const std::size_t n_groups = out.count.size();
  if (move.size() != group.size()) throw std::invalid_argument("summarize_groups: lengths differ");
  for (auto column : {out.mean, out.std_dev, out.median, out.q25, out.q75, out.mean_abs}) {
    if (column.size() != n_groups) throw std::invalid_argument("summarize_groups: outputs differ");
  }
  if (out.up.size() != n_groups || out.down.size() != n_groups) {
    throw std::invalid_argument("summarize_groups: outputs differ");
  }
  std::vector<std::size_t> starts;
  const auto laid = by_group<double>(
      group, n_groups, starts, [&](std::size_t i) { return !std::isnan(move[i]); },
      [&](std::size_t i) { return move[i]; });
  for (std::size_t g = 0; g < n_groups; ++g) {
    summarize_one({laid.get() + starts[g], starts[g + 1] - starts[g]}, out, g);
  }
}

void mean_t_tests(std::span<const std::int64_t> count, std::span<const double> mean,
                  std::span<const double> std_dev, std::span<double> sem, std::span<double> t,
                  std::span<double> dof) {
  const std::size_t n = count.size();
  if (mean.size() != n || std_dev.size() != n || sem.size() != n || t.size() != n ||
      dof.size() != n) {
    throw std::invalid_argument("mean_t_tests: lengths differ");
  }
  for (std::size_t g = 0; g < n; ++g) {
    const bool defined = count[g] >= 2 && std_dev[g] > 0.0;
    sem[g] = count[g] >= 2 ? std_dev[g] / std::sqrt(static_cast<double>(count[g])) : nan;
    t[g] = defined ? mean[g] / sem[g] : nan;
    dof[g] = defined ? static_cast<double>(count[g] - 1) : nan;
  }
}

void standardize_surprises(std::span<const std::int64_t> release,
                           std::span<const std::int64_t> event_of, std::span<const double> surprise,
                           std::span<double> out) {
  const std::size_t n = release.size(), n_releases = event_of.size();
  if (surprise.size() != n || out.size() != n) {
    throw std::invalid_argument("standardize_surprises: lengths differ");
  }
  // a release without an event kind is no release
  const auto known = [&](std::int64_t r) {
    return r >= 0 && static_cast<std::size_t>(r) < n_releases && event_of[r] >= 0;
  };
  std::vector<double> first(n_releases, nan);
  for (std::size_t i = 0; i < n; ++i) {
    if (known(release[i]) && std::isnan(first[release[i]])) first[release[i]] = surprise[i];
  }
  std::int64_t n_events = 0;
  for (const std::int64_t e : event_of) n_events = std::max(n_events, e + 1);
  // two passes over the releases: the mean of each kind, then the spread
  std::vector<Sum> sums(n_events), squares(n_events);
  std::vector<std::int64_t> counts(n_events);
  for (std::size_t r = 0; r < n_releases; ++r) {
    if (!std::isnan(first[r])) {  // NaN for a release without an event kind too
      sums[event_of[r]].add(first[r]);
      ++counts[event_of[r]];
    }
  }
  std::vector<double> spread(n_events);
  for (std::size_t r = 0; r < n_releases; ++r) {
    const std::int64_t e = event_of[r];
    if (std::isnan(first[r])) continue;
    const double d = first[r] - sums[e].value() / static_cast<double>(counts[e]);
    squares[e].add(d * d);
  }
  for (std::int64_t e = 0; e < n_events; ++e) {
    spread[e] =
        counts[e] > 1 ? std::sqrt(squares[e].value() / static_cast<double>(counts[e] - 1)) : nan;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (!known(release[i]) || std::isnan(surprise[i])) {
      out[i] = nan;
      continue;
    }
    const double s = spread[event_of[release[i]]];
    out[i] = std::isfinite(s) && s > 0.0 ? surprise[i] / s : 0.0;
  }
}

}  // namespace orvane::core
