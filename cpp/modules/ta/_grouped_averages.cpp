// The simple and exponential means over the groups of rows of long columns,
// for the strategy runner: what overlap.sma(close, length) and
// overlap.ema(close, length) give each group, called with no other option
// (the runner calls those functions themselves for any other).
#include <pybind11/pybind11.h>

#include <string>

#include "../../core/moving_average.hpp"
#include "../../glue/function.hpp"
#include "../../glue/indicator_calls.hpp"
#include "../../glue/pyops.hpp"

namespace py = pybind11;
namespace glue = orvane::glue;
namespace core = orvane::core;

namespace {

// The averages' length rule: the length when positive, else 10.
std::size_t average_length(const py::object& length) {
  const bool given = !length.is_none() && glue::compare(length, py::int_(0), Py_GT);
  return glue::checked_size(given ? length : py::int_(10));
}

glue::Plan sma_plan(const py::object& length) {
  const std::size_t n = average_length(length);
  return {{"SMA_" + std::to_string(n)},
          n,
          [n](std::size_t rows) { return core::rolling_mean_scratch(n, rows); },
          [n](const auto& in, auto scratch, const auto& out) {
            core::rolling_mean(in[0], n, n, scratch, out[0]);
          }};
}

// Seeded with the mean of the first `n` observed values, as ema's default
// (adjust False, the simple-mean seed).
glue::Plan ema_plan(const py::object& length) {
  const std::size_t n = average_length(length);
  const double alpha = core::alpha_from_span(static_cast<double>(n));
  return {{"EMA_" + std::to_string(n)},
          n,
          [](std::size_t) { return std::size_t{0}; },
          [n, alpha](const auto& in, auto, const auto& out) {
            std::size_t seen = 0;
            const double seed = core::nan_mean(in[0].first(n), seen);
            core::seeded_ewm_mean(in[0], n, seed, alpha, false, out[0]);
          }};
}

constexpr glue::Signature sma_groups_sig{
    "_sma_groups(out: object, bounds: object, close: object, length: int = None) -> tuple"};
py::object sma_groups(glue::CallOf<sma_groups_sig>& c) {
  return glue::computed_by_groups(sma_plan(c.arg<"length">()), c.arg<"bounds">(),
                                  {c.arg<"close">()}, c.arg<"out">(), "overlap.sma_groups");
}

constexpr glue::Signature ema_groups_sig{
    "_ema_groups(out: object, bounds: object, close: object, length: int = None) -> tuple"};
py::object ema_groups(glue::CallOf<ema_groups_sig>& c) {
  return glue::computed_by_groups(ema_plan(c.arg<"length">()), c.arg<"bounds">(),
                                  {c.arg<"close">()}, c.arg<"out">(), "overlap.ema_groups");
}

}  // namespace

PYBIND11_MODULE(_grouped_averages, m) {
  m.doc() = "The simple and exponential means over groups of rows, for the strategy runner.";
  glue::def<sma_groups_sig>(m, "SMA over groups of rows (for the strategy runner).", sma_groups,
                            glue::Checks::declared);
  glue::def<ema_groups_sig>(m, "EMA over groups of rows (for the strategy runner).", ema_groups,
                            glue::Checks::declared);
}
