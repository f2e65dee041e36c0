// Native functions that behave like Python functions: declared with a
// Python-style signature text, bound by Python's rules (positional, keyword,
// keyword-only, *args, **kwargs, defaults evaluated once at definition), with
// a real `inspect.signature`, a doc whose first line is the doc line, and
// module-level names looked up at call time from the module's own dict.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "../core/signature.hpp"
#include "interned.hpp"

namespace orvane::glue {

namespace py = pybind11;

class Function;

// A native function's signature text, written once as a constant next to its
// implementation; a malformed text does not compile.
struct Signature {
  consteval Signature(const char* signature) : text(signature) {
    (void)core::parse_signature(text);
  }
  std::string_view text;
};

// The values bound to a call's named parameters: inline for the few
// parameters nearly every function declares, so that binding a call
// allocates nothing.
class Slots {
 public:
  explicit Slots(std::size_t n) : n_(n) {
    if (n > kInline) heap_.resize(n);
  }
  std::size_t size() const { return n_; }
  py::object& operator[](std::size_t i) {
    return (n_ > kInline ? heap_.data() : inline_.data())[i];
  }
  const py::object& at(std::size_t i) const {
    if (i >= n_) throw std::out_of_range("no parameter " + std::to_string(i));
    return (n_ > kInline ? heap_.data() : inline_.data())[i];
  }

 private:
  static constexpr std::size_t kInline = 8;
  std::array<py::object, kInline> inline_;
  std::vector<py::object> heap_;
  std::size_t n_;
};

// The arguments of one call, bound to the declared parameters.
class Call {
 public:
  Call(const Function& fn, Slots&& slots, py::tuple&& varargs, py::dict&& kwargs);

  // Bound value of the i-th named parameter (declaration order, *args and
  // **kwargs not counted).
  const py::object& arg(std::size_t i) const { return slots_.at(i); }

  const py::tuple& varargs() const { return varargs_; }
  // The **kwargs of this call: a fresh dict the implementation may change
  // (made on first use: most calls pass none, and never ask).
  py::dict& kwargs() {
    if (!kwargs_) kwargs_ = py::dict();
    return kwargs_;
  }
  // Whether **kwargs holds any keyword, and the one named `name` (borrowed,
  // null when not given): asked without making the dict.
  bool has_kwargs() const { return kwargs_ && PyDict_GET_SIZE(kwargs_.ptr()) > 0; }
  PyObject* kwarg(std::string_view name) const;

  // A module-level name, read now (globals, then builtins), as Python code
  // would; an unbound name raises NameError "name 'X' is not defined". A
  // name written in the source is a template argument: its str is kept
  // where it is asked, so the look-up is the module dict's alone.
  template <ParamName Name>
  py::object global() const {
    return global(interned<Name>());
  }
  py::object global(py::handle name) const;  // `name`: a str
  const py::dict& globals() const;
  const Function& function() const { return fn_; }

 private:
  const Function& fn_;
  Slots slots_;
  py::tuple varargs_;
  py::dict kwargs_;
};

// The arguments of a call to the function declared by signature `S`; they
// are read by a name written in the source, which must be one of the named
// parameters of `S` (*args and **kwargs are read with varargs() and kwargs()),
// or the program does not compile.
template <const Signature& S>
class CallOf : public Call {
  template <ParamName>
  using ArgRef = const py::object&;

 public:
  using Call::Call;

  using Call::arg;
  template <ParamName N>
  const py::object& arg() const {
    constexpr std::size_t index = core::named_param_index(S.text, N.view());
    static_assert(index != std::string_view::npos,
                  "the signature declares no named parameter of this name");
    return arg(index);
  }

  // Several arguments at once, for a structured binding:
  // `auto [bars, calendar] = c.args<"df_bars", "df_calendar">();`
  template <ParamName... Ns>
  std::tuple<ArgRef<Ns>...> args() const {
    return {arg<Ns>()...};
  }
};

// An implementation, given the bound arguments to make its call of; the
// call is made once, as the implementation's own type (see detail::typed).
using Impl = std::function<py::object(const Function&, Slots&&, py::tuple&&, py::dict&&)>;

// The check a parameter's declared type implies, for functions declared with
// Checks::declared: `str`, `list`, `dict` are exact types (None passes when
// written Optional[...] or when None is the default), `int` takes the int
// convention, `bool` Python's truth test, `float` a real number (see
// check_real) and `SupportsIndex` a whole number (see index_argument).
enum class ArgCheck { none, exact_type, int_convention, truth, real, whole };

struct Param {
  std::string name;
  py::object key;  // `name` as an interned str: a keyword the compiler wrote is this object
  core::ParamKind kind;
  py::object default_value{};  // null handle when required
  py::object annotation{};     // null handle when not annotated
  ArgCheck check = ArgCheck::none;
  py::object exact_type{};  // for ArgCheck::exact_type
  bool allow_none = false;
};

// Whether the declared types of a function's parameters are checked before
// its implementation runs, or left to the implementation.
enum class Checks { by_hand, declared };

class Function {
 public:
  Function(py::dict globals, std::string module, std::string qualname, std::string doc,
           const core::SignatureText& sig, Impl impl, Checks checks = Checks::by_hand);

  // A call in the interpreter's vector form: `args` holds the `nargs`
  // positional arguments, then the values of the keywords named in the
  // tuple `kwnames` (null for none).
  py::object call(PyObject* const* args, std::size_t nargs, PyObject* kwnames) const;
  // The function an instance of the native function type holds; TypeError
  // for one that holds none (made by `native_function.__new__`).
  static const Function& held_by(PyObject* instance);
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
  // The keywords bound to their slots; the extra ones, for **kwargs.
  py::dict bind_keywords(Slots& slots, PyObject* const* values, PyObject* kwnames) const;
  // The named parameter a keyword binds, or params_.size() for none.
  std::size_t keyword_slot(PyObject* name) const;
  [[noreturn, gnu::cold]] void too_many_positional(const Slots& slots, std::size_t given) const;
  [[noreturn, gnu::cold]] void missing_arguments(const Slots& slots) const;
  void apply_checks(Slots& slots) const;
  [[noreturn]] void missing(const std::vector<std::string>& names, const char* kind) const;

  py::dict globals_;
  std::string module_, name_, qualname_, doc_;
  std::vector<Param> declared_;  // every parameter, in declaration order
  std::vector<Param> params_;    // the named ones: *args and **kwargs left out
  std::size_t n_positional_ = 0;
  std::size_t n_required_positional_ = 0;
  std::size_t n_positional_only_ = 0;
  bool var_positional_ = false, var_keyword_ = false;
  bool checked_ = false;  // some parameter's declared type is checked
  py::object return_annotation_;
  mutable py::object signature_;
  Impl impl_;
};

// The entry the interpreter calls a native function by, with no tuple or
// dict of the arguments made (see make_function).
PyObject* vectorcall_entry(PyObject* self, PyObject* const* args, std::size_t nargsf,
                           PyObject* kwnames);

namespace detail {
py::object make_function(py::module_& m, std::string_view owner, std::string_view signature,
                         std::string_view doc, Impl impl, Checks checks);

// `impl`, called with the arguments typed by its signature.
template <const Signature& S, class F>
Impl typed(F impl) {
  static_assert(std::is_invocable_r_v<py::object, F&, CallOf<S>&>,
                "the implementation takes the call of another signature");
  return [impl = std::move(impl)](const Function& fn, Slots&& slots, py::tuple&& varargs,
                                  py::dict&& kwargs) -> py::object {
    CallOf<S> call(fn, std::move(slots), std::move(varargs), std::move(kwargs));
    return impl(call);
  };
}
}  // namespace detail

// Declares a native function from its signature `S` and binds it in `m` under
// the signature's name; `impl` takes a CallOf<S>&. Defaults and annotations
// are evaluated once, now, in the module's namespace; annotations written as
// string literals stay texts. With Checks::declared the arguments pass the
// checks their declared types imply (see ArgCheck) before `impl` runs.
// Returns the function object.
template <const Signature& S, class F>
py::object def(py::module_& m, std::string_view doc, F impl, Checks checks = Checks::by_hand) {
  py::object fn =
      detail::make_function(m, "", S.text, doc, detail::typed<S>(std::move(impl)), checks);
  m.attr(fn.attr("__name__")) = fn;
  return fn;
}

// Same, for a method of class `owner` (qualname "owner.name"); the function
// is returned to be placed in the class namespace, not bound in `m`.
template <const Signature& S, class F>
py::object method(py::module_& m, std::string_view owner, std::string_view doc, F impl,
                  Checks checks = Checks::by_hand) {
  return detail::make_function(m, owner, S.text, doc, detail::typed<S>(std::move(impl)), checks);
}

// Raises `type` with `message` from native code.
[[noreturn]] void raise(PyObject* type, const std::string& message);

}  // namespace orvane::glue
