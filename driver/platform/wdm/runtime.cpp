// The four memory routines a freestanding compiler may call on its own (for
// copies and clears of records). Defined here rather than imported: not every
// kernel the image runs on exports them. This file is compiled without
// builtins, so these loops stay loops.
#include <stddef.h>

extern "C" {

void* memcpy(void* to, const void* from, size_t bytes);
void* memmove(void* to, const void* from, size_t bytes);
void* memset(void* block, int value, size_t bytes);
int memcmp(const void* a, const void* b, size_t bytes);

void* memcpy(void* to, const void* from, size_t bytes) {
  auto* d = static_cast<unsigned char*>(to);
  const auto* s = static_cast<const unsigned char*>(from);
  for (size_t i = 0; i < bytes; ++i) d[i] = s[i];
  return to;
}

void* memmove(void* to, const void* from, size_t bytes) {
  auto* d = static_cast<unsigned char*>(to);
  const auto* s = static_cast<const unsigned char*>(from);
  if (d < s) {
    for (size_t i = 0; i < bytes; ++i) d[i] = s[i];
  } else {
    for (size_t i = bytes; i > 0; --i) d[i - 1] = s[i - 1];
  }
  return to;
}

void* memset(void* block, int value, size_t bytes) {
  auto* d = static_cast<unsigned char*>(block);
  for (size_t i = 0; i < bytes; ++i) d[i] = static_cast<unsigned char>(value);
  return block;
}

int memcmp(const void* a, const void* b, size_t bytes) {
  const auto* x = static_cast<const unsigned char*>(a);
  const auto* y = static_cast<const unsigned char*>(b);
  for (size_t i = 0; i < bytes; ++i)
    if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
  return 0;
}

}  // extern "C"
