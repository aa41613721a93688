// The Help buttons: the topic of the page in Ostrel.chm, shown by the
// platform's HTML help control, which is looked for once per process.
#include <cstdio>

#include "applet.h"

namespace menvok {

namespace {

// The HTML help control's class registration names the file that serves it.
constexpr char kHelpControlKey[] = "CLSID\\{ADB880A6-D8FF-11CF-9377-00AA003B7A11}\\InprocServer32";
// Its display entry (HtmlHelpA) is exported by ordinal only.
constexpr WORD kHtmlHelpOrdinal = 14;

typedef HWND(WINAPI* HtmlHelpEntry)(HWND owner, LPCSTR path, UINT command, DWORD_PTR data);

struct HelpViewer {
  HMODULE control;
  HtmlHelpEntry entry;
  bool loadingFailed;
};
HelpViewer viewer = {nullptr, nullptr, false};

HMODULE LoadRegisteredHelpControl() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, kHelpControlKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return nullptr;
  char path[MAX_PATH + 1] = "";
  DWORD size = MAX_PATH;
  const LONG read =
      RegQueryValueExA(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(path), &size);
  RegCloseKey(key);
  if (read != ERROR_SUCCESS) return nullptr;
  path[MAX_PATH] = '\0';  // a value of exactly 260 bytes carries no terminator
  return LoadLibraryA(path);
}

}  // namespace

// Once loading has failed, no later call tries again; the control is never
// unloaded.
HWND LoadHtmlHelp(HWND owner, const char* path, UINT command, DWORD_PTR data) {
  if (viewer.loadingFailed) return nullptr;
  if (!viewer.control) {
    viewer.control = LoadRegisteredHelpControl();
    if (!viewer.control) viewer.control = LoadLibraryA("hhctrl.ocx");
    if (!viewer.control) {
      viewer.loadingFailed = true;
      return nullptr;
    }
  }
  if (!viewer.entry) {
    viewer.entry = reinterpret_cast<HtmlHelpEntry>(reinterpret_cast<void*>(
        GetProcAddress(viewer.control, MAKEINTRESOURCEA(kHtmlHelpOrdinal))));
    if (!viewer.entry) {
      viewer.loadingFailed = true;
      return nullptr;
    }
  }
  return viewer.entry(owner, path, command, data);
}

// The file is named without a directory: the viewer looks for it in the
// Windows Help directory, where setup puts it.
bool ShowHelpTopic(HWND owner, const char* topic) {
  char path[MAX_PATH];
  std::snprintf(path, sizeof(path), "%s%s%s", "Ostrel.chm", topic ? "::/" : "", topic ? topic : "");
  if (LoadHtmlHelp(owner, path, 0, 0)) return true;
  char text[256] = "Help file was not found";
  LoadAppletString(IDS_NO_HELP, text, sizeof(text));
  MessageBoxA(owner, text, "QIRO USB Tower", MB_OK);
  return false;
}

}  // namespace menvok
