#include "robust_regression.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "compensated_sum.hpp"

namespace orvane::core {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

bool in_range(std::int64_t g, std::size_t n_groups) {
  return g >= 0 && static_cast<std::size_t>(g) < n_groups;
}

// Each observation's (group, cluster) pair numbered from 0, or none when no
// cluster is given (then every observation is a cluster of its own). The
// rows are visited group by group (a counting sort of their numbers), and
// within a group each cluster is numbered when first seen: the tables are
// one entry per group and per cluster, never one per pair, which for a
// universe of 64,000 groups and 300 releases would be 19 million entries.
// Rows whose group is out of range get no slot (they are never asked).
struct Slots {
  std::vector<std::uint32_t> id;  // 32 bits: half the memory the kernel must clear on each call
  std::uint64_t count = 0;
  Slots(std::span<const std::int64_t> group, std::span<const std::int64_t> cluster,
        std::size_t n_groups) {
    if (cluster.empty()) return;
    const std::size_t n = group.size();
    if (cluster.size() != n) throw std::invalid_argument("clusters: lengths differ");
    if (n >= UINT32_MAX) throw std::invalid_argument("clusters: too many rows");
    std::int64_t n_clusters = 0;
    for (const std::int64_t c : cluster) {
      if (c < 0) throw std::invalid_argument("clusters: numbers must not be negative");
      n_clusters = std::max(n_clusters, c + 1);
    }
    std::vector<std::size_t> starts(n_groups + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
      if (in_range(group[i], n_groups)) ++starts[static_cast<std::size_t>(group[i]) + 1];
    }
    for (std::size_t g = 0; g < n_groups; ++g) starts[g + 1] += starts[g];
    std::vector<std::uint32_t> order(starts[n_groups]);
    std::vector<std::size_t> fill(starts.begin(), starts.end() - 1);
    for (std::size_t i = 0; i < n; ++i) {
      if (in_range(group[i], n_groups)) {
        order[fill[static_cast<std::size_t>(group[i])]++] = static_cast<std::uint32_t>(i);
      }
    }
    id.assign(n, UINT32_MAX);
    std::vector<std::size_t> last_group(static_cast<std::size_t>(n_clusters), n_groups);
    std::vector<std::uint32_t> slot_of(static_cast<std::size_t>(n_clusters));
    for (std::size_t g = 0; g < n_groups; ++g) {
      for (std::size_t k = starts[g]; k < starts[g + 1]; ++k) {
        const std::size_t i = order[k], c = static_cast<std::size_t>(cluster[i]);
        if (last_group[c] != g) {
          last_group[c] = g;
          slot_of[c] = static_cast<std::uint32_t>(count++);
        }
        id[i] = slot_of[c];
      }
    }
  }
};

// The inverse of the symmetric positive definite k x k matrix `a` (row-major,
// overwritten) by its Cholesky factor; false when a pivot is not clearly
// positive (a singular design: a regressor that is a blend of the others).
bool invert_spd(std::vector<double>& a, std::size_t k) {
  std::vector<double> l(k * k, 0.0);
  for (std::size_t j = 0; j < k; ++j) {
    double d = a[j * k + j];
    for (std::size_t m = 0; m < j; ++m) d -= l[j * k + m] * l[j * k + m];
    if (!(d > 1e-12 * a[j * k + j])) return false;
    l[j * k + j] = std::sqrt(d);
    for (std::size_t i = j + 1; i < k; ++i) {
      double s = a[i * k + j];
      for (std::size_t m = 0; m < j; ++m) s -= l[i * k + m] * l[j * k + m];
      l[i * k + j] = s / l[j * k + j];
    }
  }
  // inverse of L by forward substitution, then inv(A) = inv(L)' inv(L)
  std::vector<double> li(k * k, 0.0);
  for (std::size_t j = 0; j < k; ++j) {
    li[j * k + j] = 1.0 / l[j * k + j];
    for (std::size_t i = j + 1; i < k; ++i) {
      double s = 0.0;
      for (std::size_t m = j; m < i; ++m) s -= l[i * k + m] * li[m * k + j];
      li[i * k + j] = s / l[i * k + i];
    }
  }
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = 0; j < k; ++j) {
      double s = 0.0;
      for (std::size_t m = std::max(i, j); m < k; ++m) s += li[m * k + i] * li[m * k + j];
      a[i * k + j] = s;
    }
  }
  return true;
}

// One group's running sums over its observations, kept flat for all groups
// so that each pass reads the observations in table order.
struct Pass {
  std::size_t p, n_groups;
  std::vector<std::int64_t> n;
  std::vector<Sum> sx, sy, sxx, sxy;  // sums, then centred cross products
  std::vector<double> x0, y0, mx, my, syy;
  std::vector<unsigned char> x_varies, y_varies;
  Pass(std::size_t p_, std::size_t groups)
      : p(p_),
        n_groups(groups),
        n(groups),
        sx(groups * p_),
        sy(groups),
        sxx(groups * p_ * p_),
        sxy(groups * p_),
        x0(groups * p_),
        y0(groups),
        mx(groups * p_),
        my(groups),
        syy(groups),
        x_varies(groups * p_),
        y_varies(groups) {}
};

}  // namespace

void robust_fits(std::span<const std::int64_t> group, std::span<const double> x,
                 std::span<const double> y, std::span<const std::int64_t> cluster,
                 const RobustFits& out) {
  const std::size_t p = out.p, n_groups = out.n.size(), n_obs = group.size();
  if (y.size() != n_obs || x.size() != n_obs * p) {
    throw std::invalid_argument("robust_fits: lengths differ");
  }
  if (out.clusters.size() != n_groups || out.used.size() != n_groups ||
      out.intercept.size() != n_groups || out.r2.size() != n_groups || out.dof.size() != n_groups ||
      out.beta.size() != n_groups * p || out.cov.size() != n_groups * p * p) {
    throw std::invalid_argument("robust_fits: outputs differ");
  }
  const Slots slots(group, cluster, n_groups);
  std::vector<unsigned char> counts(n_obs);  // whether observation i enters its group's fit
  Pass s(p, n_groups);
  for (std::size_t i = 0; i < n_obs; ++i) {
    bool known = in_range(group[i], n_groups) && !std::isnan(y[i]);
    for (std::size_t j = 0; j < p && known; ++j) known = !std::isnan(x[i * p + j]);
    counts[i] = known;
    if (!known) continue;
    const std::size_t g = static_cast<std::size_t>(group[i]);
    const double* xi = &x[i * p];
    if (s.n[g]++ == 0) {
      s.y0[g] = y[i];
      for (std::size_t j = 0; j < p; ++j) s.x0[g * p + j] = xi[j];
    }
    s.sy[g].add(y[i]);
    s.y_varies[g] |= y[i] != s.y0[g];
    for (std::size_t j = 0; j < p; ++j) {
      s.sx[g * p + j].add(xi[j]);
      s.x_varies[g * p + j] |= xi[j] != s.x0[g * p + j];
    }
  }
  for (std::size_t g = 0; g < n_groups; ++g) {
    const double dn = static_cast<double>(s.n[g]);
    s.my[g] = s.sy[g].value() / dn;
    for (std::size_t j = 0; j < p; ++j) s.mx[g * p + j] = s.sx[g * p + j].value() / dn;
  }
  // centred cross products: the fit's slopes are those of the centred data
  std::vector<double> d(p);
  for (std::size_t i = 0; i < n_obs; ++i) {
    if (!counts[i]) continue;
    const std::size_t g = static_cast<std::size_t>(group[i]);
    const double dy = y[i] - s.my[g];
    s.syy[g] += dy * dy;
    for (std::size_t j = 0; j < p; ++j) d[j] = x[i * p + j] - s.mx[g * p + j];
    for (std::size_t j = 0; j < p; ++j) {
      s.sxy[g * p + j].add(d[j] * dy);
      for (std::size_t m = 0; m <= j; ++m) s.sxx[(g * p + j) * p + m].add(d[j] * d[m]);
    }
  }
  // each group's fit: the regressors that vary, the inverse of their cross
  // products (the sandwich's bread) and the slopes
  std::vector<std::size_t> columns;  // the regressors in group g's fit, for every g
  std::vector<std::size_t> first_column(n_groups + 1, 0);
  std::vector<double> bread;  // k * k per group, after first_bread
  std::vector<std::size_t> first_bread(n_groups + 1, 0);
  std::vector<unsigned char> fitted(n_groups);
  for (std::size_t g = 0; g < n_groups; ++g) {
    for (std::size_t j = 0; j < p; ++j) {
      if (s.x_varies[g * p + j]) columns.push_back(j);
    }
    first_column[g + 1] = columns.size();
    const std::size_t k = first_column[g + 1] - first_column[g];
    const std::size_t* cols = columns.data() + first_column[g];
    out.n[g] = s.n[g];
    out.used[g] = static_cast<std::int64_t>(k);
    std::vector<double> a(k * k);
    for (std::size_t r = 0; r < k; ++r) {
      for (std::size_t c = 0; c < k; ++c) {
        const std::size_t hi = std::max(cols[r], cols[c]), lo = std::min(cols[r], cols[c]);
        a[r * k + c] = s.sxx[(g * p + hi) * p + lo].value();
      }
    }
    fitted[g] =
        k > 0 && s.y_varies[g] && s.n[g] > static_cast<std::int64_t>(k) + 1 && invert_spd(a, k);
    for (std::size_t j = 0; j < p; ++j) out.beta[g * p + j] = nan;
    for (std::size_t j = 0; j < p * p; ++j) out.cov[g * p * p + j] = nan;
    out.intercept[g] = out.r2[g] = out.dof[g] = nan;
    if (fitted[g]) {
      double intercept = s.my[g];
      for (std::size_t r = 0; r < k; ++r) {
        double b = 0.0;
        for (std::size_t c = 0; c < k; ++c) b += a[r * k + c] * s.sxy[g * p + cols[c]].value();
        out.beta[g * p + cols[r]] = b;
        intercept -= b * s.mx[g * p + cols[r]];
      }
      out.intercept[g] = intercept;
    }
    bread.insert(bread.end(), a.begin(), a.end());
    first_bread[g + 1] = bread.size();
  }
  // residuals: their squares, and the scores of each observation (HC1) or
  // summed by cluster (CR1), whose outer products fill the sandwich's meat
  std::vector<double> ssr(n_groups, 0.0), meat;
  std::vector<std::size_t> first_meat(n_groups + 1, 0);
  for (std::size_t g = 0; g < n_groups; ++g) {
    const std::size_t k = first_column[g + 1] - first_column[g];
    first_meat[g + 1] = first_meat[g] + k * k;
  }
  meat.assign(first_meat[n_groups], 0.0);
  std::vector<double> scores(slots.count * p, 0.0);  // by slot, in the group's own columns
  std::vector<unsigned char> slot_seen(slots.count);
  std::vector<std::int64_t> n_clusters(n_groups, 0);
  std::vector<double> e_x(p);
  for (std::size_t i = 0; i < n_obs; ++i) {
    if (!counts[i]) continue;
    const std::size_t g = static_cast<std::size_t>(group[i]);
    if (!slots.id.empty() && !slot_seen[slots.id[i]]) {
      slot_seen[slots.id[i]] = 1;
      ++n_clusters[g];
    }
    if (!fitted[g]) continue;
    const std::size_t k = first_column[g + 1] - first_column[g];
    const std::size_t* cols = columns.data() + first_column[g];
    double e = y[i] - s.my[g];
    for (std::size_t r = 0; r < k; ++r) {
      e -= out.beta[g * p + cols[r]] * (x[i * p + cols[r]] - s.mx[g * p + cols[r]]);
    }
    ssr[g] += e * e;
    for (std::size_t r = 0; r < k; ++r) e_x[r] = e * (x[i * p + cols[r]] - s.mx[g * p + cols[r]]);
    if (slots.id.empty()) {
      double* m = meat.data() + first_meat[g];
      for (std::size_t r = 0; r < k; ++r) {
        for (std::size_t c = 0; c < k; ++c) m[r * k + c] += e_x[r] * e_x[c];
      }
    } else {
      double* score = scores.data() + slots.id[i] * p;
      for (std::size_t r = 0; r < k; ++r) score[r] += e_x[r];
    }
  }
  if (!slots.id.empty()) {
    std::vector<unsigned char> added(slots.count);
    for (std::size_t i = 0; i < n_obs; ++i) {
      if (!counts[i] || added[slots.id[i]]) continue;
      added[slots.id[i]] = 1;
      const std::size_t g = static_cast<std::size_t>(group[i]);
      if (!fitted[g]) continue;  // no regressor in the fit: no meat to add to
      const std::size_t k = first_column[g + 1] - first_column[g];
      const double* score = scores.data() + slots.id[i] * p;
      double* m = meat.data() + first_meat[g];
      for (std::size_t r = 0; r < k; ++r) {
        for (std::size_t c = 0; c < k; ++c) m[r * k + c] += score[r] * score[c];
      }
    }
  }
  for (std::size_t g = 0; g < n_groups; ++g) {
    const bool clustered = !slots.id.empty();
    out.clusters[g] = clustered ? n_clusters[g] : s.n[g];
    if (!fitted[g]) continue;
    const std::size_t k = first_column[g + 1] - first_column[g];
    const std::size_t* cols = columns.data() + first_column[g];
    const double dn = static_cast<double>(s.n[g]), dk = static_cast<double>(k);
    const double dg = static_cast<double>(out.clusters[g]);
    out.r2[g] = 1.0 - ssr[g] / s.syy[g];
    if (clustered && out.clusters[g] < 2) continue;
    const double scale =
        clustered ? dg / (dg - 1.0) * (dn - 1.0) / (dn - dk - 1.0) : dn / (dn - dk - 1.0);
    out.dof[g] = clustered ? dg - 1.0 : dn - dk - 1.0;
    const double* a = bread.data() + first_bread[g];
    const double* m = meat.data() + first_meat[g];
    // bread * meat * bread
    for (std::size_t r = 0; r < k; ++r) {
      for (std::size_t c = 0; c < k; ++c) {
        double v = 0.0;
        for (std::size_t u = 0; u < k; ++u) {
          double am = 0.0;
          for (std::size_t w = 0; w < k; ++w) am += m[u * k + w] * a[w * k + c];
          v += a[r * k + u] * am;
        }
        out.cov[(g * p + cols[r]) * p + cols[c]] = scale * v;
      }
    }
  }
}

void clustered_mean_errors(std::span<const std::int64_t> group,
                           std::span<const std::int64_t> cluster, std::span<const double> y,
                           std::span<const double> mean, std::span<double> sem,
                           std::span<std::int64_t> clusters) {
  const std::size_t n_groups = mean.size();
  if (cluster.size() != group.size() || y.size() != group.size()) {
    throw std::invalid_argument("clustered_mean_errors: lengths differ");
  }
  if (sem.size() != n_groups || clusters.size() != n_groups) {
    throw std::invalid_argument("clustered_mean_errors: outputs differ");
  }
  const Slots slots(group, cluster, n_groups);
  std::vector<Sum> deviation(slots.count);
  std::vector<std::int64_t> n(n_groups, 0);
  std::vector<unsigned char> seen(slots.count);
  for (std::int64_t& c : clusters) c = 0;
  for (std::size_t i = 0; i < group.size(); ++i) {
    if (!in_range(group[i], n_groups) || std::isnan(y[i])) continue;
    const std::size_t g = static_cast<std::size_t>(group[i]);
    ++n[g];
    deviation[slots.id[i]].add(y[i] - mean[g]);
    if (!seen[slots.id[i]]) {
      seen[slots.id[i]] = 1;
      ++clusters[g];
    }
  }
  std::vector<double> meat(n_groups, 0.0);
  std::vector<unsigned char> added(slots.count);
  for (std::size_t i = 0; i < group.size(); ++i) {
    if (!in_range(group[i], n_groups) || std::isnan(y[i]) || added[slots.id[i]]) continue;
    added[slots.id[i]] = 1;
    const double v = deviation[slots.id[i]].value();
    meat[static_cast<std::size_t>(group[i])] += v * v;
  }
  for (std::size_t g = 0; g < n_groups; ++g) {
    const double dg = static_cast<double>(clusters[g]), dn = static_cast<double>(n[g]);
    sem[g] = clusters[g] >= 2 ? std::sqrt(dg / (dg - 1.0) * meat[g]) / dn : nan;
  }
}

bool count_clusters(std::span<const std::int64_t> group, std::span<const std::int64_t> cluster,
                    std::span<const double> y, std::span<std::int64_t> clusters,
                    std::span<const double> x) {
  if (cluster.size() != group.size() || y.size() != group.size() ||
      (!x.empty() && x.size() % group.size() != 0)) {
    throw std::invalid_argument("count_clusters: lengths differ");
  }
  const std::size_t p = group.empty() ? 0 : x.size() / group.size();
  const auto known = [&](std::size_t i) {
    for (std::size_t j = 0; j < p; ++j) {
      if (std::isnan(x[i * p + j])) return false;
    }
    return !std::isnan(y[i]);
  };
  const std::size_t n_groups = clusters.size();
  const Slots slots(group, cluster, n_groups);
  std::vector<unsigned char> seen(slots.count);
  bool shared = false;
  for (std::int64_t& c : clusters) c = 0;
  for (std::size_t i = 0; i < group.size(); ++i) {
    if (!in_range(group[i], n_groups) || !known(i)) continue;
    if (seen[slots.id[i]]) {
      shared = true;
      continue;
    }
    seen[slots.id[i]] = 1;
    ++clusters[static_cast<std::size_t>(group[i])];
  }
  return shared;
}

}  // namespace orvane::core
