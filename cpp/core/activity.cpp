#include "activity.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <vector>

namespace orvane::core {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The standard normal distribution function, with erf near the centre and
// erfc in the tails so that neither side loses digits.
double normal_cdf(double a) {
  const double x = a * M_SQRT1_2;
  const double z = std::fabs(x);
  if (z < M_SQRT1_2) return 0.5 + 0.5 * std::erf(x);
  const double y = 0.5 * std::erfc(z);
  return x > 0 ? 1.0 - y : y;
}

// P(U <= k) for samples of sizes m <= n without ties: the counts of U are
// the coefficients of the Gaussian binomial [m + n choose m], built as the
// product over i of (1 - q^(n+i)) / (1 - q^i), each partial product a
// polynomial with whole coefficients, kept up to q^k.
template <typename Count>
double exact_cdf(std::int64_t m, std::int64_t n, std::int64_t k) {
  std::vector<Count> c(static_cast<std::size_t>(k) + 1, Count(0));
  c[0] = Count(1);
  Count total = Count(1);
  for (std::int64_t i = 1; i <= m; ++i) {
    for (std::int64_t u = k; u >= n + i; --u) c[u] -= c[u - n - i];
    for (std::int64_t u = i; u <= k; ++u) c[u] += c[u - i];
    total = total * Count(n + i) / Count(i);  // C(n + i, i), exact at every step
  }
  Count below = Count(0);
  for (const Count& v : c) below += v;
  return static_cast<double>(static_cast<long double>(below) / static_cast<long double>(total));
}

// Whether C(m + n, m) fits the 128-bit counts, with room to spare.
bool counts_fit(std::int64_t m, std::int64_t n) {
  const double log2_total =
      (std::lgamma(double(m + n) + 1) - std::lgamma(double(m) + 1) - std::lgamma(double(n) + 1)) /
      std::log(2.0);
  return log2_total < 120.0;
}

// The test over sorted values of any type whose order and equality are the
// numbers': doubles, or the bits of doubles at least zero.
template <typename Value>
double rank_test(std::span<const Value> x, std::span<const Value> y) {
  const auto n1 = static_cast<std::int64_t>(x.size()), n2 = static_cast<std::int64_t>(y.size());
  if (n1 == 0 || n2 == 0) return kNaN;
  // twice the rank sum of x (midranks of tied values), and the tie term
  std::int64_t twice_r1 = 0, position = 0;
  double tie_term = 0.0;
  bool ties = false;
  std::size_t i = 0, j = 0;
  while (i < x.size() || j < y.size()) {
    const Value v = j == y.size() || (i < x.size() && x[i] <= y[j]) ? x[i] : y[j];
    std::int64_t tx = 0, ty = 0;
    while (i < x.size() && x[i] == v) ++i, ++tx;
    while (j < y.size() && y[j] == v) ++j, ++ty;
    const std::int64_t t = tx + ty;
    // ranks position + 1 .. position + t, whose mean is position + (t + 1) / 2
    twice_r1 += tx * (2 * position + t + 1);
    if (t > 1) {
      ties = true;
      const auto td = static_cast<double>(t);
      tie_term += td * td * td - td;
    }
    position += t;
  }
  const std::int64_t n = n1 + n2;
  const std::int64_t twice_u1 = twice_r1 - n1 * (n1 + 1);
  const std::int64_t twice_u = std::max(twice_u1, 2 * n1 * n2 - twice_u1);
  if ((n1 <= 8 || n2 <= 8) && !ties) {
    // without ties U is whole; by symmetry P(U' >= U) = P(U' <= n1 n2 - U)
    const std::int64_t m = std::min(n1, n2), big = std::max(n1, n2);
    const std::int64_t k = n1 * n2 - twice_u / 2;
    const double below =
        counts_fit(m, big) ? exact_cdf<__int128>(m, big, k) : exact_cdf<long double>(m, big, k);
    return std::min(1.0, 2.0 * below);
  }
  const auto nd = static_cast<double>(n);
  if (tie_term == nd * nd * nd - nd) return kNaN;  // one value throughout
  const double mu = static_cast<double>(n1 * n2) / 2.0;
  const double s = std::sqrt(static_cast<double>(n1 * n2) / 12.0 *
                             ((nd + 1.0) - tie_term / static_cast<double>(n * (n - 1))));
  const double z = (static_cast<double>(twice_u) / 2.0 - mu - 0.5) / s;
  return std::min(1.0, 2.0 * normal_cdf(-z));
}

}  // namespace

double mann_whitney_p(std::span<const double> x, std::span<const double> y) {
  return rank_test(x, y);
}

void abnormal_activity(std::span<const std::int64_t> group, std::span<const double> ret,
                       std::span<const double> volume, std::span<const std::int64_t> control_group,
                       std::span<const double> control_ret, std::span<const double> control_volume,
                       const Activity& out) {
  const std::size_t groups = out.n.size();
  if (ret.size() != group.size() || control_ret.size() != control_group.size() ||
      (!volume.empty() && volume.size() != group.size()) ||
      (!control_volume.empty() && control_volume.size() != control_group.size())) {
    throw std::invalid_argument("abnormal_activity: mismatched lengths");
  }
  struct Side {
    std::vector<std::int64_t> count, volumes;
    std::vector<double> abs_sum, sq_sum, volume_sum;
    std::vector<std::size_t> starts;
    // the bits of the |returns|, group by group: numbers at least zero order
    // as their bits do, and whole numbers sort faster than doubles
    std::vector<std::uint64_t> sizes;
  };
  const auto gather = [groups](std::span<const std::int64_t> g, std::span<const double> r,
                               std::span<const double> v) {
    Side s{std::vector<std::int64_t>(groups),
           std::vector<std::int64_t>(groups),
           std::vector<double>(groups),
           std::vector<double>(groups),
           std::vector<double>(groups),
           std::vector<std::size_t>(groups + 1),
           {}};
    for (std::size_t i = 0; i < g.size(); ++i) {
      const std::int64_t k = g[i];
      if (k < 0) continue;
      if (static_cast<std::size_t>(k) >= groups) {
        throw std::out_of_range("abnormal_activity: group beyond the groups");
      }
      if (!v.empty() && !std::isnan(v[i])) {
        ++s.volumes[k];
        s.volume_sum[k] += v[i];
      }
      if (std::isnan(r[i])) continue;
      ++s.count[k];
      s.abs_sum[k] += std::fabs(r[i]);
      s.sq_sum[k] += r[i] * r[i];
    }
    for (std::size_t k = 0; k < groups; ++k) s.starts[k + 1] = s.starts[k] + s.count[k];
    s.sizes.resize(s.starts[groups]);
    std::vector<std::size_t> next(s.starts.begin(), s.starts.end() - 1);
    for (std::size_t i = 0; i < g.size(); ++i) {
      if (g[i] >= 0 && !std::isnan(r[i])) {
        s.sizes[next[g[i]]++] = std::bit_cast<std::uint64_t>(std::fabs(r[i]));
      }
    }
    return s;
  };
  Side event = gather(group, ret, volume);
  Side control = gather(control_group, control_ret, control_volume);
  const auto ratio = [](double top, double bottom) {
    return bottom != 0.0 && !std::isnan(bottom) ? top / bottom : kNaN;
  };
  for (std::size_t k = 0; k < groups; ++k) {
    const std::int64_t a = event.count[k], b = control.count[k];
    out.n[k] = a;
    out.n_control[k] = b;
    const double abs_mean = a ? event.abs_sum[k] / static_cast<double>(a) : kNaN;
    const double control_abs = b ? control.abs_sum[k] / static_cast<double>(b) : kNaN;
    out.abs_ret[k] = abs_mean;
    out.control_abs_ret[k] = control_abs;
    out.abs_ratio[k] = ratio(abs_mean, control_abs);
    out.var_ratio[k] = a && b ? ratio(event.sq_sum[k] / static_cast<double>(a),
                                      control.sq_sum[k] / static_cast<double>(b))
                              : kNaN;
    const bool volumes = event.volumes[k] && control.volumes[k];
    out.volume_ratio[k] =
        volumes ? ratio(event.volume_sum[k] / static_cast<double>(event.volumes[k]),
                        control.volume_sum[k] / static_cast<double>(control.volumes[k]))
                : kNaN;
    const std::span<std::uint64_t> x(event.sizes.data() + event.starts[k],
                                     static_cast<std::size_t>(a));
    const std::span<std::uint64_t> y(control.sizes.data() + control.starts[k],
                                     static_cast<std::size_t>(b));
    std::sort(x.begin(), x.end());
    std::sort(y.begin(), y.end());
    out.p_value[k] = rank_test<std::uint64_t>(x, y);
  }
}

}  // namespace orvane::core
