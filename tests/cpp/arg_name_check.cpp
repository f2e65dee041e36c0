// Compiled by ctest, never linked: reads the argument named ARG_READ in a
// function of a module that declares several. The check of names read against
// the function's own signature passes only the names that function declares.
// With MALFORMED_SIGNATURE it also declares a signature that does not parse.
#include "glue/function.hpp"

#define ORVANE_TEXT(name) #name
#define ORVANE_NAME(name) ORVANE_TEXT(name)

namespace py = pybind11;
namespace glue = orvane::glue;

namespace {

constexpr glue::Signature scale_sig{
    "scale(values, factor: Dict[str, int] = {'a,b': 1}, *args, **options)"};
constexpr glue::Signature shift_sig{"shift(values, periods: int = 1)"};

[[maybe_unused]] py::object scale(glue::CallOf<scale_sig>& c) {
  return c.arg<ORVANE_NAME(ARG_READ)>();
}

[[maybe_unused]] py::object shift(glue::CallOf<shift_sig>& c) { return c.arg<"periods">(); }

#ifdef MALFORMED_SIGNATURE
constexpr glue::Signature twice_sig{"twice(values, values)"};
#endif

}  // namespace
