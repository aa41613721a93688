// Builds dialog templates in the resource compiler's in-memory formats
// (DLGTEMPLATE with DWORD-aligned DLGITEMTEMPLATE items, or the extended
// DLGTEMPLATEEX of DIALOGEX; DS_SETFONT), so tests of the headless interface
// need no module resources.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "win32/windows.h"

namespace towertest {

class DialogTemplate {
 public:
  DialogTemplate(DWORD style, short x, short y, short cx, short cy, const std::string& title,
                 const std::string& font = "", WORD pointSize = 8, bool extended = false)
      : extended_(extended) {
    if (extended_) {
      Word(1);       // version
      Word(0xFFFF);  // signature
      Dword(0);      // help id
      Dword(0);      // extended style
      Dword(font.empty() ? style : (style | DS_SETFONT));
    } else {
      Dword(font.empty() ? style : (style | DS_SETFONT));
      Dword(0);
    }
    countAt_ = bytes_.size();
    Word(0);
    Word(static_cast<WORD>(x));
    Word(static_cast<WORD>(y));
    Word(static_cast<WORD>(cx));
    Word(static_cast<WORD>(cy));
    Word(0);  // no menu
    Word(0);  // the dialog manager's class
    Text(title);
    if (!font.empty()) {
      Word(pointSize);
      if (extended_) {
        Word(400);  // weight
        Word(0);    // italic, character set
      }
      Text(font);
    }
  }

  // A control of a predefined class: 0x80 button, 0x81 edit, 0x82 static.
  DialogTemplate& Add(WORD atom, WORD id, DWORD style, short x, short y, short cx, short cy,
                      const std::string& text, WORD titleOrdinal = 0) {
    while (bytes_.size() % 4) bytes_.push_back(0);
    if (extended_) Dword(0);  // help id
    Dword(extended_ ? 0 : (style | WS_CHILD));
    Dword(extended_ ? (style | WS_CHILD) : 0);
    Word(static_cast<WORD>(x));
    Word(static_cast<WORD>(y));
    Word(static_cast<WORD>(cx));
    Word(static_cast<WORD>(cy));
    if (extended_)
      Dword(id);
    else
      Word(id);
    Word(0xFFFF);
    Word(atom);
    if (titleOrdinal) {
      Word(0xFFFF);
      Word(titleOrdinal);
    } else {
      Text(text);
    }
    Word(0);  // no creation data
    ++count_;
    std::memcpy(&bytes_[countAt_], &count_, sizeof(count_));
    return *this;
  }

  LPCDLGTEMPLATEA get() {
    aligned_.assign((bytes_.size() + 3) / 4, 0);
    std::memcpy(aligned_.data(), bytes_.data(), bytes_.size());
    return reinterpret_cast<LPCDLGTEMPLATEA>(aligned_.data());
  }

 private:
  void Word(WORD w) {
    bytes_.push_back(static_cast<BYTE>(w));
    bytes_.push_back(static_cast<BYTE>(w >> 8));
  }
  void Dword(DWORD d) {
    Word(static_cast<WORD>(d));
    Word(static_cast<WORD>(d >> 16));
  }
  void Text(const std::string& s) {
    for (char c : s) Word(static_cast<BYTE>(c));
    Word(0);
  }

  bool extended_;
  std::vector<BYTE> bytes_;
  std::vector<DWORD> aligned_;
  size_t countAt_ = 0;
  WORD count_ = 0;
};

}  // namespace towertest
