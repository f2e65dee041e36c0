#include "core/robust_regression.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace core = orvane::core;

namespace {

constexpr double missing = std::numeric_limits<double>::quiet_NaN();

struct Fits {
  Fits(std::size_t groups, std::size_t p_)
      : p(p_),
        n(groups),
        clusters(groups),
        used(groups),
        beta(groups * p_),
        cov(groups * p_ * p_),
        intercept(groups),
        r2(groups),
        dof(groups) {}
  core::RobustFits out() { return {p, n, clusters, used, beta, cov, intercept, r2, dof}; }
  std::size_t p;
  std::vector<std::int64_t> n, clusters, used;
  std::vector<double> beta, cov, intercept, r2, dof;
};

}  // namespace

TEST(RobustFits, ExactLineAndEdges) {
  // group 0: y = 2 + 3x exactly; group 1: two rows; group 2: x constant
  const std::vector<std::int64_t> group{0, 0, 0, 0, 1, 1, 2, 2, 2};
  const std::vector<double> x{0.0, 1.0, 2.0, missing, 1.0, 2.0, 1.0, 1.0, 1.0};
  const std::vector<double> y{2.0, 5.0, 8.0, 1.0, 1.0, 2.0, 1.0, 2.0, 3.0};
  Fits f(3, 1);
  core::robust_fits(group, x, y, {}, f.out());
  EXPECT_EQ(f.n, (std::vector<std::int64_t>{3, 2, 3}));
  EXPECT_EQ(f.used, (std::vector<std::int64_t>{1, 1, 0}));
  EXPECT_DOUBLE_EQ(f.beta[0], 3.0);
  EXPECT_DOUBLE_EQ(f.intercept[0], 2.0);
  EXPECT_NEAR(f.cov[0], 0.0, 1e-25);
  EXPECT_DOUBLE_EQ(f.r2[0], 1.0);
  EXPECT_EQ(f.dof[0], 1.0);
  EXPECT_TRUE(std::isnan(f.beta[1]) && std::isnan(f.beta[2]) && std::isnan(f.r2[2]));
}

TEST(RobustFits, TwoRegressorsAndAConstantOneLeftOut) {
  // y = 1 + 2 a - b + e; the third regressor never varies and is left out
  const std::vector<double> a{0, 1, 0, 1, 2, 3}, b{0, 0, 1, 1, 3, 1}, e{0.1, -0.1, -0.1, 0.1, 0, 0};
  std::vector<double> x, y;
  for (std::size_t i = 0; i < a.size(); ++i) {
    x.insert(x.end(), {a[i], b[i], 5.0});
    y.push_back(1.0 + 2.0 * a[i] - b[i] + e[i]);
  }
  const std::vector<std::int64_t> group(a.size(), 0);
  Fits f(1, 3);
  core::robust_fits(group, x, y, {}, f.out());
  EXPECT_EQ(f.used[0], 2);
  EXPECT_EQ(f.dof[0], 3.0);
  EXPECT_NEAR(f.beta[0], 2.0, 0.1);
  EXPECT_NEAR(f.beta[1], -1.0, 0.1);
  EXPECT_TRUE(std::isnan(f.beta[2]) && std::isnan(f.cov[8]));
  EXPECT_DOUBLE_EQ(f.cov[1], f.cov[3]);  // symmetric
}

TEST(RobustFits, ClustersOfOneAreTheRobustErrorsUpToTheirDegreesOfFreedom) {
  const std::vector<double> x{0.0, 1.0, 2.0, 3.0, 4.0}, y{1.0, 3.0, 2.0, 5.0, 4.0};
  const std::vector<std::int64_t> group(5, 0), own{10, 11, 12, 13, 14}, shared{1, 1, 2, 2, 3};
  Fits hc(1, 1), alone(1, 1), pooled(1, 1);
  core::robust_fits(group, x, y, {}, hc.out());
  core::robust_fits(group, x, y, own, alone.out());
  core::robust_fits(group, x, y, shared, pooled.out());
  // G = n: G / (G - 1) * (n - 1) / (n - 2) equals n / (n - 2)
  EXPECT_NEAR(alone.cov[0], hc.cov[0], 1e-15);
  EXPECT_EQ(alone.dof[0], 4.0);
  EXPECT_EQ(hc.dof[0], 3.0);
  EXPECT_EQ(pooled.clusters[0], 3);
  EXPECT_EQ(pooled.dof[0], 2.0);
  EXPECT_NE(pooled.cov[0], hc.cov[0]);
}

TEST(ClusteredMeanErrors, EqualsTheFormulaAndNeedsTwoClusters) {
  // clusters {1, 3} and {2}, mean 2: deviations sum to 0 and 0 -> sem 0; then one cluster
  const std::vector<std::int64_t> group{0, 0, 0, 1, 1}, cluster{7, 8, 7, 5, 5};
  const std::vector<double> y{1.0, 4.0, 3.0, 2.0, 6.0}, mean{8.0 / 3.0, 4.0};
  std::vector<double> sem(2);
  std::vector<std::int64_t> clusters(2);
  core::clustered_mean_errors(group, cluster, y, mean, sem, clusters);
  const double c7 = (1.0 - mean[0]) + (3.0 - mean[0]), c8 = 4.0 - mean[0];
  EXPECT_NEAR(sem[0], std::sqrt(2.0 * (c7 * c7 + c8 * c8)) / 3.0, 1e-15);
  EXPECT_EQ(clusters, (std::vector<std::int64_t>{2, 1}));
  EXPECT_TRUE(std::isnan(sem[1]));
  EXPECT_TRUE(core::count_clusters(group, cluster, y, clusters));
  EXPECT_FALSE(core::count_clusters(group, std::vector<std::int64_t>{1, 2, 3, 4, 5}, y, clusters));
}
