// Native functions that behave like Python functions: declared with a
// Python-style signature text, bound by Python's rules (positional, keyword,
// keyword-only, *args, **kwargs, defaults evaluated once at definition), with
// a real `inspect.signature`, a doc whose first line is the doc line, and
// module-level names looked up at call time from the module's own dict.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "../core/signature.hpp"

namespace orvane::glue {

namespace py = pybind11;

class Function;

// A parameter name written in the source, as a template argument.
template <std::size_t N>
struct ParamName {
  char text[N];
  constexpr ParamName(const char (&name)[N]) { std::copy_n(name, N, text); }
  constexpr std::string_view view() const { return {text, N - 1}; }
};

namespace detail {
// The parameter names this module's code reads with Call::arg<"name">(),
// noted when the module is loaded (each module links its own copy).
std::vector<std::string_view>& names_read();
inline bool note_read(std::string_view name) {
  names_read().push_back(name);
  return true;
}
template <ParamName N>
inline const bool name_noted = note_read(N.view());
}  // namespace detail

// The arguments of one call, bound to the declared parameters.
class Call {
 public:
  Call(const Function& fn, std::vector<py::object> slots, py::tuple varargs, py::dict kwargs);

  // Bound value of the i-th named parameter (declaration order, *args and
  // **kwargs not counted).
  const py::object& arg(std::size_t i) const { return slots_.at(i); }
  const py::object& arg(std::string_view name) const;
  // The same by a name written in the source: the name is noted when the
  // module is loaded, so check_names_read() can refuse a misspelt one at
  // import instead of at the first call.
  template <ParamName N>
  const py::object& arg() const {
    (void)detail::name_noted<N>;
    return arg(N.view());
  }

  const py::tuple& varargs() const { return varargs_; }
  // The **kwargs of this call: a fresh dict the implementation may change.
  py::dict& kwargs() { return kwargs_; }

  // A module-level name, read now (globals, then builtins), as Python code
  // would; an unbound name raises NameError "name 'X' is not defined".
  py::object global(const char* name) const;
  const py::dict& globals() const;
  const Function& function() const { return fn_; }

 private:
  const Function& fn_;
  std::vector<py::object> slots_;
  py::tuple varargs_;
  py::dict kwargs_;
};

using Impl = std::function<py::object(Call&)>;

// The check a parameter's declared type implies, for functions declared with
// Checks::declared: `str`, `list`, `dict` are exact types (None passes when
// written Optional[...] or when None is the default), `int` takes the int
// convention and `bool` Python's truth test.
enum class ArgCheck { none, exact_type, int_convention, truth };

struct Param {
  std::string name;
  core::ParamKind kind;
  py::object default_value;  // null handle when required
  py::object annotation;     // null handle when not annotated
  ArgCheck check = ArgCheck::none;
  py::object exact_type;  // for ArgCheck::exact_type
  bool allow_none = false;
};

// Whether the declared types of a function's parameters are checked before
// its implementation runs, or left to the implementation.
enum class Checks { by_hand, declared };

class Function {
 public:
  Function(py::dict globals, std::string module, std::string qualname, std::string doc,
           const core::SignatureText& sig, Impl impl, Checks checks = Checks::by_hand);

  py::object call(const py::args& args, const py::kwargs& kwargs) const;
  py::object signature() const;  // inspect.Signature, built on first use
  py::dict annotations() const;  // like a Python function's __annotations__

  const std::string& name() const { return name_; }
  const std::string& qualname() const { return qualname_; }
  const std::string& module() const { return module_; }
  const std::string& doc() const { return doc_; }
  const py::dict& globals() const { return globals_; }
  const std::vector<Param>& params() const { return params_; }

 private:
  [[noreturn]] void fail(const std::string& what) const;
  void apply_checks(std::vector<py::object>& slots) const;
  void missing(const std::vector<std::string>& names, const char* kind) const;

  py::dict globals_;
  std::string module_, name_, qualname_, doc_;
  std::vector<Param> declared_;  // every parameter, in declaration order
  std::vector<Param> params_;    // the named ones: *args and **kwargs left out
  std::size_t n_positional_ = 0;
  std::size_t n_required_positional_ = 0;
  std::size_t n_positional_only_ = 0;
  bool var_positional_ = false, var_keyword_ = false;
  py::object return_annotation_;
  mutable py::object signature_;
  Impl impl_;
};

// Declares a native function from its signature text and binds it in `m`
// under the signature's name. Defaults and annotations are evaluated once,
// now, in the module's namespace; annotations written as string literals stay
// texts. With Checks::declared the arguments pass the checks their declared
// types imply (see ArgCheck) before `impl` runs. Returns the function object.
py::object def(py::module_& m, std::string_view signature, std::string_view doc, Impl impl,
               Checks checks = Checks::by_hand);

// Same, for a method of class `owner` (qualname "owner.name"); the function
// is returned to be placed in the class namespace, not bound in `m`.
py::object method(py::module_& m, std::string_view owner, std::string_view signature,
                  std::string_view doc, Impl impl, Checks checks = Checks::by_hand);

// The names read with Call::arg<"name">() in this module's code that no
// function declared in it so far takes as a parameter.
std::vector<std::string> names_read_but_not_declared();

// Raises ImportError naming module `m` and the names of
// names_read_but_not_declared(), when there are any. Modules call it last.
void check_names_read(py::module_& m);

// Raises `type` with `message` from native code.
[[noreturn]] void raise(PyObject* type, const std::string& message);

}  // namespace orvane::glue
