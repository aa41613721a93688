// Comparing 8-bit texts as the system's default locale does: letters of
// either case are equal when the caller ignores case.
#include <cctype>
#include <cstring>

#include "handles.h"

namespace {

int Fold(unsigned char c, bool ignoreCase) { return ignoreCase ? std::tolower(c) : c; }

// -1, 0 or 1 over two counted texts.
int Compare(const char* a, size_t na, const char* b, size_t nb, bool ignoreCase) {
  for (size_t i = 0; i < na && i < nb; ++i) {
    const int ca = Fold(static_cast<unsigned char>(a[i]), ignoreCase);
    const int cb = Fold(static_cast<unsigned char>(b[i]), ignoreCase);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return na == nb ? 0 : (na < nb ? -1 : 1);
}

}  // namespace

extern "C" {

int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2) {
  const char* a = lpString1 == nullptr ? "" : lpString1;
  const char* b = lpString2 == nullptr ? "" : lpString2;
  return Compare(a, std::strlen(a), b, std::strlen(b), true);
}

int WINAPI CompareStringA(LCID Locale, DWORD dwCmpFlags, PCSTR lpString1, int cchCount1,
                          PCSTR lpString2, int cchCount2) {
  (void)Locale;  // one locale on the machine
  if (lpString1 == nullptr || lpString2 == nullptr || (dwCmpFlags & ~NORM_IGNORECASE) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // A negative count: the text runs to its terminator.
  const size_t n1 = cchCount1 < 0 ? std::strlen(lpString1) : static_cast<size_t>(cchCount1);
  const size_t n2 = cchCount2 < 0 ? std::strlen(lpString2) : static_cast<size_t>(cchCount2);
  return Compare(lpString1, n1, lpString2, n2, (dwCmpFlags & NORM_IGNORECASE) != 0) + 2;
}

}  // extern "C"
