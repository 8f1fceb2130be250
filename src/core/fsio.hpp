// File output used by every exporter. A file appears whole or not at all:
// it is written under no name of its own in its target's folder and put in
// the target's place only once complete, so a failure or an interrupt leaves
// an existing file as it was and no partial or temporary file behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace lvx {

// All of these refuse a path holding a NUL character, which the system would
// cut, and throw OpError with the system's error text naming the path as
// given.

// Creates the parent folder of `path` and its missing ancestors; nothing for a
// bare file name.
void create_parent_dirs(const std::string& path);

// Throws OpError "<op>: <arg> must not contain a NUL character" when `path`
// holds a NUL: the system would stop reading it there and write a file of
// another name. Exporters call it where a bad path is to be reported, ahead
// of the generic refusal of the functions here.
void refuse_nul_path(std::string_view op, std::string_view arg, const std::string& path);

// A new file for `path`, put in its place by commit(). Its folder must exist.
//
// Where `path` is a symbolic link, the file it leads to is replaced (links
// followed as open() would, a dangling one included) and the link stays. An
// existing file keeps its permission bits (and, where the system lets us, its
// owner); a new one gets 0666 less the umask. A file we may not write is
// refused as opening it for writing would be. Targets that are neither a
// regular file nor absent (a device, a FIFO) cannot be replaced and are
// written in place, as before.
class AtomicFile {
 public:
  explicit AtomicFile(std::string path);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Appends data; a large write goes in chunks with an interrupt poll between.
  void write(std::string_view data);
  // Puts the file in the target's place. Without it the file vanishes.
  void commit();

 private:
  std::string link_name();

  std::string path_;   // as given, for messages
  std::string final_;  // what the rename replaces: path_ with its links followed
  std::string dir_;    // the folder of final_, where the new file lives
  std::string named_;  // the new file's name while it has one
  int fd_ = -1;
  std::uint64_t written_ = 0;
  bool unnamed_ = false;   // opened with O_TMPFILE: no name until commit
  bool in_place_ = false;  // not replaceable: written through path_ itself
  bool committed_ = false;
};

// Creates or replaces `path` with `data`, as AtomicFile does.
void write_file(const std::string& path, std::string_view data);

// Buffered output into an AtomicFile of at most kMaxBuffer bytes of memory
// whatever the file's size. The file (and, with make_parents, its missing
// parent folders) is made at the first flush, so output that fits in the
// buffer touches the file system only in commit(), after every failure of
// making it.
class OutputFile {
 public:
  static constexpr std::size_t kMaxBuffer = std::size_t{1} << 20;

  OutputFile(std::string path, bool make_parents);

  // Space for n more bytes at the cursor; advance(end) takes what was
  // written there.
  char* room(std::size_t n) {
    if (static_cast<std::size_t>(end_ - cur_) < n) make_room(n);
    return cur_;
  }
  void advance(char* end) noexcept { cur_ = end; }
  void append(std::string_view s);

  // Makes the file now (its errors come before any later work's).
  void open();
  // Writes what is buffered and puts the file in place.
  void commit();

 private:
  void make_room(std::size_t n);
  void flush();

  std::string path_;
  bool make_parents_;
  std::optional<AtomicFile> file_;
  std::unique_ptr<char[]> buf_;
  std::size_t cap_ = 0;
  char* cur_ = nullptr;
  char* end_ = nullptr;
};

}  // namespace lvx
