// The module loader: deliverables loaded by their Windows file names, with
// their DllMain called at attach and detach, counted loads, and the program's
// linked modules attached before it runs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Tavrix.h"
#include "win32/host_process.h"
#include "win32/windows.h"

namespace {

struct Notification {
  HINSTANCE instance;
  DWORD reason;
  bool reserved;
};

std::vector<Notification> notifications;
BOOL attachAnswer = TRUE;

}  // namespace

extern "C" __attribute__((visibility("default"))) BOOL ProbeNotified(HINSTANCE instance,
                                                                     DWORD reason, LPVOID reserved);
BOOL ProbeNotified(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  notifications.push_back(Notification{instance, reason, reserved != nullptr});
  return reason == DLL_PROCESS_ATTACH ? attachAnswer : TRUE;
}

namespace {

std::vector<std::string> programArguments;
std::string programCommandLine;

}  // namespace

extern "C" __attribute__((visibility("default"))) int ProbeMainCalled(int argc, char** argv,
                                                                      const char* commandLine);
int ProbeMainCalled(int argc, char** argv, const char* commandLine) {
  programArguments.assign(argv, argv + argc);
  EXPECT_EQ(argv[argc], nullptr);
  programCommandLine = commandLine;
  return argc;
}

namespace {

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    notifications.clear();
    attachAnswer = TRUE;
  }
};

TEST_F(ModuleTest, LoadingByFileNameAttachesOnceAndTheLastFreeDetaches) {
  HMODULE first = LoadLibraryA("probe.DLL");  // Windows compares file names without case
  ASSERT_NE(first, nullptr) << GetLastError();
  ASSERT_EQ(notifications.size(), 1u);
  EXPECT_EQ(notifications[0].reason, DLL_PROCESS_ATTACH);
  EXPECT_EQ(notifications[0].instance, first);
  EXPECT_FALSE(notifications[0].reserved);

  EXPECT_EQ(LoadLibraryA("Probe"), first);  // ".dll" is understood
  EXPECT_EQ(GetModuleHandleA("Probe.dll"), first);
  EXPECT_EQ(notifications.size(), 1u);

  auto answer = reinterpret_cast<int (*)()>(
      reinterpret_cast<void (*)()>(GetProcAddress(first, "ProbeAnswer")));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(GetProcAddress(first, "NoSuchExport"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));

  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_EQ(notifications.size(), 1u) << "one load is still counted";
  EXPECT_TRUE(FreeLibrary(first));
  ASSERT_EQ(notifications.size(), 2u);
  EXPECT_EQ(notifications[1].reason, DLL_PROCESS_DETACH);
  EXPECT_FALSE(notifications[1].reserved) << "detached by FreeLibrary, not by the process ending";

  EXPECT_EQ(GetModuleHandleA("Probe.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_FALSE(FreeLibrary(first));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(ModuleTest, AFailedAttachIsDetachedAndTheLoadFails) {
  attachAnswer = FALSE;
  EXPECT_EQ(LoadLibraryA("Probe.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
  ASSERT_EQ(notifications.size(), 2u);
  EXPECT_EQ(notifications[0].reason, DLL_PROCESS_ATTACH);
  EXPECT_EQ(notifications[1].reason, DLL_PROCESS_DETACH);
  EXPECT_EQ(GetModuleHandleA("Probe.dll"), nullptr);

  attachAnswer = TRUE;
  HMODULE probe = LoadLibraryA("Probe.dll");
  ASSERT_NE(probe, nullptr) << "a later load starts afresh";
  EXPECT_TRUE(FreeLibrary(probe));
}

// A deliverable loaded at run time leaves the process on its last
// FreeLibrary: nothing in it (such as a process-wide unique symbol) keeps it
// mapped, so a later load starts it afresh and another file of the same name
// is not mistaken for it.
TEST_F(ModuleTest, EveryLoadableDeliverableUnloadsOnItsLastFree) {
  for (const char* name : {"Ostrel.cpl", "Celvane.dll", "Quenta.dll"}) {
    SCOPED_TRACE(name);
    ASSERT_EQ(GetModuleHandleA(name), nullptr) << "loaded before the test";
    HMODULE module = LoadLibraryA(name);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(GetModuleHandleA(name), module);
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(GetModuleHandleA(name), nullptr);
  }
}

TEST_F(ModuleTest, UnknownModulesAndBadArgumentsFail) {
  EXPECT_EQ(LoadLibraryA("Missing.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(LoadLibraryA("/nonexistent/Probe.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(LoadLibraryA(nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(GetProcAddress(reinterpret_cast<HMODULE>(0x1234), "x"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// Probe.def numbers ProbeAnswer 3 (and 9 under a second name) and
// ProbeSecret 7 with NONAME.
TEST_F(ModuleTest, ExportsAreFoundByTheOrdinalsTheirListGivesThem) {
  HMODULE probe = LoadLibraryA("Probe.dll");
  ASSERT_NE(probe, nullptr);
  const FARPROC answer = GetProcAddress(probe, "ProbeAnswer");
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(GetProcAddress(probe, MAKEINTRESOURCEA(3)), answer);
  EXPECT_EQ(GetProcAddress(probe, MAKEINTRESOURCEA(9)), answer) << "a second name, one function";

  auto secret = reinterpret_cast<int (*)()>(
      reinterpret_cast<void (*)()>(GetProcAddress(probe, MAKEINTRESOURCEA(7))));
  ASSERT_NE(secret, nullptr) << "the list's decoration is not part of the name";
  EXPECT_EQ(secret(), 7);
  EXPECT_EQ(GetProcAddress(probe, "ProbeSecret"), nullptr) << "NONAME: no name to find it by";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));

  // 0 is no ordinal; 5 is a gap; 8 and 65535 lie above the last.
  for (WORD ordinal : {0, 1, 5, 8, 0xFFFF}) {
    SCOPED_TRACE(ordinal);
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(probe, MAKEINTRESOURCEA(ordinal)), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ORDINAL));
  }
  // A module whose list numbers nothing has no ordinals at all.
  EXPECT_EQ(GetProcAddress(GetModuleHandleA("Tavrix.dll"), MAKEINTRESOURCEA(1)), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ORDINAL));
  EXPECT_TRUE(FreeLibrary(probe));
}

TEST_F(ModuleTest, ALinkedLibraryIsAttachedBeforeTheProgramRuns) {
  // The program links Tavrix: the loader knows it without a LoadLibraryA, and
  // loading it by name gives the same module, whose exports are the linked ones.
  HMODULE tavrix = GetModuleHandleA("TAVRIX.DLL");
  ASSERT_NE(tavrix, nullptr);
  EXPECT_EQ(LoadLibraryA("Tavrix.dll"), tavrix);
  EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(tavrix, "QIROTowerFindFirst")),
            reinterpret_cast<void*>(&QIROTowerFindFirst));
  // FreeLibrary gives back the load, never the program's own reference.
  EXPECT_TRUE(FreeLibrary(tavrix));
  EXPECT_EQ(GetModuleHandleA("Tavrix.dll"), tavrix);
  EXPECT_NE(GetModuleHandleA(nullptr), nullptr);
}

TEST_F(ModuleTest, AModuleFileNameIsCutToTheBufferAndTerminated) {
  HMODULE tavrix = GetModuleHandleA("Tavrix.dll");
  char path[4096] = {};
  const DWORD length = GetModuleFileNameA(tavrix, path, sizeof(path));
  ASSERT_GT(length, 10u);
  EXPECT_EQ(std::string(path).substr(length - 10), "Tavrix.dll");

  char small[6] = {'x', 'x', 'x', 'x', 'x', 'x'};
  EXPECT_EQ(GetModuleFileNameA(tavrix, small, sizeof(small)), sizeof(small));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(std::string(small), std::string(path, 5));
}

// A program started with a command line of its own sees it whole through
// GetCommandLineA and split by the C runtime's rules in main's arguments.
class ProgramTest : public ModuleTest {
 protected:
  // The probe module's host path, the program run here.
  static std::string Probe() {
    char path[4096] = {};
    HMODULE probe = LoadLibraryA("Probe.dll");
    EXPECT_NE(probe, nullptr);
    GetModuleFileNameA(probe, path, sizeof(path));
    FreeLibrary(probe);
    return path;
  }
  std::vector<std::string> Run(const std::string& commandLine) {
    programArguments.clear();
    programCommandLine.clear();
    const int argc = Win32HostRunProgramWithCommandLine(Probe().c_str(), commandLine.c_str());
    EXPECT_EQ(argc, static_cast<int>(programArguments.size()));
    EXPECT_EQ(programCommandLine, commandLine);
    return programArguments;
  }
};

TEST_F(ProgramTest, AProgramRunByItsPathAloneSeesThatPath) {
  const std::string probe = Probe();
  programArguments.clear();
  EXPECT_EQ(Win32HostRunProgram(probe.c_str()), 1);
  EXPECT_EQ(programArguments, std::vector<std::string>{probe});
  EXPECT_EQ(programCommandLine, probe);
  EXPECT_STREQ(GetCommandLineA(), "") << "no program runs now";
}

TEST_F(ProgramTest, TheFirstArgumentEndsAtABlankOrAtItsClosingQuote) {
  EXPECT_EQ(Run("C:\\SETUP\\installer.exe /S"),
            (std::vector<std::string>{"C:\\SETUP\\installer.exe", "/S"}));
  // Unquoted, a path with a blank is cut there; quoted, it is whole, and
  // backslashes before its closing quote are taken as they are.
  EXPECT_EQ(Run("C:\\My Setup\\installer.exe"),
            (std::vector<std::string>{"C:\\My", "Setup\\installer.exe"}));
  EXPECT_EQ(Run("\"C:\\My Setup\\installer.exe\" -x"),
            (std::vector<std::string>{"C:\\My Setup\\installer.exe", "-x"}));
  EXPECT_EQ(Run("\"C:\\SETUP\\\"x"), (std::vector<std::string>{"C:\\SETUP\\", "x"}));
  EXPECT_EQ(Run(""), std::vector<std::string>{""});
}

TEST_F(ProgramTest, LaterArgumentsFollowTheRuntimesQuotingRules) {
  EXPECT_EQ(Run("p  a\tb   \"c d\" e\"f g\"h"),
            (std::vector<std::string>{"p", "a", "b", "c d", "ef gh"}));
  // Backslashes count only before a quote: 2n give n and the quote acts,
  // 2n + 1 give n and a literal quote.
  EXPECT_EQ(Run("p a\\\\b \\\\\"c d\" \\\"e \\\\\\\"f"),
            (std::vector<std::string>{"p", "a\\\\b", "\\c d", "\"e", "\\\"f"}));
  // Two quotes inside a quoted part stand for one.
  EXPECT_EQ(Run("p \"a \"\" b\""), (std::vector<std::string>{"p", "a \" b"}));
  EXPECT_EQ(Run("p \"\""), (std::vector<std::string>{"p", ""}));
}

}  // namespace
