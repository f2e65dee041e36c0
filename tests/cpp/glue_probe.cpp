// Exposes the glue helpers to the Python tests; built with the tests only.
#include <pybind11/pybind11.h>

#include "glue/arrays.hpp"
#include "glue/checks.hpp"
#include "glue/classes.hpp"
#include "glue/columns.hpp"
#include "glue/frame_columns.hpp"
#include "glue/function.hpp"
#include "glue/module_setup.hpp"
#include "glue/pyops.hpp"
#include "glue/roads.hpp"
#include "glue/takes.hpp"

namespace py = pybind11;
namespace glue = orvane::glue;

// The signatures of the probe functions.
constexpr glue::Signature bind_sig{
    "bind(a, b: int = None, *args, c: str = 'x', d, **kwargs) -> dict"};
constexpr glue::Signature plain_sig{"plain(x, y=2)"};
constexpr glue::Signature listed_sig{"listed(packages=['a', 'b'])"};
constexpr glue::Signature lookup_sig{"lookup(name: str)"};
constexpr glue::Signature exact_sig{"exact(value, kind: str, allow_none=False)"};
constexpr glue::Signature as_int_sig{"as_int(length)"};
constexpr glue::Signature show_warnings_sig{"show_warnings()"};
constexpr glue::Signature guard_sig{"guard(module: str, only_missing: bool)"};
constexpr glue::Signature stamps_back_sig{"stamps_back(values)"};
constexpr glue::Signature codes_sig{"codes(values, first_seen=False)"};
constexpr glue::Signature plain_float64_sig{"plain_float64(values)"};
constexpr glue::Signature vector_entry_sig{"vector_entry(function)"};
constexpr glue::Signature take_sig{"take(series, indexer, allow_fill=False)"};
constexpr glue::Signature stored_stamps_sig{"stored_stamps(series)"};
constexpr glue::Signature frame_sig{"frame(labels: list, columns: list)"};
constexpr glue::Signature declared_sig{
    "declared(text: str, items: Optional[list] = None, table: dict = None, n: int = 0, "
    "flag: bool = False, other: 'Series' = None)"};
constexpr glue::Signature take_road_sig{"take_road(road: str, reason: str = None)"};
constexpr glue::Signature box_value_sig{"value(self)"};
constexpr glue::Signature set_fresh_column_sig{"set_fresh_column(frame_type, label, values)"};

PYBIND11_MODULE(glue_probe, m) {
  glue::import_as(m, "pandas", "pd");
  glue::import_from(m, "typing", "Optional");
  m.attr("LIMIT") = 3;

  glue::def<bind_sig>(m, "Returns what each parameter was bound to.",
                      [](glue::CallOf<bind_sig>& c) -> py::object {
                        py::dict out;
                        out["a"] = c.arg(0);
                        out["b"] = c.arg<"b">();
                        out["args"] = c.varargs();
                        out["c"] = c.arg<"c">();
                        out["d"] = c.arg<"d">();
                        out["kwargs"] = c.kwargs();
                        return out;
                      });
  glue::def<plain_sig>(
      m, "Two parameters, no variadics.",
      [](glue::CallOf<plain_sig>& c) -> py::object { return py::make_tuple(c.arg(0), c.arg(1)); });
  glue::def<listed_sig>(m, "Returns its list default.",
                        [](glue::CallOf<listed_sig>& c) -> py::object { return c.arg(0); });
  glue::def<lookup_sig>(
      m, "Reads a module-level name at call time.",
      [](glue::CallOf<lookup_sig>& c) -> py::object { return c.global(c.arg(0)); });
  glue::def<exact_sig>(m, "Applies the exact-type check.",
                       [](glue::CallOf<exact_sig>& c) -> py::object {
                         const std::string kind = py::str(c.arg(1));
                         const bool allow_none = c.arg(2).cast<bool>();
                         if (kind == "str") glue::check_str(c.arg(0), "value", allow_none);
                         if (kind == "list") glue::check_list(c.arg(0), "value", allow_none);
                         if (kind == "dict") glue::check_dict(c.arg(0), "value", allow_none);
                         return c.arg(0);
                       });
  glue::def<as_int_sig>(m, "Applies the int convention.",
                        [](glue::CallOf<as_int_sig>& c) -> py::object {
                          return glue::int_argument(c.arg(0), "length");
                        });
  glue::def<show_warnings_sig>(m, "Reads the warning switch.",
                               [](glue::CallOf<show_warnings_sig>&) -> py::object {
                                 return py::bool_(glue::show_warnings());
                               });
  glue::def<guard_sig>(m, "Imports `module` under a guard; returns whether it got bound.",
                       [](glue::CallOf<guard_sig>& c) -> py::object {
                         py::module_ self = py::module_::import("glue_probe");
                         const std::string name = py::str(c.arg(0));
                         const auto what = c.arg(1).cast<bool>() ? glue::Guard::module_not_found
                                                                 : glue::Guard::any_exception;
                         py::delattr(self, "guarded");
                         self.attr("guarded") = py::none();
                         glue::guarded(what, glue::show_warnings(), "probe guard failed", [&] {
                           self.attr("guarded") = py::module_::import(name.c_str());
                         });
                         return py::bool_(!self.attr("guarded").is_none());
                       });
  m.attr("guarded") = py::none();
  glue::def<stamps_back_sig>(
      m, "The stamps of a datetime Series or index rebuilt in its own dtype, or None.",
      [](glue::CallOf<stamps_back_sig>& c) -> py::object {
        const py::object& values = c.arg<"values">();
        auto stamps = glue::datetime_stamps(values);
        if (!stamps) return py::none();
        if (py::isinstance(values, py::module_::import("pandas").attr("Series"))) {
          return glue::stamps_series(stamps->ticks, *stamps, values.attr("index"),
                                     values.attr("name"));
        }
        return glue::stamps_index(stamps->ticks, *stamps, values.attr("name"));
      });
  glue::def<plain_float64_sig>(m, "Whether the kernels read the array as it is.",
                               [](glue::CallOf<plain_float64_sig>& c) -> py::object {
                                 return py::bool_(glue::plain_float64(c.arg<"values">()));
                               });
  glue::def<vector_entry_sig>(
      m, "Whether the interpreter calls `function` through an entry kept in it.",
      [](glue::CallOf<vector_entry_sig>& c) -> py::object {
        return py::bool_(PyVectorcall_Function(c.arg<"function">().ptr()) ==
                         glue::vectorcall_entry);
      });
  glue::def<codes_sig>(
      m, "Label codes and the distinct labels in sort order, or in first-seen order.",
      [](glue::CallOf<codes_sig>& c) -> py::object {
        const auto order = glue::truthy(c.arg<"first_seen">()) ? glue::LabelOrder::first_seen
                                                               : glue::LabelOrder::sorted;
        glue::LabelCodes codes = glue::label_codes(c.arg<"values">(), order);
        return py::make_tuple(codes.codes, codes.uniques);
      });
  glue::def<take_sig>(m, "Rows of a Series' values, taken by the glue.",
                      [](glue::CallOf<take_sig>& c) -> py::object {
                        return glue::take(c.arg<"series">(), glue::as_int64(c.arg<"indexer">()),
                                          glue::truthy(c.arg<"allow_fill">()));
                      });
  glue::def<stored_stamps_sig>(
      m, "The ticks, unit and zone of a stamp Series of any storage, or None.",
      [](glue::CallOf<stored_stamps_sig>& c) -> py::object {
        auto stamps = glue::stored_stamps(c.arg<"series">());
        if (!stamps) return py::none();
        return py::make_tuple(stamps->ticks, stamps->unit, stamps->zone);
      });
  glue::def<frame_sig>(
      m, "A frame of the columns, by the builders.", [](glue::CallOf<frame_sig>& c) -> py::object {
        return glue::frame_of(py::module_::import("pandas").attr("DataFrame"), c.arg(0), c.arg(1));
      });
  glue::def<declared_sig>(
      m, "Returns its arguments after the checks their declared types imply.",
      [](glue::CallOf<declared_sig>& c) -> py::object {
        return py::make_tuple(c.arg(0), c.arg(1), c.arg(2), c.arg(3), c.arg(4), c.arg(5));
      },
      glue::Checks::declared);
  glue::def<take_road_sig>(
      m, "Reports the native road `road`, or its pandas road for `reason` when given.",
      [](glue::CallOf<take_road_sig>& c) -> py::object {
        const std::string road = py::str(c.arg(0));
        if (c.arg(1).is_none()) {
          glue::native_road(road);
        } else {
          glue::pandas_road(road, py::str(c.arg(1)).cast<std::string>());
        }
        return py::none();
      });
  glue::def<set_fresh_column_sig>(
      m, "Builds a one-column frame and sets a column of it, holding the frame as the modules do.",
      [](glue::CallOf<set_fresh_column_sig>& c) -> py::object {
        py::dict columns;
        columns["a"] = py::make_tuple(1.0, 2.0);
        py::object frame = c.arg(0)(columns);
        glue::set_column(frame, c.arg(1), c.arg(2));
        return frame;
      });
  py::dict ns;
  ns["value"] = glue::method<box_value_sig>(
      m, "Box", "Returns the box's content.",
      [](glue::CallOf<box_value_sig>& c) -> py::object { return c.arg(0).attr("content"); });
  glue::make_class(m, "Box", py::tuple(), ns);
}
