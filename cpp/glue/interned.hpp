// Names looked up on every call (module-dict keys, attribute names, keyword
// names) as interned str objects, made once per module and text: a small
// call then pays a hash look-up for each, not a new str.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <string_view>

namespace orvane::glue {

// A hash of texts that finds std::string keys from a string_view.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};

// `text` as an interned str, held for good (borrowed); GIL held.
PyObject* interned(std::string_view text);

// The module-dict entry `name` of `globals` (borrowed), or null when unbound.
PyObject* dict_entry(const pybind11::dict& globals, std::string_view name);

}  // namespace orvane::glue
