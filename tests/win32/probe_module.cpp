// A module for the loader's tests: its DllMain reports every notification to
// the test program, which decides what an attach returns.
#include "win32/windows.h"

// Defined by the test program (exported from it).
extern "C" BOOL ProbeNotified(HINSTANCE instance, DWORD reason, LPVOID reserved);
extern "C" int ProbeMainCalled(int argc, char** argv, const char* commandLine);

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
extern "C" __attribute__((visibility("default"))) int ProbeAnswer();
extern "C" __attribute__((visibility("default"))) int ProbeSecret();
// The probe run as a program: it reports its arguments and command line.
extern "C" __attribute__((visibility("default"))) int main(int argc, char** argv);

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  return ProbeNotified(instance, reason, reserved);
}

int ProbeAnswer() { return 42; }

int ProbeSecret() { return 7; }

int main(int argc, char** argv) { return ProbeMainCalled(argc, argv, GetCommandLineA()); }
