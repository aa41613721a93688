// The devicecontrol fuzz target: one host machine with the driver and a
// simulated tower, the plug-in loaded by file name and one open port, kept
// for every input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace towerfuzz {

// Boots the machine and opens the port (once).
bool Start();
// Runs one input: its first byte picks the reply size, the rest is the
// command text. Aborts on a broken promise of devicecontrol.
void RunOne(const uint8_t* data, size_t size);
// Shuts the machine down, and unloads the plug-in when asked; the
// verifier's findings, if any.
std::vector<std::string> Stop(bool unload);

}  // namespace towerfuzz
