#include "move_statistics.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "row_groups.hpp"

namespace orvane::core {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Compensated (Neumaier) sum: the moves of a group may mix large and small
// values, and the distributed study must agree with this one to 1e-10.
class Sum {
 public:
  void add(double v) {
    const double t = total_ + v;
    carry_ += std::abs(total_) >= std::abs(v) ? (total_ - t) + v : (v - t) + total_;
    total_ = t;
  }
  // an infinite total leaves a NaN carry (inf - inf) that must not hide it
  double value() const { return std::isfinite(total_) ? total_ + carry_ : total_; }

 private:
  double total_ = 0.0, carry_ = 0.0;
};

// The rows of each group, groups in code order; rows whose group is out of
// range sit in one trailing group that callers skip.
RowGroups rows_by_group(std::span<const std::int64_t> group, std::size_t n_groups) {
  std::vector<std::uint64_t> ids(group.size());
  for (std::size_t i = 0; i < group.size(); ++i) {
    const std::int64_t g = group[i];
    ids[i] =
        g >= 0 && static_cast<std::size_t>(g) < n_groups ? static_cast<std::uint64_t>(g) : n_groups;
  }
  RowGroups rows = group_rows(ids, n_groups + 1);
  if (rows.in_place()) {
    // the runs of rows are the groups present, in code order: one start per code
    std::vector<std::size_t> starts(n_groups + 2, group.size());
    for (std::size_t k = rows.count(); k-- > 0;) starts[ids[rows.starts[k]]] = rows.starts[k];
    for (std::size_t g = n_groups + 1; g-- > 0;) starts[g] = std::min(starts[g], starts[g + 1]);
    rows.starts = std::move(starts);
  }
  return rows;
}

// Linear interpolation at q between the order statistics of sorted values.
double quantile(const std::vector<double>& sorted, double q) {
  const double at = q * static_cast<double>(sorted.size() - 1);
  const auto lo = static_cast<std::size_t>(at);
  const double frac = at - static_cast<double>(lo);
  if (frac == 0.0) return sorted[lo];
  return sorted[lo] + (sorted[lo + 1] - sorted[lo]) * frac;
}

void summarize_one(std::vector<double>& v, const MoveSummary& out, std::size_t g) {
  const std::size_t n = v.size();
  out.count[g] = static_cast<std::int64_t>(n);
  out.up[g] = std::count_if(v.begin(), v.end(), [](double x) { return x > 0.0; });
  out.down[g] = std::count_if(v.begin(), v.end(), [](double x) { return x < 0.0; });
  if (n == 0) {
    for (auto column : {out.mean, out.std_dev, out.median, out.q25, out.q75, out.mean_abs}) {
      column[g] = nan;
    }
    return;
  }
  std::sort(v.begin(), v.end());
  Sum sum, size;
  for (double x : v) {
    sum.add(x);
    size.add(std::abs(x));
  }
  const bool equal = v.front() == v.back();
  const double mean = equal ? v.front() : sum.value() / static_cast<double>(n);
  Sum squares;
  for (double x : v) squares.add((x - mean) * (x - mean));
  out.mean[g] = mean;
  out.std_dev[g] = n < 2   ? nan
                   : equal ? 0.0
                           : std::sqrt(squares.value() / static_cast<double>(n - 1));
  out.median[g] = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
  out.q25[g] = quantile(v, 0.25);
  out.q75[g] = quantile(v, 0.75);
  out.mean_abs[g] = size.value() / static_cast<double>(n);
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
  const RowGroups rows = rows_by_group(group, n_groups);
  std::vector<double> values;
  for (std::size_t g = 0; g < n_groups; ++g) {
    values.clear();
    for (std::size_t k = rows.starts[g]; k < rows.starts[g + 1]; ++k) {
      const double x = move[rows.row(k)];
      if (!std::isnan(x)) values.push_back(x);
    }
    summarize_one(values, out, g);
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
  const auto known = [&](std::int64_t r) {
    return r >= 0 && static_cast<std::size_t>(r) < n_releases;
  };
  std::vector<double> first(n_releases, nan);
  for (std::size_t i = 0; i < n; ++i) {
    if (known(release[i]) && std::isnan(first[release[i]])) first[release[i]] = surprise[i];
  }
  std::int64_t n_events = 0;
  for (const std::int64_t e : event_of) {
    if (e < 0) throw std::out_of_range("standardize_surprises: release without an event kind");
    n_events = std::max(n_events, e + 1);
  }
  // two passes over the releases: the mean of each kind, then the spread
  std::vector<Sum> sums(n_events), squares(n_events);
  std::vector<std::int64_t> counts(n_events);
  for (std::size_t r = 0; r < n_releases; ++r) {
    if (!std::isnan(first[r])) {
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

namespace {

struct Pair {
  double x, y;
};

void regress_one(const std::vector<Pair>& v, const Response& out, std::size_t g) {
  const std::size_t n = v.size();
  out.n[g] = static_cast<std::int64_t>(n);
  for (auto column : {out.beta, out.se, out.intercept, out.r2}) column[g] = nan;
  if (n < 3) return;
  Sum sx, sy;
  bool x_varies = false, y_varies = false;
  for (const Pair& p : v) {
    sx.add(p.x);
    sy.add(p.y);
    x_varies = x_varies || p.x != v.front().x;
    y_varies = y_varies || p.y != v.front().y;
  }
  if (!x_varies || !y_varies) return;
  const double mx = sx.value() / static_cast<double>(n), my = sy.value() / static_cast<double>(n);
  Sum sxx, sxy, syy;
  for (const Pair& p : v) {
    sxx.add((p.x - mx) * (p.x - mx));
    sxy.add((p.x - mx) * (p.y - my));
    syy.add((p.y - my) * (p.y - my));
  }
  const double beta = sxy.value() / sxx.value();
  Sum residual, meat;
  for (const Pair& p : v) {
    const double e = (p.y - my) - beta * (p.x - mx);
    residual.add(e * e);
    meat.add((p.x - mx) * (p.x - mx) * e * e);
  }
  const double dn = static_cast<double>(n);
  out.beta[g] = beta;
  out.intercept[g] = my - beta * mx;
  out.se[g] = std::sqrt(dn / (dn - 2.0) * meat.value()) / sxx.value();
  out.r2[g] = 1.0 - residual.value() / syy.value();
}

}  // namespace

void regress_groups(std::span<const std::int64_t> group, std::span<const double> x,
                    std::span<const double> y, const Response& out) {
  const std::size_t n_groups = out.n.size();
  if (x.size() != group.size() || y.size() != group.size()) {
    throw std::invalid_argument("regress_groups: lengths differ");
  }
  for (auto column : {out.beta, out.se, out.intercept, out.r2}) {
    if (column.size() != n_groups) throw std::invalid_argument("regress_groups: outputs differ");
  }
  const RowGroups rows = rows_by_group(group, n_groups);
  std::vector<Pair> pairs;
  for (std::size_t g = 0; g < n_groups; ++g) {
    pairs.clear();
    for (std::size_t k = rows.starts[g]; k < rows.starts[g + 1]; ++k) {
      const std::size_t i = rows.row(k);
      if (!std::isnan(x[i]) && !std::isnan(y[i])) pairs.push_back({x[i], y[i]});
    }
    regress_one(pairs, out, g);
  }
}

}  // namespace orvane::core
