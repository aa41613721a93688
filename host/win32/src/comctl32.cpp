// comctl32 on the host: the modal property sheet, with the notifications
// Windows sends its pages, and the common-controls initialisation.
#include <cstring>
#include <map>
#include <mutex>

#include "ui.h"
#include "win32/host_ui.h"

namespace win32host {

namespace {

struct SheetPage {
  // The page's record as the caller gave it, extra bytes included: the page
  // receives its address with WM_INITDIALOG.
  std::vector<BYTE> record;
  const void* tmpl = nullptr;
  size_t tmplSize = 0;
  std::string title;
  HWND hwnd = nullptr;
  bool changed = false;

  PROPSHEETPAGEA& psp() { return *reinterpret_cast<PROPSHEETPAGEA*>(record.data()); }
};

struct Sheet {
  HWND hwnd = nullptr;
  std::vector<SheetPage> pages;
  int current = -1;
};

std::mutex sheetsMutex;
std::map<HWND, std::shared_ptr<Sheet>>& Sheets() {
  static std::map<HWND, std::shared_ptr<Sheet>> sheets;
  return sheets;
}

std::shared_ptr<Sheet> LookupSheet(HWND hwnd) {
  std::lock_guard<std::mutex> lock(sheetsMutex);
  auto it = Sheets().find(hwnd);
  return it == Sheets().end() ? nullptr : it->second;
}

LRESULT NotifyPage(const Sheet& sheet, HWND page, UINT code, LPARAM lParam) {
  PSHNOTIFY n{};
  n.hdr.hwndFrom = sheet.hwnd;
  n.hdr.idFrom = 0;
  n.hdr.code = code;
  n.lParam = lParam;
  return SendMessageA(page, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&n));
}

void UpdateApply(const Sheet& sheet) {
  bool changed = false;
  for (const auto& p : sheet.pages) changed = changed || p.changed;
  if (HWND apply = GetDlgItem(sheet.hwnd, ID_APPLY_NOW)) EnableWindow(apply, changed);
}

bool CreatePage(Sheet& sheet, int index) {
  SheetPage& page = sheet.pages[static_cast<size_t>(index)];
  if (page.hwnd) return true;
  PROPSHEETPAGEA& psp = page.psp();
  page.hwnd =
      CreateDialogFromTemplate(psp.hInstance, page.tmpl, page.tmplSize, sheet.hwnd, psp.pfnDlgProc);
  if (!page.hwnd) return false;
  // A page is an enabled child of the sheet whatever its template says,
  // shown only while it is the current page.
  if (auto w = LookupWindow(page.hwnd)) {
    w->style = (w->style | WS_CHILD) & ~(WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_DISABLED);
    w->enabled = true;
    w->visible = false;
  }
  SendMessageA(page.hwnd, WM_INITDIALOG, 0, reinterpret_cast<LPARAM>(&psp));
  return true;
}

// Makes a page current: the current page may refuse to be left; the new page
// is created the first time it is shown.
bool SetActive(Sheet& sheet, int index) {
  if (index < 0 || index >= static_cast<int>(sheet.pages.size())) return false;
  if (index == sheet.current) return true;
  const int old = sheet.current;
  if (old >= 0 &&
      NotifyPage(sheet, sheet.pages[static_cast<size_t>(old)].hwnd, PSN_KILLACTIVE, 0) != FALSE)
    return false;
  if (!CreatePage(sheet, index)) return false;
  HWND page = sheet.pages[static_cast<size_t>(index)].hwnd;
  NotifyPage(sheet, page, PSN_SETACTIVE, 0);
  if (old >= 0)
    if (auto w = LookupWindow(sheet.pages[static_cast<size_t>(old)].hwnd)) w->visible = false;
  if (auto w = LookupWindow(page)) w->visible = true;
  sheet.current = index;
  return true;
}

// OK and Apply: the current page must agree to be left, then every page that
// exists stores its values; a page that reports them invalid keeps the sheet
// open and, unless it asks otherwise, becomes the current page.
bool Apply(Sheet& sheet, bool ok) {
  if (NotifyPage(sheet, sheet.pages[static_cast<size_t>(sheet.current)].hwnd, PSN_KILLACTIVE, 0) !=
      FALSE)
    return false;
  for (size_t i = 0; i < sheet.pages.size(); ++i) {
    if (!sheet.pages[i].hwnd) continue;
    const LRESULT r = NotifyPage(sheet, sheet.pages[i].hwnd, PSN_APPLY, ok ? TRUE : FALSE);
    if (r == PSNRET_INVALID || r == PSNRET_INVALID_NOCHANGEPAGE) {
      if (r == PSNRET_INVALID) SetActive(sheet, static_cast<int>(i));
      return false;
    }
  }
  for (auto& p : sheet.pages) p.changed = false;
  UpdateApply(sheet);
  return true;
}

void Cancel(Sheet& sheet, bool closeBox) {
  if (NotifyPage(sheet, sheet.pages[static_cast<size_t>(sheet.current)].hwnd, PSN_QUERYCANCEL, 0) !=
      FALSE)
    return;
  for (auto& p : sheet.pages)
    if (p.hwnd) NotifyPage(sheet, p.hwnd, PSN_RESET, closeBox ? TRUE : FALSE);
  EndDialog(sheet.hwnd, 0);
}

LRESULT SheetProc(const std::shared_ptr<Sheet>& sheet, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto self = LookupWindow(sheet->hwnd);
  switch (msg) {
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK:
          if (Apply(*sheet, true)) EndDialog(sheet->hwnd, IDOK);
          return 0;
        case IDCANCEL:
          Cancel(*sheet, false);
          return 0;
        case ID_APPLY_NOW:
          if (IsWindowEnabled(GetDlgItem(sheet->hwnd, ID_APPLY_NOW))) Apply(*sheet, false);
          return 0;
        default:
          return 0;
      }
    case WM_CLOSE:
      Cancel(*sheet, true);
      return 0;
    case PSM_CHANGED:
    case PSM_UNCHANGED:
      for (auto& p : sheet->pages)
        if (p.hwnd == reinterpret_cast<HWND>(wParam)) p.changed = msg == PSM_CHANGED;
      UpdateApply(*sheet);
      return 0;
    case PSM_SETCURSEL:
      return SetActive(*sheet, static_cast<int>(wParam));
    case PSM_GETCURRENTPAGEHWND:
      return sheet->current < 0 ? 0
                                : reinterpret_cast<LRESULT>(
                                      sheet->pages[static_cast<size_t>(sheet->current)].hwnd);
    default:
      return self ? DefaultProcessing(*self, msg, wParam, lParam) : 0;
  }
}

HWND AddButton(HWND sheet, int id, const char* text, DWORD kind, bool enabled) {
  auto b = std::make_shared<Window>();
  b->cls = "Button";
  b->id = id;
  b->style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | kind;
  b->text = text;
  b->parent = sheet;
  b->visible = true;
  b->enabled = enabled;
  return NewWindow(b);
}

}  // namespace

}  // namespace win32host

using win32host::LookupSheet;
using win32host::Sheet;

extern "C" {

void WINAPI InitCommonControls(void) {}

INT_PTR WINAPI PropertySheetA(LPCPROPSHEETHEADERA lppsph) {
  // The subset runs modal sheets built from page records.
  if (!lppsph || lppsph->dwSize < PROPSHEETHEADERA_V1_SIZE ||
      !(lppsph->dwFlags & PSH_PROPSHEETPAGE) || (lppsph->dwFlags & PSH_MODELESS) ||
      lppsph->nPages == 0 || !lppsph->ppsp ||
      (lppsph->hwndParent && !win32host::LookupWindow(lppsph->hwndParent))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  auto sheet = std::make_shared<Sheet>();
  const BYTE* record = reinterpret_cast<const BYTE*>(lppsph->ppsp);
  for (UINT i = 0; i < lppsph->nPages; ++i) {
    const auto* psp = reinterpret_cast<const PROPSHEETPAGEA*>(record);
    if (psp->dwSize < PROPSHEETPAGEA_V1_SIZE) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return -1;
    }
    win32host::SheetPage page;
    page.record.assign(record, record + std::max<size_t>(psp->dwSize, sizeof(PROPSHEETPAGEA)));
    if (psp->dwSize < sizeof(PROPSHEETPAGEA))
      std::memset(page.record.data() + psp->dwSize, 0, sizeof(PROPSHEETPAGEA) - psp->dwSize);
    record += psp->dwSize;
    // Windows reads every page's template before showing the sheet.
    if (psp->dwFlags & PSP_DLGINDIRECT) {
      page.tmpl = psp->pResource;
      page.tmplSize = SIZE_MAX / 2;
    } else {
      page.tmpl = win32host::FindDialogTemplate(psp->hInstance, psp->pszTemplate, &page.tmplSize);
    }
    if (!page.tmpl) return -1;
    // The tab shows the page's own title, or else its template's caption.
    if ((psp->dwFlags & PSP_USETITLE) && psp->pszTitle && !IS_INTRESOURCE(psp->pszTitle))
      page.title = psp->pszTitle;
    else
      page.title = win32host::DialogTemplateCaption(page.tmpl, page.tmplSize);
    sheet->pages.push_back(std::move(page));
  }

  auto window = std::make_shared<win32host::Window>();
  window->cls = "PropertySheet";
  window->parent = lppsph->hwndParent;
  window->style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
  const char* caption =
      lppsph->pszCaption && !IS_INTRESOURCE(lppsph->pszCaption) ? lppsph->pszCaption : "";
  window->text = (lppsph->dwFlags & PSH_PROPTITLE) ? std::string("Properties for ") + caption
                                                   : std::string(caption);
  window->classProc = [weak = std::weak_ptr<Sheet>(sheet)](UINT msg, WPARAM w, LPARAM l) {
    auto s = weak.lock();
    return s ? win32host::SheetProc(s, msg, w, l) : 0;
  };
  HWND hwnd = win32host::NewWindow(window);
  sheet->hwnd = hwnd;
  // The sheet's own buttons; Apply starts disabled until a page reports a
  // change, Help exists only when the sheet asks for it.
  win32host::AddButton(hwnd, IDOK, "OK", BS_DEFPUSHBUTTON, true);
  win32host::AddButton(hwnd, IDCANCEL, "Cancel", BS_PUSHBUTTON, true);
  if (!(lppsph->dwFlags & PSH_NOAPPLYNOW))
    win32host::AddButton(hwnd, ID_APPLY_NOW, "&Apply", BS_PUSHBUTTON, false);
  if (lppsph->dwFlags & PSH_HASHELP)
    win32host::AddButton(hwnd, IDHELP, "Help", BS_PUSHBUTTON, true);
  {
    std::lock_guard<std::mutex> lock(win32host::sheetsMutex);
    win32host::Sheets()[hwnd] = sheet;
  }

  UINT start = (lppsph->dwFlags & PSH_USEPSTARTPAGE) ? 0 : lppsph->nStartPage;
  if (start >= lppsph->nPages) start = 0;
  INT_PTR result = -1;
  window->visible = true;
  if (win32host::SetActive(*sheet, static_cast<int>(start))) {
    win32host::RunModal(hwnd);
    result = window->result;
  }
  win32host::Destroy(hwnd);
  std::lock_guard<std::mutex> lock(win32host::sheetsMutex);
  win32host::Sheets().erase(hwnd);
  return result;
}

}  // extern "C"

namespace win32ui {

bool SwitchPage(HWND sheet, int index) {
  auto s = LookupSheet(sheet);
  if (!s || !Visible(sheet)) return false;
  const bool switched = win32host::SetActive(*s, index) && s->current == index;
  win32host::PumpPosted();
  return switched;
}

HWND Page(HWND sheet, int index) {
  auto s = LookupSheet(sheet);
  if (!s || index < 0 || index >= static_cast<int>(s->pages.size())) return nullptr;
  return s->pages[static_cast<size_t>(index)].hwnd;
}

int CurrentPage(HWND sheet) {
  auto s = LookupSheet(sheet);
  return s ? s->current : -1;
}

int PageCount(HWND sheet) {
  auto s = LookupSheet(sheet);
  return s ? static_cast<int>(s->pages.size()) : 0;
}

std::string PageTitle(HWND sheet, int index) {
  auto s = LookupSheet(sheet);
  if (!s || index < 0 || index >= static_cast<int>(s->pages.size())) return {};
  return s->pages[static_cast<size_t>(index)].title;
}

}  // namespace win32ui
