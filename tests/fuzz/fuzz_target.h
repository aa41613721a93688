// What a fuzz target over the host machine offers its two mains: libFuzzer's
// entry (target_fuzz_main.cpp) and the corpus replay that the test command
// runs (target_replay_main.cpp). Each target library defines these once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace towerfuzz::target {

// Boots the machine (once; RunOne boots a fresh one now and then).
bool Start();
// Runs one input; aborts, naming the broken rule, on any fault.
void RunOne(const uint8_t* data, size_t size);
// Shuts the machine down; what the verifier found, if anything.
std::vector<std::string> Stop();

}  // namespace towerfuzz::target
