// The short names a module's source uses: the layers' namespaces, the
// binding library's argument literals ("name"_a) and the glue's everyday
// Python operations and int64 views, unqualified; and `checked`, the checks
// of a function whose arguments pass those their declared types imply. For
// module sources only.
#pragma once

#include <pybind11/pybind11.h>

#include "columns.hpp"
#include "function.hpp"
#include "pyops.hpp"

namespace py = pybind11;
namespace glue = orvane::glue;
namespace core = orvane::core;
using glue::builtin;
using glue::compare;
using glue::contains;
using glue::Int64Array;
using glue::truthy;
using glue::view;
using glue::writable;
using namespace pybind11::literals;

inline constexpr auto checked = glue::Checks::declared;
