// The uninstall behind the General page's "&Uninstall..." button: after the
// user confirms, the applet's file and its help file go (now, or at the next
// restart when the applet's file is in use) and every tower device entry is
// removed, so that Plug and Play forgets the tower.
#include "applet.h"
#include "delete_file.h"
#include "towerdev.h"

namespace menvok {

bool RunUninstall(HWND owner) {
  if (ShowAppletMessage(owner, IDS_CONFIRM_UNINSTALL, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2,
                        kMessageNotFound) != IDYES)
    return false;
  HCURSOR previous = SetCursor(LoadCursorA(nullptr, IDC_WAIT));
  bool restartNeeded = false;
  bool scheduled = false;
  if (!DeleteFileOrScheduleOnReboot(State().modulePath, false, &scheduled)) {
    // The help file stays with the applet's file.
    ShowAppletMessage(owner, IDS_DELETE_FAILED, MB_ICONINFORMATION, kMessageNotFound);
  } else {
    restartNeeded = scheduled;
    // The help file waits for the restart when the applet's file does.
    char windows[MAX_PATH + 1];
    const UINT length = GetWindowsDirectoryA(windows, sizeof(windows));
    char help[MAX_PATH];
    if (length > 0 && length < sizeof(windows) && JoinPath(help, windows, "Help\\Ostrel.chm") &&
        DeleteFileOrScheduleOnReboot(help, restartNeeded, &scheduled) && scheduled)
      restartNeeded = true;
  }
  towerdev::RemoveTowerDevices();
  ShowAppletMessage(owner, restartNeeded ? IDS_UNINSTALLED_RESTART : IDS_UNINSTALLED,
                    MB_ICONINFORMATION, kMessageNotFound);
  SetCursor(previous);
  return true;
}

}  // namespace menvok
