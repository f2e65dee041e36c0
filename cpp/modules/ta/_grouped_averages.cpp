// The strategy runner's compiled helpers: the simple and exponential means
// over the groups of rows of long columns, what overlap.sma(close, length)
// and overlap.ema(close, length) give each group, called with no other option
// (the runner calls those functions themselves for any other); and where the
// runs of a key column start.
#include <pybind11/pybind11.h>

#include <string>

#include "../../core/arrow_texts.hpp"
#include "../../core/moving_average.hpp"
#include "../../glue/arrow_texts.hpp"
#include "../../glue/columns.hpp"
#include "../../glue/function.hpp"
#include "../../glue/indicator_calls.hpp"
#include "../../glue/pyops.hpp"
#include "../../glue/released.hpp"
#include "../../glue/roads.hpp"

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

constexpr glue::Signature key_runs_sig{"_key_runs(keys: object) -> object"};
py::object key_runs(glue::CallOf<key_runs_sig>& c) {
  const py::object& keys = c.arg<"keys">();
  // keys of another dtype are pandas' to compare; Arrow texts this cannot
  // read in place are the road's fallback
  bool in_arrow = false;
  if (const char* why = glue::arrow_texts_ineligible(keys, in_arrow)) {
    if (in_arrow) glue::pandas_road("runner.key_runs", why);
    return py::none();
  }
  glue::native_road("runner.key_runs");
  const glue::ArrowTexts texts = glue::arrow_texts(keys);
  orvane::core::TextRuns runs =
      glue::without_gil("runner.key_runs", [&] { return orvane::core::text_runs(texts.column); });
  return py::make_tuple(glue::int64_array(std::move(runs.starts)), runs.distinct);
}

}  // namespace

PYBIND11_MODULE(_grouped_averages, m) {
  m.doc() = "The strategy runner's compiled helpers: averages over groups of rows, key runs.";
  glue::def<sma_groups_sig>(m, "SMA over groups of rows (for the strategy runner).", sma_groups,
                            glue::Checks::declared);
  glue::def<ema_groups_sig>(m, "EMA over groups of rows (for the strategy runner).", ema_groups,
                            glue::Checks::declared);
  glue::def<key_runs_sig>(m,
                          "The runs of equal keys (for the strategy runner): where each starts\n"
                          "(an int64 array) and whether no two hold the same key; None for keys\n"
                          "not kept in Arrow strings.",
                          key_runs);
}
