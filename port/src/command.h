// The parsed form of one text command: a command word, a value after "=" and
// up to ten parameters inside "(" ... ")".
#pragma once

namespace celvane {

struct ZMB_COMMAND {
  static constexpr int kMaxParameters = 10;

  ZMB_COMMAND() = default;
  ~ZMB_COMMAND() { Free(); }
  ZMB_COMMAND(const ZMB_COMMAND&) = delete;
  ZMB_COMMAND& operator=(const ZMB_COMMAND&) = delete;

  // Parses a new text, freeing the words of the previous one first. False
  // when the text could not be copied (nothing is parsed then). A word that
  // could not be copied counts as absent.
  bool Set(const char* command);
  void Free();

  // A value that is present, not empty and does not begin with "?" sets;
  // anything else queries.
  bool IsSetting() const { return value != nullptr && value[0] != '\0' && value[0] != '?'; }
  // The value's leading decimal digits, modulo 2^32 (none gives 0).
  unsigned long Number() const;
  // Whether a parameter equals the word (parameters are lower case).
  bool HasParameter(const char* word) const;

  char* text = nullptr;
  char* name = nullptr;
  char* value = nullptr;
  char* parameters[kMaxParameters] = {};
  int paramcount = 0;
  bool keepcase = false;
};

}  // namespace celvane
