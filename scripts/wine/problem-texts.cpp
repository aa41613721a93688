// Prints the problem texts Tavrix.dll gives for a few problem numbers, one
// "number: text" line each: the Wine tier compares them with the library's
// string table, so a text that does not come from the DLL's resources shows.
// Usage: problem-texts NUMBER... (hexadecimal, e.g. 0 1f 99)
#include <cstdio>
#include <cstdlib>

#include "Tavrix.h"

int main(int argc, char** argv) {
  int failed = 0;
  for (int i = 1; i < argc; ++i) {
    const DWORD problem = static_cast<DWORD>(std::strtoul(argv[i], nullptr, 16));
    char text[256] = {};
    if (!QIROTowerGetProblemDesc(problem, text, sizeof(text))) {
      std::printf("%lx: (no text, error %lu)\n", static_cast<unsigned long>(problem),
                  static_cast<unsigned long>(GetLastError()));
      failed = 1;
      continue;
    }
    std::printf("%lx: %s\n", static_cast<unsigned long>(problem), text);
  }
  return failed;
}
