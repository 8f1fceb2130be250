#include "sample/lookup.hpp"

#include <string>

#include "core/error.hpp"

namespace lvx::sample {

data_loader::EntryPtr lookup_entry(std::string_view name) {
  if (auto e = data_loader::DATA().find_exact(name)) return e;
  fail("sample::lookup_entry: no datasheet found for '" + std::string(name) + "'");
}

}  // namespace lvx::sample
