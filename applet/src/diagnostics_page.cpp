// The Diagnostics page: one connected tower at a time, with the hub it hangs
// on and its device status; Previous and Next step through the towers.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "applet.h"

namespace menvok {

namespace {

struct PageState {
  QIROTOWER_FIND* search;    // survives page switches; none until first needed
  QIROTOWER_CONFIG* record;  // kept, not used
};
PageState diagnostics = {nullptr, nullptr};

constexpr int kTextSize = 1024;

// A text of the string table, or its built-in twin.
void ShowText(HWND page, int id, UINT stringId, const char* builtIn) {
  char text[kTextSize];
  lstrcpynA(text, builtIn, sizeof(text));
  LoadAppletString(stringId, text, sizeof(text));
  SetDlgItemTextA(page, id, text);
}

// Says why there is nothing to show, in the hub-power field; the other
// fields are cleared so that they do not describe a tower no longer shown.
void ShowNothing(HWND page, UINT stringId, const char* builtIn) {
  for (int id : {IDC_TOWER_NUMBER, IDC_DEVICE_NAME, IDC_ATTACHED_TO, IDC_DEVICE_STATUS})
    SetDlgItemTextA(page, id, "");
  ShowText(page, IDC_HUB_POWER, stringId, builtIn);
}

bool ShowTowerInfo(HWND page, QIROTOWER_FIND* search) {
  if (!search) {
    ShowNothing(page, IDS_NO_TOWERS, "No towers are currently connected");
    return false;
  }
  QIROTOWER_DEVICEINFO info;
  std::memset(&info, 0, sizeof(info));
  if (!QIROTowerGetDeviceInfo(search, &info)) {
    ShowNothing(page, IDS_NO_DEVICE_INFO, "Could not retrieve device information");
    return false;
  }
  char number[16];
  std::snprintf(number, sizeof(number), "%u", static_cast<unsigned>(info.TowerNumber));
  SetDlgItemTextA(page, IDC_TOWER_NUMBER, number);
  // The texts of the record end inside it whatever the library left.
  char text[kTextSize];
  lstrcpynA(text, info.DeviceDesc, sizeof(info.DeviceDesc));
  SetDlgItemTextA(page, IDC_DEVICE_NAME, text);
  lstrcpynA(text, info.ParentDesc, sizeof(info.ParentDesc));
  SetDlgItemTextA(page, IDC_ATTACHED_TO, text);
  if (info.HubBusPowered != 0)
    ShowText(page, IDC_HUB_POWER, IDS_HUB_BUS_POWERED,
             "The parent hub is bus powered. If you need the tower to transmit long range, you "
             "should connect it to a different hub");
  else
    ShowText(page, IDC_HUB_POWER, IDS_HUB_SELF_POWERED,
             "The parent hub is self-powered (so the tower can be enabled to transmit long range");
  if (!QIROTowerGetProblemDesc(info.ProblemNumber, text, sizeof(text)))
    lstrcpynA(text, "Unknown status", sizeof(text));
  SetDlgItemTextA(page, IDC_DEVICE_STATUS, text);
  return true;
}

// Past the last tower Next starts again at the first; before the first,
// Previous stays on the first (read afresh) and never wraps to the last.
void StepTowerSearch(HWND page, bool forward) {
  if (!diagnostics.search) diagnostics.search = QIROTowerFindFirst(QIROTOWER_FIND_INSTALLED);
  const BOOL moved = diagnostics.search == nullptr ? FALSE
                     : forward                     ? QIROTowerFindNext(diagnostics.search)
                                                   : QIROTowerFindPrev(diagnostics.search);
  if (moved) {
    ShowTowerInfo(page, diagnostics.search);
    return;
  }
  if (diagnostics.search) QIROTowerFindStop(diagnostics.search);
  diagnostics.search = QIROTowerFindFirst(QIROTOWER_FIND_INSTALLED);
  ShowTowerInfo(page, diagnostics.search);
}

}  // namespace

INT_PTR CALLBACK DiagnosticsPageProc(HWND page, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_INITDIALOG:
      diagnostics.record = PageRecord(lParam);
      return TRUE;
    case WM_NOTIFY:
      switch (reinterpret_cast<const NMHDR*>(lParam)->code) {
        case PSN_SETACTIVE:
          // Coming back shows the same tower, its information read again.
          if (!diagnostics.search)
            diagnostics.search = QIROTowerFindFirst(QIROTOWER_FIND_INSTALLED);
          ShowTowerInfo(page, diagnostics.search);
          return Answer(page, 0);
        case PSN_KILLACTIVE:
        case PSN_RESET:
          return Answer(page, FALSE);
        default:
          return FALSE;
      }
    case WM_COMMAND:
      if (HIWORD(wParam) != BN_CLICKED) return FALSE;
      switch (LOWORD(wParam)) {
        case IDC_NEXT:
          StepTowerSearch(page, true);
          return TRUE;
        case IDC_PREVIOUS:
          StepTowerSearch(page, false);
          return TRUE;
        case IDC_HELPBUTTON:
          ShowHelpTopic(page, "Diagnostics.htm");
          return TRUE;
        default:
          return FALSE;
      }
    case WM_DESTROY:
      if (diagnostics.search) {
        QIROTowerFindStop(diagnostics.search);
        diagnostics.search = nullptr;
      }
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace menvok
