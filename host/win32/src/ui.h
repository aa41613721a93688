// The headless user interface's windows, shared by the user32 and comctl32
// rooms of the Win32 subset. Everything here runs on the one thread that owns
// the interface (the Control Panel's, or a test's); nothing is drawn.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "win32/windows.h"

namespace win32host {

struct Window {
  HWND hwnd = nullptr;
  // "#32770" for a dialog, "Button", "Edit", "Static", or the sheet's own.
  std::string cls;
  DWORD style = 0;
  DWORD exStyle = 0;
  int id = 0;
  HWND parent = nullptr;
  std::vector<HWND> children;
  std::string text;
  bool enabled = true;
  bool visible = false;
  UINT check = BST_UNCHECKED;
  // Position and size in dialog units, as the template gives them.
  int x = 0, y = 0, cx = 0, cy = 0;
  HINSTANCE instance = nullptr;
  HICON icon = nullptr;

  // Dialogs: the procedure, the values it sets, the template's font.
  DLGPROC dlgProc = nullptr;
  LONG_PTR msgResult = 0;
  LONG_PTR user = 0;
  LONG_PTR userData = 0;
  std::string font;
  int pointSize = 0;
  bool ended = false;
  INT_PTR result = 0;

  // A window class of the subset's own (the property sheet): handles the
  // messages no dialog procedure does.
  std::function<LRESULT(UINT, WPARAM, LPARAM)> classProc;
};

std::shared_ptr<Window> LookupWindow(HWND hwnd);
HWND NewWindow(std::shared_ptr<Window> window);

// Builds a dialog and its controls from a template (DLGTEMPLATE or
// DLGTEMPLATEEX); sends no message. Null for a template it cannot read.
HWND CreateDialogFromTemplate(HINSTANCE instance, const void* tmpl, size_t size, HWND parent,
                              DLGPROC proc);
// The caption a dialog template gives its dialog (empty when it cannot be read).
std::string DialogTemplateCaption(const void* tmpl, size_t size);
// A resource of a module: its bytes and size, or null (last error set).
const void* FindModuleResource(HINSTANCE instance, LPCSTR type, LPCSTR name, size_t* size);
// The template a module holds under this name, or null (last error set).
const void* FindDialogTemplate(HINSTANCE instance, LPCSTR name, size_t* size);

// What a window does with a message its procedure left alone: the standard
// controls' own behaviour and the dialog manager's defaults.
LRESULT DefaultProcessing(Window& w, UINT msg, WPARAM wParam, LPARAM lParam);

// Sends WM_DESTROY to the window and then to its children, and forgets them.
void Destroy(HWND hwnd);
// Delivers the posted messages; stops early when `until` says so.
void PumpPosted(const std::function<bool()>& until = nullptr);

// Runs a modal loop for an existing window: the scripted person acts, the
// posted messages are delivered, and a person that leaves the window open
// has it closed through its close box.
void RunModal(HWND hwnd);

}  // namespace win32host
