// Momentum, volatility, volume and trend indicators over contiguous float64
// price columns.
//
// Each indicator is the composition its pandas formulation writes: row-wise
// steps here, and the windows and exponential means of moving_average.hpp, so
// a missing value (NaN or +-inf) inside the data does what pandas' rolling
// and ewm(adjust=False) do with it: a window holding one is NaN, an
// exponential mean keeps its value through a gap and ages its weight.
// Wilder's smoothing is the exponential mean with alpha = 1 / length, seeded
// with the simple mean of its first window (missing values skipped) on the
// row that window ends. Where a range is flat (a zero denominator), the value
// is 0, never an infinity.
//
// The exponential means of rsi, macd, atr and adx run four rows a step in
// closed form (about four times the rows a serial chain takes) through
// blocks of up to 64 rows that stand: every mean observed and in step at the
// block's start, every input row of the block observed. Any other block is
// run again a row at a time. Those kernels return how many rows stood.
//
// Kernels allocate nothing and never throw. All spans have the input's size
// except the scratch spans, sized by the *_scratch functions. A result row
// that has too few rows before it is NaN.
#pragma once

#include <cstddef>
#include <span>

namespace orvane::core {

// Relative strength index: 100 * gain / (gain + loss) of the Wilder-smoothed
// gains and losses of the close-to-close changes (a change from or to a
// missing close is missing in both). First value on row `length`.
std::size_t strength_index(std::span<const double> close, std::size_t length,
                           std::span<double> out);

// Moving average convergence/divergence: the exponential mean of `fast` rows
// minus that of `slow` rows (smoothing 2 / (n + 1)), both seeded on row
// slow - 1 with the simple mean of their last window, so the line starts
// there; the signal line is its exponential mean of `signal` rows, seeded on
// row slow + signal - 2; the histogram is line minus signal. fast <= slow.
// One pass: the three means advance side by side.
std::size_t convergence(std::span<const double> close, std::size_t fast, std::size_t slow,
                        std::size_t signal, std::span<double> line, std::span<double> signal_line,
                        std::span<double> histogram);

// Stochastic oscillator: raw %K = 100 * (close - lowest low) / (highest high -
// lowest low) over `k` rows (a window with a missing value is NaN, a flat one
// 0), %K its simple mean over `smooth_k` rows and %D the simple mean of %K
// over `d` rows.
std::size_t stochastic_scratch(std::size_t rows, std::size_t k, std::size_t d,
                               std::size_t smooth_k);
void stochastic(std::span<const double> high, std::span<const double> low,
                std::span<const double> close, std::size_t k, std::size_t d, std::size_t smooth_k,
                std::span<double> scratch, std::span<double> percent_k,
                std::span<double> percent_d);

// Bollinger bands: the simple mean of `length` rows plus and minus `width`
// times their standard deviation with `ddof` delta degrees of freedom (NaN
// when length <= ddof). A window holding a missing value is NaN.
std::size_t bands_scratch(std::size_t rows, std::size_t length);
void bands(std::span<const double> close, std::size_t length, double width, long ddof,
           std::span<double> scratch, std::span<double> upper, std::span<double> middle,
           std::span<double> lower);

// True range of each row after the first: the largest of high - low and the
// distances of high and low from the previous close, the missing ones left
// out (NaN when all are). Row 0 is NaN.
void true_range(std::span<const double> high, std::span<const double> low,
                std::span<const double> close, std::span<double> out);

// Average true range: the Wilder-smoothed true range, first value on row
// `length` (the mean of rows 1 to length).
std::size_t average_range(std::span<const double> high, std::span<const double> low,
                          std::span<const double> close, std::size_t length, std::span<double> out);

// On-balance volume: the first row's volume, then each row's volume added
// when the close rose, subtracted when it fell. A row whose step is missing
// (a missing volume, or a missing close on it or the row before) is NaN and
// adds nothing. Blocks of 64 rows whose steps are whole numbers (as volumes
// are) are summed four rows a step, exactly; returns how many rows were.
std::size_t balance_volume(std::span<const double> close, std::span<const double> volume,
                           std::span<double> out);

// Average directional index of `length` rows with the directional indicators
// +DI and -DI: the directional moves and true range summed over rows 1 to
// length - 1, then Wilder-smoothed (their ratios start on row `length`); DX =
// 100 * |+DI - -DI| / (+DI + -DI), and ADX its Wilder mean seeded on row
// 2 * length - 1 with the mean of DX over the `length` rows to it. One pass:
// the moves, the true range, the three smoothings, DX and ADX side by side.
std::size_t directional(std::span<const double> high, std::span<const double> low,
                        std::span<const double> close, std::size_t length, std::span<double> adx,
                        std::span<double> plus_di, std::span<double> minus_di);

}  // namespace orvane::core
