#include "delete_file.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace menvok {

namespace {

constexpr char kRenameHeader[] = "[rename]";

// Where "[rename]" first occurs, compared without regard to case at every
// byte position; -1 when it does not.
long FindRenameHeader(const char* content, size_t length) {
  const size_t header = sizeof(kRenameHeader) - 1;
  for (size_t i = 0; i + header <= length; ++i)
    if (CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, content + i,
                       static_cast<int>(header), kRenameHeader,
                       static_cast<int>(header)) == CSTR_EQUAL)
      return static_cast<long>(i);
  return -1;
}

bool WriteAll(HANDLE file, const void* data, DWORD length) {
  DWORD written = 0;
  return WriteFile(file, data, length, &written, nullptr) && written == length;
}

// The deletion goes into Wininit.ini's [rename] list. The list in force
// before stays in force when a step fails: the new file is dropped and the
// old one put back.
bool ScheduleThroughWininit(const char* path, bool* scheduled) {
  char windows[MAX_PATH];
  const UINT length = GetWindowsDirectoryA(windows, sizeof(windows));
  if (length == 0 || length >= sizeof(windows)) return false;
  char backup[MAX_PATH];
  char list[MAX_PATH];
  if (!JoinPath(backup, windows, "Wininit.bak") || !JoinPath(list, windows, "Wininit.ini"))
    return false;
  if (GetFileAttributesA(backup) != INVALID_FILE_ATTRIBUTES && !DeleteFileA(backup)) return false;
  bool moved = false;
  if (GetFileAttributesA(list) != INVALID_FILE_ATTRIBUTES) {
    if (!MoveFileA(list, backup)) return false;
    moved = true;
  }
  HANDLE old = INVALID_HANDLE_VALUE;
  HANDLE fresh = INVALID_HANDLE_VALUE;
  char* content = nullptr;
  bool done = false;
  DWORD error = ERROR_SUCCESS;
  do {
    old = CreateFileA(backup, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (old == INVALID_HANDLE_VALUE) break;
    const DWORD size = GetFileSize(old, nullptr);
    if (size == INVALID_FILE_SIZE) break;
    content = static_cast<char*>(malloc(static_cast<size_t>(size) + 1));
    if (content == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      break;
    }
    DWORD read = 0;
    if (!ReadFile(old, content, size, &read, nullptr) || read != size) break;
    content[size] = '\0';
    const long found = FindRenameHeader(content, size);
    const size_t split = found < 0 ? 0 : static_cast<size_t>(found) + sizeof(kRenameHeader) - 1;
    fresh = CreateFileA(list, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN,
                        nullptr);
    if (fresh == INVALID_HANDLE_VALUE) break;
    const bool head = found < 0 ? WriteAll(fresh, kRenameHeader, sizeof(kRenameHeader) - 1)
                                : WriteAll(fresh, content, static_cast<DWORD>(split));
    if (!head || !WriteAll(fresh, "\r\n", 2)) break;
    char shortPath[MAX_PATH];
    const DWORD shortLength = GetShortPathNameA(path, shortPath, sizeof(shortPath));
    if (shortLength == 0 || shortLength >= sizeof(shortPath)) break;
    char entry[MAX_PATH + 16];
    const int entryLength = snprintf(entry, sizeof(entry), "NUL=%s\r\n", shortPath);
    if (entryLength < 0 || !WriteAll(fresh, entry, static_cast<DWORD>(entryLength))) break;
    if (!WriteAll(fresh, content + split, static_cast<DWORD>(size - split))) break;
    done = true;
  } while (false);
  if (!done) error = GetLastError();
  if (fresh != INVALID_HANDLE_VALUE) CloseHandle(fresh);
  if (old != INVALID_HANDLE_VALUE) CloseHandle(old);
  free(content);
  if (!done) {
    // Keep the earlier list in force: drop the new file, put the old back.
    if (GetFileAttributesA(list) != INVALID_FILE_ATTRIBUTES) DeleteFileA(list);
    if (moved) MoveFileA(backup, list);
    SetLastError(error);
    return false;
  }
  SetLastError(ERROR_SUCCESS_REBOOT_REQUIRED);
  *scheduled = true;
  return true;
}

}  // namespace

bool JoinPath(char* out, const char* directory, const char* name) {
  if (out == nullptr || directory == nullptr || name == nullptr) return false;
  const size_t length = strlen(directory);
  const bool separated = length > 0 && directory[length - 1] == '\\';
  const int written = snprintf(out, MAX_PATH, "%s%s%s", directory, separated ? "" : "\\", name);
  return written >= 0 && written < MAX_PATH;
}

bool DeleteFileOrScheduleOnReboot(const char* path, bool defer, bool* scheduled) {
  if (path == nullptr || *path == '\0') {
    SetLastError(ERROR_INVALID_DATA);
    return false;
  }
  SetLastError(ERROR_SUCCESS);
  *scheduled = false;
  if (!defer) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES)
      SetFileAttributesA(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    if (DeleteFileA(path)) return true;
  }
  if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  const DWORD version = GetVersion();
  if ((version & 0x80000000u) == 0 && (version & 0xFF) >= 4) {
    const BOOL moved = MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    *scheduled = true;
    return moved != FALSE;
  }
  return ScheduleThroughWininit(path, scheduled);
}

}  // namespace menvok
