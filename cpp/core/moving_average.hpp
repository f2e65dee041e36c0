// Moving averages and price composites over contiguous float64 series.
//
// Each kernel reproduces the arithmetic of the pandas formulation of its
// indicator operation for operation where pandas' order of operations is
// sequential, so results are bit-for-bit equal. Two exceptions, both within
// a few roundings of the window's scale: the rolling mean (see below) and the
// weighted mean, whose reference is a dot product of unspecified order.
//
// "Missing" means NaN for the cumulative sums, and NaN or +-inf for the window
// and exponential means (pandas' window functions turn infinities into NaN
// before they start). Kernels allocate nothing and never throw; output spans
// have the size of the input.
#pragma once

#include <cstddef>
#include <span>

namespace orvane::core {

// Mean over the trailing window of `length` rows ending at each row: NaN while
// the window holds fewer than max(min_periods, 1) observations. A window whose
// observations all equal the latest one gives that value exactly, and a window
// of only non-negative (only negative) observations never gives a negative
// (positive) mean.
//
// pandas keeps one compensated (Kahan) sum over the whole series, whose error
// grows with every value that ever passed through it. Here each window is
// summed from compensated partial sums of its own rows only (blocks of
// `length` rows), so its error stays within a few roundings of the window's
// mean absolute value on any series - prices, returns, zero-crossing walks,
// long runs of repeated values alike - at any length, and is not bit-for-bit
// pandas'. Windows of finite values whose sum would overflow are
// summed scaled: every window of finite observations has a finite mean.
// `length` >= 1; `scratch` holds rolling_mean_scratch(length, x.size()) doubles.
//
// Windows of up to 32 rows are summed from quads (sums of four neighbouring
// rows), four windows to a vector, every row from the first full window on;
// longer ones, on series of more than five chunks (about 2,048 rows, or a
// block, each), in four vector lanes, each lane a long run of chunks after
// the first. The chunks whose means stand there (every row of their windows
// observed, no sum overflowing) are not summed again. Returns how many rows
// stood (the rest are summed one at a time).
std::size_t rolling_mean_scratch(std::size_t length, std::size_t rows);
std::size_t rolling_mean(std::span<const double> x, std::size_t length, std::size_t min_periods,
                         std::span<double> scratch, std::span<double> out);

// Mean of the non-NaN entries of `x` (infinities included), summed pairwise in
// the blocks of eight numpy's sums use; NaN when there are none. `count` gets
// the number of entries averaged.
double nan_mean(std::span<const double> x, std::size_t& count);

// Smoothing factor of an exponential mean with the given span or alpha, derived
// the way pandas derives it (through the centre of mass), so it may differ
// from 2 / (span + 1) or `alpha` in the last bit.
double alpha_from_span(double span);
double alpha_from_alpha(double alpha);

// Exponentially weighted mean with smoothing factor `alpha`, from the first
// observation on. Missing rows keep the previous mean and age its weight (the
// weights of the observations before a gap decay through it). With `adjust`
// every observation weighs (1 - alpha)^age in a weighted mean of all of them;
// without, each step blends the previous mean and the new value as
// ((1 - alpha)^gap * mean + alpha * value) / ((1 - alpha)^gap + alpha).
//
// Without `adjust`, long series run as several chains of the recurrence, each
// started a warm-up early and confirmed bit-for-bit where it meets the chain
// before (rerun from there otherwise): the same results as one chain, about
// as many times faster as there are chains. Returns how many chains after the
// first were confirmed (0 when the series ran as one chain). `fast_rows`,
// when given, gets the rows the chains stepped in vectors (the rest, where
// a row is missing or the mean not started, step one at a time).
std::size_t ewm_mean(std::span<const double> x, double alpha, bool adjust, std::span<double> out,
                     std::size_t* fast_rows = nullptr);

// The exponential mean seeded with a simple mean: rows 0 to length - 2 are
// NaN, row length - 1 takes `seed` in place of its value, and the exponential
// mean runs from there (starting at the first observation at or after the
// seed row). `length` in [1, x.size()]. Chains and returns as ewm_mean.
std::size_t seeded_ewm_mean(std::span<const double> x, std::size_t length, double seed,
                            double alpha, bool adjust, std::span<double> out);

// The exponential mean taken `depth` times over (2 or 3: of x, of that mean,
// of that one), each pass as seeded_ewm_mean with the simple mean of its
// input's first `length` values (nan_mean) when `seeded`, else as ewm_mean;
// then blended as double_blend (depth 2) or triple_blend (depth 3) of the
// passes: the same results as those calls one after the other. The passes
// run a block of stacked_ewm_rows(...) rows at a time, one after the other,
// each carrying its state to the next block. `length` in [1, x.size()],
// `scratch` of (depth - 1) * stacked_ewm_rows(x.size(), length, alpha)
// doubles. Returns how many seeds had no value to average (they are NaN).
//
// Without `adjust`, the passes run side by side as chains (see ewm_mean),
// each chain all the passes, pass k one row behind pass k - 1: about as fast
// as a single pass per chain step. `confirmed`, when given, gets how many
// chains after the first were confirmed, and `fast_rows` the rows stepped
// the steady state's fast way (counted once for all the passes): in the
// chains' vectors, or, where the rows run one at a time, four rows of all
// the passes at a time.
std::size_t stacked_ewm_rows(std::size_t rows, std::size_t length, double alpha);
std::size_t stacked_ewm_blend(std::span<const double> x, std::size_t length, double alpha,
                              bool adjust, bool seeded, unsigned depth, std::span<double> scratch,
                              std::span<double> out, std::size_t* confirmed = nullptr,
                              std::size_t* fast_rows = nullptr);

// Linearly weighted mean over the trailing window of `length` rows: weights
// 1..length from oldest to newest (`ascending`) or newest to oldest, divided
// by their sum. NaN for incomplete windows and windows with a missing value.
// `scratch` holds weighted_mean_scratch(length) doubles when x.size() >= length.
// The weights' sum divides through its reciprocal (one more rounding).
// The windows are summed in blocks of `length` rows from the first row on
// (each window a suffix of one block and a prefix of the next); windows of
// 2 to 65,536 rows run in streaming lanes after the first block, as
// rolling_mean's, with the same arithmetic row by row, so the results do not
// depend on which rows ran in lanes. Returns how many rows did.
std::size_t weighted_mean_scratch(std::size_t length);
std::size_t weighted_mean(std::span<const double> x, std::size_t length, bool ascending,
                          std::span<double> scratch, std::span<double> out);

// The Hull mean: the weighted mean over `root` rows of
// 2 * weighted_mean(x, half) - weighted_mean(x, length) (ascending weights),
// computed a chunk of rows at a time (a few thousand, or sixteen widest
// windows where they run in lanes, four beyond), so that its temporaries are
// three chunks: far less than the three passes' three series, but for the
// longest windows. Each pass over a later chunk reads the
// rows before it where they are (in x, or in the carried differences) and
// recomputes none, so the mean costs about its three passes at any length.
// The same NaN rows as the three passes, and values within a few roundings
// of theirs. Lengths >= 1, `scratch` of
// hull_mean_scratch(x.size(), ...) doubles.
std::size_t hull_mean_scratch(std::size_t rows, std::size_t length, std::size_t half,
                              std::size_t root);
void hull_mean(std::span<const double> x, std::size_t length, std::size_t half, std::size_t root,
               std::span<double> scratch, std::span<double> out);

// (high + low + close) / 3, row by row.
void typical_price(std::span<const double> high, std::span<const double> low,
                   std::span<const double> close, std::span<double> out);

// Running sum of typical price * volume over running sum of volume, from the
// first row. A row whose product (or volume) is NaN is NaN and adds nothing to
// its running sum; infinities are summed.
void cumulative_vwap(std::span<const double> high, std::span<const double> low,
                     std::span<const double> close, std::span<const double> volume,
                     std::span<double> out);

// 2 * a - b and 3 * a - 3 * b + c, row by row (the blends of the double and
// triple exponential means and of the Hull mean).
void double_blend(std::span<const double> a, std::span<const double> b, std::span<double> out);
void triple_blend(std::span<const double> a, std::span<const double> b, std::span<const double> c,
                  std::span<double> out);

// True when every running sum of |x| stays within 2^53, so running sums of
// integral values are exact in float64.
bool integral_sums_exact(std::span<const double> x);

}  // namespace orvane::core
