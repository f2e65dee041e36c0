#include "released.hpp"

#include "roads.hpp"

namespace orvane::glue {

namespace py = pybind11;

void count_released(std::string_view section, bool released) {
  if (!released) return;
  py::dict counts = runtime_attr("_released_sections");
  py::str key(section.data(), section.size());
  const long long before = counts.contains(key) ? counts[key].cast<long long>() : 0;
  counts[key] = py::int_(before + 1);
}

}  // namespace orvane::glue
