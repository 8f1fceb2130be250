#include "core/json.hpp"

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/error.hpp"

namespace lvx {
namespace {

struct ScanProblem {
  std::size_t offset;  // byte offset of the bracket that went too deep, or of a NUL byte
  bool nul;
};

// Tells the contents of strings (their quotes included) from the rest of
// the text, one character at a time.
class StringTracker {
 public:
  bool outside(char c) noexcept {
    if (in_string_) {
      if (escaped_) {
        escaped_ = false;
      } else if (c == '\\') {
        escaped_ = true;
      } else if (c == '"') {
        in_string_ = false;
      }
      return false;
    }
    if (c == '"') {
      in_string_ = true;
      return false;
    }
    return true;
  }

 private:
  bool in_string_ = false;
  bool escaped_ = false;
};

// Finds the first opening bracket that exceeds the nesting limit (string
// contents skipped), or the first NUL byte, which the parser would otherwise
// take for the end of the text.
std::optional<ScanProblem> scan(std::string_view text) noexcept {
  int depth = 0;
  StringTracker strings;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\0') return ScanProblem{i, true};
    if (!strings.outside(c)) continue;
    switch (c) {
      case '[':
      case '{':
        if (++depth > kMaxJsonDepth) return ScanProblem{i, false};
        break;
      case ']':
      case '}':
        --depth;
        break;
      default:
        break;
    }
  }
  return std::nullopt;
}

bool is_number_char(char c) noexcept {
  return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// The offset of the first number outside strings whose value lies beyond the
// double range: the parser reports that overflow without a position.
std::optional<std::size_t> overflow_offset(std::string_view text) {
  StringTracker strings;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (!strings.outside(c) || !(c == '-' || (c >= '0' && c <= '9'))) continue;
    std::size_t end = i;
    while (end < text.size() && is_number_char(text[end])) ++end;
    std::string number(text.substr(i, end - i));
    // Read as the parser reads it: strtod with the locale's decimal point.
    std::replace(number.begin(), number.end(), '.', *std::localeconv()->decimal_point);
    if (std::isinf(std::strtod(number.c_str(), nullptr))) return i;
    i = end - 1;
  }
  return std::nullopt;
}

std::string strip_exception_tag(const char* what) {
  // nlohmann's messages start with "[json.exception.<kind>.<id>] ".
  std::string_view s(what);
  if (!s.empty() && s.front() == '[') {
    auto close = s.find("] ");
    if (close != std::string_view::npos) s.remove_prefix(close + 2);
  }
  return std::string(s);
}

std::pair<std::size_t, std::size_t> line_column(std::string_view text, std::size_t offset) {
  std::size_t line = 1, col = 1;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      col = 1;
    } else {
      ++col;
    }
  }
  return {line, col};
}

bool has_bom(std::string_view text) noexcept {
  return text.size() >= 3 && std::memcmp(text.data(), "\xEF\xBB\xBF", 3) == 0;
}

std::string at_line_column(std::string_view text, std::size_t offset) {
  const auto [line, col] = line_column(text, offset);
  return " at line " + std::to_string(line) + ", column " + std::to_string(col);
}

// The parser's message; a number overflow gets the position every other
// error names (that of the number's first character).
[[noreturn]] void fail_parse(const Json::exception& e, std::string_view text) {
  std::string message = strip_exception_tag(e.what());
  constexpr int kNumberOverflow = 406;
  if (dynamic_cast<const Json::out_of_range*>(&e) && e.id == kNumberOverflow)
    if (const auto at = overflow_offset(text)) message += at_line_column(text, *at);
  fail(message);
}

}  // namespace

Json parse_json(std::string_view text) {
  if (has_bom(text)) fail("byte-order mark is not allowed at line 1, column 1");
  if (const auto problem = scan(text)) {
    // A syntax error before the problem is the first fault.
    try {
      const Json prefix = Json::parse(text.substr(0, problem->offset));
      (void)prefix;
    } catch (const Json::parse_error& e) {
      if (e.byte <= problem->offset) fail(strip_exception_tag(e.what()));
    } catch (const Json::exception& e) {
      fail_parse(e, text);
    }
    const std::string where = at_line_column(text, problem->offset);
    if (problem->nul) fail("NUL character" + where);
    fail("nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels" + where);
  }
  try {
    return Json::parse(text);
  } catch (const Json::exception& e) {
    fail_parse(e, text);
  }
}

std::string write_json_pretty(const Json& v) {
  return v.dump(2, ' ', false, Json::error_handler_t::strict);
}

}  // namespace lvx
