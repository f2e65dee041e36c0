// Observable fast paths. Every native road states its eligibility as a named
// predicate over its inputs and reports which way each call went, so a test
// can tell a fast path that stopped running from one that still runs.
#pragma once

#include <pybind11/pybind11.h>

#include <string_view>

#include "counters.hpp"
#include "interned.hpp"

namespace orvane::glue {

// Records that the native road named `road` (dotted: "query_kit.calendar_columns")
// ran; called with the GIL held, as every count is.
void native_road(std::string_view road);

// native_road(Road) where a small call counts it every time: the counter is
// found on the first count, and each count after is one increment.
template <ParamName Road>
void native_road() {
  static long long& count = shared_counter(CounterKind::native_road, Road.view());
  ++count;
}

// Records that `road` took its pandas formulation because `reason` (the
// predicate that failed, e.g. "EVENT_NAME is categorical"). When the
// environment variable ORVANE_ROADS is "strict" (read now), raises
// RuntimeError naming the road and the reason instead.
void pandas_road(std::string_view road, std::string_view reason);

// The attribute `name` of orvane_data._glue, the package's runtime module,
// where counts every module shares live.
pybind11::object runtime_attr(const char* name);

}  // namespace orvane::glue
