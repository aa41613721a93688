// libFuzzer's entry for a target of fuzz_target.h: the machine lives across
// inputs, and the target reboots it now and then.
#include <cstdlib>

#include "fuzz_machine.h"
#include "fuzz_target.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" const char* __lsan_default_options();

// Ten times: a vendor reply's 200 ms limit runs out after 20 ms.
extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  towerfuzz::SetClockSpeed(10);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!towerfuzz::target::Start()) std::abort();
  towerfuzz::target::RunOne(data, size);
  return 0;
}

// The machine is left standing at exit (the fuzzer ends with exit(), after
// each thread's own storage is gone). Leaks are still looked for input by
// input; only the final look at what is left standing is off.
extern "C" const char* __lsan_default_options() { return "leak_check_at_exit=0"; }
