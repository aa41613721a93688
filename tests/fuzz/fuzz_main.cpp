// libFuzzer's entry: the machine lives for the whole run.
#include <cstdlib>

#include "devicecontrol_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" const char* __lsan_default_options();

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!towerfuzz::Start()) std::abort();
  towerfuzz::RunOne(data, size);
  return 0;
}

// The machine and the open port are left standing at exit (the fuzzer ends
// with exit(), after each thread's own storage is gone, so nothing can be
// shut down then). libFuzzer still looks for leaks input by input; only the
// final look at what is left standing is off.
extern "C" const char* __lsan_default_options() { return "leak_check_at_exit=0"; }
