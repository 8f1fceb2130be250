#include "loader/data_loader.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "core/error.hpp"
#include "core/parallel.hpp"
#include "core/text.hpp"

namespace lvx::data_loader {

// ---------------------------------------------------------------- EntryNames

EntryNames EntryNames::of(std::string_view key, const Json& value) {
  EntryNames n;
  n.key_lower = to_lower(key);
  if (!value.is_object()) return n;
  const Json* sym = member(value, "Symbol");
  if (!sym) sym = member(value, "symbol");
  if (sym && sym->is_string()) {
    n.has_symbol = true;
    n.symbol = sym->get<std::string>();
    n.symbol_lower = to_lower(n.symbol);
  }
  const Json* aliases = member(value, "Aliases");
  if (!aliases) aliases = member(value, "aliases");
  if (aliases && aliases->is_array()) {
    for (const Json& a : *aliases) {
      if (!a.is_string()) continue;
      const auto& s = a.get_ref<const std::string&>();
      n.aliases.push_back(s);
      n.aliases_lower.push_back(to_lower(s));
    }
  }
  return n;
}

// ------------------------------------------------------------------- TierMap

namespace {
void sorted_insert(std::vector<std::string>& v, const std::string& key) {
  auto it = std::lower_bound(v.begin(), v.end(), key);
  if (it == v.end() || *it != key) v.insert(it, key);
}
void sorted_erase(std::unordered_map<std::string, std::vector<std::string>>& index, const std::string& k,
                  const std::string& key) {
  auto it = index.find(k);
  if (it == index.end()) return;
  auto& v = it->second;
  auto pos = std::lower_bound(v.begin(), v.end(), key);
  if (pos != v.end() && *pos == key) v.erase(pos);
  if (v.empty()) index.erase(it);
}
}  // namespace

void TierMap::ensure_indexed() const {
  if (indexed_.load(std::memory_order_acquire)) return;
  std::unique_lock lock(mu_);
  if (indexed_.load(std::memory_order_relaxed)) return;
  auto* self = const_cast<TierMap*>(this);  // the indices are a cache of map_
  for (const auto& [key, slot] : map_) self->index_add(key, slot.names);
  indexed_.store(true, std::memory_order_release);
}

void TierMap::index_add(const std::string& key, const EntryNames& n) {
  sorted_insert(by_key_lower_[n.key_lower], key);
  if (n.has_symbol) {
    sorted_insert(by_symbol_[n.symbol], key);
    sorted_insert(by_symbol_lower_[n.symbol_lower], key);
  }
  for (const auto& a : n.aliases) sorted_insert(by_alias_[a], key);
  for (const auto& a : n.aliases_lower) sorted_insert(by_alias_lower_[a], key);
}

void TierMap::index_remove(const std::string& key, const EntryNames& n) {
  sorted_erase(by_key_lower_, n.key_lower, key);
  if (n.has_symbol) {
    sorted_erase(by_symbol_, n.symbol, key);
    sorted_erase(by_symbol_lower_, n.symbol_lower, key);
  }
  for (const auto& a : n.aliases) sorted_erase(by_alias_, a, key);
  for (const auto& a : n.aliases_lower) sorted_erase(by_alias_lower_, a, key);
}

EntryPtr TierMap::get(std::string_view key) const {
  std::shared_lock lock(mu_);
  auto it = map_.find(std::string(key));
  return it == map_.end() ? nullptr : it->second.value;
}

EntryPtr TierMap::insert(std::string key, EntryPtr value, EntryNames names) {
  std::unique_lock lock(mu_);
  auto [it, inserted] = map_.try_emplace(std::move(key));
  EntryPtr displaced;
  const bool indexed = indexed_.load(std::memory_order_relaxed);
  if (!inserted) {
    displaced = std::move(it->second.value);
    if (indexed) index_remove(it->first, it->second.names);
  }
  it->second.value = std::move(value);
  it->second.names = std::move(names);
  if (indexed) index_add(it->first, it->second.names);
  return displaced;
}

EntryPtr TierMap::insert(std::string key, EntryPtr value) {
  EntryNames names = EntryNames::of(key, *value);
  return insert(std::move(key), std::move(value), std::move(names));
}

TierMap::Found TierMap::first_of(const Index& index, const std::string& k) const {
  ensure_indexed();
  std::shared_lock lock(mu_);
  auto it = index.find(k);
  if (it == index.end() || it->second.empty()) return {};
  auto slot = map_.find(it->second.front());
  if (slot == map_.end()) return {};
  return {slot->first, slot->second.value};
}

TierMap::Found TierMap::find_key_lower(const std::string& k) const {
  return first_of(by_key_lower_, k);
}
TierMap::Found TierMap::find_symbol(const std::string& k) const {
  return first_of(by_symbol_, k);
}
TierMap::Found TierMap::find_symbol_lower(const std::string& k) const {
  return first_of(by_symbol_lower_, k);
}
TierMap::Found TierMap::find_alias(const std::string& k) const {
  return first_of(by_alias_, k);
}
TierMap::Found TierMap::find_alias_lower(const std::string& k) const {
  return first_of(by_alias_lower_, k);
}

std::vector<std::string> TierMap::keys() const {
  std::vector<std::string> out;
  {
    std::shared_lock lock(mu_);
    out.reserve(map_.size());
    for (const auto& [key, slot] : map_) out.push_back(key);
  }
  std::sort(out.begin(), out.end());
  return out;
}

void TierMap::append_names(std::vector<std::string>& out) const {
  std::shared_lock lock(mu_);
  for (const auto& [key, slot] : map_) {
    out.push_back(key);
    if (slot.names.has_symbol) out.push_back(slot.names.symbol);
    out.insert(out.end(), slot.names.aliases.begin(), slot.names.aliases.end());
  }
}

// ------------------------------------------------------------------ Registry

EntryPtr Registry::find_exact(std::string_view name) const {
  auto lock = read_lock();
  for (const TierMap& t : tiers_)
    if (EntryPtr e = t.get(name)) return e;
  return nullptr;
}

Registry& DATA() {
  static Registry registry;  // thread-safe one-time construction
  return registry;
}

// ------------------------------------------------------------------- loading

namespace {

struct PendingFile {
  std::size_t tier;
  std::string stem;
  std::string path;
};

struct LoadedFile {
  EntryPtr value;
  EntryNames names;
};

// The part after the last dot, where a name whose only dot is its first
// character has none.
std::optional<std::string_view> extension_of(std::string_view name) {
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  return name.substr(dot + 1);
}

std::string errno_text(int err) {
  return std::string("cannot be read: ") + std::strerror(err);
}

// What a status call found where a regular file was expected.
std::string not_regular(mode_t mode) {
  const char* kind = S_ISDIR(mode)    ? "a folder"
                     : S_ISFIFO(mode) ? "a FIFO"
                     : S_ISCHR(mode)  ? "a character device"
                     : S_ISBLK(mode)  ? "a block device"
                     : S_ISSOCK(mode) ? "a socket"
                                      : "of an unknown kind";
  return std::string("not a regular file (") + kind + ")";
}

// The whole text of a regular file (links followed), or nullopt with `why`
// set. A FIFO, a device or a socket is refused before it is opened; the open
// cannot block (O_NONBLOCK) and fstat checks again what was opened, so a
// swap between the two calls cannot make the load hang on a FIFO or read an
// endless device.
std::optional<std::string> read_regular(const std::string& path, std::string& why) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    why = errno_text(errno);
    return std::nullopt;
  }
  if (!S_ISREG(st.st_mode)) {
    why = not_regular(st.st_mode);
    return std::nullopt;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    why = errno_text(errno);
    return std::nullopt;
  }
  const bool opened_stat = ::fstat(fd, &st) == 0;
  if (!opened_stat || !S_ISREG(st.st_mode)) {
    why = opened_stat ? not_regular(st.st_mode) : errno_text(errno);
    ::close(fd);
    return std::nullopt;
  }
  std::string text;
  if (st.st_size > 0) text.reserve(static_cast<std::size_t>(st.st_size));
  char buf[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      why = errno_text(errno);
      ::close(fd);
      return std::nullopt;
    }
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

void list_tier(std::size_t tier, const std::string& dir, std::vector<PendingFile>& out) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;  // missing, not a folder, or unreadable
  while (const dirent* ent = ::readdir(d)) {
    const std::string_view name(ent->d_name);
    if (name == "." || name == "..") continue;
    if (file_name_fault(name)) continue;
    const std::string_view stem = name.substr(0, name.size() - 5);
    out.push_back({tier, std::string(stem), dir + "/" + std::string(name)});
  }
  ::closedir(d);
}

std::optional<LoadedFile> load_one(const PendingFile& f) {
  std::string why;
  auto value = read_datasheet(f.path, why);
  if (!value) return std::nullopt;
  EntryNames names = EntryNames::of(f.stem, *value);
  return LoadedFile{std::make_shared<const Json>(std::move(*value)), std::move(names)};
}

}  // namespace

std::optional<std::string> file_name_fault(std::string_view name) {
  const auto ext = extension_of(name);
  if (!ext || *ext != "json")
    return std::string(name == ".json" ? "file name has no stem before '.json'"
                                       : "file name does not end in '.json'");
  if (!is_valid_utf8(name.substr(0, name.size() - 5))) return std::string("file name is not valid UTF-8");
  return std::nullopt;
}

std::optional<Json> read_datasheet(const std::string& path, std::string& why) {
  auto text = read_regular(path, why);
  if (!text) return std::nullopt;
  try {
    return parse_json(*text);  // also rejects any invalid UTF-8
  } catch (const OpError& e) {
    why = std::string("not valid JSON: ") + e.what();
    return std::nullopt;
  }
}

std::optional<std::string> check_datasheet(const std::string& path) {
  const auto slash = path.rfind('/');
  if (auto fault = file_name_fault(std::string_view(path).substr(slash == std::string::npos ? 0 : slash + 1)))
    return fault;
  std::string why;
  if (!read_datasheet(path, why)) return why;
  return std::nullopt;
}

void load_all_tiers(const std::string& root) {
  struct stat st;
  // A path holding a NUL names nothing; the system would read it only up to
  // the NUL.
  if (root.find('\0') != std::string::npos || ::stat(root.c_str(), &st) != 0)
    fail("data_loader::load_all_tiers: root does not exist: " + root);
  if (!S_ISDIR(st.st_mode)) fail("data_loader::load_all_tiers: root is not a directory: " + root);

  Registry& reg = DATA();
  std::vector<PendingFile> files;
  for (std::size_t t = 0; t < kTierCount; ++t) list_tier(t, root + "/" + std::string(TIER_NAMES[t]), files);
  // One fixed order: tiers in canonical order, names ascending.
  std::sort(files.begin(), files.end(), [](const PendingFile& a, const PendingFile& b) {
    return a.tier != b.tier ? a.tier < b.tier : a.stem < b.stem;
  });

  // Files are read and parsed on one worker per processor, whatever the
  // spread over tiers, then stored in the fixed order above.
  std::vector<std::optional<LoadedFile>> loaded(files.size());
  parallel_chunks(files.size(), 16, [&](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t i = begin; i < end; ++i) {
      try {
        loaded[i] = load_one(files[i]);
      } catch (...) {
        // Out of memory for this one file: it is skipped like an unreadable one.
      }
    }
  });

  auto lock = reg.read_lock();
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (!loaded[i]) continue;
    reg.tier(files[i].tier)
        .insert(std::move(files[i].stem), std::move(loaded[i]->value), std::move(loaded[i]->names));
  }
}

}  // namespace lvx::data_loader
