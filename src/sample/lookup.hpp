// Exact-name entry lookup used by sampling, the voxel map and py_data_sheet.
#pragma once

#include <string_view>

#include "loader/data_loader.hpp"

namespace lvx::sample {

// The entry stored under exactly `name` (no case folding, symbols, aliases or
// formulas), first hit over the tiers in canonical order. The value is shared
// read-only. Throws OpError "sample::lookup_entry: no datasheet found for '{}'".
data_loader::EntryPtr lookup_entry(std::string_view name);

}  // namespace lvx::sample
