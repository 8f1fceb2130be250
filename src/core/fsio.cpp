#include "core/fsio.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "core/error.hpp"

namespace lvx {

namespace {
[[noreturn]] void fail_errno(int err, const std::string& path) {
  fail(std::string(std::strerror(err)) + " (os error " + std::to_string(err) + "): '" + path + "'");
}
// The system would cut the name at a NUL and write to another file.
void refuse_nul(const std::string& path) {
  if (path.find('\0') != std::string::npos) fail("file name must not contain a NUL character");
}

}  // namespace

void create_parent_dirs(const std::string& path) {
  refuse_nul(path);
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (parent.empty()) return;
  std::error_code ec;
  std::filesystem::create_directories(parent, ec);
  if (ec) fail_errno(ec.value(), parent.string());
}

void refuse_nul_path(std::string_view op, std::string_view arg, const std::string& path) {
  if (path.find('\0') != std::string::npos)
    fail(std::string(op) + ": " + std::string(arg) + " must not contain a NUL character");
}

void write_file(const std::string& path, std::string_view data) {
  refuse_nul(path);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) fail_errno(errno, path);
  const char* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      fail_errno(err, path);
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) fail_errno(errno, path);
}

}  // namespace lvx
