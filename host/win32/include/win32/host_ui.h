// The person at the host machine's headless user interface (host only): what
// tests use to act on dialogs, property sheets and message boxes as a user
// would, and to see what the interface shows. Every action is refused (false)
// when a person could not take it: a control that is disabled, hidden, or
// not of the kind the action needs. After each action the posted messages
// are delivered, as the modal loop would.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "win32/windows.h"

#define WIN32_UI_API __attribute__((visibility("default")))

namespace win32ui {

// Called with the window of each modal dialog or property sheet once it is
// shown; acts there and returns. A window still open when the person returns
// is closed through its close box.
WIN32_UI_API void SetPerson(std::function<void(HWND modal)> person);

// Message boxes: each records what it showed and returns the next queued
// answer, or its default button when none is queued.
struct MessageBoxRecord {
  HWND owner;
  std::string text;
  std::string caption;
  UINT style;
  int answer;
};
WIN32_UI_API void QueueAnswer(int button);
WIN32_UI_API std::vector<MessageBoxRecord> MessageBoxes();

// The HTML help viewer. The help control (the host's hhctrl.ocx) shows each
// topic through ShowHelp, which records it and returns the viewer's window:
// one top-level window that later topics reuse while it exists, as the
// viewer's default window type does. `file` is the help file's path on the
// machine's drive, `topic` the topic in it (empty for the file's default).
struct HelpTopicRecord {
  HWND owner;
  std::string file;
  std::string topic;
};
WIN32_UI_API HWND ShowHelp(HWND owner, const std::string& file, const std::string& topic);
WIN32_UI_API std::vector<HelpTopicRecord> HelpTopics();

// Forgets every window, posted message, queued answer, record and the person.
WIN32_UI_API void Reset();

// Acting.
WIN32_UI_API bool Click(HWND dialog, int id);
WIN32_UI_API bool Type(HWND dialog, int id, const std::string& text);
WIN32_UI_API bool CloseBox(HWND window);
// Property sheets.
WIN32_UI_API bool SwitchPage(HWND sheet, int index);
WIN32_UI_API HWND Page(HWND sheet, int index);  // null until first shown
WIN32_UI_API int CurrentPage(HWND sheet);
WIN32_UI_API int PageCount(HWND sheet);
WIN32_UI_API std::string PageTitle(HWND sheet, int index);

// Looking.
WIN32_UI_API std::string Text(HWND dialog, int id);
WIN32_UI_API bool Checked(HWND dialog, int id);
WIN32_UI_API bool Enabled(HWND dialog, int id);
WIN32_UI_API bool Visible(HWND window);
WIN32_UI_API bool Exists(HWND window);
WIN32_UI_API HCURSOR Cursor();

// A window as its template made it (positions and sizes in dialog units).
struct WindowInfo {
  std::string cls;
  int id;
  DWORD style;
  DWORD exStyle;
  int x, y, cx, cy;
  std::string text;
  std::string font;  // dialogs only
  int pointSize;     // dialogs only
  HICON icon;        // icon statics
};
WIN32_UI_API WindowInfo Info(HWND window);
WIN32_UI_API std::vector<HWND> Children(HWND window);

// The module and resource name an icon handle was loaded from (name as
// "#<number>" or text); empty for the system's own icons.
WIN32_UI_API std::string IconSource(HICON icon, HINSTANCE* module = nullptr);

}  // namespace win32ui
