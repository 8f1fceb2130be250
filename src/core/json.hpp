// The datasheet value model and its reading and writing rules.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace lvx {

// Objects keep their members in std::map, i.e. sorted by key in byte order.
using Json = nlohmann::json;

inline constexpr int kMaxJsonDepth = 128;

// Parses exactly one JSON document. Allowed after it: blank, tab, line feed,
// carriage return. A UTF-8 byte-order mark, nesting deeper than
// kMaxJsonDepth, or a number outside the finite double range is an error.
// Throws OpError with a message that names the line and column.
Json parse_json(std::string_view text);

// Any JSON number as a double; nullopt for every other type.
inline std::optional<double> as_number(const Json& v) noexcept {
  switch (v.type()) {
    case Json::value_t::number_unsigned:
      return static_cast<double>(v.get_ref<const Json::number_unsigned_t&>());
    case Json::value_t::number_integer:
      return static_cast<double>(v.get_ref<const Json::number_integer_t&>());
    case Json::value_t::number_float:
      return v.get_ref<const Json::number_float_t&>();
    default:
      return std::nullopt;
  }
}

// Member lookup in an object value; nullptr when v is not an object or has no
// such member.
inline const Json* member(const Json& v, std::string_view key) noexcept {
  if (!v.is_object()) return nullptr;
  const auto& obj = v.get_ref<const Json::object_t&>();
  auto it = obj.find(key);
  return it == obj.end() ? nullptr : &it->second;
}

// Pretty text (two-space indent, ": " after keys). Doubles use the shortest
// text that reads back to the same value and always carry a decimal point or
// an exponent; non-finite doubles are null.
std::string write_json_pretty(const Json& v);

}  // namespace lvx
