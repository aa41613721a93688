// The headless user interface driven as a person would: dialogs built from
// templates, the standard controls, message boxes, cursors and icons.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dialog_template.h"
#include "win32/host_ui.h"
#include "win32/windows.h"

namespace towertest {
namespace {

enum : WORD { kButton = 0x80, kEdit = 0x81, kStatic = 0x82 };

// What the dialog procedures saw, in order.
std::vector<std::string> events;

INT_PTR CALLBACK RecordingProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_INITDIALOG:
      events.push_back("init " + std::to_string(lParam));
      return TRUE;
    case WM_COMMAND:
      events.push_back("command " + std::to_string(LOWORD(wParam)) + " " +
                       std::to_string(HIWORD(wParam)));
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) EndDialog(dialog, LOWORD(wParam));
      return TRUE;
    case WM_DESTROY:
      events.push_back("destroy");
      return TRUE;
    default:
      return FALSE;
  }
}

class UiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    events.clear();
    win32ui::Reset();
  }
  void TearDown() override { win32ui::Reset(); }

  // A dialog with a group of three automatic radio buttons, a second group of
  // two, a check box, a digits-only edit, a free edit, a read-only
  // multi-line edit, a static, and OK and Cancel.
  static DialogTemplate Form(bool extended = false) {
    DialogTemplate t(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME, 0, 0, 200, 150, "Form",
                     "MS Sans Serif", 8, extended);
    t.Add(kButton, 0, BS_GROUPBOX | WS_VISIBLE, 5, 5, 90, 60, "Range")
        .Add(kButton, 100, BS_AUTORADIOBUTTON | WS_VISIBLE | WS_GROUP | WS_TABSTOP, 10, 15, 40, 10,
             "&Short")
        .Add(kButton, 101, BS_AUTORADIOBUTTON | WS_VISIBLE, 10, 28, 40, 10, "&Medium")
        .Add(kButton, 102, BS_AUTORADIOBUTTON | WS_VISIBLE, 10, 41, 40, 10, "&Long")
        .Add(kButton, 103, BS_AUTORADIOBUTTON | WS_VISIBLE | WS_GROUP | WS_TABSTOP, 100, 15, 40, 10,
             "IR")
        .Add(kButton, 104, BS_AUTORADIOBUTTON | WS_VISIBLE, 100, 28, 40, 10, "VLL")
        .Add(kButton, 105, BS_AUTOCHECKBOX | WS_VISIBLE | WS_GROUP | WS_TABSTOP, 10, 70, 100, 10,
             "&Enable")
        .Add(kEdit, 106, ES_NUMBER | ES_AUTOHSCROLL | WS_BORDER | WS_VISIBLE, 10, 85, 40, 14, "")
        .Add(kEdit, 107, ES_AUTOHSCROLL | WS_BORDER | WS_VISIBLE, 60, 85, 40, 14, "")
        .Add(kEdit, 108, ES_MULTILINE | ES_READONLY | WS_VISIBLE, 110, 85, 80, 30, "")
        .Add(kStatic, 0xFFFF, SS_LEFT | WS_VISIBLE, 10, 100, 60, 8, "(msec)")
        .Add(kButton, IDOK, BS_DEFPUSHBUTTON | WS_VISIBLE | WS_TABSTOP, 90, 130, 50, 14, "OK")
        .Add(kButton, IDCANCEL, BS_PUSHBUTTON | WS_VISIBLE | WS_TABSTOP, 145, 130, 50, 14,
             "Cancel");
    return t;
  }
};

class TemplateFormats : public UiTest, public ::testing::WithParamInterface<bool> {};

TEST_P(TemplateFormats, DialogIsBuiltFromItsTemplateWithFontPositionsAndClasses) {
  DialogTemplate t = Form(GetParam());
  HWND seen = nullptr;
  win32ui::SetPerson([&](HWND dialog) {
    seen = dialog;
    const win32ui::WindowInfo info = win32ui::Info(dialog);
    EXPECT_EQ(info.font, "MS Sans Serif");
    EXPECT_EQ(info.pointSize, 8);
    EXPECT_EQ(info.cx, 200);
    EXPECT_EQ(info.text, "Form");
    EXPECT_EQ(win32ui::Children(dialog).size(), 13u);
    const win32ui::WindowInfo radio = win32ui::Info(GetDlgItem(dialog, 101));
    EXPECT_EQ(radio.cls, "Button");
    EXPECT_EQ(radio.y, 28);
    EXPECT_EQ(radio.text, "&Medium");
    EXPECT_EQ(win32ui::Info(GetDlgItem(dialog, 106)).cls, "Edit");
    EXPECT_EQ(win32ui::Info(GetDlgItem(dialog, 0xFFFF)).cls, "Static");
    EXPECT_EQ(GetParent(GetDlgItem(dialog, 106)), dialog);
    EXPECT_EQ(GetDlgItem(dialog, 555), nullptr);
    EXPECT_TRUE(win32ui::Click(dialog, IDOK));
  });
  EXPECT_EQ(DialogBoxIndirectParamA(nullptr, t.get(), nullptr, RecordingProc, 42), IDOK);
  EXPECT_EQ(events, (std::vector<std::string>{"init 42", "command 1 0", "destroy"}));
  EXPECT_FALSE(IsWindow(seen));
}

// DIALOG and DIALOGEX statements compile to the two formats.
INSTANTIATE_TEST_SUITE_P(DialogAndDialogEx, TemplateFormats, ::testing::Bool());

TEST_F(UiTest, AutomaticRadioButtonsKeepOneCheckedPerGroup) {
  DialogTemplate t = Form();
  win32ui::SetPerson([&](HWND d) {
    CheckDlgButton(d, 102, BST_CHECKED);
    CheckDlgButton(d, 103, BST_CHECKED);
    EXPECT_TRUE(win32ui::Click(d, 100));
    EXPECT_TRUE(win32ui::Checked(d, 100));
    EXPECT_FALSE(win32ui::Checked(d, 102));
    // The other group is left as it was.
    EXPECT_TRUE(win32ui::Checked(d, 103));
    EXPECT_TRUE(win32ui::Click(d, 104));
    EXPECT_EQ(IsDlgButtonChecked(d, 103), static_cast<UINT>(BST_UNCHECKED));
    EXPECT_TRUE(win32ui::Checked(d, 100));
    // CheckDlgButton sets one button only, as on Windows.
    CheckDlgButton(d, 101, BST_CHECKED);
    EXPECT_TRUE(win32ui::Checked(d, 100));
    EXPECT_TRUE(win32ui::Checked(d, 101));
    // The check box toggles; the group box takes no click.
    EXPECT_TRUE(win32ui::Click(d, 105));
    EXPECT_TRUE(win32ui::Checked(d, 105));
    EXPECT_TRUE(win32ui::Click(d, 105));
    EXPECT_FALSE(win32ui::Checked(d, 105));
    EXPECT_FALSE(win32ui::Click(d, 0));
    win32ui::Click(d, IDCANCEL);
  });
  EXPECT_EQ(DialogBoxIndirectParamA(nullptr, t.get(), nullptr, RecordingProc, 0), IDCANCEL);
  EXPECT_EQ(events,
            (std::vector<std::string>{"init 0", "command 100 0", "command 104 0", "command 105 0",
                                      "command 105 0", "command 2 0", "destroy"}));
}

TEST_F(UiTest, DisabledControlsRefuseThePerson) {
  DialogTemplate t = Form();
  win32ui::SetPerson([&](HWND d) {
    EXPECT_FALSE(EnableWindow(GetDlgItem(d, 102), FALSE));  // was enabled
    EXPECT_TRUE(EnableWindow(GetDlgItem(d, 102), FALSE));   // was disabled
    EXPECT_FALSE(win32ui::Enabled(d, 102));
    EXPECT_FALSE(win32ui::Click(d, 102));
    EXPECT_FALSE(win32ui::Checked(d, 102));
    EXPECT_TRUE(GetWindowLongA(GetDlgItem(d, 102), GWL_STYLE) & WS_DISABLED);
    EnableWindow(GetDlgItem(d, 106), FALSE);
    EXPECT_FALSE(win32ui::Type(d, 106, "12"));
    EnableWindow(GetDlgItem(d, 102), TRUE);
    EXPECT_TRUE(win32ui::Click(d, 102));
    win32ui::Click(d, IDOK);
  });
  DialogBoxIndirectParamA(nullptr, t.get(), nullptr, RecordingProc, 0);
}

TEST_F(UiTest, EditsTakeTypingByTheirStyleAndReadBackCut) {
  DialogTemplate t = Form();
  win32ui::SetPerson([&](HWND d) {
    // Digits only: letters are refused key by key.
    EXPECT_TRUE(win32ui::Type(d, 106, "1a2b3"));
    EXPECT_EQ(win32ui::Text(d, 106), "123");
    EXPECT_TRUE(win32ui::Type(d, 107, "abc"));
    EXPECT_EQ(win32ui::Text(d, 107), "abc");
    EXPECT_FALSE(win32ui::Type(d, 108, "x"));
    // The program may set any text, also in a digits-only edit.
    EXPECT_TRUE(SetDlgItemTextA(d, 106, "-5"));
    char buffer[4];
    EXPECT_EQ(GetDlgItemTextA(d, 107, buffer, sizeof(buffer)), 3u);
    EXPECT_STREQ(buffer, "abc");
    SetDlgItemTextA(d, 107, "abcdef");
    EXPECT_EQ(GetDlgItemTextA(d, 107, buffer, sizeof(buffer)), 3u);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(GetDlgItemTextA(d, 555, buffer, sizeof(buffer)), 0u);
    EXPECT_STREQ(buffer, "");
    SetDlgItemTextA(d, 108, "line one\r\nline two");
    EXPECT_EQ(win32ui::Text(d, 108), "line one\r\nline two");
    win32ui::Click(d, IDOK);
  });
  DialogBoxIndirectParamA(nullptr, t.get(), nullptr, RecordingProc, 0);
  // Typing and setting a single-line edit's text tell the dialog
  // (EN_CHANGE, 0x300 = 768); the multi-line edit's setting does not.
  const std::vector<std::string> expected = {
      "init 0",          "command 106 768", "command 107 768", "command 106 768",
      "command 107 768", "command 1 0",     "destroy"};
  EXPECT_EQ(events, expected);
}

TEST_F(UiTest, PostedMessagesArriveAfterTheActionAndCloseBoxCancels) {
  DialogTemplate t = Form();
  win32ui::SetPerson([&](HWND d) {
    EXPECT_TRUE(PostMessageA(d, WM_COMMAND, MAKEWPARAM(105, BN_CLICKED), 0));
    EXPECT_EQ(events.size(), 1u);  // not yet delivered
    EXPECT_TRUE(win32ui::CloseBox(d));
  });
  EXPECT_EQ(DialogBoxIndirectParamA(nullptr, t.get(), nullptr, RecordingProc, 0), IDCANCEL);
  EXPECT_EQ(events,
            (std::vector<std::string>{"init 0", "command 105 0", "command 2 0", "destroy"}));
  EXPECT_FALSE(PostMessageA(reinterpret_cast<HWND>(0x1234), WM_COMMAND, 0, 0));
}

TEST_F(UiTest, PersonWhoLeavesTheDialogOpenHasItClosedByTheCloseBox) {
  DialogTemplate t = Form();
  win32ui::SetPerson([](HWND) {});
  EXPECT_EQ(DialogBoxIndirectParamA(nullptr, t.get(), nullptr, RecordingProc, 0), IDCANCEL);
}

TEST_F(UiTest, MessageBoxesRecordAndAnswerAsScripted) {
  EXPECT_EQ(MessageBoxA(nullptr, "Sure?", "Caption", MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2),
            IDNO);  // nothing queued: the default button
  win32ui::QueueAnswer(IDYES);
  EXPECT_EQ(MessageBoxA(nullptr, "Sure?", "Caption", 0x124), IDYES);
  EXPECT_EQ(MessageBoxA(nullptr, "Done", nullptr, MB_OK), IDOK);
  EXPECT_EQ(MessageBoxA(reinterpret_cast<HWND>(0x1234), "lost", "c", MB_OK), 0);
  const auto boxes = win32ui::MessageBoxes();
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[0].style, 0x124u);
  EXPECT_EQ(boxes[1].answer, IDYES);
  EXPECT_EQ(boxes[2].caption, "Error");
  EXPECT_EQ(boxes[2].text, "Done");
}

TEST_F(UiTest, CursorsAndSystemIcons) {
  HCURSOR wait = LoadCursorA(nullptr, IDC_WAIT);
  ASSERT_NE(wait, nullptr);
  HCURSOR before = GetCursor();
  EXPECT_EQ(SetCursor(wait), before);
  EXPECT_EQ(win32ui::Cursor(), wait);
  EXPECT_EQ(SetCursor(before), wait);
  EXPECT_NE(LoadIconA(nullptr, IDI_APPLICATION), nullptr);
  EXPECT_EQ(LoadIconA(nullptr, MAKEINTRESOURCEA(2)), nullptr);
}

}  // namespace
}  // namespace towertest
