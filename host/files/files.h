// The host machine's files: a C: drive folder in the state directory with the
// Windows directory on it, Windows path names (drive letter, backslashes,
// letter case ignored, 8.3 short names), files a running program holds, and
// the renames and deletions that wait for the machine's next restart.
#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "registry/registry.h"

namespace hk {

class Files {
 public:
  // The drive lives in stateDir/C; `windowsDirName` is the Windows
  // directory's name on it ("WINDOWS", "WINNT").
  Files(const std::filesystem::path& stateDir, const std::string& windowsDirName);
  Files(const Files&) = delete;
  Files& operator=(const Files&) = delete;

  // "C:\WINDOWS" as the platform names it (no trailing backslash).
  std::string WindowsDirectory() const { return "C:\\" + windowsDirName_; }
  const std::filesystem::path& DriveRoot() const { return drive_; }

  // The host file a Windows path names: each part is matched without regard
  // to case and by its short name; a part that does not exist keeps its
  // spelling. Null for a path that is not on the C: drive.
  std::optional<std::filesystem::path> HostPath(const std::string& windowsPath) const;
  // The Windows path of a host file on the drive, or empty.
  std::string WindowsPath(const std::filesystem::path& hostPath) const;
  // The short (8.3) form of an existing path; empty when it does not exist.
  std::string ShortPath(const std::string& windowsPath) const;

  // A running program holds the file (a loaded module): it cannot be
  // deleted or replaced while held.
  void Hold(const std::filesystem::path& hostPath);
  void Release(const std::filesystem::path& hostPath);
  bool Held(const std::filesystem::path& hostPath) const;

  // Fault knob for tests: creating a file of this name (any folder, letter
  // case ignored) fails as a full or write-protected disk would.
  void RefuseCreating(const std::string& fileName);
  bool CreationRefused(const std::filesystem::path& hostPath) const;

  // Carried out at the next restart, in the order given: an empty
  // destination deletes the source. Kept in the registry (the session
  // manager's pending renames), so the list survives until the restart.
  void ScheduleAtRestart(Registry& registry, const std::string& source,
                         const std::string& destination);
  // At start: the pending renames of the NT family, then on the legacy family
  // the [rename] section of Wininit.ini (which is kept as Wininit.bak).
  void CarryOutAtStart(Registry& registry, bool legacyFamily);

 private:
  std::filesystem::path Canonical(const std::filesystem::path& path) const;
  void CarryOut(const std::string& source, const std::string& destination);

  std::filesystem::path drive_;
  std::string windowsDirName_;
  mutable std::mutex mutex_;
  std::map<std::filesystem::path, int> held_;
  std::vector<std::string> refused_;  // upper-cased file names
};

// The 8.3 name of one directory entry among its siblings: a name that fits
// is upper-cased, any other gets the first six valid characters, "~N" and up
// to three extension characters, N counting up among names that clash.
std::string ShortNameOf(const std::string& longName, const std::vector<std::string>& siblings);

inline constexpr char kPendingRenamesKey[] =
    "Machine\\System\\CurrentControlSet\\Control\\Session Manager";
inline constexpr char kPendingRenamesValue[] = "PendingFileRenameOperations";

}  // namespace hk
