#include "alloy/rng.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <string>

#include "core/error.hpp"

namespace lvx::alloy {

SeedBytes expand_seed(std::uint64_t seed) noexcept {
  constexpr std::uint64_t kMul = 6364136223846793005ULL;
  constexpr std::uint64_t kInc = 11634580027462260723ULL;
  SeedBytes out{};
  std::uint64_t state = seed;
  for (std::size_t step = 0; step < 8; ++step) {
    state = state * kMul + kInc;
    const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
    const auto rot = static_cast<int>(state >> 59);
    const std::uint32_t x = std::rotr(xorshifted, rot);
    for (std::size_t b = 0; b < 4; ++b) out[step * 4 + b] = static_cast<std::uint8_t>(x >> (8 * b));
  }
  return out;
}

namespace {

[[noreturn]] void entropy_failed(int err) {
  panic("from_entropy failed: " + std::string(std::strerror(err)));
}

// Fallback where getrandom is missing or refused: wait once until the pool
// is initialised, then read without blocking.
void read_random_device(SeedBytes& out) {
  {
    const int fd = ::open("/dev/random", O_RDONLY | O_CLOEXEC);
    if (fd < 0) entropy_failed(errno);
    pollfd p{fd, POLLIN, 0};
    int rc;
    do {
      rc = ::poll(&p, 1, -1);
    } while (rc < 0 && errno == EINTR);
    const int err = errno;
    ::close(fd);
    if (rc < 0) entropy_failed(err);
  }
  const int fd = ::open("/dev/urandom", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) entropy_failed(errno);
  std::size_t got = 0;
  while (got < out.size()) {
    const ssize_t n = ::read(fd, out.data() + got, out.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      entropy_failed(err);
    }
    if (n == 0) {
      ::close(fd);
      entropy_failed(EIO);
    }
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

}  // namespace

SeedBytes entropy_seed() {
  SeedBytes out{};
  std::size_t got = 0;
  while (got < out.size()) {
    const ssize_t n = ::getrandom(out.data() + got, out.size() - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      // Missing (ENOSYS) or refused (EPERM under a seccomp filter, and any
      // other failure): the random device serves instead.
      read_random_device(out);
      return out;
    }
    got += static_cast<std::size_t>(n);
  }
  return out;
}

Xoshiro256pp::Xoshiro256pp(const SeedBytes& bytes) noexcept : s_{} {
  bool all_zero = true;
  for (std::size_t w = 0; w < 4; ++w) {
    std::uint64_t v = 0;
    for (std::size_t b = 0; b < 8; ++b) v |= static_cast<std::uint64_t>(bytes[w * 8 + b]) << (8 * b);
    s_[w] = v;
    all_zero = all_zero && v == 0;
  }
  if (all_zero)
    s_ = {0xE220A8397B1DCDAFULL, 0x6E789E6AA1B965F4ULL, 0x06C45D188009454FULL, 0xF88BB8A8724C81ECULL};
}

std::uint64_t Xoshiro256pp::below(std::uint64_t n) noexcept {
  const std::uint64_t zone = (n << std::countl_zero(n)) - 1;
  for (;;) {
    const unsigned __int128 prod = static_cast<unsigned __int128>(next()) * n;
    if (static_cast<std::uint64_t>(prod) <= zone) return static_cast<std::uint64_t>(prod >> 64);
  }
}

}  // namespace lvx::alloy
