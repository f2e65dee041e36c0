#include "counters.hpp"

#include <pybind11/pybind11.h>

#include <array>

#include "interned.hpp"
#include "roads.hpp"

namespace orvane::glue {

namespace py = pybind11;

namespace {

const CounterTable& runtime_table() {
  static const CounterTable* const table = [] {
    py::object capsule = runtime_attr(kCounterCapsule);
    auto* found =
        static_cast<const CounterTable*>(PyCapsule_GetPointer(capsule.ptr(), kCounterCapsuleName));
    if (!found) throw py::error_already_set();
    return found;
  }();
  return *table;
}

}  // namespace

long long& shared_counter(CounterKind kind, std::string_view name) {
  // held for good: module statics outlive the interpreter's last calls
  static auto* const found = new std::array<TextTable<long long*>, 3>();
  return *(*found)[static_cast<std::size_t>(kind)].find(
      name, [&] { return runtime_table().counter(kind, name.data(), name.size()); });
}

}  // namespace orvane::glue
