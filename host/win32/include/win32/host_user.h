/* The host machine's declarations of the user-interface calls (user32,
   comctl32) and of the Control Panel applet interface. Included by
   host_api.h; include "win32/windows.h". Values and field orders are those of
   Windows; records that hold pointers take the host's pointer width, so their
   sizes are given by the *_SIZE macros, as on Windows. */
#pragma once

/* ---- types ------------------------------------------------------------------ */
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef HANDLE HICON;
typedef HANDLE HCURSOR;
typedef HANDLE HBITMAP;
typedef HANDLE HPROPSHEETPAGE;

typedef INT_PTR(CALLBACK* DLGPROC)(HWND, UINT, WPARAM, LPARAM);

#ifndef MAKEINTRESOURCEA
#define MAKEINTRESOURCEA(i) ((LPSTR)(ULONG_PTR)(WORD)(i))
#endif
#ifndef IS_INTRESOURCE
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)
#endif
#define LOWORD(l) ((WORD)(((DWORD_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((DWORD_PTR)(l)) >> 16) & 0xffff))
#define MAKELONG(a, b) \
  ((LONG)(((WORD)(((DWORD_PTR)(a)) & 0xffff)) | ((DWORD)((WORD)(((DWORD_PTR)(b)) & 0xffff))) << 16))
#define MAKEWPARAM(l, h) ((WPARAM)(DWORD)MAKELONG(l, h))

/* ---- window messages --------------------------------------------------------
   Guarded: the thread message queues' part of the subset names some too. */
#ifndef WM_DESTROY
#define WM_DESTROY 0x0002
#endif
#ifndef WM_ENABLE
#define WM_ENABLE 0x000A
#endif
#ifndef WM_SETTEXT
#define WM_SETTEXT 0x000C
#endif
#ifndef WM_GETTEXT
#define WM_GETTEXT 0x000D
#endif
#ifndef WM_GETTEXTLENGTH
#define WM_GETTEXTLENGTH 0x000E
#endif
#ifndef WM_CLOSE
#define WM_CLOSE 0x0010
#endif
#ifndef WM_NOTIFY
#define WM_NOTIFY 0x004E
#endif
#ifndef WM_INITDIALOG
#define WM_INITDIALOG 0x0110
#endif
#ifndef WM_COMMAND
#define WM_COMMAND 0x0111
#endif
#ifndef WM_SYSCOMMAND
#define WM_SYSCOMMAND 0x0112
#endif
#define SC_CLOSE 0xF060

/* ---- window styles ---------------------------------------------------------- */
#define WS_POPUP 0x80000000u
#define WS_CHILD 0x40000000u
#define WS_VISIBLE 0x10000000u
#define WS_DISABLED 0x08000000u
#define WS_CAPTION 0x00C00000u
#define WS_BORDER 0x00800000u
#define WS_SYSMENU 0x00080000u
#define WS_GROUP 0x00020000u
#define WS_TABSTOP 0x00010000u
#define WS_EX_CLIENTEDGE 0x00000200u
#define WS_EX_STATICEDGE 0x00020000u

#define GWL_STYLE (-16)
#define GWL_EXSTYLE (-20)
#define GWL_ID (-12)
#define GWLP_USERDATA (-21)
#define GWLP_ID (-12)
#define DWLP_MSGRESULT 0
#define DWLP_DLGPROC ((int)sizeof(LRESULT))
#define DWLP_USER ((int)(sizeof(LRESULT) + sizeof(DLGPROC)))

/* ---- dialogs ---------------------------------------------------------------- */
#define DS_SETFONT 0x40
#define DS_MODALFRAME 0x80
#define DS_3DLOOK 0x0004
#define DS_CONTROL 0x0400
#define DS_SHELLFONT (DS_SETFONT | 0x0008)

#define IDOK 1
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDYES 6
#define IDNO 7
#define IDHELP 9

/* Templates are packed to 16-bit words as the resource compiler writes them. */
#pragma pack(push, 2)
typedef struct {
  DWORD style;
  DWORD dwExtendedStyle;
  WORD cdit;
  short x;
  short y;
  short cx;
  short cy;
} DLGTEMPLATE, *LPDLGTEMPLATEA;
typedef const DLGTEMPLATE* LPCDLGTEMPLATEA;
typedef const DLGTEMPLATE* LPCDLGTEMPLATE;

typedef struct {
  DWORD style;
  DWORD dwExtendedStyle;
  short x;
  short y;
  short cx;
  short cy;
  WORD id;
} DLGITEMTEMPLATE;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(DLGTEMPLATE) == 18, "DLGTEMPLATE is 18 bytes");
static_assert(sizeof(DLGITEMTEMPLATE) == 18, "DLGITEMTEMPLATE is 18 bytes");
#endif

/* ---- buttons, edits, statics ------------------------------------------------- */
#define BS_PUSHBUTTON 0x0
#define BS_DEFPUSHBUTTON 0x1
#define BS_CHECKBOX 0x2
#define BS_AUTOCHECKBOX 0x3
#define BS_RADIOBUTTON 0x4
#define BS_3STATE 0x5
#define BS_AUTO3STATE 0x6
#define BS_GROUPBOX 0x7
#define BS_AUTORADIOBUTTON 0x9
#define BS_TYPEMASK 0xF

#define BST_UNCHECKED 0x0
#define BST_CHECKED 0x1
#define BST_INDETERMINATE 0x2

#define BM_GETCHECK 0x00F0
#define BM_SETCHECK 0x00F1
#define BM_CLICK 0x00F5
#define BN_CLICKED 0

#define ES_LEFT 0x0000
#define ES_MULTILINE 0x0004
#define ES_AUTOVSCROLL 0x0040
#define ES_AUTOHSCROLL 0x0080
#define ES_READONLY 0x0800
#define ES_NUMBER 0x2000
#define EN_CHANGE 0x0300
#define EM_SETREADONLY 0x00CF
#define EM_LIMITTEXT 0x00C5

#define SS_LEFT 0x0
#define SS_ICON 0x3
#define SS_BLACKFRAME 0x7
#define SS_SUNKEN 0x1000
#define SS_TYPEMASK 0x1F
#define STM_SETICON 0x0170
#define STM_GETICON 0x0171

/* ---- message boxes ------------------------------------------------------------ */
#define MB_OK 0x0
#define MB_OKCANCEL 0x1
#define MB_ABORTRETRYIGNORE 0x2
#define MB_YESNOCANCEL 0x3
#define MB_YESNO 0x4
#define MB_RETRYCANCEL 0x5
#define MB_TYPEMASK 0xF
#define MB_ICONHAND 0x10
#define MB_ICONERROR MB_ICONHAND
#define MB_ICONQUESTION 0x20
#define MB_ICONEXCLAMATION 0x30
#define MB_ICONWARNING MB_ICONEXCLAMATION
#define MB_ICONASTERISK 0x40
#define MB_ICONINFORMATION MB_ICONASTERISK
#define MB_DEFBUTTON1 0x000
#define MB_DEFBUTTON2 0x100
#define MB_DEFBUTTON3 0x200
#define MB_DEFMASK 0xF00

/* ---- icons and cursors: the system's own, named by number ------------------- */
#define IDI_APPLICATION MAKEINTRESOURCEA(32512)
#define IDC_ARROW MAKEINTRESOURCEA(32512)
#define IDC_WAIT MAKEINTRESOURCEA(32514)

/* ---- notifications and property sheets (comctl32) ---------------------------- */
typedef struct tagNMHDR {
  HWND hwndFrom;
  UINT_PTR idFrom;
  UINT code;
} NMHDR, *LPNMHDR;

typedef struct _PSHNOTIFY {
  NMHDR hdr;
  LPARAM lParam;
} PSHNOTIFY, *LPPSHNOTIFY;

#define PSN_FIRST (0U - 200U)
#define PSN_SETACTIVE (PSN_FIRST - 0)
#define PSN_KILLACTIVE (PSN_FIRST - 1)
#define PSN_APPLY (PSN_FIRST - 2)
#define PSN_RESET (PSN_FIRST - 3)
#define PSN_QUERYCANCEL (PSN_FIRST - 9)
#define PSNRET_NOERROR 0
#define PSNRET_INVALID 1
#define PSNRET_INVALID_NOCHANGEPAGE 2

#ifndef WM_USER
#define WM_USER 0x0400
#endif
#define PSM_SETCURSEL (WM_USER + 101)
#define PSM_CHANGED (WM_USER + 104)
#define PSM_UNCHANGED (WM_USER + 109)
#define PSM_GETCURRENTPAGEHWND (WM_USER + 118)

/* The sheet's Apply button. */
#define ID_APPLY_NOW 0x3021

#define PSP_DEFAULT 0x00000000u
#define PSP_DLGINDIRECT 0x00000001u
#define PSP_USEHICON 0x00000002u
#define PSP_USEICONID 0x00000004u
#define PSP_USETITLE 0x00000008u

#define PSH_DEFAULT 0x00000000u
#define PSH_PROPTITLE 0x00000001u
#define PSH_USEHICON 0x00000002u
#define PSH_USEICONID 0x00000004u
#define PSH_PROPSHEETPAGE 0x00000008u
#define PSH_NOAPPLYNOW 0x00000080u
#define PSH_USEPSTARTPAGE 0x00000040u
#define PSH_HASHELP 0x00000200u
#define PSH_MODELESS 0x00000400u

struct _PROPSHEETPAGEA;
typedef UINT(CALLBACK* LPFNPSPCALLBACKA)(HWND, UINT, struct _PROPSHEETPAGEA*);
typedef int(CALLBACK* PFNPROPSHEETCALLBACK)(HWND, UINT, LPARAM);

typedef struct _PROPSHEETPAGEA {
  DWORD dwSize;
  DWORD dwFlags;
  HINSTANCE hInstance;
  union {
    LPCSTR pszTemplate;
    LPCDLGTEMPLATE pResource;
  };
  union {
    HICON hIcon;
    LPCSTR pszIcon;
  };
  LPCSTR pszTitle;
  DLGPROC pfnDlgProc;
  LPARAM lParam;
  LPFNPSPCALLBACKA pfnCallback;
  UINT* pcRefParent;
  LPCSTR pszHeaderTitle;
  LPCSTR pszHeaderSubTitle;
} PROPSHEETPAGEA, *LPPROPSHEETPAGEA;
typedef const PROPSHEETPAGEA* LPCPROPSHEETPAGEA;

typedef struct _PROPSHEETHEADERA {
  DWORD dwSize;
  DWORD dwFlags;
  HWND hwndParent;
  HINSTANCE hInstance;
  union {
    HICON hIcon;
    LPCSTR pszIcon;
  };
  LPCSTR pszCaption;
  UINT nPages;
  union {
    UINT nStartPage;
    LPCSTR pStartPage;
  };
  union {
    LPCPROPSHEETPAGEA ppsp;
    HPROPSHEETPAGE* phpage;
  };
  PFNPROPSHEETCALLBACK pfnCallback;
  union {
    HBITMAP hbmWatermark;
    LPCSTR pszbmWatermark;
  };
  HANDLE hplWatermark;
  union {
    HBITMAP hbmHeader;
    LPCSTR pszbmHeader;
  };
} PROPSHEETHEADERA, *LPPROPSHEETHEADERA;
typedef const PROPSHEETHEADERA* LPCPROPSHEETHEADERA;

#define CCSIZEOF_STRUCT(structname, member) \
  (offsetof(structname, member) + sizeof(((structname*)0)->member))
#define PROPSHEETPAGEA_V1_SIZE CCSIZEOF_STRUCT(PROPSHEETPAGEA, pcRefParent)
#define PROPSHEETPAGEA_V2_SIZE CCSIZEOF_STRUCT(PROPSHEETPAGEA, pszHeaderSubTitle)
#define PROPSHEETHEADERA_V1_SIZE CCSIZEOF_STRUCT(PROPSHEETHEADERA, pfnCallback)
#define PROPSHEETHEADERA_V2_SIZE CCSIZEOF_STRUCT(PROPSHEETHEADERA, hbmHeader)

/* ---- Control Panel applets (cpl.h) ------------------------------------------- */
#define CPL_INIT 1
#define CPL_GETCOUNT 2
#define CPL_INQUIRE 3
#define CPL_SELECT 4
#define CPL_DBLCLK 5
#define CPL_STOP 6
#define CPL_EXIT 7
#define CPL_NEWINQUIRE 8

typedef struct tagCPLINFO {
  int idIcon;
  int idName;
  int idInfo;
  LONG_PTR lData;
} CPLINFO, *LPCPLINFO;

typedef LONG(APIENTRY* APPLET_PROC)(HWND hwndCpl, UINT msg, LPARAM lParam1, LPARAM lParam2);

/* ---- user32 ---------------------------------------------------------------------- */
WIN32_HOST_API INT_PTR WINAPI DialogBoxParamA(HINSTANCE hInstance, LPCSTR lpTemplateName,
                                              HWND hWndParent, DLGPROC lpDialogFunc,
                                              LPARAM dwInitParam);
WIN32_HOST_API INT_PTR WINAPI DialogBoxIndirectParamA(HINSTANCE hInstance,
                                                      LPCDLGTEMPLATEA hDialogTemplate,
                                                      HWND hWndParent, DLGPROC lpDialogFunc,
                                                      LPARAM dwInitParam);
WIN32_HOST_API BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult);
WIN32_HOST_API BOOL WINAPI DestroyWindow(HWND hWnd);
WIN32_HOST_API BOOL WINAPI IsWindow(HWND hWnd);
WIN32_HOST_API HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem);
WIN32_HOST_API int WINAPI GetDlgCtrlID(HWND hWnd);
WIN32_HOST_API HWND WINAPI GetParent(HWND hWnd);
WIN32_HOST_API LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
WIN32_HOST_API LRESULT WINAPI SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg,
                                                  WPARAM wParam, LPARAM lParam);
WIN32_HOST_API BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
WIN32_HOST_API BOOL WINAPI CheckDlgButton(HWND hDlg, int nIDButton, UINT uCheck);
WIN32_HOST_API UINT WINAPI IsDlgButtonChecked(HWND hDlg, int nIDButton);
WIN32_HOST_API BOOL WINAPI CheckRadioButton(HWND hDlg, int nIDFirstButton, int nIDLastButton,
                                            int nIDCheckButton);
WIN32_HOST_API BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable);
WIN32_HOST_API BOOL WINAPI IsWindowEnabled(HWND hWnd);
WIN32_HOST_API BOOL WINAPI SetWindowTextA(HWND hWnd, LPCSTR lpString);
WIN32_HOST_API int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount);
WIN32_HOST_API BOOL WINAPI SetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPCSTR lpString);
WIN32_HOST_API UINT WINAPI GetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPSTR lpString, int cchMax);
WIN32_HOST_API LONG WINAPI GetWindowLongA(HWND hWnd, int nIndex);
WIN32_HOST_API LONG WINAPI SetWindowLongA(HWND hWnd, int nIndex, LONG dwNewLong);
WIN32_HOST_API LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex);
WIN32_HOST_API LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong);
WIN32_HOST_API int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);
WIN32_HOST_API HICON WINAPI LoadIconA(HINSTANCE hInstance, LPCSTR lpIconName);
WIN32_HOST_API HCURSOR WINAPI LoadCursorA(HINSTANCE hInstance, LPCSTR lpCursorName);
WIN32_HOST_API HCURSOR WINAPI SetCursor(HCURSOR hCursor);
WIN32_HOST_API HCURSOR WINAPI GetCursor(void);

/* ---- comctl32 --------------------------------------------------------------------- */
WIN32_HOST_API void WINAPI InitCommonControls(void);
WIN32_HOST_API INT_PTR WINAPI PropertySheetA(LPCPROPSHEETHEADERA lppsph);
