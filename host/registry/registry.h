// The host machine's registry: one store of keys and typed values that both the
// kernel's view and user mode's view of the registry are mapped onto, kept in a
// single file in the machine's state directory.
//
// Keys are addressed by canonical paths: components separated by single
// backslashes, e.g. "Machine\System\CurrentControlSet\Services\X\Parameters".
// One leading backslash is accepted and ignored; the empty path is the root key.
// Key and value names compare case-insensitively (ASCII only) and keep the
// spelling they were first created with. The empty value name is the key's
// default value.
//
// Every mutation is written to the file before the call returns. The file is
// replaced atomically (write "<file>.tmp", fsync, rename, fsync the directory),
// so a crash leaves either the old or the new content, never a mixture. A
// mutation whose write fails returns false and leaves the store unchanged.
//
// All public methods may be called from any thread. Only one Registry object
// may use a given file at a time.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace hk {

namespace detail {
struct RegistryKey;
}  // namespace detail

// Value types the system gives a meaning to. Any other number is stored as given.
inline constexpr uint32_t kRegNone = 0;
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegExpandSz = 2;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;
inline constexpr uint32_t kRegMultiSz = 7;

class Registry {
 public:
  struct Value {
    uint32_t type = kRegNone;
    std::vector<uint8_t> data;

    friend bool operator==(const Value&, const Value&) = default;
  };

  // Loads `file` if it exists. A file that cannot be read or parsed is moved
  // aside to "<file>.corrupt" (or "<file>.corrupt.N" if that name is taken),
  // reported on stderr and through LoadedCorrupt()/LoadError(), and the store
  // starts empty. Never throws. An empty path makes a store kept in memory
  // only: it starts empty and its changes are never written anywhere.
  explicit Registry(std::filesystem::path file);
  ~Registry();

  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // Creates the key and any missing keys above it. True if the key exists
  // afterwards.
  bool CreateKey(std::string_view path);
  bool KeyExists(std::string_view path) const;
  // Deletes a key and its values. Fails if the key has subkeys, or is the root.
  bool DeleteKey(std::string_view path);
  // Deletes a key with everything below it. Fails for the root.
  bool DeleteTree(std::string_view path);

  // Creates or replaces a value. The key must exist.
  bool SetValue(std::string_view path, std::string_view name, uint32_t type,
                std::span<const uint8_t> data);
  // Stores `value` as a kRegDword (four bytes, little-endian).
  bool SetDword(std::string_view path, std::string_view name, uint32_t value);
  std::optional<Value> GetValue(std::string_view path, std::string_view name) const;
  bool DeleteValue(std::string_view path, std::string_view name);

  // Names of the subkeys / values of a key, in the order they were created
  // (replacing a value keeps its place). Empty if the key does not exist.
  std::vector<std::string> SubKeys(std::string_view path) const;
  std::vector<std::string> ValueNames(std::string_view path) const;

  // Writes the whole store to the file again. False if the write failed;
  // always true for a store kept in memory.
  bool Flush();

  // Whether the constructor found an unusable file, and why ("" if it did not).
  bool LoadedCorrupt() const;
  std::string LoadError() const;

  // Makes the next write of the file stop after `n` bytes of the temporary
  // file, as if the process died there: the temporary file stays behind, the
  // target file is not replaced, and the mutation reports failure.
  void SetCrashAfterBytesForTest(size_t n);

 private:
  using Key = detail::RegistryKey;

  // Applies `change` to a copy of the tree, writes the copy to the file and
  // only then makes it the store's content. `change` returns false if it does
  // not apply (missing key, ...); nothing is written then.
  template <typename Change>
  bool MutateLocked(Change&& change);
  // Removes the key at `components` with everything below it; never the root.
  bool RemoveKeyLocked(const std::vector<std::string_view>& components);
  bool PersistLocked(const Key& root);
  void Load();

  const std::filesystem::path file_;
  mutable std::mutex mutex_;
  std::unique_ptr<Key> root_;
  bool loaded_corrupt_ = false;
  std::string load_error_;
  std::optional<size_t> crash_after_bytes_;
};

}  // namespace hk
