// Parsing of Python-style signature texts such as
//   "sma(close: Series, length: int = None, *, offset=None, **kwargs) -> 'Optional[Series]'"
// The native functions of the package are declared with such a text so that
// their binding rules, help text and introspection all come from one place.
#pragma once

#include <stdexcept>
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

namespace detail {

constexpr bool is_space(char ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\f' || ch == '\v';
}
constexpr bool is_digit(char ch) { return ch >= '0' && ch <= '9'; }
constexpr bool is_word(char ch) {
  return is_digit(ch) || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || ch == '_';
}

constexpr std::string trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && is_space(s[b])) ++b;
  while (e > b && is_space(s[e - 1])) --e;
  return std::string(s.substr(b, e - b));
}

// Position of the first top-level `sep` at or after `from`, or npos.
// Tracks bracket depth and quoted literals (with backslash escapes).
constexpr std::size_t find_top_level(std::string_view text, char sep, std::size_t from = 0) {
  int depth = 0;
  char quote = 0;
  for (std::size_t i = from; i < text.size(); ++i) {
    const char ch = text[i];
    if (quote) {
      if (ch == '\\') {
        ++i;
      } else if (ch == quote) {
        quote = 0;
      }
      continue;
    }
    if (ch == '\'' || ch == '"') {
      quote = ch;
    } else if (ch == '(' || ch == '[' || ch == '{') {
      ++depth;
    } else if (ch == ')' || ch == ']' || ch == '}') {
      if (depth == 0 && ch == sep) return i;
      --depth;
      if (depth < 0) throw std::invalid_argument("unbalanced brackets in signature");
    } else if (depth == 0 && ch == sep) {
      return i;
    }
  }
  if (quote) throw std::invalid_argument("unterminated string in signature");
  return std::string_view::npos;
}

constexpr bool is_identifier(std::string_view s) {
  if (s.empty() || is_digit(s[0])) return false;
  for (char ch : s) {
    if (!is_word(ch)) return false;
  }
  return true;
}

// A default is introduced by a top-level '=' that is not part of a comparison.
constexpr std::size_t find_default_sign(std::string_view piece) {
  std::size_t pos = 0;
  while ((pos = find_top_level(piece, '=', pos)) != std::string_view::npos) {
    const bool comparison =
        (pos + 1 < piece.size() && piece[pos + 1] == '=') ||
        (pos > 0 && std::string_view("=!<>").find(piece[pos - 1]) != std::string_view::npos);
    if (!comparison) return pos;
    pos += 2;
  }
  return std::string_view::npos;
}

}  // namespace detail

// Splits `text` at the top-level occurrences of `sep`, ignoring separators
// nested in brackets or string literals. Pieces are trimmed.
constexpr std::vector<std::string> split_top_level(std::string_view text, char sep) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (true) {
    const std::size_t pos = detail::find_top_level(text, sep, start);
    if (pos == std::string_view::npos) {
      pieces.push_back(detail::trim(text.substr(start)));
      return pieces;
    }
    pieces.push_back(detail::trim(text.substr(start, pos - start)));
    start = pos + 1;
  }
}

namespace detail {

// The function's name and return annotation into `sig`; returns the text
// between the parentheses.
constexpr std::string parse_outline(std::string_view text, SignatureText& sig) {
  const std::size_t open = text.find('(');
  if (open == std::string_view::npos) throw std::invalid_argument("signature lacks '('");
  sig.name = trim(text.substr(0, open));
  if (!is_identifier(sig.name)) throw std::invalid_argument("bad function name in signature");

  const std::size_t close = find_top_level(text, ')', open + 1);
  if (close == std::string_view::npos) throw std::invalid_argument("signature lacks ')'");
  const std::string rest = trim(text.substr(close + 1));
  if (!rest.empty()) {
    if (rest.rfind("->", 0) != 0) throw std::invalid_argument("unexpected text after ')'");
    sig.return_annotation = trim(std::string_view(rest).substr(2));
    if (sig.return_annotation.empty()) throw std::invalid_argument("empty return annotation");
  }
  return trim(text.substr(open + 1, close - open - 1));
}

// One parameter written `name`, `*name` or `**name`, with an optional
// annotation and default; `kind` is the kind a plain name takes here, and
// becomes keyword-only after `*name`.
constexpr ParamText parse_param(std::string_view body, ParamKind& kind) {
  ParamText param;
  if (body.rfind("**", 0) == 0) {
    param.kind = ParamKind::var_keyword;
    body.remove_prefix(2);
  } else if (body.rfind("*", 0) == 0) {
    if (kind == ParamKind::keyword_only) throw std::invalid_argument("misplaced '*args'");
    param.kind = ParamKind::var_positional;
    body.remove_prefix(1);
    kind = ParamKind::keyword_only;
  } else {
    param.kind = kind;
  }

  const std::size_t eq = find_default_sign(body);
  if (eq != std::string_view::npos) {
    param.default_value = trim(body.substr(eq + 1));
    param.has_default = true;
    body = body.substr(0, eq);
    if (param.default_value.empty()) throw std::invalid_argument("empty default value");
  }
  const std::size_t colon = find_top_level(body, ':');
  if (colon != std::string_view::npos) {
    param.annotation = trim(body.substr(colon + 1));
    body = body.substr(0, colon);
    if (param.annotation.empty()) throw std::invalid_argument("empty annotation");
  }
  param.name = trim(body);
  if (!is_identifier(param.name)) {
    throw std::invalid_argument("bad parameter name '" + param.name + "'");
  }
  return param;
}

// The rules a parameter must keep with those declared before it.
constexpr void check_param(const std::vector<ParamText>& before, const ParamText& param,
                           bool& seen_default) {
  bool duplicate = false;
  for (const ParamText& p : before) duplicate = duplicate || p.name == param.name;
  if (duplicate) {
    throw std::invalid_argument("duplicate parameter '" + param.name + "'");
  }
  const bool variadic =
      param.kind == ParamKind::var_positional || param.kind == ParamKind::var_keyword;
  if (variadic && param.has_default) throw std::invalid_argument("variadic parameter with default");
  if (param.kind == ParamKind::positional_or_keyword) {
    if (seen_default && !param.has_default) {
      throw std::invalid_argument("non-default parameter '" + param.name + "' follows a default");
    }
    seen_default = seen_default || param.has_default;
  }
}

}  // namespace detail

// Throws std::invalid_argument with a description of what is malformed. At
// compile time a malformed text is no constant expression, so the program
// that declares it does not compile.
constexpr SignatureText parse_signature(std::string_view text) {
  using namespace detail;
  SignatureText sig;
  const std::string inner = parse_outline(text, sig);
  if (inner.empty()) return sig;

  ParamKind kind = ParamKind::positional_or_keyword;
  bool seen_default = false;
  for (const std::string& piece : split_top_level(inner, ',')) {
    if (piece.empty()) throw std::invalid_argument("empty parameter in signature");
    if (!sig.params.empty() && sig.params.back().kind == ParamKind::var_keyword) {
      throw std::invalid_argument("parameter after **kwargs");
    }
    if (piece == "/") {
      if (kind != ParamKind::positional_or_keyword || sig.params.empty()) {
        throw std::invalid_argument("misplaced '/'");
      }
      for (ParamText& p : sig.params) p.kind = ParamKind::positional_only;
      continue;
    }
    if (piece == "*") {
      if (kind == ParamKind::keyword_only) throw std::invalid_argument("misplaced '*'");
      kind = ParamKind::keyword_only;
      continue;
    }
    ParamText param = parse_param(piece, kind);
    check_param(sig.params, param, seen_default);
    sig.params.push_back(std::move(param));
  }
  return sig;
}

// Position of parameter `name` among the named parameters of signature `text`
// (declaration order, *args and **kwargs not counted), or npos when it
// declares none of that name. Usable at compile time.
constexpr std::size_t named_param_index(std::string_view text, std::string_view name) {
  std::size_t index = 0;
  for (const ParamText& p : parse_signature(text).params) {
    if (p.kind == ParamKind::var_positional || p.kind == ParamKind::var_keyword) continue;
    if (p.name == name) return index;
    ++index;
  }
  return std::string_view::npos;
}

}  // namespace orvane::core
