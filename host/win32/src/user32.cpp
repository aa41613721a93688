// user32 on the host: windows, dialogs built from compiled dialog templates,
// the standard controls (buttons, edits, statics), message sending and
// posting, message boxes with scripted answers, icons and cursors. Nothing is
// drawn; the person of win32/host_ui.h acts on the windows instead.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include "handles.h"
#include "ui.h"
#include "win32/host_ui.h"

namespace win32host {

namespace {

constexpr DWORD kErrorInvalidWindowHandle = 1400;
constexpr DWORD kErrorControlIdNotFound = 1421;
constexpr DWORD kErrorResourceNameNotFound = 1814;
constexpr DWORD kErrorInvalidDialogTemplate = 1407;  // the class of a control is unknown

struct Posted {
  HWND hwnd;
  UINT msg;
  WPARAM wParam;
  LPARAM lParam;
};

struct IconEntry {
  HINSTANCE module = nullptr;
  std::string name;
};

struct UiState {
  std::mutex mutex;  // guards the tables; never held while a procedure runs
  std::map<HWND, std::shared_ptr<Window>> windows;
  uintptr_t nextHwnd = 0x20000;
  std::deque<Posted> posted;
  std::function<void(HWND)> person;
  std::deque<int> answers;
  std::vector<win32ui::MessageBoxRecord> boxes;
  std::vector<win32ui::HelpTopicRecord> helpTopics;
  HWND helpViewer = nullptr;
  std::map<std::pair<HINSTANCE, std::string>, HICON> iconsByName;
  std::map<HICON, IconEntry> icons;
  uintptr_t nextIcon = 0x30000;
  HCURSOR cursor = nullptr;
};

UiState& State() {
  static UiState state;
  return state;
}

std::string ResourceName(LPCSTR name) {
  if (IS_INTRESOURCE(name)) return "#" + std::to_string(LOWORD(name));
  return name;
}

// The system's own cursors and icons are named by numbers from 32512; they
// are handed out as fixed values that no module resource shares.
HANDLE StockHandle(uintptr_t base, LPCSTR name) {
  return reinterpret_cast<HANDLE>(base + LOWORD(name) * 16u);
}
constexpr uintptr_t kStockIconBase = 0x70000000;
constexpr uintptr_t kStockCursorBase = 0x71000000;

bool IsStockNumber(LPCSTR name) {
  return IS_INTRESOURCE(name) && LOWORD(name) >= 32512 && LOWORD(name) <= 32651;
}

// ---- templates ----------------------------------------------------------------

class TemplateReader {
 public:
  TemplateReader(const void* data, size_t size)
      : base_(static_cast<const BYTE*>(data)), size_(size) {}
  bool ok() const { return ok_; }
  void AlignTo(size_t n) { pos_ = (pos_ + n - 1) / n * n; }
  void Skip(size_t n) {
    if (Need(n)) pos_ += n;
  }
  WORD Word() {
    WORD w = 0;
    if (Need(2)) std::memcpy(&w, base_ + pos_, 2), pos_ += 2;
    return w;
  }
  DWORD Dword() {
    DWORD d = 0;
    if (Need(4)) std::memcpy(&d, base_ + pos_, 4), pos_ += 4;
    return d;
  }
  short Short() { return static_cast<short>(Word()); }
  BYTE Byte() {
    BYTE b = 0;
    if (Need(1)) b = base_[pos_++];
    return b;
  }
  // A zero-terminated UTF-16 text, brought to 8 bits (the texts of the
  // templates are in the system code page's Latin range).
  std::string Text() {
    std::string s;
    for (WORD c = Word(); ok_ && c != 0; c = Word())
      s.push_back(c < 0x100 ? static_cast<char>(c) : '?');
    return s;
  }
  // The "name or ordinal" field: empty, 0xFFFF and a number, or a text.
  std::string NameOrOrdinal(WORD* ordinal) {
    *ordinal = 0;
    WORD first = 0;
    if (Need(2)) std::memcpy(&first, base_ + pos_, 2);
    if (first == 0) {
      Word();
      return {};
    }
    if (first == 0xFFFF) {
      Word();
      *ordinal = Word();
      return {};
    }
    return Text();
  }

 private:
  bool Need(size_t n) {
    if (!ok_ || pos_ > size_ || size_ - pos_ < n) ok_ = false;
    return ok_;
  }
  const BYTE* base_;
  size_t size_;
  size_t pos_ = 0;
  bool ok_ = true;
};

std::string ClassFromAtom(WORD atom) {
  switch (atom) {
    case 0x80:
      return "Button";
    case 0x81:
      return "Edit";
    case 0x82:
      return "Static";
    case 0x83:
      return "ListBox";
    case 0x84:
      return "ScrollBar";
    case 0x85:
      return "ComboBox";
    default:
      return {};
  }
}

std::string ClassFromName(const std::string& name) {
  std::string lower;
  for (char c : name)
    lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  for (const char* known : {"Button", "Edit", "Static", "ListBox", "ScrollBar", "ComboBox"}) {
    std::string k;
    for (const char* p = known; *p; ++p)
      k.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(*p))));
    if (k == lower) return known;
  }
  return {};
}

bool IsButtonKind(const Window& w, DWORD kind) {
  return w.cls == "Button" && (w.style & BS_TYPEMASK) == kind;
}

bool HasCheckState(const Window& w) {
  if (w.cls != "Button") return false;
  switch (w.style & BS_TYPEMASK) {
    case BS_CHECKBOX:
    case BS_AUTOCHECKBOX:
    case BS_RADIOBUTTON:
    case BS_3STATE:
    case BS_AUTO3STATE:
    case BS_AUTORADIOBUTTON:
      return true;
    default:
      return false;
  }
}

LRESULT Notify(HWND parent, int id, WORD code, HWND control) {
  return SendMessageA(parent, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(control));
}

// Messages whose value a dialog procedure returns itself instead of through
// DWLP_MSGRESULT.
bool ReturnsDirectly(UINT msg) { return msg == WM_INITDIALOG; }

}  // namespace

LRESULT DefaultProcessing(Window& w, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_SETTEXT: {
      w.text = lParam ? reinterpret_cast<const char*>(lParam) : "";
      // A single-line edit tells its parent; a multi-line one does not when
      // the text is set this way.
      if (w.cls == "Edit" && !(w.style & ES_MULTILINE) && w.parent)
        Notify(w.parent, w.id, EN_CHANGE, w.hwnd);
      return TRUE;
    }
    case WM_GETTEXT: {
      if (wParam == 0 || lParam == 0) return 0;
      const size_t n = std::min<size_t>(w.text.size(), wParam - 1);
      std::memcpy(reinterpret_cast<char*>(lParam), w.text.data(), n);
      reinterpret_cast<char*>(lParam)[n] = '\0';
      return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(w.text.size());
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_CLOSE) return SendMessageA(w.hwnd, WM_CLOSE, 0, 0);
      return 0;
    case WM_CLOSE:
      // The dialog manager turns the close box into the Cancel command.
      if (w.dlgProc)
        PostMessageA(w.hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(w.hwnd, IDCANCEL)));
      return 0;
    case BM_GETCHECK:
      return HasCheckState(w) ? w.check : 0;
    case BM_SETCHECK:
      if (HasCheckState(w)) w.check = static_cast<UINT>(wParam);
      return 0;
    case BM_CLICK:
      if (w.cls == "Button" && w.enabled && w.parent) win32ui::Click(w.parent, w.id);
      return 0;
    case EM_SETREADONLY:
      if (w.cls != "Edit") return 0;
      w.style = wParam ? (w.style | ES_READONLY) : (w.style & ~DWORD{ES_READONLY});
      return TRUE;
    case STM_SETICON: {
      if (w.cls != "Static") return 0;
      HICON old = w.icon;
      w.icon = reinterpret_cast<HICON>(wParam);
      return reinterpret_cast<LRESULT>(old);
    }
    case STM_GETICON:
      return w.cls == "Static" ? reinterpret_cast<LRESULT>(w.icon) : 0;
    default:
      return 0;
  }
}

namespace {

bool ReachableByPerson(const std::shared_ptr<Window>& w) {
  for (auto cur = w; cur; cur = cur->parent ? LookupWindow(cur->parent) : nullptr)
    if (!cur->visible || !cur->enabled) return false;
  return true;
}

std::shared_ptr<Window> Control(HWND dialog, int id) {
  return LookupWindow(GetDlgItem(dialog, id));
}

}  // namespace

std::shared_ptr<Window> LookupWindow(HWND hwnd) {
  UiState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.windows.find(hwnd);
  return it == s.windows.end() ? nullptr : it->second;
}

HWND NewWindow(std::shared_ptr<Window> window) {
  UiState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  HWND hwnd = reinterpret_cast<HWND>(s.nextHwnd);
  s.nextHwnd += 4;
  window->hwnd = hwnd;
  if (window->parent) {
    auto parent = s.windows.find(window->parent);
    if (parent != s.windows.end()) parent->second->children.push_back(hwnd);
  }
  s.windows.emplace(hwnd, std::move(window));
  return hwnd;
}

const void* FindModuleResource(HINSTANCE instance, LPCSTR type, LPCSTR name, size_t* size) {
  *size = 0;
  HRSRC found = FindResourceA(instance, name, type);
  if (!found) return nullptr;
  HGLOBAL loaded = LoadResource(instance, found);
  const void* data = loaded ? LockResource(loaded) : nullptr;
  if (data) *size = SizeofResource(instance, found);
  return data;
}

const void* FindDialogTemplate(HINSTANCE instance, LPCSTR name, size_t* size) {
  return FindModuleResource(instance, RT_DIALOG, name, size);
}

std::string DialogTemplateCaption(const void* tmpl, size_t size) {
  TemplateReader r(tmpl, size);
  WORD ordinal = 0;
  if (r.Word() == 1 && r.Word() == 0xFFFF) {
    r.Skip(4 + 4 + 4 + 2 + 4 * 2);  // help id, styles, count, position and size
  } else {
    r = TemplateReader(tmpl, size);
    r.Skip(4 + 4 + 2 + 4 * 2);  // styles, count, position and size
  }
  r.NameOrOrdinal(&ordinal);  // menu
  r.NameOrOrdinal(&ordinal);  // class
  std::string caption = r.NameOrOrdinal(&ordinal);
  return r.ok() ? caption : std::string();
}

HWND CreateDialogFromTemplate(HINSTANCE instance, const void* tmpl, size_t size, HWND parent,
                              DLGPROC proc) {
  TemplateReader r(tmpl, size);
  auto dialog = std::make_shared<Window>();
  dialog->cls = "#32770";
  dialog->instance = instance;
  dialog->parent = parent;
  dialog->dlgProc = proc;

  const WORD version = r.Word();
  const WORD signature = r.Word();
  const bool extended = version == 1 && signature == 0xFFFF;
  WORD items = 0;
  if (extended) {
    r.Dword();  // help id
    dialog->exStyle = r.Dword();
    dialog->style = r.Dword();
  } else {
    r = TemplateReader(tmpl, size);
    dialog->style = r.Dword();
    dialog->exStyle = r.Dword();
  }
  items = r.Word();
  dialog->x = r.Short();
  dialog->y = r.Short();
  dialog->cx = r.Short();
  dialog->cy = r.Short();
  WORD ordinal = 0;
  r.NameOrOrdinal(&ordinal);  // menu: none in a dialog of the subset
  r.NameOrOrdinal(&ordinal);  // class: the dialog manager's own
  dialog->text = r.NameOrOrdinal(&ordinal);
  if (dialog->style & DS_SETFONT) {
    dialog->pointSize = r.Word();
    if (extended) {
      r.Word();  // weight
      r.Byte();  // italic
      r.Byte();  // character set
    }
    dialog->font = r.Text();
  }
  if (!r.ok()) {
    SetLastError(kErrorInvalidDialogTemplate);
    return nullptr;
  }
  dialog->enabled = !(dialog->style & WS_DISABLED);
  dialog->visible = (dialog->style & WS_VISIBLE) != 0;
  HWND hwnd = NewWindow(dialog);

  for (WORD i = 0; i < items; ++i) {
    r.AlignTo(4);
    auto control = std::make_shared<Window>();
    control->parent = hwnd;
    control->instance = instance;
    if (extended) {
      r.Dword();  // help id
      control->exStyle = r.Dword();
      control->style = r.Dword();
    } else {
      control->style = r.Dword();
      control->exStyle = r.Dword();
    }
    control->x = r.Short();
    control->y = r.Short();
    control->cx = r.Short();
    control->cy = r.Short();
    control->id = extended ? static_cast<int>(r.Dword()) : static_cast<int>(r.Word());
    WORD atom = 0;
    std::string className = r.NameOrOrdinal(&atom);
    control->cls = atom ? ClassFromAtom(atom) : ClassFromName(className);
    WORD titleOrdinal = 0;
    control->text = r.NameOrOrdinal(&titleOrdinal);
    // Creation data: DLGTEMPLATEEX counts the bytes after its count word,
    // DLGTEMPLATE counts the word itself.
    const WORD extra = r.Word();
    if (extended)
      r.Skip(extra);
    else if (extra > 2)
      r.Skip(extra - 2u);
    if (!r.ok() || control->cls.empty()) {
      Destroy(hwnd);
      SetLastError(kErrorInvalidDialogTemplate);
      return nullptr;
    }
    control->enabled = !(control->style & WS_DISABLED);
    control->visible = (control->style & WS_VISIBLE) != 0;
    // An icon static names its icon by the resource number in its title.
    if (control->cls == "Static" && (control->style & SS_TYPEMASK) == SS_ICON) {
      if (titleOrdinal)
        control->icon = LoadIconA(instance, MAKEINTRESOURCEA(titleOrdinal));
      else if (!control->text.empty())
        control->icon = LoadIconA(instance, control->text.c_str());
    }
    NewWindow(control);
  }
  return hwnd;
}

void Destroy(HWND hwnd) {
  auto w = LookupWindow(hwnd);
  if (!w) return;
  SendMessageA(hwnd, WM_DESTROY, 0, 0);
  for (HWND child : std::vector<HWND>(w->children)) Destroy(child);
  UiState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (w->parent) {
    auto parent = s.windows.find(w->parent);
    if (parent != s.windows.end()) {
      auto& siblings = parent->second->children;
      siblings.erase(std::remove(siblings.begin(), siblings.end(), hwnd), siblings.end());
    }
  }
  s.windows.erase(hwnd);
}

void PumpPosted(const std::function<bool()>& until) {
  UiState& s = State();
  for (;;) {
    if (until && until()) return;
    Posted p;
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      if (s.posted.empty()) return;
      p = s.posted.front();
      s.posted.pop_front();
    }
    // A message for a window destroyed since is dropped, as Windows does.
    if (LookupWindow(p.hwnd)) SendMessageA(p.hwnd, p.msg, p.wParam, p.lParam);
  }
}

void RunModal(HWND hwnd) {
  auto w = LookupWindow(hwnd);
  if (!w) return;
  w->visible = true;
  auto ended = [w] { return w->ended; };
  PumpPosted(ended);
  std::function<void(HWND)> person;
  {
    UiState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    person = s.person;
  }
  if (!w->ended && person) person(hwnd);
  PumpPosted(ended);
  if (!w->ended) {
    SendMessageA(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
    PumpPosted(ended);
  }
  // A dialog that ignores its close box would hang a real desktop; here it
  // ends with the result of a failed dialog.
  if (!w->ended) {
    w->ended = true;
    w->result = -1;
  }
}

}  // namespace win32host

using win32host::LookupWindow;
using win32host::State;
using win32host::Window;

extern "C" {

INT_PTR WINAPI DialogBoxIndirectParamA(HINSTANCE hInstance, LPCDLGTEMPLATEA hDialogTemplate,
                                       HWND hWndParent, DLGPROC lpDialogFunc, LPARAM dwInitParam) {
  if (!hDialogTemplate) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (hWndParent && !LookupWindow(hWndParent)) {
    SetLastError(win32host::kErrorInvalidWindowHandle);
    return -1;
  }
  HWND hwnd = win32host::CreateDialogFromTemplate(hInstance, hDialogTemplate, SIZE_MAX / 2,
                                                  hWndParent, lpDialogFunc);
  if (!hwnd) return -1;
  SendMessageA(hwnd, WM_INITDIALOG, 0, dwInitParam);
  win32host::RunModal(hwnd);
  const INT_PTR result = LookupWindow(hwnd) ? LookupWindow(hwnd)->result : -1;
  win32host::Destroy(hwnd);
  return result;
}

INT_PTR WINAPI DialogBoxParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent,
                               DLGPROC lpDialogFunc, LPARAM dwInitParam) {
  size_t size = 0;
  const void* tmpl = win32host::FindDialogTemplate(hInstance, lpTemplateName, &size);
  if (!tmpl) return -1;
  return DialogBoxIndirectParamA(hInstance, static_cast<LPCDLGTEMPLATEA>(tmpl), hWndParent,
                                 lpDialogFunc, dwInitParam);
}

BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult) {
  auto w = LookupWindow(hDlg);
  if (!w) {
    SetLastError(win32host::kErrorInvalidWindowHandle);
    return FALSE;
  }
  w->ended = true;
  w->result = nResult;
  return TRUE;
}

BOOL WINAPI DestroyWindow(HWND hWnd) {
  if (!LookupWindow(hWnd)) {
    SetLastError(win32host::kErrorInvalidWindowHandle);
    return FALSE;
  }
  win32host::Destroy(hWnd);
  return TRUE;
}

BOOL WINAPI IsWindow(HWND hWnd) { return LookupWindow(hWnd) != nullptr; }

HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem) {
  auto dialog = LookupWindow(hDlg);
  if (!dialog) {
    SetLastError(win32host::kErrorInvalidWindowHandle);
    return nullptr;
  }
  for (HWND child : dialog->children) {
    auto c = LookupWindow(child);
    if (c && c->id == nIDDlgItem) return child;
  }
  SetLastError(win32host::kErrorControlIdNotFound);
  return nullptr;
}

int WINAPI GetDlgCtrlID(HWND hWnd) {
  auto w = LookupWindow(hWnd);
  return w ? w->id : 0;
}

HWND WINAPI GetParent(HWND hWnd) {
  auto w = LookupWindow(hWnd);
  if (!w) {
    SetLastError(win32host::kErrorInvalidWindowHandle);
    return nullptr;
  }
  return w->parent;
}

LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  auto w = LookupWindow(hWnd);
  if (!w) {
    SetLastError(win32host::kErrorInvalidWindowHandle);
    return 0;
  }
  if (w->dlgProc) {
    const INT_PTR handled = w->dlgProc(hWnd, Msg, wParam, lParam);
    if (win32host::ReturnsDirectly(Msg)) return handled;
    if (handled) return w->msgResult;
  } else if (w->classProc) {
    return w->classProc(Msg, wParam, lParam);
  }
  return win32host::DefaultProcessing(*w, Msg, wParam, lParam);
}

LRESULT WINAPI SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam,
                                   LPARAM lParam) {
  HWND control = GetDlgItem(hDlg, nIDDlgItem);
  return control ? SendMessageA(control, Msg, wParam, lParam) : 0;
}

BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  if (!LookupWindow(hWnd)) {
    SetLastError(win32host::kErrorInvalidWindowHandle);
    return FALSE;
  }
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.posted.push_back({hWnd, Msg, wParam, lParam});
  return TRUE;
}

BOOL WINAPI CheckDlgButton(HWND hDlg, int nIDButton, UINT uCheck) {
  HWND control = GetDlgItem(hDlg, nIDButton);
  if (!control) return FALSE;
  SendMessageA(control, BM_SETCHECK, uCheck, 0);
  return TRUE;
}

UINT WINAPI IsDlgButtonChecked(HWND hDlg, int nIDButton) {
  HWND control = GetDlgItem(hDlg, nIDButton);
  return control ? static_cast<UINT>(SendMessageA(control, BM_GETCHECK, 0, 0)) : 0;
}

BOOL WINAPI CheckRadioButton(HWND hDlg, int nIDFirstButton, int nIDLastButton, int nIDCheckButton) {
  auto dialog = LookupWindow(hDlg);
  if (!dialog) return FALSE;
  for (int id = nIDFirstButton; id <= nIDLastButton; ++id)
    if (HWND c = GetDlgItem(hDlg, id))
      SendMessageA(c, BM_SETCHECK, id == nIDCheckButton ? BST_CHECKED : BST_UNCHECKED, 0);
  return TRUE;
}

BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable) {
  auto w = LookupWindow(hWnd);
  if (!w) {
    SetLastError(win32host::kErrorInvalidWindowHandle);
    return FALSE;
  }
  const BOOL wasDisabled = !w->enabled;
  if (w->enabled != (bEnable != 0)) {
    w->enabled = bEnable != 0;
    SendMessageA(hWnd, WM_ENABLE, w->enabled, 0);
  }
  return wasDisabled;
}

BOOL WINAPI IsWindowEnabled(HWND hWnd) {
  auto w = LookupWindow(hWnd);
  return w && w->enabled;
}

BOOL WINAPI SetWindowTextA(HWND hWnd, LPCSTR lpString) {
  if (!LookupWindow(hWnd)) {
    SetLastError(win32host::kErrorInvalidWindowHandle);
    return FALSE;
  }
  return SendMessageA(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString)) != 0;
}

int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount) {
  if (lpString && nMaxCount > 0) lpString[0] = '\0';
  if (!LookupWindow(hWnd) || !lpString || nMaxCount <= 0) return 0;
  return static_cast<int>(SendMessageA(hWnd, WM_GETTEXT, static_cast<WPARAM>(nMaxCount),
                                       reinterpret_cast<LPARAM>(lpString)));
}

BOOL WINAPI SetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPCSTR lpString) {
  HWND control = GetDlgItem(hDlg, nIDDlgItem);
  return control ? SetWindowTextA(control, lpString) : FALSE;
}

UINT WINAPI GetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPSTR lpString, int cchMax) {
  if (lpString && cchMax > 0) lpString[0] = '\0';
  HWND control = GetDlgItem(hDlg, nIDDlgItem);
  return control ? static_cast<UINT>(GetWindowTextA(control, lpString, cchMax)) : 0;
}

LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex) {
  auto w = LookupWindow(hWnd);
  if (!w) {
    SetLastError(win32host::kErrorInvalidWindowHandle);
    return 0;
  }
  switch (nIndex) {
    case GWL_STYLE: {
      DWORD style = w->style & ~(WS_VISIBLE | WS_DISABLED);
      if (w->visible) style |= WS_VISIBLE;
      if (!w->enabled) style |= WS_DISABLED;
      return static_cast<LONG_PTR>(static_cast<LONG>(style));
    }
    case GWL_EXSTYLE:
      return static_cast<LONG>(w->exStyle);
    case GWL_ID:
      return w->id;
    case GWLP_USERDATA:
      return w->userData;
    default:
      break;
  }
  if (w->dlgProc) {
    if (nIndex == DWLP_MSGRESULT) return w->msgResult;
    if (nIndex == DWLP_USER) return w->user;
    if (nIndex == DWLP_DLGPROC) return reinterpret_cast<LONG_PTR>(w->dlgProc);
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return 0;
}

LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
  auto w = LookupWindow(hWnd);
  if (!w) {
    SetLastError(win32host::kErrorInvalidWindowHandle);
    return 0;
  }
  const LONG_PTR old = GetWindowLongPtrA(hWnd, nIndex);
  switch (nIndex) {
    case GWL_STYLE:
      w->style = static_cast<DWORD>(dwNewLong);
      w->visible = (w->style & WS_VISIBLE) != 0;
      w->enabled = !(w->style & WS_DISABLED);
      return old;
    case GWL_EXSTYLE:
      w->exStyle = static_cast<DWORD>(dwNewLong);
      return old;
    case GWL_ID:
      w->id = static_cast<int>(dwNewLong);
      return old;
    case GWLP_USERDATA:
      w->userData = dwNewLong;
      return old;
    default:
      break;
  }
  if (w->dlgProc) {
    if (nIndex == DWLP_MSGRESULT) return w->msgResult = dwNewLong, old;
    if (nIndex == DWLP_USER) return w->user = dwNewLong, old;
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return 0;
}

LONG WINAPI GetWindowLongA(HWND hWnd, int nIndex) {
  return static_cast<LONG>(GetWindowLongPtrA(hWnd, nIndex));
}

LONG WINAPI SetWindowLongA(HWND hWnd, int nIndex, LONG dwNewLong) {
  return static_cast<LONG>(SetWindowLongPtrA(hWnd, nIndex, dwNewLong));
}

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  if (hWnd && !LookupWindow(hWnd)) {
    SetLastError(win32host::kErrorInvalidWindowHandle);
    return 0;
  }
  static const std::vector<int> kButtons[] = {
      {IDOK},        {IDOK, IDCANCEL},   {IDABORT, IDRETRY, IDIGNORE}, {IDYES, IDNO, IDCANCEL},
      {IDYES, IDNO}, {IDRETRY, IDCANCEL}};
  const UINT kind = uType & MB_TYPEMASK;
  const std::vector<int>& buttons = kind < 6 ? kButtons[kind] : kButtons[0];
  const size_t defaultIndex = std::min<size_t>((uType & MB_DEFMASK) >> 8, buttons.size() - 1);
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  int answer = buttons[defaultIndex];
  if (!s.answers.empty()) {
    answer = s.answers.front();
    s.answers.pop_front();
  }
  // A missing caption is shown as Windows shows it.
  s.boxes.push_back({hWnd, lpText ? lpText : "", lpCaption ? lpCaption : "Error", uType, answer});
  return answer;
}

HICON WINAPI LoadIconA(HINSTANCE hInstance, LPCSTR lpIconName) {
  if (!lpIconName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!hInstance) {
    if (win32host::IsStockNumber(lpIconName))
      return win32host::StockHandle(win32host::kStockIconBase, lpIconName);
    SetLastError(win32host::kErrorResourceNameNotFound);
    return nullptr;
  }
  const std::string name = win32host::ResourceName(lpIconName);
  auto& s = State();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    auto known = s.iconsByName.find({hInstance, name});
    if (known != s.iconsByName.end()) return known->second;
  }
  size_t size = 0;
  if (!win32host::FindModuleResource(hInstance, RT_GROUP_ICON, lpIconName, &size)) return nullptr;
  // Loading the same icon again gives the same handle, as for a shared icon.
  std::lock_guard<std::mutex> lock(s.mutex);
  HICON icon = reinterpret_cast<HICON>(s.nextIcon);
  s.nextIcon += 4;
  s.iconsByName.emplace(std::make_pair(hInstance, name), icon);
  s.icons.emplace(icon, win32host::IconEntry{hInstance, name});
  return icon;
}

HCURSOR WINAPI LoadCursorA(HINSTANCE hInstance, LPCSTR lpCursorName) {
  if (!hInstance && lpCursorName && win32host::IsStockNumber(lpCursorName))
    return win32host::StockHandle(win32host::kStockCursorBase, lpCursorName);
  SetLastError(win32host::kErrorResourceNameNotFound);
  return nullptr;
}

HCURSOR WINAPI GetCursor(void) {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.cursor) s.cursor = win32host::StockHandle(win32host::kStockCursorBase, IDC_ARROW);
  return s.cursor;
}

HCURSOR WINAPI SetCursor(HCURSOR hCursor) {
  HCURSOR old = GetCursor();
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.cursor = hCursor;
  return old;
}

}  // extern "C"

// ---- the person ----------------------------------------------------------------

namespace win32ui {

using win32host::Control;
using win32host::PumpPosted;
using win32host::ReachableByPerson;

void SetPerson(std::function<void(HWND)> person) {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.person = std::move(person);
}

void QueueAnswer(int button) {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.answers.push_back(button);
}

std::vector<MessageBoxRecord> MessageBoxes() {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.boxes;
}

HWND ShowHelp(HWND owner, const std::string& file, const std::string& topic) {
  auto& s = State();
  HWND viewer = nullptr;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.helpTopics.push_back({owner, file, topic});
    if (s.helpViewer != nullptr && s.windows.count(s.helpViewer) != 0) viewer = s.helpViewer;
  }
  if (viewer == nullptr) {
    // Not owned by the caller: the viewer stays when the dialog that asked
    // for it closes.
    auto window = std::make_shared<Window>();
    window->cls = "HH Parent";
    window->style = WS_VISIBLE;
    window->visible = true;
    viewer = win32host::NewWindow(window);
    std::lock_guard<std::mutex> lock(s.mutex);
    s.helpViewer = viewer;
  }
  return viewer;
}

std::vector<HelpTopicRecord> HelpTopics() {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.helpTopics;
}

void Reset() {
  auto& s = State();
  std::map<HWND, std::shared_ptr<Window>> windows;
  std::function<void(HWND)> person;
  std::lock_guard<std::mutex> lock(s.mutex);
  windows.swap(s.windows);
  person.swap(s.person);
  s.posted.clear();
  s.answers.clear();
  s.boxes.clear();
  s.helpTopics.clear();
  s.helpViewer = nullptr;
  s.icons.clear();
  s.iconsByName.clear();
  s.cursor = nullptr;
}

bool Click(HWND dialog, int id) {
  auto c = Control(dialog, id);
  if (!c || c->cls != "Button" || win32host::IsButtonKind(*c, BS_GROUPBOX) || !ReachableByPerson(c))
    return false;
  switch (c->style & BS_TYPEMASK) {
    case BS_AUTOCHECKBOX:
      c->check = c->check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
      break;
    case BS_AUTO3STATE:
      c->check = (c->check + 1) % 3;
      break;
    case BS_AUTORADIOBUTTON: {
      // The group runs from the nearest control at or before this one that
      // starts a group up to the next control that starts one.
      auto parent = win32host::LookupWindow(c->parent);
      std::vector<std::shared_ptr<Window>> siblings;
      for (HWND h : parent->children)
        if (auto w = win32host::LookupWindow(h)) siblings.push_back(w);
      size_t self = 0;
      while (siblings[self] != c) ++self;
      size_t first = self;
      while (first > 0 && !(siblings[first]->style & WS_GROUP)) --first;
      size_t end = self + 1;
      while (end < siblings.size() && !(siblings[end]->style & WS_GROUP)) ++end;
      for (size_t i = first; i < end; ++i)
        if (win32host::IsButtonKind(*siblings[i], BS_AUTORADIOBUTTON))
          siblings[i]->check = siblings[i] == c ? BST_CHECKED : BST_UNCHECKED;
      break;
    }
    default:
      break;
  }
  win32host::Notify(c->parent, c->id, BN_CLICKED, c->hwnd);
  PumpPosted();
  return true;
}

bool Type(HWND dialog, int id, const std::string& text) {
  auto c = Control(dialog, id);
  if (!c || c->cls != "Edit" || (c->style & ES_READONLY) || !ReachableByPerson(c)) return false;
  std::string typed;
  for (char ch : text) {
    // A digits-only edit refuses every other key.
    if ((c->style & ES_NUMBER) && !std::isdigit(static_cast<unsigned char>(ch))) continue;
    typed.push_back(ch);
  }
  c->text = typed;
  win32host::Notify(c->parent, c->id, EN_CHANGE, c->hwnd);
  PumpPosted();
  return true;
}

bool CloseBox(HWND window) {
  auto w = win32host::LookupWindow(window);
  if (!w || !w->visible) return false;
  SendMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
  PumpPosted();
  return true;
}

std::string Text(HWND dialog, int id) {
  auto c = Control(dialog, id);
  return c ? c->text : std::string();
}

bool Checked(HWND dialog, int id) { return IsDlgButtonChecked(dialog, id) == BST_CHECKED; }

bool Enabled(HWND dialog, int id) {
  auto c = Control(dialog, id);
  return c && c->enabled;
}

bool Visible(HWND window) {
  auto w = win32host::LookupWindow(window);
  if (!w) return false;
  for (auto cur = w; cur; cur = cur->parent ? win32host::LookupWindow(cur->parent) : nullptr)
    if (!cur->visible) return false;
  return true;
}

bool Exists(HWND window) { return win32host::LookupWindow(window) != nullptr; }

HCURSOR Cursor() { return GetCursor(); }

WindowInfo Info(HWND window) {
  WindowInfo info{};
  if (auto w = win32host::LookupWindow(window)) {
    info.cls = w->cls;
    info.id = w->id;
    info.style = w->style;
    info.exStyle = w->exStyle;
    info.x = w->x;
    info.y = w->y;
    info.cx = w->cx;
    info.cy = w->cy;
    info.text = w->text;
    info.font = w->font;
    info.pointSize = w->pointSize;
    info.icon = w->icon;
  }
  return info;
}

std::vector<HWND> Children(HWND window) {
  auto w = win32host::LookupWindow(window);
  return w ? w->children : std::vector<HWND>();
}

std::string IconSource(HICON icon, HINSTANCE* module) {
  auto& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.icons.find(icon);
  if (it == s.icons.end()) return {};
  if (module) *module = it->second.module;
  return it->second.name;
}

}  // namespace win32ui
