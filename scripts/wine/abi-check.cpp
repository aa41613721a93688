// Binds the libraries as programs built by other compilers do, and checks
// what only the binary interface promises:
//   abi-check tavrix        calls every export of Tavrix.dll through its
//                           import (standard calls, bound by the import
//                           library's decorated names), with no tower, and
//                           checks that each callee pops exactly the bytes
//                           its declaration pushes;
//   abi-check celvane       walks the port's 21 slots by position with no
//                           tower, each slot answering as only it can;
//   abi-check celvane PATH  walks them with the tower at PATH open, sending
//                           bytes and hearing them back.
// Prints one line per call and a summary; exits 0 when every check held.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "Celvane.h"
#include "Tavrix.h"
#include "port_table.h"

extern "C" int CallThroughTable(void* port, const char* path);

namespace {

int failures = 0;
int calls = 0;

void Fail(const char* what) {
  std::printf("FAIL %s\n", what);
  ++failures;
}

// The stack pointer, read where the caller stands: a standard call returns
// with the arguments popped by the callee, so the pointer is the same after
// the call as before it unless the two sides disagree on their size.
#if defined(__i386__)
#define STACK_POINTER(v) __asm__ volatile("movl %%esp, %0" : "=r"(v)::"memory")
#elif defined(__x86_64__)
#define STACK_POINTER(v) __asm__ volatile("movq %%rsp, %0" : "=r"(v)::"memory")
#else
#error "abi-check reads the stack pointer of x86 targets only"
#endif

void Report(const char* name, uintptr_t before, uintptr_t after, uintptr_t result) {
  const DWORD error = GetLastError();
  ++calls;
  if (before != after) {
    std::printf("FAIL export %s: stack moved by %ld bytes across the call\n", name,
                static_cast<long>(after - before));
    ++failures;
    return;
  }
  std::printf("export %s: returned %lu, error %lu\n", name, static_cast<unsigned long>(result),
              static_cast<unsigned long>(error));
}

// Calls one export and reports it by its exported (undecorated) name.
#define CALL(fn, ...)                                      \
  do {                                                     \
    uintptr_t before = 0;                                  \
    uintptr_t after = 0;                                   \
    SetLastError(0);                                       \
    STACK_POINTER(before);                                 \
    const uintptr_t result = (uintptr_t)(fn(__VA_ARGS__)); \
    STACK_POINTER(after);                                  \
    Report(#fn, before, after, result);                    \
  } while (0)

int CheckTavrix() {
  // No tower: every handle call meets a handle that names nothing, every
  // search finds nothing, and nothing may crash or unbalance the stack.
  HANDLE tower = INVALID_HANDLE_VALUE;
  WORD word = 0;
  WORD word2 = 0;
  BYTE byte = 0;
  DWORD d[4] = {};
  char text[256] = {};
  QIROTOWER_VERSION version = {};
  QIROTOWER_CAPS caps = {};
  QIROTOWER_COMMSTATS stats = {};
  QIROTOWER_CONFIG config = {};
  QIROTOWER_DEVICEINFO info = {};
  QIROTOWER_HCINFO hc = {};

  QIROTOWER_FIND* find = nullptr;
  {
    uintptr_t before = 0;
    uintptr_t after = 0;
    STACK_POINTER(before);
    find = QIROTowerFindFirst(QIROTOWER_FIND_PRESENT);
    STACK_POINTER(after);
    Report("QIROTowerFindFirst", before, after, reinterpret_cast<uintptr_t>(find));
  }
  CALL(QIROTowerFindNext, find);
  CALL(QIROTowerFindPrev, find);
  CALL(QIROTowerGetPathName, find);
  CALL(QIROTowerGetPathNameCopy, find, text, sizeof(text));
  CALL(QIROTowerGetDeviceInfo, find, &info);
  CALL(QIROTowerFindStop, find);
  CALL(QIROTowerGetWin32Error, 0xC0000001u);

  CALL(QIROTowerSetRange, tower, 1);
  CALL(QIROTowerGetRange, tower, &word);
  CALL(QIROTowerSetLinkMode, tower, 0);
  CALL(QIROTowerGetLinkMode, tower, &word);
  CALL(QIROTowerSetEndianness, tower, 0);
  CALL(QIROTowerGetEndianness, tower, &word);
  CALL(QIROTowerSetLedMode, tower, 0);
  CALL(QIROTowerGetLedMode, tower, &byte);
  CALL(QIROTowerSetLedState, tower, 1, 1);
  CALL(QIROTowerGetLedState, tower, 1, &byte);
  CALL(QIROTowerSetCarrierFrequency, tower, 38);
  CALL(QIROTowerGetCarrierFrequency, tower, &word);
  CALL(QIROTowerSetCarrierDutyCycle, tower, 1, 50);
  CALL(QIROTowerGetCarrierDutyCycle, tower, 1, &word);
  CALL(QIROTowerSetIRCParm, tower, 1, 2, 3);
  CALL(QIROTowerGetIRCParm, tower, 1, &byte);
  CALL(QIROTowerSetIRCPacketSize, tower, 8);
  CALL(QIROTowerGetIRCPacketSize, tower, &byte);
  CALL(QIROTowerSetIRCTimeFrame, tower, 4);
  CALL(QIROTowerGetIRCTimeFrame, tower, &byte);
  CALL(QIROTowerSetIRSpeed, tower, 1, 1);
  CALL(QIROTowerGetIRSpeed, tower, &word, &word2);
  CALL(QIROTowerSetTimeouts, tower, 200, 100, 50);
  CALL(QIROTowerGetTimeouts, tower, &d[0], &d[1], &d[2]);
  CALL(QIROTowerFlush, tower, 3);
  CALL(QIROTowerReset, tower);
  CALL(QIROTowerResetCommStats, tower);
  CALL(QIROTowerGetErrorState, tower, &word);
  CALL(QIROTowerGetState, tower, &word);
  CALL(QIROTowerGetVersion, tower, &version);
  CALL(QIROTowerGetCaps, tower, 1, &caps);
  CALL(QIROTowerGetCommStats, tower, &stats);
  CALL(QIROTowerGetCopyright, tower, text, sizeof(text));
  CALL(QIROTowerGetCredits, tower, text, sizeof(text));

  // The stored defaults: read, and written back unchanged.
  config.Size = sizeof(config);
  CALL(QIROTowerGetFactoryConfig, &config);
  CALL(QIROTowerGetDefaultConfig, &config);
  CALL(QIROTowerSetDefaultConfig, &config);
  CALL(QIROTowerRestart, tower);
  CALL(QIROTowerRestartAll);
  CALL(QIROTowerReenumerateAll);
  CALL(QIROTowerIsUSBEnabled);
  CALL(QIROTowerGetDeviceInfoByNumber, 1, QIROTOWER_FIND_PRESENT, &info);
  CALL(QIROTowerGetHostControllerInfo, 0, &hc);
  CALL(QIROTowerGetProblemDesc, 28, text, sizeof(text));
  std::printf("tavrix: %d exports called, %d failed\n", calls, failures);
  return failures == 0 ? 0 : 1;
}

// A completion routine that is never called: no transfer is queued.
LONG WINAPI Completed(ULONG, LONG, unsigned char*, ULONG, void*) { return 0; }

// One slot's answer against the one only it gives here.
void Expect(int slot, const char* name, LONG32 got, LONG32 want) {
  if (got == want) {
    std::printf("slot %2d %-13s 0x%08lX\n", slot, name, static_cast<unsigned long>(got));
    return;
  }
  std::printf("FAIL slot %2d %s: 0x%08lX, expected 0x%08lX\n", slot, name,
              static_cast<unsigned long>(got), static_cast<unsigned long>(want));
  ++failures;
}

// Each slot by position, with no tower: arguments chosen so that a slot
// moved to a neighbour's place gives an answer that neighbour would not.
int WalkWithoutTower(void* port) {
  const PortTable* t = *static_cast<const PortTable* const*>(port);
  PortDesc desc = {};
  char reply[32] = {};
  ULONG32 value = 0;
  ULONG32 mode = 0;
  void* callback = reinterpret_cast<void*>(1);
  unsigned char data[3] = {1, 2, 3};
  ULONG32 count = 7;
  const LONG32 ok = 0;
  const auto code = [](LONG code) { return static_cast<LONG32>(code); };
  Expect(0, "addref", static_cast<LONG32>(t->addref(port)), 2);
  Expect(1, "release", static_cast<LONG32>(t->release(port)), 1);
  Expect(2, "open(desc)", t->open_desc(port, nullptr, "ir"), code(ZMB_E_INVALIDARG));
  Expect(3, "open(path)", t->open_path(port, "", nullptr), code(ZMB_E_INVALIDARG));
  Expect(4, "close", t->close(port), code(ZMB_E_NOTOPEN));
  Expect(5, "send", t->send(port, data, 3, &count, nullptr), code(ZMB_E_NOTOPEN));
  Expect(6, "recv", t->recv(port, data, 3, &count, nullptr), code(ZMB_E_NOTOPEN));
  Expect(7, "settimeout", t->settimeout(port, 321, 45), code(ZMB_E_NOTOPEN));
  Expect(8, "gettimeout", t->gettimeout(port, nullptr, nullptr), code(ZMB_E_INVALIDARG));
  Expect(9, "devicecontrol", t->devicecontrol(port, "porttype", reply, sizeof(reply)),
         code(ZMB_E_NOTOPEN));
  Expect(10, "findfirst", t->findfirst(port, &desc), code(ZMB_E_NOPORT));
  Expect(11, "findnext", t->findnext(port, &desc, nullptr), code(ZMB_E_INVALIDARG));
  // The two mode setters and getters share their shapes: the transmit side
  // is put in callback mode, so a setter or getter of the other side in its
  // place shows in the mode read back.
  void* const queued = reinterpret_cast<void*>(&Completed);
  Expect(12, "settxmode", t->settxmode(port, ZMB_PORTMODE_CALLBACK, queued), ok);
  Expect(13, "gettxmode", t->gettxmode(port, &mode, &callback), ok);
  if (mode != ZMB_PORTMODE_CALLBACK || callback != queued)
    Fail("slot 13 gettxmode: not the callback mode slot 12 set");
  Expect(14, "setrxmode", t->setrxmode(port, ZMB_PORTMODE_CALLBACK, nullptr),
         code(ZMB_E_INVALIDARG));
  mode = 0;
  Expect(15, "getrxmode", t->getrxmode(port, &mode, nullptr), ok);
  if (mode != ZMB_PORTMODE_SYNC) Fail("slot 15 getrxmode: not synchronous");
  if (t->settxmode(port, ZMB_PORTMODE_SYNC, nullptr) != ok) Fail("slot 12 settxmode: no way back");
  Expect(16, "islineon", t->islineon(port) ? 1 : 0, 0);
  Expect(17, "getthroughput", t->getthroughput(port, &value), code(ZMB_E_NOTSUPPORTED));
  Expect(18, "getstate", static_cast<LONG32>(t->getstate(port)), 0);
  Expect(19, "clear", t->clear(port, 3), code(ZMB_E_NOTOPEN));
  Expect(20, "abort", t->abort(port, 4), code(ZMB_E_INVALIDARG));
  return failures;
}

int CheckCelvane(const char* path) {
  HMODULE module = LoadLibraryA("Celvane.dll");
  if (module == nullptr) {
    std::printf("FAIL Celvane.dll did not load: error %lu\n", GetLastError());
    return 1;
  }
  auto get = reinterpret_cast<LODLLGETOBJECT>(
      reinterpret_cast<void (*)()>(GetProcAddress(module, "LoDllGetObject")));
  if (get == nullptr) {
    std::printf("FAIL Celvane.dll exports no LoDllGetObject\n");
    return 1;
  }
  IZmbPort* port = nullptr;
  if (get(ZMB_PORT_OBJECT_USB, &port) != 0 || port == nullptr) {
    std::printf("FAIL LoDllGetObject gave no port\n");
    return 1;
  }
  if (path == nullptr) {
    WalkWithoutTower(port);
  } else {
    const int step = CallThroughTable(port, path);
    if (step != 0) {
      std::printf("FAIL the walk with the tower broke at its step %d\n", step);
      ++failures;
    }
  }
  const PortTable* t = *reinterpret_cast<const PortTable* const*>(port);
  if (t->release(port) != 0) Fail("the last release left references");
  std::printf("celvane: 21 slots walked %s, %d failed\n", path ? "with a tower" : "without a tower",
              failures);
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "tavrix") == 0 && argc == 2) return CheckTavrix();
  if (argc >= 2 && std::strcmp(argv[1], "celvane") == 0 && argc <= 3)
    return CheckCelvane(argc == 3 ? argv[2] : nullptr);
  std::fprintf(stderr, "usage: abi-check tavrix | celvane [PATH]\n");
  return 2;
}
