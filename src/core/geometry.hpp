// The point and box types every geometric part shares.
#pragma once

#include <array>

namespace lvx {

// A point (or a vector) in space: x, y, z.
using Point = std::array<double, 3>;

// An axis-aligned box: its minimum corner, then its maximum corner.
using Box = std::array<Point, 2>;

}  // namespace lvx
