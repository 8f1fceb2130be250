// The optimiser's random generator: xoshiro256++ seeded either from a 64-bit
// seed (expanded to 32 bytes by PCG32) or from the operating system's entropy.
#pragma once

#include <array>
#include <cstdint>

namespace lvx::alloy {

using SeedBytes = std::array<std::uint8_t, 32>;

// Eight PCG32 steps, each output written as 4 little-endian bytes.
SeedBytes expand_seed(std::uint64_t seed) noexcept;

// 32 bytes from the kernel's random-bytes call, or from the non-blocking
// random device (after one readiness poll) where that call is unavailable or
// fails other than by an interruption. Throws Panic "from_entropy failed: {os
// error}" when the device fails too.
SeedBytes entropy_seed();

class Xoshiro256pp {
 public:
  // Reads the bytes as four little-endian words; all-zero bytes give the
  // first four SplitMix64 outputs from 0 instead.
  explicit Xoshiro256pp(const SeedBytes& bytes) noexcept;

  std::uint64_t next() noexcept {
    const std::uint64_t out = rotl(s_[0] + s_[3], 23) + s_[0];
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return out;
  }

  // Uniform integer in [0, n), n >= 1, by zone rejection on the 128-bit
  // product.
  std::uint64_t below(std::uint64_t n) noexcept;

 private:
  static std::uint64_t rotl(std::uint64_t x, int k) noexcept { return (x << k) | (x >> (64 - k)); }
  std::array<std::uint64_t, 4> s_;
};

}  // namespace lvx::alloy
