#include "core/json.hpp"

#include <cstring>

#include "core/error.hpp"

namespace lvx {
namespace {

struct ScanProblem {
  std::size_t offset;  // byte offset of the bracket that went too deep, or of a NUL byte
  bool nul;
};

// Finds the first opening bracket that exceeds the nesting limit (string
// contents skipped), or the first NUL byte, which the parser would otherwise
// take for the end of the text.
std::optional<ScanProblem> scan(std::string_view text) noexcept {
  int depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\0') return ScanProblem{i, true};
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        in_string = true;
        break;
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
      fail(strip_exception_tag(e.what()));
    }
    auto [line, col] = line_column(text, problem->offset);
    const std::string where = " at line " + std::to_string(line) + ", column " + std::to_string(col);
    if (problem->nul) fail("NUL character" + where);
    fail("nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels" + where);
  }
  try {
    return Json::parse(text);
  } catch (const Json::exception& e) {
    fail(strip_exception_tag(e.what()));
  }
}

std::string write_json_pretty(const Json& v) {
  return v.dump(2, ' ', false, Json::error_handler_t::strict);
}

}  // namespace lvx
