// Names looked up on every call (module-dict keys, attribute names, keyword
// names) as interned str objects, made once per module and text, and the
// table of texts that finds them: a small call then pays no new str and,
// for a text written in the source, no hash of it; one given as a template
// argument is kept where it is asked, with no look-up at all.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace orvane::glue {

// A hash of texts that finds std::string keys from a string_view.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};

// Values by text, with a small cache in front keyed by the text's address:
// the texts a call looks up are literals, whose address is the same at each
// call, so a hit costs a compare of the text, not a hash of it. A hit still
// compares the text itself, so an address that later holds another text
// misses. Entries are never removed (the values' addresses stay valid).
template <class V>
class TextTable {
 public:
  // The value of `text`, made by make() on its first look-up.
  template <class Make>
  V& find(std::string_view text, Make make) {
    Slot& slot = slots_[(reinterpret_cast<std::uintptr_t>(text.data()) >> 3) % kSlots];
    if (slot.data == text.data() && slot.entry != nullptr && slot.entry->first == text)
      return slot.entry->second;
    auto it = map_.find(text);
    if (it == map_.end()) it = map_.emplace(std::string(text), make()).first;
    slot = {text.data(), &*it};
    return it->second;
  }

 private:
  static constexpr std::size_t kSlots = 64;
  using Map = std::unordered_map<std::string, V, TextHash, std::equal_to<>>;
  struct Slot {
    const char* data = nullptr;
    typename Map::value_type* entry = nullptr;
  };
  std::array<Slot, kSlots> slots_{};
  Map map_;
};

// `text` as an interned str, held for good (borrowed); GIL held.
PyObject* interned(std::string_view text);

// A name written in the source (a parameter's, a module global's, an
// attribute's, a prefix), as a template argument.
template <std::size_t N>
struct ParamName {
  char text[N];
  constexpr ParamName(const char (&name)[N]) { std::copy_n(name, N, text); }
  constexpr std::string_view view() const { return {text, N - 1}; }
};

// interned(Text), made at its first use and kept where it is asked: a name
// a small call reads every time costs no look-up of its text.
template <ParamName Text>
PyObject* interned() {
  static PyObject* const name = interned(Text.view());
  return name;
}

// The module-dict entry `name` of `globals` (borrowed), or null when unbound.
PyObject* dict_entry(const pybind11::dict& globals, std::string_view name);

}  // namespace orvane::glue
