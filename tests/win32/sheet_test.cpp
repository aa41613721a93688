// Property sheets of the headless user interface, driven as a person would:
// pages created on first show, and the notifications Windows sends them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dialog_template.h"
#include "win32/host_ui.h"
#include "win32/windows.h"

namespace towertest {
namespace {

enum : WORD { kButton = 0x80 };

// What the page procedures saw, in order, and what they answer.
std::vector<std::string> events;
LRESULT killActiveAnswer = FALSE;
LRESULT applyAnswer = PSNRET_NOERROR;

INT_PTR CALLBACK PageProc(HWND page, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_INITDIALOG: {
      const auto* psp = reinterpret_cast<const PROPSHEETPAGEA*>(lParam);
      SetWindowLongPtrA(page, DWLP_USER, psp->lParam);
      events.push_back("init " + std::to_string(psp->lParam));
      return TRUE;
    }
    case WM_NOTIFY: {
      const auto* n = reinterpret_cast<const PSHNOTIFY*>(lParam);
      const std::string who = std::to_string(GetWindowLongPtrA(page, DWLP_USER));
      switch (n->hdr.code) {
        case PSN_SETACTIVE:
          events.push_back("setactive " + who);
          break;
        case PSN_KILLACTIVE:
          events.push_back("killactive " + who);
          SetWindowLongPtrA(page, DWLP_MSGRESULT, killActiveAnswer);
          return TRUE;
        case PSN_APPLY:
          events.push_back("apply " + who + (n->lParam ? " ok" : ""));
          SetWindowLongPtrA(page, DWLP_MSGRESULT, applyAnswer);
          return TRUE;
        case PSN_RESET:
          events.push_back("reset " + who + (n->lParam ? " close" : ""));
          break;
        default:
          break;
      }
      SetWindowLongPtrA(page, DWLP_MSGRESULT, 0);
      return TRUE;
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == 50)
        SendMessageA(GetParent(page), PSM_CHANGED, reinterpret_cast<WPARAM>(page), 0);
      if (LOWORD(wParam) == 51)
        PostMessageA(GetParent(page), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(GetParent(page), IDCANCEL)));
      return TRUE;
    case WM_DESTROY:
      events.push_back("destroy " + std::to_string(GetWindowLongPtrA(page, DWLP_USER)));
      return TRUE;
    default:
      return FALSE;
  }
}

class SheetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    events.clear();
    win32ui::Reset();
    InitCommonControls();
  }
  void TearDown() override { win32ui::Reset(); }

  // Three pages from one template that, like every property page, is a
  // hidden, disabled child at creation.
  SheetTest() : page_(WS_CHILD | WS_DISABLED, 0, 0, 236, 157, "Caption", "MS Sans Serif", 8) {
    page_.Add(kButton, 50, BS_PUSHBUTTON | WS_VISIBLE, 7, 7, 50, 14, "&Change")
        .Add(kButton, 51, BS_PUSHBUTTON | WS_VISIBLE, 7, 27, 50, 14, "&Leave");
    for (int i = 0; i < 3; ++i) {
      PROPSHEETPAGEA& p = pages_[i];
      p.dwSize = sizeof(PROPSHEETPAGEA);
      p.dwFlags = PSP_DLGINDIRECT | PSP_USETITLE;
      p.pResource = page_.get();
      p.pszTitle = kTitles[i];
      p.pfnDlgProc = PageProc;
      p.lParam = i + 1;
    }
    header_.dwSize = sizeof(header_);
    header_.dwFlags = PSH_PROPSHEETPAGE;
    header_.pszCaption = "Sheet";
    header_.nPages = 3;
    header_.ppsp = pages_;
  }
  static constexpr const char* kTitles[] = {"One", "Two", "Three"};
  DialogTemplate page_;
  PROPSHEETPAGEA pages_[3] = {};
  PROPSHEETHEADERA header_ = {};
};

TEST_F(SheetTest, PagesAreCreatedOnFirstShowAndOkAppliesOnlyThem) {
  win32ui::SetPerson([&](HWND sheet) {
    char caption[32];
    GetWindowTextA(sheet, caption, sizeof(caption));
    EXPECT_STREQ(caption, "Sheet");
    EXPECT_EQ(win32ui::PageCount(sheet), 3);
    EXPECT_EQ(win32ui::PageTitle(sheet, 2), "Three");
    EXPECT_NE(win32ui::Page(sheet, 0), nullptr);
    EXPECT_EQ(win32ui::Page(sheet, 1), nullptr);
    EXPECT_EQ(win32ui::Page(sheet, 2), nullptr);
    EXPECT_EQ(GetParent(win32ui::Page(sheet, 0)), sheet);
    EXPECT_TRUE(win32ui::Visible(win32ui::Page(sheet, 0)));
    EXPECT_TRUE(win32ui::SwitchPage(sheet, 2));
    EXPECT_FALSE(win32ui::Visible(win32ui::Page(sheet, 0)));
    // A hidden page's controls are out of the person's reach.
    EXPECT_FALSE(win32ui::Click(win32ui::Page(sheet, 0), 50));
    EXPECT_TRUE(win32ui::SwitchPage(sheet, 0));
    EXPECT_EQ(win32ui::Page(sheet, 1), nullptr);
    EXPECT_TRUE(win32ui::Click(sheet, IDOK));
  });
  EXPECT_EQ(PropertySheetA(&header_), IDOK);
  EXPECT_EQ(events,
            (std::vector<std::string>{"init 1", "setactive 1", "killactive 1", "init 3",
                                      "setactive 3", "killactive 3", "setactive 1", "killactive 1",
                                      "apply 1 ok", "apply 3 ok", "destroy 1", "destroy 3"}));
}

TEST_F(SheetTest, CancelAndCloseBoxResetCreatedPagesAndSaveNothing) {
  win32ui::SetPerson([&](HWND sheet) {
    win32ui::SwitchPage(sheet, 1);
    win32ui::Click(sheet, IDCANCEL);
  });
  EXPECT_EQ(PropertySheetA(&header_), 0);
  EXPECT_EQ(events, (std::vector<std::string>{"init 1", "setactive 1", "killactive 1", "init 2",
                                              "setactive 2", "reset 1", "reset 2", "destroy 1",
                                              "destroy 2"}));
  events.clear();
  win32ui::SetPerson([&](HWND sheet) { EXPECT_TRUE(win32ui::CloseBox(sheet)); });
  EXPECT_EQ(PropertySheetA(&header_), 0);
  EXPECT_EQ(events,
            (std::vector<std::string>{"init 1", "setactive 1", "reset 1 close", "destroy 1"}));
}

TEST_F(SheetTest, ApplyStaysDisabledUntilAPageReportsAChange) {
  win32ui::SetPerson([&](HWND sheet) {
    EXPECT_FALSE(win32ui::Enabled(sheet, ID_APPLY_NOW));
    EXPECT_FALSE(win32ui::Click(sheet, ID_APPLY_NOW));
    EXPECT_EQ(GetDlgItem(sheet, IDHELP), nullptr);
    EXPECT_TRUE(win32ui::Click(win32ui::Page(sheet, 0), 50));
    EXPECT_TRUE(win32ui::Enabled(sheet, ID_APPLY_NOW));
    EXPECT_TRUE(win32ui::Click(sheet, ID_APPLY_NOW));
    EXPECT_FALSE(win32ui::Enabled(sheet, ID_APPLY_NOW));
    EXPECT_TRUE(win32ui::Exists(sheet));
    win32ui::Click(sheet, IDCANCEL);
  });
  EXPECT_EQ(PropertySheetA(&header_), 0);
  EXPECT_EQ(events, (std::vector<std::string>{"init 1", "setactive 1", "killactive 1", "apply 1",
                                              "reset 1", "destroy 1"}));
}

TEST_F(SheetTest, PagesMayRefuseToBeLeftOrApplied) {
  win32ui::SetPerson([&](HWND sheet) {
    killActiveAnswer = TRUE;
    EXPECT_FALSE(win32ui::SwitchPage(sheet, 1));
    EXPECT_EQ(win32ui::CurrentPage(sheet), 0);
    EXPECT_TRUE(win32ui::Click(sheet, IDOK));
    EXPECT_TRUE(win32ui::Exists(sheet));
    killActiveAnswer = FALSE;
    EXPECT_TRUE(win32ui::SwitchPage(sheet, 1));
    applyAnswer = PSNRET_INVALID;
    EXPECT_TRUE(win32ui::Click(sheet, IDOK));
    EXPECT_EQ(win32ui::CurrentPage(sheet), 0);  // the first page that refused
    applyAnswer = PSNRET_INVALID_NOCHANGEPAGE;
    EXPECT_TRUE(win32ui::Click(sheet, IDOK));
    EXPECT_TRUE(win32ui::Exists(sheet));
    applyAnswer = PSNRET_NOERROR;
    EXPECT_TRUE(win32ui::Click(sheet, IDOK));
  });
  EXPECT_EQ(PropertySheetA(&header_), IDOK);
}

TEST_F(SheetTest, APageClosesTheSheetByPostingItsCancelCommand) {
  win32ui::SetPerson([&](HWND sheet) { EXPECT_TRUE(win32ui::Click(win32ui::Page(sheet, 0), 51)); });
  EXPECT_EQ(PropertySheetA(&header_), 0);
  EXPECT_EQ(events, (std::vector<std::string>{"init 1", "setactive 1", "reset 1", "destroy 1"}));
}

TEST_F(SheetTest, StartPageAndMalformedHeaders) {
  header_.nStartPage = 2;
  pages_[1].dwFlags &= ~PSP_USETITLE;
  win32ui::SetPerson([&](HWND sheet) {
    EXPECT_EQ(win32ui::CurrentPage(sheet), 2);
    // Without a title of its own a page is named by its template's caption.
    EXPECT_EQ(win32ui::PageTitle(sheet, 1), "Caption");
    EXPECT_EQ(win32ui::Page(sheet, 0), nullptr);
    win32ui::Click(sheet, IDOK);
  });
  EXPECT_EQ(PropertySheetA(&header_), IDOK);
  EXPECT_EQ(events, (std::vector<std::string>{"init 3", "setactive 3", "killactive 3", "apply 3 ok",
                                              "destroy 3"}));
  header_.dwSize = 8;
  EXPECT_EQ(PropertySheetA(&header_), -1);
  EXPECT_EQ(PropertySheetA(nullptr), -1);
  header_.dwSize = sizeof(header_);
  pages_[1].dwSize = 12;
  EXPECT_EQ(PropertySheetA(&header_), -1);
}

}  // namespace
}  // namespace towertest
