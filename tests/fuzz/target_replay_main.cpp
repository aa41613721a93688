// Replays a fuzz target's kept corpus with the test command's compiler and
// sanitizers: every input must keep the target's rules, and the machine must
// shut down clean.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz_target.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s corpus-directory\n", argv[0]);
    return 2;
  }
  if (!towerfuzz::target::Start()) {
    std::fprintf(stderr, "the machine did not start\n");
    return 1;
  }
  size_t inputs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
    if (!entry.is_regular_file()) continue;
    std::ifstream file(entry.path(), std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(file),
                                  std::istreambuf_iterator<char>()};
    towerfuzz::target::RunOne(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    ++inputs;
  }
  const auto found = towerfuzz::target::Stop();
  for (const auto& f : found) std::fprintf(stderr, "verifier: %s\n", f.c_str());
  std::printf("replayed %zu inputs\n", inputs);
  return found.empty() && inputs > 0 ? 0 : 1;
}
