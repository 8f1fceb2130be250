#include "sample/voxel.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <variant>

#include "core/error.hpp"
#include "core/json.hpp"
#include "core/memory.hpp"
#include "core/parallel.hpp"
#include "sample/sample.hpp"

namespace lvx::sample {

namespace {

[[noreturn]] void too_large(std::uint64_t nx, std::uint64_t ny, std::uint64_t nz) {
  fail("voxel_phase_map: grid of " + std::to_string(nx) + " x " + std::to_string(ny) + " x " +
       std::to_string(nz) + " voxels is too large");
}

// Voxel count of the grid, refused when it overflows or when its cells of T
// could never be held in memory (the fill would only end in the kernel's
// out-of-memory killer).
template <class T = std::int32_t>
std::size_t checked_count(std::uint64_t nx, std::uint64_t ny, std::uint64_t nz) {
  const std::optional<std::size_t> n = grid_cells<T>(nx, ny, nz);
  if (!n) too_large(nx, ny, nz);
  return *n;
}

// Cell index along one axis for the centres of voxels first .. first + n - 1.
std::vector<std::int64_t> axis_cells(std::uint64_t first, std::uint64_t n, double min, double voxel_size,
                                     double cell) {
  std::vector<std::int64_t> out(static_cast<std::size_t>(n));
  for (std::uint64_t i = 0; i < n; ++i)
    out[static_cast<std::size_t>(i)] = cell_index(voxel_centre_1d(first + i, min, voxel_size), cell);
  return out;
}

// The whole grid over the box as a block.
VoxelBlock whole_grid(const Box& bounds, double voxel_size) noexcept {
  return {{},
          ZYX{axis_count(bounds[0][2], bounds[1][2], voxel_size),
              axis_count(bounds[0][1], bounds[1][1], voxel_size),
              axis_count(bounds[0][0], bounds[1][0], voxel_size)}};
}

std::string zyx_text(const ZYX& v) {
  return "(z, y, x) = (" + std::to_string(v[0]) + ", " + std::to_string(v[1]) + ", " + std::to_string(v[2]) +
         ")";
}

}  // namespace

std::uint64_t axis_count(double min, double max, double voxel_size) noexcept {
  // A box edge meant as a whole number of voxels rarely divides exactly in
  // binary (0.07 / 0.01 is 7.000000000000001): a millionth of a voxel is
  // forgiven rather than adding a sliver voxel.
  const double n = std::ceil((max - min) / voxel_size - 1e-6);
  if (!(n > 0.0)) return 1;  // NaN, negative and zero
  if (n >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(n);
}

std::array<std::uint64_t, 3> voxel_counts(const Box& bounds, double voxel_size) {
  if (!(voxel_size > 0.0)) fail("voxel_counts: voxel_size must be positive");
  return {axis_count(bounds[0][0], bounds[1][0], voxel_size),
          axis_count(bounds[0][1], bounds[1][1], voxel_size),
          axis_count(bounds[0][2], bounds[1][2], voxel_size)};
}

namespace {

// Everything a fill needs: sizes, names and, when the voxels must be picked,
// the fraction list with the name index of each of its phases. The int32
// storage of the two grid layouts is made by allocate(); the phase map of a
// block fills storage of its own type.
struct Plan {
  PhaseGrid grid;  // sizes and names (the block's sizes for a block)
  std::optional<PhaseFractions> picker;
  std::vector<std::int32_t> to_name;
  std::vector<std::int64_t> cx, cy, cz;  // cell index of each voxel centre per axis

  template <class Grid>
  Grid into() {
    Grid g;
    static_cast<PhaseGrid&>(g) = std::move(grid);
    return g;
  }

  // Zeroed storage for the grid's phase indices.
  void allocate() {
    const std::size_t count = checked_count(grid.nx, grid.ny, grid.nz);
    try {
      grid.phase_ids.assign(count, 0);
    } catch (const std::bad_alloc&) {
      too_large(grid.nx, grid.ny, grid.nz);
    }
  }
};

// The plan of the whole grid over the box, or of `block` of it, for storage
// of at least Item per voxel (checked before any work that grows with it).
template <class Item = std::int32_t>
Plan plan(std::string_view name, const Box& bounds, double voxel_size, std::optional<double> scale_m,
          const VoxelBlock* block = nullptr) {
  if (!(voxel_size > 0.0)) panic("voxel_phase_map: voxel_size must be positive");
  Plan p;
  const data_loader::EntryPtr entry = lookup_entry(name);
  p.grid.entry = entry;
  const VoxelBlock b = block ? *block : whole_grid(bounds, voxel_size);
  p.grid.nx = b.shape[2];
  p.grid.ny = b.shape[1];
  p.grid.nz = b.shape[0];
  (void)checked_count<Item>(p.grid.nx, p.grid.ny, p.grid.nz);

  const Json* fractions = member(*entry, "phase_volume_fractions");
  if (fractions != nullptr && fractions->is_object())
    for (const auto& item : fractions->get_ref<const Json::object_t&>())
      p.grid.phase_names.push_back(item.first);

  // A single phase needs no pick; a list without a valid pick leaves zeros.
  if (p.grid.phase_names.size() > 1) p.picker = PhaseFractions::of(*entry);
  if (p.picker) {
    // Both lists are in key order and the pickable phases are a subset of
    // the names.
    std::size_t k = 0;
    for (const std::string& phase : p.picker->names()) {
      while (p.grid.phase_names[k] != phase) ++k;
      p.to_name.push_back(static_cast<std::int32_t>(k));
    }
    const double cell = scale_m.value_or(voxel_size);
    p.cx = axis_cells(b.start[2], p.grid.nx, bounds[0][0], voxel_size, cell);
    p.cy = axis_cells(b.start[1], p.grid.ny, bounds[0][1], voxel_size, cell);
    p.cz = axis_cells(b.start[0], p.grid.nz, bounds[0][2], voxel_size, cell);
  }
  if (p.grid.phase_names.empty()) p.grid.phase_names.emplace_back(name);
  return p;
}

// Rows of (x, y) hashes up to this many are kept in a table for the
// x-fastest fill; larger cross-sections rehash them per plane.
constexpr std::size_t kMaxHashTable = std::size_t{1} << 22;
// Voxels per unit of parallel work.
constexpr std::uint64_t kVoxelsPerChunk = std::uint64_t{1} << 16;

// Fills runs of equal values: voxels of one cell share its phase, so a row
// (or slab, or plane) whose cell index equals the previous one's is a copy of
// it. Copies never reach back past the start of a chunk, so chunks can be
// filled in parallel.
template <class T>
inline void copy_previous(T* out, std::size_t len) {
  std::memcpy(out, out - len, len * sizeof(T));
}

}  // namespace

// Both fills feed the cell hash one axis at a time (see cell_hash), so the
// state after ix (and after iy) is shared by every voxel of a slab (and of a
// row).

VoxelGrid voxel_phase_map(std::string_view name, const Box& bounds, double voxel_size,
                          std::optional<double> scale_m) {
  Plan p = plan(name, bounds, voxel_size, scale_m);
  p.allocate();
  if (p.picker) {
    const std::size_t ny = p.cy.size(), nz = p.cz.size(), slab = ny * nz;
    const PhaseFractions& picker = *p.picker;
    const std::int32_t* to_name = p.to_name.data();
    std::int32_t* const ids = p.grid.phase_ids.data();
    parallel_chunks(
        p.grid.nx, std::max<std::uint64_t>(1, kVoxelsPerChunk / slab), [&](std::uint64_t b, std::uint64_t e) {
          for (std::size_t x = b; x < e; ++x) {
            std::int32_t* out = ids + x * slab;
            if (x > b && p.cx[x] == p.cx[x - 1]) {
              copy_previous(out, slab);
              continue;
            }
            const std::uint64_t hx = fnv1a_i64(kFnvOffset, p.cx[x]);
            for (std::size_t y = 0; y < ny; ++y, out += nz) {
              if (y > 0 && p.cy[y] == p.cy[y - 1]) {
                copy_previous(out, nz);
                continue;
              }
              const std::uint64_t hy = fnv1a_i64(hx, p.cy[y]);
              for (std::size_t z = 0; z < nz; ++z)
                out[z] = z > 0 && p.cz[z] == p.cz[z - 1] ? out[z - 1]
                                                         : to_name[picker.pick_hash(fnv1a_i64(hy, p.cz[z]))];
            }
          }
        });
  }
  return p.into<VoxelGrid>();
}

template <class T>
void fill_picked(const PhaseFractions& picker, std::span<const std::int64_t> cx,
                 std::span<const std::int64_t> cy, std::span<const std::int64_t> cz, const T* table, T* out) {
  const std::size_t nx = cx.size(), ny = cy.size(), plane = nx * ny;
  std::vector<std::uint64_t> hx(nx);
  for (std::size_t x = 0; x < nx; ++x) hx[x] = fnv1a_i64(kFnvOffset, cx[x]);
  // Hash state after (x, y) for the whole cross-section when it fits.
  std::vector<std::uint64_t> hxy;
  if (plane <= kMaxHashTable) {
    hxy.resize(plane);
    for (std::size_t y = 0; y < ny; ++y)
      for (std::size_t x = 0; x < nx; ++x) hxy[y * nx + x] = fnv1a_i64(hx[x], cy[y]);
  }
  parallel_chunks(cz.size(), std::max<std::uint64_t>(1, kVoxelsPerChunk / plane),
                  [&](std::uint64_t b, std::uint64_t e) {
                    for (std::size_t z = b; z < e; ++z) {
                      T* row = out + z * plane;
                      if (z > b && cz[z] == cz[z - 1]) {
                        copy_previous(row, plane);
                        continue;
                      }
                      const std::int64_t iz = cz[z];
                      for (std::size_t y = 0; y < ny; ++y, row += nx) {
                        if (y > 0 && cy[y] == cy[y - 1]) {
                          copy_previous(row, nx);
                          continue;
                        }
                        for (std::size_t x = 0; x < nx; ++x) {
                          if (x > 0 && cx[x] == cx[x - 1]) {
                            row[x] = row[x - 1];
                            continue;
                          }
                          const std::uint64_t h = hxy.empty() ? fnv1a_i64(hx[x], cy[y]) : hxy[y * nx + x];
                          row[x] = table[picker.pick_hash(fnv1a_i64(h, iz))];
                        }
                      }
                    }
                  });
}

using Cells = std::span<const std::int64_t>;
template void fill_picked(const PhaseFractions&, Cells, Cells, Cells, const std::int32_t*, std::int32_t*);
template void fill_picked(const PhaseFractions&, Cells, Cells, Cells, const std::uint8_t*, std::uint8_t*);
template void fill_picked(const PhaseFractions&, Cells, Cells, Cells, const std::uint16_t*, std::uint16_t*);
template void fill_picked(const PhaseFractions&, Cells, Cells, Cells, const std::uint32_t*, std::uint32_t*);
template void fill_picked(const PhaseFractions&, Cells, Cells, Cells, const double*, double*);

XFastestGrid voxel_phase_map_x_fastest(std::string_view name, const Box& bounds, double voxel_size,
                                       std::optional<double> scale_m) {
  Plan p = plan(name, bounds, voxel_size, scale_m);
  p.allocate();
  if (p.picker) fill_picked(*p.picker, p.cx, p.cy, p.cz, p.to_name.data(), p.grid.phase_ids.data());
  return p.into<XFastestGrid>();
}

// ---------------------------------------------------------------- blocks

VoxelBlock grid_block(std::string_view op, const Box& bounds, double voxel_size,
                      const std::optional<ZYX>& start, const std::optional<ZYX>& shape) {
  const ZYX counts = whole_grid(bounds, voxel_size).shape;
  VoxelBlock b{start.value_or(ZYX{}), {}};
  const std::string of_grid = " the grid of " + zyx_text(counts) + " voxels";
  for (std::size_t a = 0; a < 3; ++a)
    if (b.start[a] >= counts[a])
      fail(std::string(op) + ": start " + zyx_text(b.start) + " lies outside" + of_grid);
  for (std::size_t a = 0; a < 3; ++a) b.shape[a] = shape ? (*shape)[a] : counts[a] - b.start[a];
  for (std::size_t a = 0; a < 3; ++a)
    if (b.shape[a] == 0) fail(std::string(op) + ": shape " + zyx_text(b.shape) + " is empty along an axis");
  for (std::size_t a = 0; a < 3; ++a)
    if (b.shape[a] > counts[a] - b.start[a])
      fail(std::string(op) + ": a block of shape " + zyx_text(b.shape) + " at start " + zyx_text(b.start) +
           " reaches past" + of_grid);
  return b;
}

bool is_whole_grid(const VoxelBlock& block, const Box& bounds, double voxel_size) noexcept {
  return block.start == ZYX{} && block.shape == whole_grid(bounds, voxel_size).shape;
}

BlockCells block_cells(const Box& bounds, double voxel_size, const VoxelBlock& block, double cell) {
  return {axis_cells(block.start[2], block.shape[2], bounds[0][0], voxel_size, cell),
          axis_cells(block.start[1], block.shape[1], bounds[0][1], voxel_size, cell),
          axis_cells(block.start[0], block.shape[0], bounds[0][2], voxel_size, cell)};
}

PhaseBlock phase_map(std::string_view name, const Box& bounds, double voxel_size,
                     std::optional<double> scale_m, const std::optional<ZYX>& start,
                     const std::optional<ZYX>& shape) {
  if (name.empty()) fail("phase_map: name required");
  if (voxel_size <= 0.0) fail("phase_map: voxel_size must be positive");  // NaN goes on to the plan
  const VoxelBlock block = grid_block("phase_map", bounds, voxel_size, start, shape);
  const auto [nz, ny, nx] = block.shape;
  try {
    Plan p = plan<std::uint8_t>(name, bounds, voxel_size, scale_m, &block);
    PhaseBlock out{phase_array_for(p.grid.phase_names.size()), std::move(p.grid.phase_names)};
    std::visit(
        [&]<class T>(Array<T>& ids) {
          (void)block_voxels<T>(block);
          ids = Array<T>({nz, ny, nx});
          if (!p.picker) {
            std::fill_n(ids.data(), ids.size(), T{0});
            return;
          }
          const std::vector<T> table(p.to_name.begin(), p.to_name.end());
          fill_picked(*p.picker, p.cx, p.cy, p.cz, table.data(), ids.data());
        },
        out.ids);
    return out;
  } catch (const std::bad_alloc&) {
    block_too_large(block);
  }
}

void block_too_large(const VoxelBlock& block) {
  too_large(block.shape[2], block.shape[1], block.shape[0]);
}

}  // namespace lvx::sample
