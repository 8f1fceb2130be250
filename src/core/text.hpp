// Text helpers: Unicode case folding and white space, UTF-8 walking, and the
// number formats used in every generated file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lvx {

// Full Unicode lower-casing (root locale): "İ" becomes "i̇", "ẞ" becomes "ß".
std::string to_lower(std::string_view utf8);

// Trims Unicode White_Space characters at both ends.
std::string_view trim_ws(std::string_view utf8);

// Decodes UTF-8 into code points; invalid sequences become U+FFFD.
std::vector<char32_t> code_points(std::string_view utf8);
// How many code points code_points() would return, without storing them.
std::size_t code_point_count(std::string_view utf8) noexcept;
bool is_valid_utf8(std::string_view bytes) noexcept;

// Appends `v` in fixed-point notation with exactly `digits` digits after the
// decimal point, correctly rounded from the exact binary value, with a minus
// sign also for negative zero and never an exponent. NaN is written as "NaN",
// the infinities as "inf" and "-inf".
void append_fixed(std::string& out, double v, int digits);

// Appends the shortest decimal text that reads back to `v`, in plain notation
// (no exponent), with no fractional part for integral values: 1.0 gives "1",
// 1e-7 gives "0.0000001", -0.0 gives "-0".
void append_shortest_plain(std::string& out, double v);

// `text` with every carriage return and line feed replaced by one blank, for
// names written into a line of a line-oriented file.
std::string single_line(std::string_view text);

// Appends an integer in decimal.
void append_uint(std::string& out, std::uint64_t v);

}  // namespace lvx
