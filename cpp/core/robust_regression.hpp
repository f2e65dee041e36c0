// Least squares of a response on a few regressors with one intercept, group
// by group, with standard errors that stay honest when the errors' spread
// differs from row to row (HC1) or when rows of one cluster move together
// (CR1), and the mean's standard error by cluster.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace orvane::core {

// One entry per group (beta and cov: p and p * p entries per group, row-major).
struct RobustFits {
  std::size_t p = 0;                 // regressors of each observation
  std::span<std::int64_t> n;         // observations used: y and every regressor known
  std::span<std::int64_t> clusters;  // distinct clusters among them
  std::span<std::int64_t> used;      // regressors in the fit: those that vary in the group
  std::span<double> beta, cov;       // NaN for a regressor left out
  std::span<double> intercept, r2;
  std::span<double> dof;  // of the t tests: n - used - 1, or clusters - 1
};

// group[i] is observation i's group in [0, n groups) (negative: left out),
// x holds its p regressors (row-major, x[i * p + j]) and y its response; an
// observation with a NaN anywhere is left out. A regressor that takes one
// value throughout a group (a kind not released in it, or released with one
// surprise) is left out of that group's fit. With `cluster` empty the
// covariance is HC1, n / (n - k - 1) times the sandwich, with n - k - 1
// degrees of freedom (k regressors in the fit); with cluster[i] giving each
// observation's cluster (numbers from 0 up, tables are as long as the
// largest; equal numbers within a group share one cluster),
// it is CR1, G / (G - 1) * (n - 1) / (n - k - 1) times the sandwich of the
// clusters' summed scores, with G - 1 degrees of freedom (G clusters). A
// group with no regressor in the fit, no variation in y, no degree of
// freedom left or a singular design gets NaN statistics, its counts given;
// with one cluster only the covariance and dof are NaN.
void robust_fits(std::span<const std::int64_t> group, std::span<const double> x,
                 std::span<const double> y, std::span<const std::int64_t> cluster,
                 const RobustFits& out);

// The standard error of each group's mean when rows of one cluster move
// together (CR1 of the regression on a constant): sqrt(G / (G - 1) * sum
// over clusters of the squared sum of their deviations from the mean) / n,
// NaN below two clusters. group as above (rows with a NaN y left out),
// mean[g] the group's mean; `clusters` receives G.
void clustered_mean_errors(std::span<const std::int64_t> group,
                           std::span<const std::int64_t> cluster, std::span<const double> y,
                           std::span<const double> mean, std::span<double> sem,
                           std::span<std::int64_t> clusters);

// The number of distinct clusters among each group's rows with a y (and,
// when x holds p regressors per row, every regressor), and whether some
// cluster holds more than one of them in some group.
bool count_clusters(std::span<const std::int64_t> group, std::span<const std::int64_t> cluster,
                    std::span<const double> y, std::span<std::int64_t> clusters,
                    std::span<const double> x = {});

}  // namespace orvane::core
