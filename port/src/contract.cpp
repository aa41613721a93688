// The binary contract with the stack, checked where the compiler can: the
// records' layouts, the interface's shape, and on 32-bit Windows that every
// operation uses the member calling convention (thiscall). The order of the
// table is checked by a caller compiled apart from the class (the tests).
#include <type_traits>

#include "internal.h"

namespace {

static_assert(std::is_abstract_v<IZmbPort>, "IZmbPort is an abstract interface");
static_assert(!std::has_virtual_destructor_v<IZmbPort>, "IZmbPort has no virtual destructor");
static_assert(std::is_polymorphic_v<IZmbPort> && sizeof(IZmbPort) == sizeof(void*),
              "IZmbPort holds only its table");
static_assert(std::is_base_of_v<IZmbPort, celvane::Port>, "the port implements IZmbPort");
static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4, "results and counts are 32 bits");
static_assert(sizeof(_ZMBPORTDESC) == 264, "_ZMBPORTDESC is 264 bytes");

#if defined(_WIN32) && defined(__i386__)
#define THISCALL __attribute__((thiscall))
// Each member pointer type below names the calling convention; a member
// declared with another one (cdecl, stdcall) does not convert to it.
[[maybe_unused]] constexpr ULONG (THISCALL IZmbPort::*kAddref)() = &IZmbPort::addref;
[[maybe_unused]] constexpr ULONG (THISCALL IZmbPort::*kRelease)() = &IZmbPort::release;
[[maybe_unused]] constexpr LONG (THISCALL IZmbPort::*kOpenDesc)(const _ZMBPORTDESC*,
                                                                const char*) = &IZmbPort::open;
[[maybe_unused]] constexpr LONG (THISCALL IZmbPort::*kOpenPath)(const char*,
                                                                const char*) = &IZmbPort::open;
[[maybe_unused]] constexpr LONG (THISCALL IZmbPort::*kClose)() = &IZmbPort::close;
[[maybe_unused]] constexpr LONG (THISCALL IZmbPort::*kSend)(const unsigned char*, ULONG, ULONG*,
                                                            void*) = &IZmbPort::send;
[[maybe_unused]] constexpr LONG (THISCALL IZmbPort::*kRecv)(unsigned char*, ULONG, ULONG*,
                                                            void*) = &IZmbPort::recv;
[[maybe_unused]] constexpr LONG (THISCALL IZmbPort::*kSetTimeout)(ULONG,
                                                                  ULONG) = &IZmbPort::settimeout;
[[maybe_unused]] constexpr LONG (THISCALL IZmbPort::*kGetTimeout)(ULONG*,
                                                                  ULONG*) = &IZmbPort::gettimeout;
[[maybe_unused]] constexpr LONG (THISCALL IZmbPort::*kDeviceControl)(const char*, char*, int) =
    &IZmbPort::devicecontrol;
[[maybe_unused]] constexpr LONG (THISCALL IZmbPort::*kFindFirst)(_ZMBPORTDESC*) =
    &IZmbPort::findfirst;
[[maybe_unused]] constexpr LONG (THISCALL IZmbPort::*kFindNext)(_ZMBPORTDESC*, _ZMBPORTDESC*) =
    &IZmbPort::findnext;
[[maybe_unused]] constexpr LONG (THISCALL IZmbPort::*kSetTxMode)(ULONG, ZMBPORTCALLBACK) =
    &IZmbPort::settxmode;
[[maybe_unused]] constexpr LONG (THISCALL IZmbPort::*kGetTxMode)(ULONG*, ZMBPORTCALLBACK*) =
    &IZmbPort::gettxmode;
[[maybe_unused]] constexpr LONG (THISCALL IZmbPort::*kSetRxMode)(ULONG, ZMBPORTCALLBACK) =
    &IZmbPort::setrxmode;
[[maybe_unused]] constexpr LONG (THISCALL IZmbPort::*kGetRxMode)(ULONG*, ZMBPORTCALLBACK*) =
    &IZmbPort::getrxmode;
[[maybe_unused]] constexpr bool (THISCALL IZmbPort::*kIsLineOn)() = &IZmbPort::islineon;
[[maybe_unused]] constexpr LONG (THISCALL IZmbPort::*kGetThroughput)(ULONG*) =
    &IZmbPort::getthroughput;
[[maybe_unused]] constexpr ULONG (THISCALL IZmbPort::*kGetState)() = &IZmbPort::getstate;
[[maybe_unused]] constexpr LONG (THISCALL IZmbPort::*kClear)(ULONG) = &IZmbPort::clear;
[[maybe_unused]] constexpr LONG (THISCALL IZmbPort::*kAbort)(ULONG) = &IZmbPort::abort;
#endif

}  // namespace
