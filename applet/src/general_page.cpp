// The General page: infrared range, default communication mode and the
// long-range (high-power) switch, which only a tower on a self-powered hub
// can use.
#include <cstring>

#include "applet.h"
#include "tower/values.h"

namespace menvok {

namespace {

struct PageState {
  QIROTOWER_CONFIG* record;
  bool firstActivation;
};
PageState general = {nullptr, true};

bool Checked(HWND page, int id) { return IsDlgButtonChecked(page, id) == BST_CHECKED; }

void Check(HWND page, int id, bool on) {
  CheckDlgButton(page, id, on ? BST_CHECKED : BST_UNCHECKED);
}

void Enable(HWND page, int id, bool on) { EnableWindow(GetDlgItem(page, id), on ? TRUE : FALSE); }

// Enabling is left as it is.
void FillGeneralControls(HWND page, const QIROTOWER_CONFIG& record) {
  Check(page, IDC_LONG_RANGE, record.HighPower != 0);
  Check(page, IDC_RANGE_SHORT, record.IRRange == tower::TOWER_RANGE_SHORT);
  Check(page, IDC_RANGE_MEDIUM, record.IRRange == tower::TOWER_RANGE_MEDIUM);
  Check(page, IDC_RANGE_LONG, record.IRRange == tower::TOWER_RANGE_LONG);
  Check(page, IDC_MODE_IR, record.LinkMode == tower::TOWER_LINK_IR);
  Check(page, IDC_MODE_VLL, record.LinkMode == tower::TOWER_LINK_VLL);
}

// A group with nothing checked keeps the record's value.
void StoreGeneralControls(HWND page, QIROTOWER_CONFIG& record) {
  record.HighPower = Checked(page, IDC_LONG_RANGE) ? 1 : 0;
  if (Checked(page, IDC_RANGE_SHORT))
    record.IRRange = tower::TOWER_RANGE_SHORT;
  else if (Checked(page, IDC_RANGE_MEDIUM))
    record.IRRange = tower::TOWER_RANGE_MEDIUM;
  else if (Checked(page, IDC_RANGE_LONG))
    record.IRRange = tower::TOWER_RANGE_LONG;
  if (Checked(page, IDC_MODE_IR))
    record.LinkMode = tower::TOWER_LINK_IR;
  else if (Checked(page, IDC_MODE_VLL))
    record.LinkMode = tower::TOWER_LINK_VLL;
}

// Whether every tower plugged in now sits on a self-powered hub: a
// bus-powered hub cannot feed the long-range transmitter. False when there
// is no tower or a tower's information cannot be read.
bool ProbeLongRangeSupport(bool* allSelfPowered) {
  *allSelfPowered = true;
  QIROTOWER_FIND* find = QIROTowerFindFirst(QIROTOWER_FIND_PRESENT);
  if (!find) return false;
  bool probed = true;
  for (;;) {
    QIROTOWER_DEVICEINFO info;
    std::memset(&info, 0, sizeof(info));
    if (!QIROTowerGetDeviceInfo(find, &info)) {
      probed = false;
      break;
    }
    if (info.HubBusPowered != 0) {
      *allSelfPowered = false;
      break;
    }
    if (QIROTowerFindNext(find) != 1) break;
  }
  QIROTowerFindStop(find);
  return probed;
}

// Long range needs both the switch and a tower that can power it; without
// them Long gives way to Medium.
void UpdateLongRangeControls(HWND page) {
  bool allSelfPowered = false;
  if (ProbeLongRangeSupport(&allSelfPowered) && allSelfPowered) {
    Enable(page, IDC_LONG_RANGE, true);
    if (Checked(page, IDC_LONG_RANGE)) {
      Enable(page, IDC_RANGE_LONG, true);
      return;
    }
  } else {
    Check(page, IDC_LONG_RANGE, false);
    Enable(page, IDC_LONG_RANGE, false);
  }
  if (Checked(page, IDC_RANGE_LONG)) {
    Check(page, IDC_RANGE_LONG, false);
    Check(page, IDC_RANGE_MEDIUM, true);
  }
  Enable(page, IDC_RANGE_LONG, false);
}

void OnLongRangeClicked(HWND page) {
  const bool on = Checked(page, IDC_LONG_RANGE);
  if (Checked(page, IDC_RANGE_LONG)) {
    Check(page, IDC_RANGE_LONG, false);
    Check(page, IDC_RANGE_MEDIUM, true);
  }
  Enable(page, IDC_RANGE_LONG, on);
}

void OnReset(HWND page) {
  QIROTOWER_CONFIG factory;
  std::memset(&factory, 0, sizeof(factory));
  factory.Size = sizeof(factory);
  if (QIROTowerGetFactoryConfig(&factory)) FillGeneralControls(page, factory);
}

}  // namespace

INT_PTR CALLBACK GeneralPageProc(HWND page, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_INITDIALOG:
      general.record = PageRecord(lParam);
      general.firstActivation = true;
      return TRUE;
    case WM_NOTIFY:
      switch (reinterpret_cast<const NMHDR*>(lParam)->code) {
        case PSN_SETACTIVE:
          // Later activations keep what the user chose; only the tower
          // situation is looked at again.
          if (general.firstActivation && general.record) {
            FillGeneralControls(page, *general.record);
            general.firstActivation = false;
          }
          UpdateLongRangeControls(page);
          return Answer(page, 0);
        case PSN_KILLACTIVE:
          return Answer(page, FALSE);
        case PSN_APPLY:
          if (general.record) StoreGeneralControls(page, *general.record);
          return Answer(page, PSNRET_NOERROR);
        default:
          return FALSE;
      }
    case WM_COMMAND:
      if (HIWORD(wParam) != BN_CLICKED) return FALSE;
      switch (LOWORD(wParam)) {
        case IDC_LONG_RANGE:
          OnLongRangeClicked(page);
          return TRUE;
        case IDC_RESET:
          OnReset(page);
          return TRUE;
        case IDC_UNINSTALL:
          // After an uninstall the sheet closes as Cancel does: nothing of
          // the pages is saved.
          if (RunUninstall(page)) {
            HWND sheet = GetParent(page);
            PostMessageA(sheet, WM_COMMAND, IDCANCEL,
                         reinterpret_cast<LPARAM>(GetDlgItem(sheet, IDCANCEL)));
          }
          return TRUE;
        case IDC_HELPBUTTON:
          ShowHelpTopic(page, "General_configuration.htm");
          return TRUE;
        default:
          return FALSE;
      }
    default:
      return FALSE;
  }
}

}  // namespace menvok
