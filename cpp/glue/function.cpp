#include "function.hpp"

#include <pybind11/eval.h>

#include <cstring>
#include <stdexcept>

#include "checks.hpp"
#include "interned.hpp"
#include "module_setup.hpp"
#include "pyops.hpp"

namespace orvane::glue {
namespace {

using core::ParamKind;

std::string plural(std::size_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the interpreter lists them.
std::string name_list(const std::vector<std::string>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += "'" + names[i] + "'";
  }
  return out;
}

py::object evaluate(const std::string& expr, const py::dict& module_dict) {
  py::dict scope;
  scope["__builtins__"] = py::module_::import("builtins");
  return py::eval<py::eval_expr>(py::str(expr), scope, module_dict);
}

// The check a declared type implies (see ArgCheck); `type` is the exact
// type for ArgCheck::exact_type.
ArgCheck check_of(const py::object& annotation, py::object& type, bool& optional) {
  optional = false;
  if (!annotation) return ArgCheck::none;
  py::object target = annotation;
  py::object typing = py::module_::import("typing");
  if (typing.attr("get_origin")(annotation).is(typing.attr("Union"))) {
    py::tuple args = typing.attr("get_args")(annotation);
    if (py::len(args) != 2 || args[1].ptr() != reinterpret_cast<PyObject*>(Py_TYPE(Py_None))) {
      return ArgCheck::none;
    }
    target = args[0];
    optional = true;
  }
  for (PyTypeObject* exact : {&PyUnicode_Type, &PyList_Type, &PyDict_Type}) {
    if (target.ptr() == reinterpret_cast<PyObject*>(exact)) {
      type = target;
      return ArgCheck::exact_type;
    }
  }
  if (optional) return ArgCheck::none;
  if (target.ptr() == reinterpret_cast<PyObject*>(&PyLong_Type)) return ArgCheck::int_convention;
  if (target.ptr() == reinterpret_cast<PyObject*>(&PyBool_Type)) return ArgCheck::truth;
  if (target.ptr() == reinterpret_cast<PyObject*>(&PyFloat_Type)) return ArgCheck::real;
  if (target.is(typing.attr("SupportsIndex"))) return ArgCheck::whole;
  return ArgCheck::none;
}

}  // namespace

void raise(PyObject* type, const std::string& message) {
  // by length, not as a C string: a message quoting a caller's text may hold NULs
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<py::ssize_t>(message.size()), "replace");
  if (text) {
    PyErr_SetObject(type, text);
    Py_DECREF(text);
  }
  throw py::error_already_set();
}

Call::Call(const Function& fn, Slots&& slots, py::tuple&& varargs, py::dict&& kwargs)
    : fn_(fn), slots_(std::move(slots)), varargs_(std::move(varargs)), kwargs_(std::move(kwargs)) {}

const py::dict& Call::globals() const { return fn_.globals(); }

PyObject* Call::kwarg(std::string_view name) const {
  return kwargs_ ? dict_entry(kwargs_, name) : nullptr;
}

py::object Call::global(py::handle name) const {
  PyObject* found = PyDict_GetItemWithError(fn_.globals().ptr(), name.ptr());
  if (found) return py::reinterpret_borrow<py::object>(found);
  if (PyErr_Occurred()) throw py::error_already_set();
  if (py::object lazy = resolve_lazy(fn_.globals(), name)) return lazy;
  py::object builtins = py::module_::import("builtins");
  if (py::hasattr(builtins, name)) return builtins.attr(name);
  const std::string message = "name '" + std::string(py::str(name)) + "' is not defined";
  const std::string note = extra_note(fn_.globals(), name);
  if (note.empty()) raise(PyExc_NameError, message);
  py::object error = py::reinterpret_borrow<py::object>(PyExc_NameError)(message);
  error.attr("name") = name;
  error.attr("add_note")(note);
  PyErr_SetObject(PyExc_NameError, error.ptr());
  throw py::error_already_set();
}

Function::Function(py::dict globals, std::string module, std::string qualname, std::string doc,
                   const core::SignatureText& sig, Impl impl, Checks checks)
    : globals_(std::move(globals)),
      module_(std::move(module)),
      name_(sig.name),
      qualname_(std::move(qualname)),
      doc_(std::move(doc)),
      impl_(std::move(impl)) {
  for (const core::ParamText& p : sig.params) {
    Param param{.name = p.name,
                .key = py::reinterpret_borrow<py::object>(interned(p.name)),
                .kind = p.kind};
    if (p.has_default) param.default_value = evaluate(p.default_value, globals_);
    if (!p.annotation.empty()) param.annotation = evaluate(p.annotation, globals_);
    if (checks == Checks::declared) {
      param.check = check_of(param.annotation, param.exact_type, param.allow_none);
      if (param.default_value && param.default_value.is_none()) param.allow_none = true;
    }
    checked_ = checked_ || param.check != ArgCheck::none;
    declared_.push_back(param);
    if (p.kind == ParamKind::var_positional) {
      var_positional_ = true;
      continue;
    }
    if (p.kind == ParamKind::var_keyword) {
      var_keyword_ = true;
      continue;
    }
    if (p.kind == ParamKind::positional_only || p.kind == ParamKind::positional_or_keyword) {
      ++n_positional_;
      if (!p.has_default) ++n_required_positional_;
      if (p.kind == ParamKind::positional_only) ++n_positional_only_;
    }
    params_.push_back(std::move(param));
  }
  if (!sig.return_annotation.empty())
    return_annotation_ = evaluate(sig.return_annotation, globals_);
}

void Function::fail(const std::string& what) const {
  raise(PyExc_TypeError, qualname_ + "() " + what);
}

void Function::missing(const std::vector<std::string>& names, const char* kind) const {
  fail("missing " + std::to_string(names.size()) + " required " + kind + " argument" +
       (names.size() == 1 ? "" : "s") + ": " + name_list(names));
}

std::size_t Function::keyword_slot(PyObject* name) const {
  // Keywords written in the source reach us as the interned str the
  // compiler made, the same object as the parameter's own name.
  for (std::size_t i = n_positional_only_; i < params_.size(); ++i) {
    if (params_[i].key.ptr() == name) return i;
  }
  // A keyword may be any str, lone surrogates included; such a name has no
  // UTF-8 form and so matches no declared parameter.
  py::ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
  if (!utf8) {
    PyErr_Clear();
    return params_.size();
  }
  const std::string_view key(utf8, static_cast<std::size_t>(size));
  for (std::size_t i = n_positional_only_; i < params_.size(); ++i) {
    if (params_[i].name == key) return i;
  }
  return params_.size();
}

py::dict Function::bind_keywords(Slots& slots, PyObject* const* values, PyObject* kwnames) const {
  py::dict extra =
      py::reinterpret_steal<py::dict>(py::handle());  // made for the first extra keyword
  const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < n; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    const std::size_t index = keyword_slot(name);
    if (index == params_.size()) {
      if (!var_keyword_) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     qualname_.c_str(), name);
        throw py::error_already_set();
      }
      if (!extra) extra = py::dict();
      extra[py::handle(name)] = py::handle(values[k]);
      continue;
    }
    if (slots[index]) fail("got multiple values for argument '" + params_[index].name + "'");
    slots[index] = py::reinterpret_borrow<py::object>(values[k]);
  }
  return extra;
}

void Function::too_many_positional(const Slots& slots, std::size_t given) const {
  std::size_t kwonly_given = 0;
  for (std::size_t i = 0; i < params_.size(); ++i) {
    if (params_[i].kind == ParamKind::keyword_only && slots.at(i)) ++kwonly_given;
  }
  std::string takes = n_required_positional_ == n_positional_
                          ? plural(n_positional_, "positional argument")
                          : "from " + std::to_string(n_required_positional_) + " to " +
                                std::to_string(n_positional_) + " positional arguments";
  std::string count = std::to_string(given);
  if (kwonly_given > 0) {
    count += std::string(" positional argument") + (given == 1 ? "" : "s") + " (and " +
             plural(kwonly_given, "keyword-only argument") + ")";
  }
  fail("takes " + takes + " but " + count + (given == 1 && kwonly_given == 0 ? " was" : " were") +
       " given");
}

void Function::missing_arguments(const Slots& slots) const {
  std::vector<std::string> missing_positional, missing_keyword;
  for (std::size_t i = 0; i < params_.size(); ++i) {
    if (slots.at(i)) continue;
    (params_[i].kind == ParamKind::keyword_only ? missing_keyword : missing_positional)
        .push_back(params_[i].name);
  }
  // positional ones first, as the interpreter reports them
  if (!missing_positional.empty()) missing(missing_positional, "positional");
  missing(missing_keyword, "keyword-only");
}

// The binding's reports run out of line: a call that binds cleanly reads
// only this function's own lines, which a small call pays for in
// instruction-cache misses.
py::object Function::call(PyObject* const* args, std::size_t given, PyObject* kwnames) const {
  Slots slots(params_.size());
  const std::size_t n_bound = std::min(given, n_positional_);
  for (std::size_t i = 0; i < n_bound; ++i) slots[i] = py::reinterpret_borrow<py::object>(args[i]);
  py::tuple varargs;
  if (var_positional_) {
    varargs = py::tuple(given - n_bound);
    for (std::size_t i = n_bound; i < given; ++i) {
      PyTuple_SET_ITEM(varargs.ptr(), static_cast<py::ssize_t>(i - n_bound), Py_NewRef(args[i]));
    }
  }
  py::dict extra = kwnames && PyTuple_GET_SIZE(kwnames) > 0
                       ? bind_keywords(slots, args + given, kwnames)
                       : py::reinterpret_steal<py::dict>(py::handle());
  // after the keywords, as the interpreter checks: a bad keyword is reported
  // before surplus positional arguments
  if (given > n_positional_ && !var_positional_) too_many_positional(slots, given);

  bool bound = true;
  for (std::size_t i = n_bound; i < params_.size(); ++i) {
    if (slots[i]) continue;
    if (params_[i].default_value) {
      slots[i] = params_[i].default_value;
    } else {
      bound = false;
    }
  }
  if (!bound) missing_arguments(slots);

  if (checked_) apply_checks(slots);
  return impl_(*this, std::move(slots), std::move(varargs), std::move(extra));
}

void Function::apply_checks(Slots& slots) const {
  for (std::size_t i = 0; i < params_.size(); ++i) {
    const Param& p = params_[i];
    switch (p.check) {
      case ArgCheck::none:
        break;
      case ArgCheck::exact_type:
        check_type(slots[i], p.name.c_str(), p.exact_type, p.allow_none);
        break;
      case ArgCheck::int_convention:
        slots[i] = int_argument(slots[i], p.name.c_str());
        break;
      case ArgCheck::truth:
        slots[i] = py::bool_(truthy(slots[i]));
        break;
      case ArgCheck::real:
        check_real(slots[i], p.name.c_str());
        break;
      case ArgCheck::whole:
        slots[i] = index_argument(slots[i], p.name.c_str());
        break;
    }
  }
}

py::object Function::signature() const {
  if (signature_) return signature_;
  py::module_ inspect = py::module_::import("inspect");
  py::object parameter = inspect.attr("Parameter");
  py::object empty = parameter.attr("empty");
  auto kind_of = [&](ParamKind kind) -> py::object {
    switch (kind) {
      case ParamKind::positional_only:
        return parameter.attr("POSITIONAL_ONLY");
      case ParamKind::positional_or_keyword:
        return parameter.attr("POSITIONAL_OR_KEYWORD");
      case ParamKind::var_positional:
        return parameter.attr("VAR_POSITIONAL");
      case ParamKind::keyword_only:
        return parameter.attr("KEYWORD_ONLY");
      case ParamKind::var_keyword:
        return parameter.attr("VAR_KEYWORD");
    }
    throw std::logic_error("unknown parameter kind");
  };
  auto make = [&](const std::string& name, ParamKind kind, const py::object& dflt,
                  const py::object& annotation) {
    return parameter(name, kind_of(kind), py::arg("default") = dflt ? dflt : empty,
                     py::arg("annotation") = annotation ? annotation : empty);
  };
  py::list out;
  for (const Param& p : declared_) out.append(make(p.name, p.kind, p.default_value, p.annotation));
  signature_ = inspect.attr("Signature")(
      out, py::arg("return_annotation") = return_annotation_ ? return_annotation_ : empty);
  return signature_;
}

py::dict Function::annotations() const {
  py::dict out;
  for (const Param& p : declared_) {
    if (p.annotation) out[py::str(p.name)] = p.annotation;
  }
  if (return_annotation_) out["return"] = return_annotation_;
  return out;
}

const Function& Function::held_by(PyObject* instance) {
  // read from the instance itself: the binding library's caster would look
  // the type up in its registry and copy the shared pointer (two atomic
  // counts) on every call
  const auto holder = reinterpret_cast<py::detail::instance*>(instance)->get_value_and_holder();
  if (!holder.holder_constructed()) {
    throw py::type_error("a native function was expected, got an empty '" + type_name(instance) +
                         "' object");
  }
  return *holder.value_ptr<Function>();
}

PyObject* vectorcall_entry(PyObject* self, PyObject* const* args, std::size_t nargsf,
                           PyObject* kwnames) {
  try {
    return Function::held_by(self)
        .call(args, static_cast<std::size_t>(PyVectorcall_NARGS(nargsf)), kwnames)
        .release()
        .ptr();
  } catch (...) {
    py::detail::try_translate_exceptions();
    return nullptr;
  }
}

py::object detail::make_function(py::module_& m, std::string_view owner, std::string_view signature,
                                 std::string_view doc, Impl impl, Checks checks) {
  py::module_::import("orvane_data._glue");  // registers the function type
  // checked when the module was compiled (Signature), so it parses
  const core::SignatureText sig = core::parse_signature(signature);
  std::string qualname = owner.empty() ? sig.name : std::string(owner) + "." + sig.name;
  auto fn = std::make_shared<Function>(py::reinterpret_borrow<py::dict>(m.attr("__dict__")),
                                       py::str(m.attr("__name__")), qualname, std::string(doc), sig,
                                       std::move(impl), checks);
  py::object obj = py::cast(fn);
  // the runtime keeps a slot in each instance for the entry the interpreter
  // calls it by (see the function type in orvane_data._glue)
  const vectorcallfunc entry = vectorcall_entry;
  std::memcpy(reinterpret_cast<char*>(obj.ptr()) + Py_TYPE(obj.ptr())->tp_vectorcall_offset, &entry,
              sizeof entry);
  py::setattr(obj, "__name__", py::str(fn->name()));
  py::setattr(obj, "__qualname__", py::str(fn->qualname()));
  py::setattr(obj, "__module__", py::str(fn->module()));
  py::setattr(obj, "__doc__", py::str(fn->doc()));
  return obj;
}

}  // namespace orvane::glue
