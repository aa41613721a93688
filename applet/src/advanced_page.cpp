// The Advanced page: the driver's three timeouts and its read buffer size.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "applet.h"

namespace menvok {

namespace {

struct PageState {
  QIROTOWER_CONFIG* record;
  bool firstActivation;
};
PageState advanced = {nullptr, true};

// Only this many characters of an edit are read back.
constexpr int kReadBack = 19;

// A stored value of 2^31 or more shows with a minus sign.
void SetNumber(HWND page, int id, DWORD value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%d", static_cast<int>(static_cast<LONG>(value)));
  SetDlgItemTextA(page, id, text);
}

// The C library's strtoul rules: leading white space, an optional sign,
// digits up to the first other character; no digits give 0, overflow gives
// 4294967295 and a minus sign negates modulo 2^32.
DWORD ReadNumber(HWND page, int id) {
  char text[kReadBack + 1] = "";
  GetDlgItemTextA(page, id, text, sizeof(text));
  const unsigned long value = std::strtoul(text, nullptr, 10);
#if ULONG_MAX > 0xFFFFFFFFu
  // Where strtoul works on 64 bits, bring its result to the 32-bit rules: a
  // magnitude beyond 32 bits overflows, a negated one wraps modulo 2^32.
  if (value > 0xFFFFFFFFul) {
    const bool negative = std::strchr(text, '-') != nullptr;
    return negative && value > 0xFFFFFFFF00000000ul ? static_cast<DWORD>(value) : 0xFFFFFFFFu;
  }
#endif
  return static_cast<DWORD>(value);
}

void FillAdvancedControls(HWND page, const QIROTOWER_CONFIG& record) {
  SetNumber(page, IDC_TIMEOUT_WRITE, record.Timeout_Write);
  SetNumber(page, IDC_TIMEOUT_FIRST, record.Timeout_Read_1st);
  SetNumber(page, IDC_TIMEOUT_INTERCHAR, record.Timeout_Read_ic);
  SetNumber(page, IDC_BUFFER_SIZE, record.BufferSize);
}

// No range check: the driver and the access library apply their own limits.
void StoreAdvancedControls(HWND page, QIROTOWER_CONFIG& record) {
  record.Timeout_Write = ReadNumber(page, IDC_TIMEOUT_WRITE);
  record.Timeout_Read_1st = ReadNumber(page, IDC_TIMEOUT_FIRST);
  record.Timeout_Read_ic = ReadNumber(page, IDC_TIMEOUT_INTERCHAR);
  record.BufferSize = ReadNumber(page, IDC_BUFFER_SIZE);
}

void OnReset(HWND page) {
  QIROTOWER_CONFIG factory;
  std::memset(&factory, 0, sizeof(factory));
  factory.Size = sizeof(factory);
  if (QIROTowerGetFactoryConfig(&factory)) FillAdvancedControls(page, factory);
}

}  // namespace

INT_PTR CALLBACK AdvancedPageProc(HWND page, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_INITDIALOG:
      advanced.record = PageRecord(lParam);
      advanced.firstActivation = true;
      return TRUE;
    case WM_NOTIFY:
      switch (reinterpret_cast<const NMHDR*>(lParam)->code) {
        case PSN_SETACTIVE:
          // Later activations keep what the user typed.
          if (advanced.firstActivation && advanced.record) {
            FillAdvancedControls(page, *advanced.record);
            advanced.firstActivation = false;
          }
          return Answer(page, 0);
        case PSN_KILLACTIVE:
          // No checks: a text that is no number is stored as 0 (a ring that
          // keeps nothing), as the general page and the library store it.
          return Answer(page, FALSE);
        case PSN_APPLY:
          if (advanced.record) StoreAdvancedControls(page, *advanced.record);
          return Answer(page, PSNRET_NOERROR);
        default:
          return FALSE;
      }
    case WM_COMMAND:
      if (HIWORD(wParam) != BN_CLICKED) return FALSE;
      switch (LOWORD(wParam)) {
        case IDC_RESET:
          OnReset(page);
          return TRUE;
        case IDC_HELPBUTTON:
          ShowHelpTopic(page, "Advanced_configuration.htm");
          return TRUE;
        default:
          return FALSE;
      }
    default:
      return FALSE;
  }
}

}  // namespace menvok
