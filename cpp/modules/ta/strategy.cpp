// Batches of indicator calls declared as data.
#include <pybind11/pybind11.h>

#include "../../glue/classes.hpp"
#include "../../glue/module_setup.hpp"
#include "../../glue/pyops.hpp"

namespace py = pybind11;
namespace glue = orvane::glue;

namespace {

constexpr const char* strategy_doc =
    R"doc(Declarative batch of indicator calls.

A ``Strategy`` only names its indicators; nothing here runs them. It is a
data class: fields compare by value and show in its ``repr``.

Parameters
----------
name : str, default "Custom"
    The strategy's name.
ta : list of dict, optional
    The indicator calls: each a dict with at least the key ``"kind"``,
    naming the indicator; any further keys are keyword arguments for that
    indicator, for example ``{"kind": "sma", "length": 20}``.
description : str, default ""
    What the strategy is for.

Examples
--------
>>> from orvane_data.ta import strategy
>>> trend = strategy.Strategy("Trend", [{"kind": "sma", "length": 20}, {"kind": "ema"}])
>>> trend
Strategy(name='Trend', ta=[{'kind': 'sma', 'length': 20}, {'kind': 'ema'}], description='')
>>> [call["kind"] for call in strategy.CommonStrategy.ta][:6]
['sma', 'sma', 'sma', 'sma', 'ema', 'ema'])doc";

py::dict entry(const char* kind) {
  py::dict d;
  d["kind"] = kind;
  return d;
}

py::dict entry(const char* kind, int length) {
  py::dict d = entry(kind);
  d["length"] = length;
  return d;
}

}  // namespace

PYBIND11_MODULE(strategy, m) {
  m.doc() = "Strategy system for running multiple indicators in batch.";
  py::object dataclass = glue::import_from(m, "dataclasses", "dataclass");
  glue::import_from(m, "dataclasses", "field");
  glue::import_from(m, "typing", "List");
  glue::import_from(m, "typing", "Optional");
  glue::import_as(m, "pandas", "pd");

  py::dict annotations;
  annotations["name"] = glue::builtin("str");
  annotations["ta"] = "Optional[List[dict]]";
  annotations["description"] = glue::builtin("str");
  py::dict ns;
  ns["__doc__"] = strategy_doc;
  ns["__annotations__"] = annotations;
  ns["name"] = "Custom";
  ns["ta"] = py::none();
  ns["description"] = "";
  py::object strategy = dataclass(glue::make_class(m, "Strategy", py::tuple(), ns));
  m.attr("Strategy") = strategy;

  m.attr("AllStrategy") = strategy(py::arg("name") = "All", py::arg("ta") = py::none(),
                                   py::arg("description") = "Runs every registered indicator.");
  py::list common;
  for (int length : {10, 20, 50, 200}) common.append(entry("sma", length));
  for (int length : {12, 26}) common.append(entry("ema", length));
  for (const char* kind : {"rsi", "macd", "bbands", "atr", "obv", "stoch", "adx"}) {
    common.append(entry(kind));
  }
  m.attr("CommonStrategy") =
      strategy(py::arg("name") = "Common", py::arg("ta") = common,
               py::arg("description") = "Commonly used indicators for a quick overview.");
}
