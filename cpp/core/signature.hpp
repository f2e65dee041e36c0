// Parsing of Python-style signature texts such as
//   "sma(close: Series, length: int = None, *, offset=None, **kwargs) -> 'Optional[Series]'"
// The native functions of the package are declared with such a text so that
// their binding rules, help text and introspection all come from one place.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvane::core {

enum class ParamKind {
  positional_only,
  positional_or_keyword,
  var_positional,
  keyword_only,
  var_keyword,
};

struct ParamText {
  std::string name;
  ParamKind kind = ParamKind::positional_or_keyword;
  std::string annotation;     // expression text, empty when absent
  std::string default_value;  // expression text, meaningful when has_default
  bool has_default = false;
};

struct SignatureText {
  std::string name;
  std::vector<ParamText> params;
  std::string return_annotation;  // empty when absent
};

// Throws std::invalid_argument with a description of what is malformed.
SignatureText parse_signature(std::string_view text);

// Splits `text` at the top-level occurrences of `sep`, ignoring separators
// nested in brackets or string literals. Pieces are trimmed.
std::vector<std::string> split_top_level(std::string_view text, char sep);

}  // namespace orvane::core
