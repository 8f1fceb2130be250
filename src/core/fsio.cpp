#include "core/fsio.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>
#include <utility>

#include "core/error.hpp"
#include "core/interrupt.hpp"

namespace lvx {

namespace {

[[noreturn]] void fail_errno(int err, const std::string& path) {
  fail(std::string(std::strerror(err)) + " (os error " + std::to_string(err) + "): '" + path + "'");
}
// The system would cut the name at a NUL and write to another file.
void refuse_nul(const std::string& path) {
  if (path.find('\0') != std::string::npos) fail("file name must not contain a NUL character");
}

// Bytes handed to one write() call: an interrupt poll comes between two.
constexpr std::size_t kWriteChunk = std::size_t{8} << 20;
// A dropped file at least this large is closed on a thread of its own.
constexpr std::uint64_t kBackgroundClose = std::uint64_t{64} << 20;

// `path` with its symbolic links followed one at a time, as open() follows
// them: the path of the last link's target, which need not exist. A chain
// longer than the system allows stops where it is, and opening it then
// reports the loop.
std::string follow_links(std::string path) {
  for (int hop = 0; hop < 40; ++hop) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof target) break;
    std::string next(target, static_cast<std::size_t>(n));
    if (next.empty()) break;
    if (next.front() != '/') {
      const std::size_t slash = path.rfind('/');
      if (slash != std::string::npos) next = path.substr(0, slash + 1) + next;
    }
    path = std::move(next);
  }
  return path;
}

// Folder and last component of a path ("." for a bare name).
std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}
std::string base_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A name for the new file beside the target: hidden, after the target's
// name (cut so that it stays within the length a name may have) and unique
// enough that O_EXCL or linkat rarely has to try again.
std::string temp_name(const std::string& dir, const std::string& base) {
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t x = static_cast<std::uint64_t>(::getpid()) * 0x9E3779B97F4A7C15ULL ^
                    static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                    (counter.fetch_add(1, std::memory_order_relaxed) * 0xBF58476D1CE4E5B9ULL);
  x ^= x >> 31;
  x *= 0x94D049BB133111EBULL;
  x ^= x >> 29;
  char hex[17];
  for (int i = 0; i < 16; ++i) hex[i] = "0123456789abcdef"[(x >> (4 * i)) & 15];
  hex[16] = '\0';
  return (dir == "/" ? "" : dir) + "/." + base.substr(0, 200) + "." + hex + ".tmp";
}

// Whether /proc/self/fd is there to give an unnamed file a name by.
bool proc_fd_available() {
  static const bool available = ::access("/proc/self/fd", X_OK) == 0;
  return available;
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

// ---------------------------------------------------------------- AtomicFile

AtomicFile::AtomicFile(std::string path) : path_(std::move(path)) {
  refuse_nul(path_);
  // What open() says of a name that cannot be a file.
  if (path_.empty()) fail_errno(ENOENT, path_);
  if (path_.back() == '/') fail_errno(EISDIR, path_);
  struct stat st;
  const bool exists = ::stat(path_.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) fail_errno(errno, path_);
  if (exists && S_ISDIR(st.st_mode)) fail_errno(EISDIR, path_);
  if (exists && !S_ISREG(st.st_mode)) {
    in_place_ = true;
  } else if (exists) {
    // A file we could not open for writing stays refused: replacing it
    // through its folder would get round its permissions.
    if (::faccessat(AT_FDCWD, path_.c_str(), W_OK, AT_EACCESS) != 0) fail_errno(errno, path_);
    final_ = follow_links(path_);
    struct stat at_final;
    // A link that names no path we can replace (one of /proc's, say) is
    // written through as it always was.
    in_place_ = ::lstat(final_.c_str(), &at_final) != 0 || at_final.st_dev != st.st_dev ||
                at_final.st_ino != st.st_ino;
  } else {
    final_ = follow_links(path_);
  }
  if (in_place_) {
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) fail_errno(errno, path_);
    return;
  }

  dir_ = folder_of(final_);
  if (proc_fd_available()) {
    fd_ = ::open(dir_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    unnamed_ = fd_ >= 0;
    // Not every file system makes unnamed files; a named one will do.
    if (fd_ < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) fail_errno(errno, path_);
  }
  if (!unnamed_) {
    for (int attempt = 0; fd_ < 0; ++attempt) {
      named_ = temp_name(dir_, base_of(final_));
      fd_ = ::open(named_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd_ < 0 && (errno != EEXIST || attempt == 100)) {
        const int err = errno;
        named_.clear();
        fail_errno(err, path_);
      }
    }
  }
  if (exists) {
    // As if the old file had been rewritten: its owner where we may set it
    // (best effort, as a copy would), and its permission bits.
    if (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) {
      if (::fchown(fd_, st.st_uid, st.st_gid) != 0) (void)!::fchown(fd_, static_cast<uid_t>(-1), st.st_gid);
    }
    if (::fchmod(fd_, st.st_mode & 0777) != 0) fail_errno(errno, path_);
  }
}

AtomicFile::~AtomicFile() {
  if (!committed_ && !named_.empty()) ::unlink(named_.c_str());
  if (fd_ < 0) return;
  // The system frees a dropped file's data when it is closed, which for a
  // large one takes a while (some 50 ms per GB): that is left to a thread of
  // its own, so that an interrupted call returns at once.
  if (written_ >= kBackgroundClose && !in_place_) {
    try {
      std::thread([fd = fd_] { ::close(fd); }).detach();
      return;
    } catch (const std::system_error&) {
    }
  }
  ::close(fd_);
}

void AtomicFile::write(std::string_view data) {
  const char* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const ssize_t n = ::write(fd_, p, std::min(left, kWriteChunk));
    if (n < 0) {
      if (errno == EINTR) continue;
      fail_errno(errno, path_);
    }
    p += n;
    left -= static_cast<std::size_t>(n);
    written_ += static_cast<std::uint64_t>(n);
    if (left > 0) poll_interrupt();
  }
}

std::string AtomicFile::link_name() {
  const std::string fd_path = "/proc/self/fd/" + std::to_string(fd_);
  for (int attempt = 0;; ++attempt) {
    std::string name = temp_name(dir_, base_of(final_));
    if (::linkat(AT_FDCWD, fd_path.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return name;
    if (errno != EEXIST || attempt == 100) fail_errno(errno, path_);
  }
}

void AtomicFile::commit() {
  if (unnamed_) named_ = link_name();
  const int fd = std::exchange(fd_, -1);
  if (::close(fd) != 0) fail_errno(errno, path_);
  if (!in_place_ && ::rename(named_.c_str(), final_.c_str()) != 0) fail_errno(errno, path_);
  committed_ = true;
}

void write_file(const std::string& path, std::string_view data) {
  AtomicFile file(path);
  file.write(data);
  file.commit();
}

// ---------------------------------------------------------------- OutputFile

OutputFile::OutputFile(std::string path, bool make_parents)
    : path_(std::move(path)), make_parents_(make_parents) {}

void OutputFile::make_room(std::size_t n) {
  const std::size_t used = static_cast<std::size_t>(cur_ - buf_.get());
  if (cap_ >= kMaxBuffer && used > 0) {
    flush();
    if (cap_ >= n) return;
  }
  // Grows (small files never take the whole buffer); past kMaxBuffer only
  // for a single item larger than it.
  std::size_t cap = std::max<std::size_t>(cap_, 4096);
  while (cap < used + n && cap < kMaxBuffer) cap *= 2;
  cap = std::max(std::min(cap, kMaxBuffer), used + n);
  auto grown = std::make_unique_for_overwrite<char[]>(cap);
  if (used > 0) std::memcpy(grown.get(), buf_.get(), used);
  buf_ = std::move(grown);
  cap_ = cap;
  cur_ = buf_.get() + used;
  end_ = buf_.get() + cap;
}

void OutputFile::append(std::string_view s) {
  if (s.size() >= kMaxBuffer) {
    // Large data goes straight to the file, after what is buffered.
    flush();
    file_->write(s);
    return;
  }
  char* p = room(s.size());
  if (!s.empty()) std::memcpy(p, s.data(), s.size());
  cur_ = p + s.size();
}

void OutputFile::open() {
  if (file_) return;
  if (make_parents_) create_parent_dirs(path_);
  file_.emplace(path_);
}

void OutputFile::flush() {
  open();
  const std::size_t used = static_cast<std::size_t>(cur_ - buf_.get());
  if (used > 0) file_->write({buf_.get(), used});
  cur_ = buf_.get();
  poll_interrupt();
}

void OutputFile::commit() {
  flush();
  file_->commit();
}

}  // namespace lvx
