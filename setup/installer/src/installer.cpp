// installer.exe: asks for consent, installs the tower driver from the
// program's medium through the setup library, shows the result and scans the
// device tree again. It has no window of its own, only message boxes, and
// its exit code is the setup's result.
#include <stdio.h>
#include <string.h>

#include "Quenta.h"
#include "win32/windows.h"

namespace {

constexpr char kCaption[] = "QIRO USB Tower Setup";
constexpr char kConsentFallback[] = "Press OK to install or update the QIRO USB Tower driver files";
constexpr char kMessageNotFound[] = "Message not found in resource file";
constexpr UINT kConsentId = 2;
constexpr UINT kCaptionId = 1;
// The exit code when the user cancels at the first prompt.
constexpr int kCancelled = -12;

// The text of a string of the program's table over `buffer`; a string that
// cannot be loaded leaves what the buffer held.
void LoadOver(UINT id, char* buffer, int size) {
  char loaded[256];
  if (LoadStringA(GetModuleHandleA(nullptr), id, loaded, sizeof(loaded)) > 0)
    lstrcpynA(buffer, loaded, size);
}

int ShowSetupMessage(HWND owner, UINT id, UINT style, const char* fallback) {
  char caption[256];
  char text[256] = "";
  lstrcpynA(caption, kCaption, sizeof(caption));
  if (fallback != nullptr) lstrcpynA(text, fallback, sizeof(text));
  LoadOver(id, text, sizeof(text));
  LoadOver(kCaptionId, caption, sizeof(caption));
  return MessageBoxA(owner, text, caption, style);
}

// Message ids follow the codes from -13 to 1 (100 - code); every other code
// is an unknown error.
UINT SetupResultToMessageId(long code) {
  return code >= -13 && code <= 1 ? static_cast<UINT>(100 - code) : 110u;
}

// The drive ("C:") and directory (with its trailing backslash) of a path,
// each into a buffer of MAX_PATH characters; a part that does not fit is
// left empty.
void SplitProgramPath(const char* path, char* drive, char* directory) {
  drive[0] = '\0';
  directory[0] = '\0';
  const char* rest = path;
  if (path[0] != '\0' && path[1] == ':') {
    drive[0] = path[0];
    drive[1] = ':';
    drive[2] = '\0';
    rest = path + 2;
  }
  const char* last = nullptr;
  for (const char* p = rest; *p != '\0'; ++p)
    if (*p == '\\' || *p == '/') last = p;
  if (last == nullptr) return;
  const size_t length = static_cast<size_t>(last - rest) + 1;
  if (length >= MAX_PATH) return;
  memcpy(directory, rest, length);
  directory[length] = '\0';
}

int InstallerMain(const char* programPath) {
  if (ShowSetupMessage(nullptr, kConsentId, MB_OKCANCEL, kConsentFallback) == IDCANCEL)
    return kCancelled;
  char drive[MAX_PATH];
  char directory[MAX_PATH];
  SplitProgramPath(programPath, drive, directory);
  // The INF at the root of the program's drive (a CD's root) wins over the
  // program's own directory.
  char rootInf[MAX_PATH + 16];
  snprintf(rootInf, sizeof(rootInf), "%s\\ostrel.inf", drive);
  char source[2 * MAX_PATH];
  if (GetFileAttributesA(rootInf) != INVALID_FILE_ATTRIBUTES)
    snprintf(source, sizeof(source), "%s\\", drive);
  else
    snprintf(source, sizeof(source), "%s%s", drive, directory);
  const LONG code = QIROTowerSetup(0, source, 0);
  ShowSetupMessage(nullptr, SetupResultToMessageId(code), MB_OK, kMessageNotFound);
  // Whatever the result: a connected tower is looked at again.
  QIROTowerReenumerateUSB();
  return static_cast<int>(code);
}

}  // namespace

int main(int argc, char** argv) {
  return InstallerMain(argc > 0 && argv[0] != nullptr ? argv[0] : "");
}
