// Exposes the glue helpers to the Python tests; built with the tests only.
#include <pybind11/pybind11.h>

#include "glue/checks.hpp"
#include "glue/classes.hpp"
#include "glue/columns.hpp"
#include "glue/function.hpp"
#include "glue/module_setup.hpp"
#include "glue/roads.hpp"

namespace py = pybind11;
namespace glue = orvane::glue;

PYBIND11_MODULE(glue_probe, m) {
  glue::import_as(m, "pandas", "pd");
  glue::import_from(m, "typing", "Optional");
  m.attr("LIMIT") = 3;

  glue::def(m, "bind(a, b: int = None, *args, c: str = 'x', d, **kwargs) -> dict",
            "Returns what each parameter was bound to.", [](glue::Call& c) -> py::object {
              py::dict out;
              out["a"] = c.arg(0);
              out["b"] = c.arg("b");
              out["args"] = c.varargs();
              out["c"] = c.arg(2);
              out["d"] = c.arg(3);
              out["kwargs"] = c.kwargs();
              return out;
            });
  glue::def(m, "plain(x, y=2)", "Two parameters, no variadics.",
            [](glue::Call& c) -> py::object { return py::make_tuple(c.arg(0), c.arg(1)); });
  glue::def(m, "listed(packages=['a', 'b'])", "Returns its list default.",
            [](glue::Call& c) -> py::object { return c.arg(0); });
  glue::def(m, "lookup(name: str)", "Reads a module-level name at call time.",
            [](glue::Call& c) -> py::object {
              return c.global(py::str(c.arg(0)).cast<std::string>().c_str());
            });
  glue::def(m, "exact(value, kind: str, allow_none=False)", "Applies the exact-type check.",
            [](glue::Call& c) -> py::object {
              const std::string kind = py::str(c.arg(1));
              const bool allow_none = c.arg(2).cast<bool>();
              if (kind == "str") glue::check_str(c.arg(0), "value", allow_none);
              if (kind == "list") glue::check_list(c.arg(0), "value", allow_none);
              if (kind == "dict") glue::check_dict(c.arg(0), "value", allow_none);
              return c.arg(0);
            });
  glue::def(m, "as_int(length)", "Applies the int convention.",
            [](glue::Call& c) -> py::object { return glue::int_argument(c.arg(0), "length"); });
  glue::def(m, "show_warnings()", "Reads the warning switch.",
            [](glue::Call&) -> py::object { return py::bool_(glue::show_warnings()); });
  glue::def(m, "guard(module: str, only_missing: bool)",
            "Imports `module` under a guard; returns whether it got bound.",
            [](glue::Call& c) -> py::object {
              py::module_ self = py::module_::import("glue_probe");
              const std::string name = py::str(c.arg(0));
              const auto what = c.arg(1).cast<bool>() ? glue::Guard::module_not_found
                                                      : glue::Guard::any_exception;
              py::delattr(self, "guarded");
              self.attr("guarded") = py::none();
              glue::guarded(what, glue::show_warnings(), "probe guard failed",
                            [&] { self.attr("guarded") = py::module_::import(name.c_str()); });
              return py::bool_(!self.attr("guarded").is_none());
            });
  m.attr("guarded") = py::none();
  glue::def(m, "misspelt(value)", "Reads an argument under a name it does not declare.",
            [](glue::Call& c) -> py::object { return c.arg<"valeu">(); });
  glue::def(m, "names_check()", "The import-time check of argument names, run now.",
            [](glue::Call&) -> py::object {
              py::module_ self = py::module_::import("glue_probe");
              glue::check_names_read(self);
              return py::none();
            });
  glue::def(m, "stamps_back(values)",
            "The stamps of a datetime Series or index rebuilt in its own dtype, or None.",
            [](glue::Call& c) -> py::object {
              const py::object& values = c.arg("values");
              auto stamps = glue::datetime_stamps(values);
              if (!stamps) return py::none();
              if (py::isinstance(values, py::module_::import("pandas").attr("Series"))) {
                return glue::stamps_series(stamps->ticks, *stamps, values.attr("index"),
                                           values.attr("name"));
              }
              return glue::stamps_index(stamps->ticks, *stamps, values.attr("name"));
            });
  glue::def(m, "codes(values)", "Label codes and the distinct labels in sort order.",
            [](glue::Call& c) -> py::object {
              glue::LabelCodes codes = glue::label_codes(c.arg("values"));
              return py::make_tuple(codes.codes, codes.uniques);
            });
  glue::def(m, "frame(labels: list, columns: list)", "A frame of the columns, by the builders.",
            [](glue::Call& c) -> py::object {
              return glue::frame_of(py::module_::import("pandas").attr("DataFrame"), c.arg(0),
                                    c.arg(1));
            });
  glue::def(
      m,
      "declared(text: str, items: Optional[list] = None, table: dict = None, n: int = 0, "
      "flag: bool = False, other: 'Series' = None)",
      "Returns its arguments after the checks their declared types imply.",
      [](glue::Call& c) -> py::object {
        return py::make_tuple(c.arg(0), c.arg(1), c.arg(2), c.arg(3), c.arg(4), c.arg(5));
      },
      glue::Checks::declared);
  glue::def(m, "take_road(road: str, reason: str = None)",
            "Reports the native road `road`, or its pandas road for `reason` when given.",
            [](glue::Call& c) -> py::object {
              const std::string road = py::str(c.arg(0));
              if (c.arg(1).is_none()) {
                glue::native_road(road);
              } else {
                glue::pandas_road(road, py::str(c.arg(1)).cast<std::string>());
              }
              return py::none();
            });
  py::dict ns;
  ns["value"] = glue::method(m, "Box", "value(self)", "Returns the box's content.",
                             [](glue::Call& c) -> py::object { return c.arg(0).attr("content"); });
  glue::make_class(m, "Box", py::tuple(), ns);
}
