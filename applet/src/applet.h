// Menvok, the tower's Control Panel applet: what its parts share. Everything
// runs on the Control Panel's user-interface thread, without locks.
#pragma once

#include "Tavrix.h"
#include "resource.h"
#include "win32/windows.h"

namespace menvok {

// The applet's file name: it finds its own module, and with it every
// string, dialog and icon, by this name.
constexpr char kModuleName[] = "Ostrel.cpl";
// What every caller of ShowAppletMessage passes as its built-in text.
constexpr char kMessageNotFound[] = "Message not found in resource file";

// Module-wide state, filled at CPL_INIT and kept until the process ends.
struct AppletState {
  HMODULE module;
  char modulePath[MAX_PATH];
  char pageTitles[3][100];
  char caption[256];
};
AppletState& State();

void InitApplet();
void OpenTowerPropertySheet(LPARAM item, HWND owner);
int ShowAppletMessage(HWND owner, UINT id, UINT style, const char* fallback);
// Loads a string of the applet's table over `buffer`; a string that cannot
// be loaded leaves what the buffer held.
void LoadAppletString(UINT id, char* buffer, int size);

bool ShowHelpTopic(HWND owner, const char* topic);
HWND LoadHtmlHelp(HWND owner, const char* path, UINT command, DWORD_PTR data);

// The uninstall the General page's "&Uninstall..." button starts; true when
// the sheet is to close as Cancel does.
bool RunUninstall(HWND owner);

INT_PTR CALLBACK GeneralPageProc(HWND page, UINT msg, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AdvancedPageProc(HWND page, UINT msg, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK DiagnosticsPageProc(HWND page, UINT msg, WPARAM wParam, LPARAM lParam);

// The shared settings record a page was created with.
QIROTOWER_CONFIG* PageRecord(LPARAM initDialogParam);
// Answers a notification: the value Windows reads from DWLP_MSGRESULT.
INT_PTR Answer(HWND page, LONG_PTR result);

}  // namespace menvok

// The module's entry points: the loader's, and the Control Panel's.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
extern "C" LONG APIENTRY CPlApplet(HWND hwndCPl, UINT uMsg, LPARAM lParam1, LPARAM lParam2);
