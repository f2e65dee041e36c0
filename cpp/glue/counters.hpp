// The counters every module shares: road counts and released runs. Each
// extension module links its own copy of the glue, so the counters live in
// the package's runtime module, orvane_data._glue, which hands their table
// to the others in a capsule. A count is then one increment of a counter
// whose address the module found on its first count of that name.
#pragma once

#include <cstddef>
#include <string_view>

namespace orvane::glue {

enum class CounterKind { native_road, pandas_road, released_section };

// The capsule's contents: the counter of `name` (made zero on first use; its
// address stays valid for the process), called with the GIL held.
struct CounterTable {
  long long* (*counter)(CounterKind kind, const char* name, std::size_t size);
};

// The capsule's attribute in orvane_data._glue and its name.
inline constexpr const char* kCounterCapsule = "_counters";
inline constexpr const char* kCounterCapsuleName = "orvane_data._glue._counters";

// The counter of `name` in the runtime's table, through this module's cache
// of the addresses it has found; call with the GIL held.
long long& shared_counter(CounterKind kind, std::string_view name);

}  // namespace orvane::glue
