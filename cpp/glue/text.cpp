#include "text.hpp"

namespace orvane::glue {

std::string utf8(py::handle text) {
  py::ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (!data) throw py::error_already_set();
  return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace orvane::glue
