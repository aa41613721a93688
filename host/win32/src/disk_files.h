// Files on the host machine's C: drive, for the other parts of the subset:
// the handle calls route file handles here, the loader maps modules from the
// drive and holds their files while loaded.
#pragma once

#include <string>

#include "win32/windows.h"

namespace win32host {

// The host file a drive path ("C:\...") names on the running machine; false
// for another kind of path or without a machine.
bool DriveToHost(const std::string& windowsPath, std::string* host);
// The drive path of a host file on the machine's drive, or empty.
std::string WindowsPathOf(const std::string& host);
void HoldDriveFile(const std::string& host);
void ReleaseDriveFile(const std::string& host);

// CreateFileA for a path that is not a device's.
HANDLE OpenDiskFile(LPCSTR name, DWORD access, DWORD share, DWORD disposition, DWORD flags);
bool IsDiskFile(HANDLE handle);
BOOL DiskTransfer(HANDLE handle, void* buffer, DWORD length, LPDWORD transferred, bool write);
BOOL CloseDiskFile(HANDLE handle);

}  // namespace win32host
