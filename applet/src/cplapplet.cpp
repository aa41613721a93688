// The Control Panel entry of Ostrel.cpl and the property sheet it opens.
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "applet.h"

namespace menvok {

namespace {

// Initial texts of the title and caption buffers: what stays when the string
// table cannot be had.
AppletState state = {nullptr, "", {"General", "Advanced", "Diagnostics"}, "QIRO USB Tower"};

struct PageRow {
  WORD templateId;
  DLGPROC proc;
};
// The General page is the start page, so it always exists; the others are
// created by the sheet the first time the user opens them.
const PageRow kPages[3] = {
    {IDD_GENERAL, GeneralPageProc},
    {IDD_ADVANCED, AdvancedPageProc},
    {IDD_DIAGNOSTICS, DiagnosticsPageProc},
};
const UINT kPageTitleIds[3] = {IDS_TITLE_GENERAL, IDS_TITLE_ADVANCED, IDS_TITLE_DIAGNOSTICS};

// The page record with header-title fields (48 bytes on 32-bit Windows) and
// the sheet header with watermark and header fields (52 bytes): the sizes
// the applet announces, and the stride of its page array.
constexpr size_t kPageRecordSize = offsetof(PROPSHEETPAGEA, pszHeaderSubTitle) + sizeof(LPCSTR);
constexpr DWORD kSheetHeaderSize = offsetof(PROPSHEETHEADERA, hbmHeader) + sizeof(HBITMAP);
#if defined(_WIN32) && !defined(_WIN64)
static_assert(kPageRecordSize == 48, "page record with header titles is 48 bytes");
static_assert(kSheetHeaderSize == 52, "sheet header is 52 bytes");
#endif

}  // namespace

AppletState& State() { return state; }

void LoadAppletString(UINT id, char* buffer, int size) {
  char loaded[1024];
  if (size <= 0) return;
  const int length = LoadStringA(state.module, id, loaded, size < 1024 ? size : 1024);
  if (length > 0) lstrcpynA(buffer, loaded, size);
}

void InitApplet() {
  state.module = GetModuleHandleA(kModuleName);
  GetModuleFileNameA(state.module, state.modulePath, sizeof(state.modulePath));
  for (int i = 0; i < 3; ++i)
    LoadAppletString(kPageTitleIds[i], state.pageTitles[i], sizeof(state.pageTitles[i]));
  LoadAppletString(IDS_NAME, state.caption, sizeof(state.caption));
  InitCommonControls();
}

void OpenTowerPropertySheet(LPARAM item, HWND owner) {
  // One item: anything else names no row of the applet table.
  if (item != 0) return;
  QIROTOWER_CONFIG record;
  std::memset(&record, 0, sizeof(record));
  record.Size = sizeof(record);
  // Whatever the call leaves (the factory values at least) is what the
  // pages show.
  QIROTowerGetDefaultConfig(&record);

  BYTE* descriptors = static_cast<BYTE*>(std::calloc(3, kPageRecordSize));
  if (!descriptors) return;
  for (int i = 0; i < 3; ++i) {
    PROPSHEETPAGEA page;
    std::memset(&page, 0, sizeof(page));
    page.dwSize = kPageRecordSize;
    page.dwFlags = PSP_USETITLE;
    page.hInstance = state.module;
    page.pszTemplate = MAKEINTRESOURCEA(kPages[i].templateId);
    page.pszTitle = state.pageTitles[i];
    page.pfnDlgProc = kPages[i].proc;
    page.lParam = reinterpret_cast<LPARAM>(&record);
    std::memcpy(descriptors + i * kPageRecordSize, &page, kPageRecordSize);
  }

  PROPSHEETHEADERA header;
  std::memset(&header, 0, sizeof(header));
  header.dwSize = kSheetHeaderSize;
  // OK, Cancel and Apply, no sheet-level Help; the pages never report a
  // change, so Apply stays disabled and OK is the only way to save.
  header.dwFlags = PSH_PROPSHEETPAGE;
  header.hwndParent = owner;
  header.hInstance = state.module;
  header.pszCaption = state.caption;
  header.nPages = 3;
  header.nStartPage = 0;
  header.ppsp = reinterpret_cast<LPCPROPSHEETPAGEA>(descriptors);

  // Positive: closed with OK, after every created page stored its controls.
  // The record is written once, then every tower restarts to take it up.
  if (PropertySheetA(&header) > 0) {
    QIROTowerSetDefaultConfig(&record);
    QIROTowerRestartAll();
  }
  std::free(descriptors);
}

int ShowAppletMessage(HWND owner, UINT id, UINT style, const char* fallback) {
  char caption[256] = "QIRO USB Tower";
  char text[256] = "";
  lstrcpynA(text, fallback ? fallback : "", sizeof(text));
  LoadAppletString(id, text, sizeof(text));
  LoadAppletString(IDS_NAME, caption, sizeof(caption));
  return MessageBoxA(owner, text, caption, style);
}

QIROTOWER_CONFIG* PageRecord(LPARAM initDialogParam) {
  const auto* page = reinterpret_cast<const PROPSHEETPAGEA*>(initDialogParam);
  return page ? reinterpret_cast<QIROTOWER_CONFIG*>(page->lParam) : nullptr;
}

INT_PTR Answer(HWND page, LONG_PTR result) {
  SetWindowLongPtrA(page, DWLP_MSGRESULT, result);
  return TRUE;
}

}  // namespace menvok

#if defined(_WIN32)
#define MENVOK_EXPORT extern "C"
#else
#define MENVOK_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// Nothing to do at load or unload.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reason;
  (void)reserved;
  return TRUE;
}

MENVOK_EXPORT LONG APIENTRY CPlApplet(HWND hwndCPl, UINT uMsg, LPARAM lParam1, LPARAM lParam2) {
  switch (uMsg) {
    case CPL_INIT:
      menvok::InitApplet();
      return 1;
    case CPL_GETCOUNT:
      return 1;
    case CPL_INQUIRE: {
      auto* info = reinterpret_cast<CPLINFO*>(lParam2);
      if (lParam1 == 0 && info) {
        info->idIcon = IDI_TOWER;
        info->idName = IDS_NAME;
        info->idInfo = IDS_INFO;
        info->lData = 0;
      }
      return 0;
    }
    case CPL_DBLCLK:
      menvok::OpenTowerPropertySheet(lParam1, hwndCPl);
      return 0;
    default:
      return 0;  // CPL_SELECT, CPL_STOP, CPL_EXIT, CPL_NEWINQUIRE, ...
  }
}
