// Compiled into every host deliverable (tower_module() adds it and links the
// module with --wrap for these calls): the C runtime's allocations the
// module makes (malloc, calloc, realloc and the non-throwing operator new)
// ask the host first, so that the machine's fault facility can make them
// fail for one module, as a Windows program's heap runs out. The memory
// itself is the process's allocator's, freed as usual.
#include <cerrno>
#include <cstddef>
#include <new>

#include "win32/host_module.h"

#if __SIZEOF_SIZE_T__ == 8
#define TOWER_SIZE_CODE "m"
#else
#define TOWER_SIZE_CODE "j"
#endif

extern "C" {
void* __real_malloc(size_t bytes);
void* __real_calloc(size_t count, size_t bytes);
void* __real_realloc(void* block, size_t bytes);
__attribute__((visibility("hidden"))) void* __wrap_malloc(size_t bytes);
__attribute__((visibility("hidden"))) void* __wrap_calloc(size_t count, size_t bytes);
__attribute__((visibility("hidden"))) void* __wrap_realloc(void* block, size_t bytes);
}
void* RealNew(size_t bytes, const std::nothrow_t& tag) noexcept
    __asm__("__real__Znw" TOWER_SIZE_CODE "RKSt9nothrow_t");
void* RealNewArray(size_t bytes, const std::nothrow_t& tag) noexcept
    __asm__("__real__Zna" TOWER_SIZE_CODE "RKSt9nothrow_t");

namespace {

// Whether the host refuses this allocation of the module; errno says so then.
bool Refused(const char* call) {
  static const char anchor = 0;
  if (Win32HostAllocationRefused(call, &anchor) == 0) return false;
  errno = ENOMEM;
  return true;
}

}  // namespace

extern "C" {

void* __wrap_malloc(size_t bytes) { return Refused("malloc") ? nullptr : __real_malloc(bytes); }

void* __wrap_calloc(size_t count, size_t bytes) {
  return Refused("calloc") ? nullptr : __real_calloc(count, bytes);
}

void* __wrap_realloc(void* block, size_t bytes) {
  return Refused("realloc") ? nullptr : __real_realloc(block, bytes);
}

}  // extern "C"

__attribute__((visibility("hidden"))) void* WrapNew(size_t bytes,
                                                    const std::nothrow_t& tag) noexcept
    __asm__("__wrap__Znw" TOWER_SIZE_CODE "RKSt9nothrow_t");
void* WrapNew(size_t bytes, const std::nothrow_t& tag) noexcept {
  return Refused("new") ? nullptr : RealNew(bytes, tag);
}

__attribute__((visibility("hidden"))) void* WrapNewArray(size_t bytes,
                                                         const std::nothrow_t& tag) noexcept
    __asm__("__wrap__Zna" TOWER_SIZE_CODE "RKSt9nothrow_t");
void* WrapNewArray(size_t bytes, const std::nothrow_t& tag) noexcept {
  return Refused("new") ? nullptr : RealNewArray(bytes, tag);
}
