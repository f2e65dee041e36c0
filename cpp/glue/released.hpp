// Native work run with the GIL released, in named sections. Each run that
// really held no GIL is counted under its section's name, so a test can tell
// a release that stopped happening (the section run plainly, or the release
// undone) from one that still happens.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <string_view>
#include <type_traits>

namespace orvane::glue {

// Counts one run of `section` in orvane_data._glue.released() when
// `released` (the run held no GIL); a run that held it is not counted.
void count_released(std::string_view section, bool released);

// Runs `work`, which touches no Python object, with the GIL released, counts
// the run under `section` (dotted: "bar_kit.event_grid.expand") and returns
// what `work` returns. An exception from `work` propagates uncounted.
template <class Work>
auto without_gil(std::string_view section, Work&& work) {
  bool released = false;
  if constexpr (std::is_void_v<std::invoke_result_t<Work&>>) {
    {
      pybind11::gil_scoped_release unlocked;
      released = PyGILState_Check() == 0;
      work();
    }
    count_released(section, released);
  } else {
    auto result = [&] {
      pybind11::gil_scoped_release unlocked;
      released = PyGILState_Check() == 0;
      return work();
    }();
    count_released(section, released);
    return result;
  }
}

// Kernel passes over fewer rows than this run holding the GIL.
inline constexpr std::size_t kReleaseFromRows = 4096;

// A kernel's pass over `rows` rows: without_gil(section, work) from
// kReleaseFromRows rows on, and below that `work` run holding the GIL,
// uncounted. Releasing the GIL and taking it back costs about what a kernel
// does with a thousand rows, and taking it back from another thread can wait
// out the interpreter's switch interval: a short pass is over sooner.
template <class Work>
auto without_gil_over(std::string_view section, std::size_t rows, Work&& work) {
  if (rows < kReleaseFromRows) return work();
  return without_gil(section, std::forward<Work>(work));
}

}  // namespace orvane::glue
