// The package's runtime: the type of its native functions. Every other module
// imports this one before declaring functions, so all of them share one type.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <map>
#include <string>
#include <vector>

#include "../glue/counters.hpp"
#include "../glue/function.hpp"
#include "../glue/pyops.hpp"
#include "core/simd_build.hpp"

namespace py = pybind11;
using orvane::glue::Function;

namespace {

// The function behind `self`. Methods take `self` as a plain handle because
// Python code can reach them unbound (`native_function.__call__(None)`) or on
// an instance made by `native_function.__new__` that holds no function.
std::shared_ptr<Function> self_of(py::handle self) {
  std::shared_ptr<Function> fn;
  try {
    fn = self.cast<std::shared_ptr<Function>>();
  } catch (const py::cast_error&) {
  }
  if (!fn) {
    throw py::type_error("a native function was expected, got an empty or foreign '" +
                         orvane::glue::type_name(self) + "' object");
  }
  return fn;
}

// The counters of every module, by kind and name; a map's entries never move,
// so the addresses handed out stay valid. Reset means zero: a module keeps
// the addresses it found.
using CounterKind = orvane::glue::CounterKind;
std::array<std::map<std::string, long long, std::less<>>, 3>& counters() {
  static auto* const table = new std::array<std::map<std::string, long long, std::less<>>, 3>();
  return *table;
}
std::map<std::string, long long, std::less<>>& counters(CounterKind kind) {
  return counters()[static_cast<std::size_t>(kind)];
}

long long* counter(CounterKind kind, const char* name, std::size_t size) {
  return &counters(kind).try_emplace(std::string(name, size), 0).first->second;
}

void reset(CounterKind kind) {
  for (auto& entry : counters(kind)) entry.second = 0;
}

py::dict road_counts() {
  py::dict out;
  const auto& native = counters(CounterKind::native_road);
  const auto& pandas = counters(CounterKind::pandas_road);
  const auto add = [&](const std::string& road) {
    const auto n = native.find(road), p = pandas.find(road);
    const long long ns = n == native.end() ? 0 : n->second, ps = p == pandas.end() ? 0 : p->second;
    if (ns + ps == 0 || out.contains(road)) return;
    py::dict ways;
    ways["native"] = ns;
    ways["pandas"] = ps;
    out[py::str(road)] = ways;
  };
  for (const auto& entry : native) add(entry.first);
  for (const auto& entry : pandas) add(entry.first);
  return out;
}

py::dict released_counts() {
  py::dict out;
  for (const auto& [section, runs] : counters(CounterKind::released_section)) {
    if (runs > 0) out[py::str(section)] = runs;
  }
  return out;
}

// A call that comes with a tuple and a dict (from C, or by `__call__`): the
// arguments laid out as the vector entry receives them, then bound the same
// way.
py::object call_from_tuple(const Function& fn, PyObject* args, PyObject* kwargs) {
  PyObject* const* positional = PySequence_Fast_ITEMS(args);
  const auto nargs = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) return fn.call(positional, nargs, nullptr);
  // the values stay borrowed from `kwargs`, which the caller holds
  std::vector<PyObject*> stack(positional, positional + nargs);
  py::tuple names(PyDict_GET_SIZE(kwargs));
  PyObject *name = nullptr, *value = nullptr;
  Py_ssize_t pos = 0, k = 0;
  while (PyDict_Next(kwargs, &pos, &name, &value)) {
    if (!PyUnicode_Check(name)) throw py::type_error("keywords must be strings");
    PyTuple_SET_ITEM(names.ptr(), k++, Py_NewRef(name));
    stack.push_back(value);
  }
  return fn.call(stack.data(), nargs, names.ptr());
}

// The type's call slot: it only ever receives instances of the type.
PyObject* call_function(PyObject* self, PyObject* args, PyObject* kwargs) {
  try {
    return call_from_tuple(Function::held_by(self), args, kwargs).release().ptr();
  } catch (...) {
    py::detail::try_translate_exceptions();
    return nullptr;
  }
}

}  // namespace

PYBIND11_MODULE(_glue, m) {
  m.doc() = "Runtime support of the package's compiled modules.";
  // The counters of every module (see glue/counters.hpp), in one table here.
  static const orvane::glue::CounterTable table{counter};
  m.attr(orvane::glue::kCounterCapsule) =
      py::capsule(static_cast<const void*>(&table), orvane::glue::kCounterCapsuleName);
  m.def("roads", road_counts,
        "Counts of the native and pandas roads taken since the last reset_roads(),\n"
        "as {road: {'native': n, 'pandas': m}}.");
  m.def(
      "reset_roads",
      [] {
        reset(CounterKind::native_road);
        reset(CounterKind::pandas_road);
      },
      "Forgets the road counts.");
  // The runs of native sections that held no GIL (see glue/released.hpp).
  m.def("released", released_counts,
        "Counts of the runs of native sections that held no GIL since the last\n"
        "reset_released(), as {section: n}.");
  m.def(
      "reset_released", [] { reset(CounterKind::released_section); },
      "Forgets the counts of released sections.");
  m.def(
      "simd", []() { return std::string(orvane::core::lanes::build_name()); },
      "The build of the vector kernels in use: 'avx2' or 'baseline'.\n\n"
      "The best the CPU runs, unless the environment variable ORVANE_SIMD names\n"
      "one ('baseline', or 'avx2' where the CPU has it) when the package loads.");
  py::class_<Function, std::shared_ptr<Function>> type(
      m, "native_function", py::dynamic_attr(), "A function of the package implemented natively.");
  type.def("__call__",
           [](py::handle self, const py::args& args, const py::kwargs& kwargs) {
             return call_from_tuple(*self_of(self), args.ptr(), kwargs.ptr());
           })
      .def(
          "__get__",
          [](py::object self, py::object instance, py::object) -> py::object {
            if (instance.is_none()) return self;
            return py::module_::import("types").attr("MethodType")(self, instance);
          },
          py::arg("instance"), py::arg("owner") = py::none())
      .def_property_readonly("__signature__",
                             [](py::handle self) { return self_of(self)->signature(); })
      .def_property_readonly("__annotations__",
                             [](py::handle self) { return self_of(self)->annotations(); })
      .def_property_readonly("__globals__",
                             [](py::handle self) { return self_of(self)->globals(); })
      .def("__repr__",
           [](py::handle self) {
             auto f = self_of(self);
             return "<native function " + f->module() + "." + f->qualname() + ">";
           })
      // pickled by reference, as Python functions are
      .def("__reduce__", [](py::handle self) { return self_of(self)->qualname(); });
  // The interpreter calls an instance through an entry kept in the instance
  // itself (vectorcall), with the arguments where its caller left them: the
  // call slot alone would have it make a tuple of them, and a dict of the
  // keywords, for every call. No instance exists yet, so the slot can be
  // added at the end of each one. __call__ above stays for code that reaches
  // it by name.
  auto* const tp = reinterpret_cast<PyTypeObject*>(type.ptr());
  tp->tp_vectorcall_offset = tp->tp_basicsize;
  tp->tp_basicsize += static_cast<Py_ssize_t>(sizeof(vectorcallfunc));
  tp->tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
  tp->tp_call = call_function;
  PyType_Modified(tp);
}
