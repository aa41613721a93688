// Files on the host machine's C: drive: handles on files beside handles on
// devices, attributes, deletion, renames (now or at the next restart), the
// Windows directory and short names; and the version the machine reports.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>

#include "disk_files.h"
#include "faults/faults.h"
#include "handles.h"
#include "kernel/machine.h"

namespace win32host {

namespace {

namespace fs = std::filesystem;

class DiskFile final : public Object {
 public:
  DiskFile() : Object(ObjectKind::kDiskFile) {}
  ~DiskFile() override {
    if (fd >= 0) ::close(fd);
  }
  int fd = -1;
  std::string host;
  DWORD access = 0;
  DWORD share = 0;
};

// Files open now, for the sharing rules.
struct OpenFiles {
  std::mutex mutex;
  std::multimap<std::string, DiskFile*> byPath;
};

OpenFiles& Opened() {
  static OpenFiles* files = new OpenFiles();
  return *files;
}

std::string Key(const std::string& host) {
  std::error_code ec;
  const fs::path canonical = fs::weakly_canonical(host, ec);
  return ec ? host : canonical.string();
}

// Whether an open with this access and sharing fits the handles already open.
bool SharingAllows(const std::string& key, DWORD access, DWORD share) {
  auto range = Opened().byPath.equal_range(key);
  for (auto it = range.first; it != range.second; ++it) {
    const DiskFile& other = *it->second;
    if ((access & GENERIC_READ) != 0 && (other.share & FILE_SHARE_READ) == 0) return false;
    if ((access & GENERIC_WRITE) != 0 && (other.share & FILE_SHARE_WRITE) == 0) return false;
    if ((other.access & GENERIC_READ) != 0 && (share & FILE_SHARE_READ) == 0) return false;
    if ((other.access & GENERIC_WRITE) != 0 && (share & FILE_SHARE_WRITE) == 0) return false;
  }
  return true;
}

// Deleting or renaming a file open without delete sharing is refused.
bool OpenWithoutDeleteSharing(const std::string& key) {
  std::lock_guard<std::mutex> lock(Opened().mutex);
  auto range = Opened().byPath.equal_range(key);
  for (auto it = range.first; it != range.second; ++it)
    if ((it->second->share & FILE_SHARE_DELETE) == 0) return true;
  return false;
}

hk::Files* MachineFiles() {
  hk::Machine* machine = CurrentMachine();
  return machine == nullptr ? nullptr : &machine->files();
}

bool ReadOnly(const fs::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IWUSR) == 0;
}

// The error for a name that does not exist: its folder missing or only it.
DWORD MissingError(const fs::path& host) {
  std::error_code ec;
  return fs::is_directory(host.parent_path(), ec) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Why a file cannot go away now, or 0.
DWORD RemovalBlocked(const fs::path& host) {
  hk::Files* files = MachineFiles();
  if (files != nullptr && files->Held(host)) return ERROR_ACCESS_DENIED;
  if (ReadOnly(host)) return ERROR_ACCESS_DENIED;
  if (OpenWithoutDeleteSharing(Key(host))) return ERROR_SHARING_VIOLATION;
  return 0;
}

}  // namespace

bool DriveToHost(const std::string& windowsPath, std::string* host) {
  if (windowsPath.size() < 2 || windowsPath[1] != ':' ||
      !std::isalpha(static_cast<unsigned char>(windowsPath[0])))
    return false;
  hk::Files* files = MachineFiles();
  if (files == nullptr) return false;
  const auto path = files->HostPath(windowsPath);
  if (!path) return false;
  *host = path->string();
  return true;
}

std::string WindowsPathOf(const std::string& host) {
  hk::Files* files = MachineFiles();
  return files == nullptr ? std::string() : files->WindowsPath(host);
}

void HoldDriveFile(const std::string& host) {
  if (hk::Files* files = MachineFiles()) files->Hold(host);
}

void ReleaseDriveFile(const std::string& host) {
  if (hk::Files* files = MachineFiles()) files->Release(host);
}

HANDLE OpenDiskFile(LPCSTR name, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  (void)flags;  // sequential-scan and the like are hints
  std::string host;
  if (!DriveToHost(name, &host)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::error_code ec;
  const bool exists = fs::exists(host, ec);
  if (exists && fs::is_directory(host, ec)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (!exists && (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING)) {
    SetLastError(MissingError(host));
    return INVALID_HANDLE_VALUE;
  }
  if (exists && disposition == CREATE_NEW) {
    SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
  }
  if (!exists && !fs::is_directory(fs::path(host).parent_path(), ec)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const bool truncates = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
  if (exists && (((access & GENERIC_WRITE) != 0 || truncates) && ReadOnly(host))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  hk::Files* files = MachineFiles();
  if (!exists && files != nullptr && files->CreationRefused(host)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (exists && files != nullptr && files->Held(host) &&
      ((access & GENERIC_WRITE) != 0 || truncates)) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  auto file = std::make_shared<DiskFile>();
  file->host = Key(host);
  file->access = access;
  file->share = share;
  std::lock_guard<std::mutex> lock(Opened().mutex);
  if (!SharingAllows(file->host, access, share)) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  int mode =
      (access & GENERIC_WRITE) != 0 ? ((access & GENERIC_READ) != 0 ? O_RDWR : O_WRONLY) : O_RDONLY;
  if (!exists) mode |= O_CREAT;
  if (truncates) mode |= O_TRUNC;
  // A truncation needs a writable descriptor even when the caller only reads.
  if (truncates && (mode & O_ACCMODE) == O_RDONLY) mode = (mode & ~O_ACCMODE) | O_RDWR;
  file->fd = ::open(host.c_str(), mode | O_CLOEXEC, 0644);
  if (file->fd < 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  Opened().byPath.emplace(file->host, file.get());
  // Opening an existing file with OPEN_ALWAYS or CREATE_ALWAYS says so.
  SetLastError(exists && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS)
                   ? ERROR_ALREADY_EXISTS
                   : ERROR_SUCCESS);
  return InsertHandle(std::move(file));
}

bool IsDiskFile(HANDLE handle) {
  const std::shared_ptr<Object> object = LookupHandle(handle);
  return object && object->kind() == ObjectKind::kDiskFile;
}

BOOL DiskTransfer(HANDLE handle, void* buffer, DWORD length, LPDWORD transferred, bool write) {
  auto file = Lookup<DiskFile>(handle);
  if (!file) return Fail(ERROR_INVALID_HANDLE);
  if ((file->access & (write ? GENERIC_WRITE : GENERIC_READ)) == 0)
    return Fail(ERROR_ACCESS_DENIED);
  if (length != 0 && buffer == nullptr) return Fail(ERROR_INVALID_USER_BUFFER);
  const ssize_t moved =
      write ? ::write(file->fd, buffer, length) : ::read(file->fd, buffer, length);
  if (moved < 0) return Fail(ERROR_GEN_FAILURE);
  if (transferred != nullptr) *transferred = static_cast<DWORD>(moved);
  return TRUE;
}

BOOL CloseDiskFile(HANDLE handle) {
  auto file = Lookup<DiskFile>(handle);
  if (!file || RemoveHandle(handle) != file) return Fail(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> lock(Opened().mutex);
  auto range = Opened().byPath.equal_range(file->host);
  for (auto it = range.first; it != range.second; ++it)
    if (it->second == file.get()) {
      Opened().byPath.erase(it);
      break;
    }
  return TRUE;
}

}  // namespace win32host

using namespace win32host;

extern "C" {

DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  auto file = Lookup<DiskFile>(hFile);
  if (!file) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_FILE_SIZE;
  }
  struct stat st {};
  if (::fstat(file->fd, &st) != 0) {
    SetLastError(ERROR_GEN_FAILURE);
    return INVALID_FILE_SIZE;
  }
  const auto size = static_cast<uint64_t>(st.st_size);
  if (lpFileSizeHigh != nullptr) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(size);
}

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
  std::string host;
  if (lpFileName == nullptr || !DriveToHost(lpFileName, &host)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  std::error_code ec;
  if (!fs::exists(host, ec)) {
    SetLastError(MissingError(host));
    return INVALID_FILE_ATTRIBUTES;
  }
  DWORD attributes = fs::is_directory(host, ec) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (ReadOnly(host)) attributes |= FILE_ATTRIBUTE_READONLY;
  SetLastError(ERROR_SUCCESS);
  return attributes;
}

BOOL WINAPI SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes) {
  std::string host;
  if (lpFileName == nullptr || !DriveToHost(lpFileName, &host)) return Fail(ERROR_PATH_NOT_FOUND);
  struct stat st {};
  if (::stat(host.c_str(), &st) != 0) return Fail(MissingError(host));
  // The read-only bit is the one the drive keeps; the others are accepted.
  const mode_t mode = (dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0
                          ? st.st_mode & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH)
                          : st.st_mode | S_IWUSR;
  if (::chmod(host.c_str(), mode & 07777) != 0) return Fail(ERROR_ACCESS_DENIED);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
  std::string host;
  if (lpFileName == nullptr || !DriveToHost(lpFileName, &host)) return Fail(ERROR_PATH_NOT_FOUND);
  if (auto code = Injected(hk::fault::kDeleteFileA, lpFileName)) return Fail(*code);
  std::error_code ec;
  if (!fs::exists(host, ec)) return Fail(MissingError(host));
  if (fs::is_directory(host, ec)) return Fail(ERROR_ACCESS_DENIED);
  if (const DWORD blocked = RemovalBlocked(host)) return Fail(blocked);
  if (!fs::remove(host, ec)) return Fail(ERROR_ACCESS_DENIED);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
  hk::Machine* machine = CurrentMachine();
  if (machine == nullptr) return Fail(ERROR_PATH_NOT_FOUND);
  // The legacy family has no such call.
  if (machine->identity().Legacy()) return Fail(ERROR_CALL_NOT_IMPLEMENTED);
  if (auto code = Injected(hk::fault::kMoveFileExA,
                           lpExistingFileName == nullptr ? "" : lpExistingFileName))
    return Fail(*code);
  std::string from;
  if (lpExistingFileName == nullptr || !DriveToHost(lpExistingFileName, &from))
    return Fail(ERROR_PATH_NOT_FOUND);
  std::string to;
  if (lpNewFileName != nullptr && !DriveToHost(lpNewFileName, &to))
    return Fail(ERROR_PATH_NOT_FOUND);
  std::error_code ec;
  if ((dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) != 0) {
    // Recorded now, carried out at the next start: the file may be in use.
    if (!fs::exists(from, ec)) return Fail(MissingError(from));
    machine->files().ScheduleAtRestart(
        machine->registry(), WindowsPathOf(from),
        lpNewFileName == nullptr ? std::string() : WindowsPathOf(to));
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  if (lpNewFileName == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (!fs::exists(from, ec)) return Fail(MissingError(from));
  if (const DWORD blocked = RemovalBlocked(from); blocked != 0 && blocked != ERROR_ACCESS_DENIED)
    return Fail(blocked);
  if (machine->files().Held(from)) return Fail(ERROR_ACCESS_DENIED);
  if (fs::exists(to, ec)) {
    if ((dwFlags & MOVEFILE_REPLACE_EXISTING) == 0) return Fail(ERROR_ALREADY_EXISTS);
    if (const DWORD blocked = RemovalBlocked(to)) return Fail(blocked);
  }
  fs::rename(from, to, ec);
  if (ec) return Fail(ERROR_ACCESS_DENIED);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName) {
  std::string from;
  std::string to;
  if (lpExistingFileName == nullptr || lpNewFileName == nullptr ||
      !DriveToHost(lpExistingFileName, &from) || !DriveToHost(lpNewFileName, &to))
    return Fail(ERROR_PATH_NOT_FOUND);
  if (auto code = Injected(hk::fault::kMoveFileA, lpExistingFileName)) return Fail(*code);
  std::error_code ec;
  if (!fs::exists(from, ec)) return Fail(MissingError(from));
  if (fs::exists(to, ec)) return Fail(ERROR_ALREADY_EXISTS);
  if (hk::Files* files = MachineFiles(); files != nullptr && files->Held(from))
    return Fail(ERROR_ACCESS_DENIED);
  if (OpenWithoutDeleteSharing(Key(from))) return Fail(ERROR_SHARING_VIOLATION);
  fs::rename(from, to, ec);
  if (ec) return Fail(ERROR_ACCESS_DENIED);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
  hk::Files* files = MachineFiles();
  if (files == nullptr) return 0;
  if (auto code = Injected(hk::fault::kGetWindowsDirectoryA)) {
    SetLastError(*code);
    return 0;
  }
  const std::string dir = files->WindowsDirectory();
  // Too small a buffer: the size needed, terminator included, and no copy.
  if (lpBuffer == nullptr || uSize <= dir.size()) return static_cast<UINT>(dir.size() + 1);
  std::memcpy(lpBuffer, dir.c_str(), dir.size() + 1);
  return static_cast<UINT>(dir.size());
}

DWORD WINAPI GetShortPathNameA(LPCSTR lpszLongPath, LPSTR lpszShortPath, DWORD cchBuffer) {
  if (lpszLongPath == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (auto code = Injected(hk::fault::kGetShortPathNameA, lpszLongPath)) {
    SetLastError(*code);
    return 0;
  }
  hk::Files* files = MachineFiles();
  const std::string shortPath = files == nullptr ? std::string() : files->ShortPath(lpszLongPath);
  if (shortPath.empty()) {
    std::string host;
    SetLastError(DriveToHost(lpszLongPath, &host) ? MissingError(host) : ERROR_PATH_NOT_FOUND);
    return 0;
  }
  if (lpszShortPath == nullptr || cchBuffer <= shortPath.size())
    return static_cast<DWORD>(shortPath.size() + 1);
  std::memcpy(lpszShortPath, shortPath.c_str(), shortPath.size() + 1);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(shortPath.size());
}

DWORD WINAPI GetVersion(void) {
  hk::Machine* machine = CurrentMachine();
  return machine == nullptr ? hk::IdentityOf(hk::WindowsVersion::XP).VersionWord()
                            : machine->identity().VersionWord();
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
  if (lpVersionInformation == nullptr ||
      lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA))
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (auto code = Injected(hk::fault::kGetVersionExA)) return Fail(*code);
  hk::Machine* machine = CurrentMachine();
  const hk::PlatformIdentity identity =
      machine == nullptr ? hk::IdentityOf(hk::WindowsVersion::XP) : machine->identity();
  lpVersionInformation->dwMajorVersion = identity.major;
  lpVersionInformation->dwMinorVersion = identity.minor;
  // The legacy family repeats major and minor above the build number.
  lpVersionInformation->dwBuildNumber =
      identity.Legacy() ? (identity.major << 24 | identity.minor << 16 | identity.build)
                        : identity.build;
  lpVersionInformation->dwPlatformId = identity.platformId;
  std::memset(lpVersionInformation->szCSDVersion, 0, sizeof(lpVersionInformation->szCSDVersion));
  std::strncpy(lpVersionInformation->szCSDVersion, identity.servicePack,
               sizeof(lpVersionInformation->szCSDVersion) - 1);
  return TRUE;
}

}  // extern "C"
