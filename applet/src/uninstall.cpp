// The uninstall behind the General page's "&Uninstall..." button. It comes
// with the setup library's tower-device removal, which it shares; until then
// the button removes nothing and the sheet stays open.
#include "applet.h"

namespace menvok {

bool RunUninstall(HWND owner) {
  (void)owner;
  return false;
}

}  // namespace menvok
