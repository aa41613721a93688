// UTF-16 texts from the driver and the USB stack, turned into the caller's
// multibyte text.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "internal.h"

namespace tavrix {

bool WideToText(const uint16_t* wide, size_t units, char* buffer, size_t size) {
  if (size == 0) return true;
  // The C runtime's conversion in the current locale wants wchar_t text;
  // where wchar_t is wider than UTF-16, the pairs are joined first.
  auto* text = static_cast<wchar_t*>(std::malloc((units + 1) * sizeof(wchar_t)));
  if (text == nullptr) return false;
  size_t n = 0;
  for (size_t i = 0; i < units && wide[i] != 0; ++i) {
    uint32_t c = wide[i];
    if (sizeof(wchar_t) > 2 && c >= 0xD800 && c < 0xDC00 && i + 1 < units &&
        wide[i + 1] >= 0xDC00 && wide[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (wide[i + 1] - 0xDC00u);
      ++i;
    }
    text[n++] = static_cast<wchar_t>(c);
  }
  text[n] = 0;
  // At most size - 1 bytes and a terminator inside the buffer. A character
  // the locale cannot show ends the text there, after what came before it.
  size_t written = std::wcstombs(buffer, text, size - 1);
  if (written == static_cast<size_t>(-1)) {
    written = 0;
    std::mbstate_t state{};
    char one[MB_LEN_MAX];
    for (size_t i = 0; i < n; ++i) {
      const size_t bytes = std::wcrtomb(one, text[i], &state);
      if (bytes == static_cast<size_t>(-1) || written + bytes > size - 1) break;
      std::memcpy(buffer + written, one, bytes);
      written += bytes;
    }
  }
  buffer[written] = '\0';
  std::free(text);
  return true;
}

}  // namespace tavrix
