#include "classes.hpp"

namespace orvane::glue {

py::object make_class(py::module_& m, const char* name, py::tuple bases, py::dict ns,
                      py::handle metaclass) {
  ns["__module__"] = m.attr("__name__");
  ns["__qualname__"] = name;
  py::object cls = metaclass(name, bases, ns);
  m.attr(name) = cls;
  return cls;
}

}  // namespace orvane::glue
