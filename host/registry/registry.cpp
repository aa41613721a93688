#include "registry/registry.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <exception>
#include <set>
#include <system_error>
#include <unordered_set>
#include <utility>

// File layout (all integers little-endian u32):
//   "HKRG" | version (1) | body length | body | CRC-32 of everything before it
// The body is the list of keys, the root first; every other key names its
// parent by index, and a parent always comes before its subkeys:
//   key   = parent index (root: 0xFFFFFFFF) | name length | name | value count | value*
//   value = name length | name | type | data length | data
// Names and data are counted bytes, so they may hold any byte.

namespace hk {

namespace detail {

struct RegistryKey {
  struct NamedValue {
    std::string name;
    Registry::Value value;
  };

  std::string name;
  std::vector<NamedValue> values;
  std::vector<RegistryKey> subkeys;
};

}  // namespace detail

namespace {

namespace fs = std::filesystem;
using Key = detail::RegistryKey;

constexpr std::string_view kMagic = "HKRG";
constexpr uint32_t kVersion = 1;
constexpr size_t kHeaderSize = 12;
constexpr size_t kTrailerSize = 4;
constexpr uint32_t kNoParent = 0xFFFFFFFF;

// --- Names and paths ---

char FoldChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool NamesEqual(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return FoldChar(x) == FoldChar(y);
         });
}

std::string Folded(std::string_view name) {
  std::string out(name);
  std::transform(out.begin(), out.end(), out.begin(), FoldChar);
  return out;
}

// Splits a key path into its components; nullopt if a component is empty.
// The empty path (or a lone backslash) is the root and has no components.
std::optional<std::vector<std::string_view>> SplitPath(std::string_view path) {
  if (!path.empty() && path.front() == '\\') path.remove_prefix(1);
  std::vector<std::string_view> components;
  if (path.empty()) return components;
  while (true) {
    const size_t end = path.find('\\');
    const std::string_view component = path.substr(0, end);
    if (component.empty()) return std::nullopt;
    components.push_back(component);
    if (end == std::string_view::npos) return components;
    path.remove_prefix(end + 1);
  }
}

// K is Key or const Key.
template <typename K>
K* FindSubkey(K& key, std::string_view name) {
  for (auto& subkey : key.subkeys) {
    if (NamesEqual(subkey.name, name)) return &subkey;
  }
  return nullptr;
}

template <typename K>
K* Descend(K& root, const std::vector<std::string_view>& components) {
  K* key = &root;
  for (std::string_view component : components) {
    key = FindSubkey(*key, component);
    if (key == nullptr) return nullptr;
  }
  return key;
}

const Key* Lookup(const Key& root, std::string_view path) {
  const auto components = SplitPath(path);
  return components ? Descend(root, *components) : nullptr;
}

template <typename K>
auto FindValue(K& key, std::string_view name) {
  return std::find_if(key.values.begin(), key.values.end(),
                      [name](const auto& value) { return NamesEqual(value.name, name); });
}

// --- Encoding ---

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

uint32_t Crc32(std::string_view bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char b : bytes) crc = kCrcTable[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

void PutU32(std::string& out, uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>(v >> shift));
}

void PatchU32(std::string& out, size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[offset + i] = static_cast<char>(v >> (8 * i));
}

// Lengths are truncated to 32 bits here; Encode() rejects a body too large for
// that, which any single oversized name or data would make it.
void PutCounted(std::string& out, std::string_view bytes) {
  PutU32(out, static_cast<uint32_t>(bytes.size()));
  out.append(bytes);
}

void EncodeKey(std::string& out, const Key& key, uint32_t parent, uint32_t& next_index) {
  const uint32_t self = next_index++;
  PutU32(out, parent);
  PutCounted(out, key.name);
  PutU32(out, static_cast<uint32_t>(key.values.size()));
  for (const auto& value : key.values) {
    PutCounted(out, value.name);
    PutU32(out, value.value.type);
    PutCounted(out, std::string_view(reinterpret_cast<const char*>(value.value.data.data()),
                                     value.value.data.size()));
  }
  for (const Key& subkey : key.subkeys) EncodeKey(out, subkey, self, next_index);
}

std::optional<std::string> Encode(const Key& root) {
  std::string out(kMagic);
  PutU32(out, kVersion);
  PutU32(out, 0);  // body length, patched below
  uint32_t next_index = 0;
  EncodeKey(out, root, kNoParent, next_index);
  const size_t body_size = out.size() - kHeaderSize;
  if (body_size > UINT32_MAX) return std::nullopt;
  PatchU32(out, 8, static_cast<uint32_t>(body_size));
  PutU32(out, Crc32(out));
  return out;
}

// --- Decoding: every length is checked against the bytes that remain ---

class Reader {
 public:
  explicit Reader(std::string_view bytes) : rest_(bytes) {}

  bool AtEnd() const { return rest_.empty(); }

  bool U32(uint32_t& v) {
    if (rest_.size() < 4) return false;
    v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t{static_cast<unsigned char>(rest_[i])} << (8 * i);
    rest_.remove_prefix(4);
    return true;
  }

  bool Counted(std::string_view& bytes) {
    uint32_t size = 0;
    if (!U32(size) || size > rest_.size()) return false;
    bytes = rest_.substr(0, size);
    rest_.remove_prefix(size);
    return true;
  }

 private:
  std::string_view rest_;
};

std::optional<Key> DecodeBody(std::string_view body, std::string& error) {
  Reader in(body);
  std::vector<Key> keys;
  std::vector<uint32_t> parents;
  std::set<std::pair<uint32_t, std::string>> sibling_names;
  while (!in.AtEnd()) {
    const size_t index = keys.size();
    uint32_t parent = 0;
    std::string_view name;
    uint32_t value_count = 0;
    if (!in.U32(parent) || !in.Counted(name) || !in.U32(value_count)) {
      error = "key record " + std::to_string(index) + " is cut short";
      return std::nullopt;
    }
    if (index == 0) {
      if (parent != kNoParent || !name.empty()) {
        error = "first key record is not the root";
        return std::nullopt;
      }
    } else if (parent >= index || name.empty() || name.find('\\') != std::string_view::npos ||
               !sibling_names.emplace(parent, Folded(name)).second) {
      error = "key record " + std::to_string(index) + " has a bad parent or name";
      return std::nullopt;
    }
    Key key{std::string(name), {}, {}};
    std::unordered_set<std::string> value_names;
    // No reserve(value_count): the count is untrusted, and every value uses at
    // least 12 bytes, so the loop ends when the bytes do.
    for (uint32_t i = 0; i < value_count; ++i) {
      std::string_view value_name;
      uint32_t type = 0;
      std::string_view data;
      if (!in.Counted(value_name) || !in.U32(type) || !in.Counted(data)) {
        error = "value record in key " + std::to_string(index) + " is cut short";
        return std::nullopt;
      }
      if (!value_names.insert(Folded(value_name)).second) {
        error = "key " + std::to_string(index) + " has two values of the same name";
        return std::nullopt;
      }
      key.values.push_back(
          {std::string(value_name), {type, std::vector<uint8_t>(data.begin(), data.end())}});
    }
    keys.push_back(std::move(key));
    parents.push_back(parent);
  }
  if (keys.empty()) {
    error = "no root key";
    return std::nullopt;
  }
  // Move every key into its parent, last first: by the time a key moves, all
  // its subkeys (which come after it) have moved into it, in reverse order.
  for (size_t i = keys.size() - 1; i > 0; --i) {
    std::reverse(keys[i].subkeys.begin(), keys[i].subkeys.end());
    keys[parents[i]].subkeys.push_back(std::move(keys[i]));
  }
  std::reverse(keys[0].subkeys.begin(), keys[0].subkeys.end());
  return std::move(keys[0]);
}

std::optional<Key> Decode(std::string_view file, std::string& error) {
  if (file.empty()) {
    error = "empty file";
    return std::nullopt;
  }
  if (file.size() < kHeaderSize + kTrailerSize) {
    error = "truncated (" + std::to_string(file.size()) + " bytes)";
    return std::nullopt;
  }
  if (file.substr(0, kMagic.size()) != kMagic) {
    error = "not a registry file (bad magic)";
    return std::nullopt;
  }
  Reader header(file.substr(kMagic.size(), kHeaderSize - kMagic.size()));
  uint32_t version = 0;
  uint32_t body_size = 0;
  header.U32(version);
  header.U32(body_size);
  if (version != kVersion) {
    error = "unsupported version " + std::to_string(version);
    return std::nullopt;
  }
  const size_t actual_body_size = file.size() - kHeaderSize - kTrailerSize;
  if (body_size != actual_body_size) {
    error = "length mismatch (header says " + std::to_string(body_size) + " bytes, file has " +
            std::to_string(actual_body_size) + ")";
    return std::nullopt;
  }
  Reader trailer(file.substr(file.size() - kTrailerSize));
  uint32_t stored_crc = 0;
  trailer.U32(stored_crc);
  if (stored_crc != Crc32(file.substr(0, file.size() - kTrailerSize))) {
    error = "checksum mismatch";
    return std::nullopt;
  }
  return DecodeBody(file.substr(kHeaderSize, body_size), error);
}

// --- Files ---

fs::path WithSuffix(const fs::path& file, std::string_view suffix) {
  fs::path out = file;
  out += std::string(suffix);
  return out;
}

std::string ErrnoText(int err) { return std::error_code(err, std::generic_category()).message(); }

// Reads the whole file. False with `missing` set if it does not exist.
bool ReadFile(const fs::path& file, std::string& bytes, bool& missing, std::string& error) {
  missing = false;
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    missing = errno == ENOENT;
    error = "cannot open: " + ErrnoText(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) == 0 &&
      static_cast<uint64_t>(st.st_size) > uint64_t{UINT32_MAX} + kHeaderSize + kTrailerSize) {
    ::close(fd);
    error = "too large to be a registry file";
    return false;
  }
  char buffer[65536];
  while (true) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      error = "cannot read: " + ErrnoText(errno);
      ::close(fd);
      return false;
    }
    bytes.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// The first free name among "<file>.corrupt", "<file>.corrupt.1", ..., so that
// an earlier unusable file is not overwritten by a later one.
fs::path AsideName(const fs::path& file) {
  fs::path first = WithSuffix(file, ".corrupt");
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(first, ec))) return first;
  for (int n = 1; n < 1000; ++n) {
    fs::path candidate = WithSuffix(first, "." + std::to_string(n));
    if (!fs::exists(fs::symlink_status(candidate, ec))) return candidate;
  }
  return first;
}

void ReportWriteError(const fs::path& file, const char* step, int err) {
  fprintf(stderr, "hk::Registry: %s: cannot %s: %s\n", file.c_str(), step, ErrnoText(err).c_str());
}

}  // namespace

Registry::Registry(std::filesystem::path file) : file_(std::move(file)), root_(new Key{}) {
  if (file_.empty()) return;
  try {
    Load();
  } catch (const std::exception& e) {
    // Only resource exhaustion gets here; the store still starts usable.
    *root_ = Key{};
    loaded_corrupt_ = true;
    load_error_ = std::string("cannot load: ") + e.what();
    fprintf(stderr, "hk::Registry: %s: %s; starting with an empty registry\n", file_.c_str(),
            load_error_.c_str());
  }
}

Registry::~Registry() = default;

void Registry::Load() {
  // A temporary file is only ever the new content of a write that did not get
  // as far as the rename, so the target file is still the last complete state.
  std::error_code ec;
  fs::remove(WithSuffix(file_, ".tmp"), ec);

  std::string bytes;
  bool missing = false;
  std::string error;
  if (ReadFile(file_, bytes, missing, error)) {
    if (std::optional<Key> root = Decode(bytes, error)) {
      *root_ = std::move(*root);
      return;
    }
  } else if (missing) {
    return;
  }

  // Keep the unusable file so nothing is lost, and start empty: the first
  // write would otherwise replace it.
  loaded_corrupt_ = true;
  load_error_ = error;
  const fs::path aside = AsideName(file_);
  fs::rename(file_, aside, ec);
  std::string where;
  if (ec) {
    load_error_ += "; could not move it to " + aside.string() + ": " + ec.message();
    where = "not kept";
  } else {
    where = "kept as " + aside.string();
  }
  fprintf(stderr, "hk::Registry: %s: unusable (%s); %s; starting with an empty registry\n",
          file_.c_str(), error.c_str(), where.c_str());
}

bool Registry::PersistLocked(const Key& root) {
  const std::optional<std::string> bytes = Encode(root);
  if (!bytes) {
    ReportWriteError(file_, "encode the registry", EFBIG);
    return false;
  }
  fs::path dir = file_.parent_path();
  if (dir.empty()) dir = ".";
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) {
    ReportWriteError(file_, "create its directory", ec.value());
    return false;
  }

  const fs::path temp = WithSuffix(file_, ".tmp");
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    ReportWriteError(temp, "create", errno);
    return false;
  }
  if (crash_after_bytes_) {
    // The simulated death: part of the temporary file is written, nothing else.
    const size_t n = std::min(*crash_after_bytes_, bytes->size());
    crash_after_bytes_.reset();
    WriteAll(fd, bytes->data(), n);
    ::close(fd);
    return false;
  }
  if (!WriteAll(fd, bytes->data(), bytes->size()) || ::fsync(fd) != 0) {
    const int err = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    ReportWriteError(temp, "write", err);
    return false;
  }
  if (::close(fd) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    ReportWriteError(temp, "close", err);
    return false;
  }
  if (::rename(temp.c_str(), file_.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    ReportWriteError(file_, "replace", err);
    return false;
  }
  // Make the rename itself durable. The rename has already replaced the file,
  // so a failure here cannot be undone and is not reported as a failed write.
  const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    ::fsync(dir_fd);
    ::close(dir_fd);
  }
  return true;
}

template <typename Change>
bool Registry::MutateLocked(Change&& change) {
  // Kept in memory: nothing can fail after the change's own checks, so it
  // applies to the store itself, without the copy a write needs.
  if (file_.empty()) return change(*root_);
  Key next = *root_;
  if (!change(next) || !PersistLocked(next)) return false;
  *root_ = std::move(next);
  return true;
}

bool Registry::CreateKey(std::string_view path) {
  const auto components = SplitPath(path);
  if (!components) return false;
  std::lock_guard lock(mutex_);
  if (Descend(*root_, *components) != nullptr) return true;
  return MutateLocked([&](Key& root) {
    Key* key = &root;
    for (std::string_view component : *components) {
      Key* subkey = FindSubkey(*key, component);
      if (subkey == nullptr) {
        key->subkeys.push_back(Key{std::string(component), {}, {}});
        subkey = &key->subkeys.back();
      }
      key = subkey;
    }
    return true;
  });
}

bool Registry::KeyExists(std::string_view path) const {
  std::lock_guard lock(mutex_);
  return Lookup(*root_, path) != nullptr;
}

bool Registry::DeleteKey(std::string_view path) {
  const auto components = SplitPath(path);
  if (!components) return false;
  std::lock_guard lock(mutex_);
  const Key* key = Descend(*root_, *components);
  if (key == nullptr || !key->subkeys.empty()) return false;
  return RemoveKeyLocked(*components);
}

bool Registry::DeleteTree(std::string_view path) {
  const auto components = SplitPath(path);
  if (!components) return false;
  std::lock_guard lock(mutex_);
  return RemoveKeyLocked(*components);
}

bool Registry::RemoveKeyLocked(const std::vector<std::string_view>& components) {
  if (components.empty()) return false;  // the root stays
  const std::vector<std::string_view> parent_path(components.begin(), components.end() - 1);
  const Key* parent = Descend(*root_, parent_path);
  if (parent == nullptr || FindSubkey(*parent, components.back()) == nullptr) return false;
  return MutateLocked([&](Key& root) {
    Key* target_parent = Descend(root, parent_path);
    const Key* target = FindSubkey(*target_parent, components.back());
    target_parent->subkeys.erase(target_parent->subkeys.begin() +
                                 (target - target_parent->subkeys.data()));
    return true;
  });
}

bool Registry::SetValue(std::string_view path, std::string_view name, uint32_t type,
                        std::span<const uint8_t> data) {
  const auto components = SplitPath(path);
  if (!components) return false;
  std::lock_guard lock(mutex_);
  if (Descend(*root_, *components) == nullptr) return false;
  return MutateLocked([&](Key& root) {
    Key* key = Descend(root, *components);
    Value value{type, std::vector<uint8_t>(data.begin(), data.end())};
    const auto it = FindValue(*key, name);
    if (it != key->values.end()) {
      it->value = std::move(value);
    } else {
      key->values.push_back({std::string(name), std::move(value)});
    }
    return true;
  });
}

bool Registry::SetDword(std::string_view path, std::string_view name, uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  return SetValue(path, name, kRegDword, bytes);
}

std::optional<Registry::Value> Registry::GetValue(std::string_view path,
                                                  std::string_view name) const {
  std::lock_guard lock(mutex_);
  const Key* key = Lookup(*root_, path);
  if (key == nullptr) return std::nullopt;
  const auto it = FindValue(*key, name);
  if (it == key->values.end()) return std::nullopt;
  return it->value;
}

bool Registry::DeleteValue(std::string_view path, std::string_view name) {
  const auto components = SplitPath(path);
  if (!components) return false;
  std::lock_guard lock(mutex_);
  const Key* key = Descend(*root_, *components);
  if (key == nullptr || FindValue(*key, name) == key->values.end()) return false;
  return MutateLocked([&](Key& root) {
    Key* target = Descend(root, *components);
    target->values.erase(FindValue(*target, name));
    return true;
  });
}

std::vector<std::string> Registry::SubKeys(std::string_view path) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> names;
  if (const Key* key = Lookup(*root_, path)) {
    for (const Key& subkey : key->subkeys) names.push_back(subkey.name);
  }
  return names;
}

std::vector<std::string> Registry::ValueNames(std::string_view path) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> names;
  if (const Key* key = Lookup(*root_, path)) {
    for (const auto& value : key->values) names.push_back(value.name);
  }
  return names;
}

bool Registry::Flush() {
  std::lock_guard lock(mutex_);
  return file_.empty() || PersistLocked(*root_);
}

bool Registry::LoadedCorrupt() const {
  std::lock_guard lock(mutex_);
  return loaded_corrupt_;
}

std::string Registry::LoadError() const {
  std::lock_guard lock(mutex_);
  return load_error_;
}

void Registry::SetCrashAfterBytesForTest(size_t n) {
  std::lock_guard lock(mutex_);
  crash_after_bytes_ = n;
}

}  // namespace hk
