#include "core/text.hpp"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <array>
#include <charconv>
#include <cmath>
#include <system_error>

namespace lvx {

namespace {

bool is_ascii(std::string_view s) noexcept {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

bool append_non_finite(std::string& out, double v) {
  if (std::isnan(v)) {
    out += "NaN";
    return true;
  }
  if (std::isinf(v)) {
    out += v < 0 ? "-inf" : "inf";
    return true;
  }
  return false;
}

}  // namespace

std::string to_lower(std::string_view utf8) {
  if (is_ascii(utf8)) {
    std::string out(utf8);
    for (char& c : out)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
  }
  icu::UnicodeString u =
      icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
  u.toLower(icu::Locale::getRoot());
  std::string out;
  u.toUTF8String(out);
  return out;
}

std::string_view trim_ws(std::string_view s) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  const int32_t len = static_cast<int32_t>(s.size());
  int32_t begin = 0;
  while (begin < len) {
    int32_t next = begin;
    UChar32 c;
    U8_NEXT(p, next, len, c);
    if (c < 0 || !u_isUWhiteSpace(c)) break;
    begin = next;
  }
  int32_t end = len;
  while (end > begin) {
    int32_t prev = end;
    UChar32 c;
    U8_PREV(p, begin, prev, c);
    if (c < 0 || !u_isUWhiteSpace(c)) break;
    end = prev;
  }
  return s.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

std::vector<char32_t> code_points(std::string_view s) {
  std::vector<char32_t> out;
  out.reserve(s.size());
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  const int32_t len = static_cast<int32_t>(s.size());
  for (int32_t i = 0; i < len;) {
    UChar32 c;
    U8_NEXT(p, i, len, c);
    out.push_back(c < 0 ? U'\uFFFD' : static_cast<char32_t>(c));
  }
  return out;
}

std::size_t code_point_count(std::string_view s) noexcept {
  std::size_t count = 0;
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  const int32_t len = static_cast<int32_t>(s.size());
  for (int32_t i = 0; i < len; ++count) {
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    UChar32 c;
    U8_NEXT(p, i, len, c);  // same stepping over bad bytes as code_points()
    static_cast<void>(c);
  }
  return count;
}

bool is_valid_utf8(std::string_view s) noexcept {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  const int32_t len = static_cast<int32_t>(s.size());
  for (int32_t i = 0; i < len;) {
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    UChar32 c;
    U8_NEXT(p, i, len, c);
    if (c < 0) return false;
  }
  return true;
}

void append_fixed(std::string& out, double v, int digits) {
  if (append_non_finite(out, v)) return;
  // 309 integral digits at most, plus sign, point and the fraction.
  // std::to_chars already signs negative zero on some toolchains and not on
  // others: the sign is written here, and the magnitude converted.
  std::array<char, 400> buf;
  char* first = buf.data();
  if (std::signbit(v)) *first++ = '-';
  auto res = std::to_chars(first, buf.data() + buf.size(), std::fabs(v), std::chars_format::fixed, digits);
  out.append(buf.data(), res.ptr);
}

void append_shortest_plain(std::string& out, double v) {
  if (append_non_finite(out, v)) return;
  if (v == 0.0) {
    out += std::signbit(v) ? "-0" : "0";
    return;
  }
  std::array<char, 64> buf;
  auto res = std::to_chars(buf.data(), buf.data() + buf.size(), v, std::chars_format::scientific);
  std::string_view sci(buf.data(), static_cast<std::size_t>(res.ptr - buf.data()));
  // sci is [-]d[.ddd]e(+|-)XX
  const bool neg = sci.front() == '-';
  if (neg) sci.remove_prefix(1);
  const auto epos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, epos))
    if (c != '.') digits += c;
  int exp = 0;
  std::from_chars(sci.data() + epos + (sci[epos + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exp);
  // value = 0.d1d2d3... * 10^(exp+1)
  const int point = exp + 1;  // digits before the decimal point
  if (neg) out += '-';
  const int n = static_cast<int>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= n) {
    out += digits;
    out.append(static_cast<std::size_t>(point - n), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits, static_cast<std::size_t>(point), std::string::npos);
  }
}

std::string single_line(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c == '\r' || c == '\n') c = ' ';
  return out;
}

void append_uint(std::string& out, std::uint64_t v) {
  std::array<char, 24> buf;
  auto res = std::to_chars(buf.data(), buf.data() + buf.size(), v);
  out.append(buf.data(), res.ptr);
}

}  // namespace lvx
