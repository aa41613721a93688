// towerctl's commands, written against the access library only: they run the
// same on Windows with real towers and on the host machine with simulated ones.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Tavrix.h"

namespace towerctl {

using Args = std::vector<std::string>;

// Exit codes by class, as the help and the README list them.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;   // the device or the operation failed
inline constexpr int kExitUsage = 2;     // the command line is wrong
inline constexpr int kExitNotFound = 3;  // no such tower, or no tower at all

// The most towers the system numbers (tower 1 to tower 31).
inline constexpr int kMaxTowers = 31;

// How a command prints what it found: labelled text, or one JSON document.
struct Output {
  bool json = false;
  bool oneShot = false;  // one command, then the tower is closed (not the shell)
};

// The library's last error with its meaning, for messages.
std::string DescribeError(DWORD error);
// Prints "towerctl: <what>: error 0x... (<meaning>)" for the last error.
void ReportLastError(const std::string& what);

// The towers an invocation (or a whole shell session) has open, by device
// path: a tower stays open across commands so that what it receives waits in
// the driver for the next read.
class Session {
 public:
  Session() = default;
  ~Session() { CloseAll(); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // The handle of tower n (1-based, in the order of the present-tower
  // search), opened on first use; INVALID_HANDLE_VALUE after a report, with
  // the exit code of the failure in Failure().
  HANDLE Open(int n, std::string* path = nullptr);
  int Failure() const { return failure_; }
  void Close(const std::string& path);
  // Drops a handle something else has closed (a restart uses it up).
  void Forget(const std::string& path) { open_.erase(path); }
  void CloseAll();

 private:
  std::map<std::string, HANDLE> open_;
  int failure_ = kExitFailure;
};

// One "key=value" of `set`, checked and decoded before anything is applied.
struct Setting {
  std::string key;    // canonical key: range, link, endian, ...
  std::string value;  // as given, lower case
  unsigned long numbers[3] = {};
};
// Checks one setting; an empty string when it is valid, otherwise the
// message, which names the key, the value and the valid values.
std::string ParseSetting(const std::string& text, Setting* setting);
// The keys `set` takes, with their valid values, for the help.
extern const char kSettingsHelp[];

// Each returns the process exit code (kExit...).
int List(const Output& out);
int Info(Session& session, int n, const Output& out);
int Set(Session& session, int n, const Args& settings, const Output& out);
int Send(Session& session, int n, const std::vector<uint8_t>& bytes, const Output& out);
// count bytes at most; timeoutMs < 0: the tower's own first-byte timeout.
int Recv(Session& session, int n, unsigned count, long long timeoutMs, const Output& out);
// The whole exchange: find, open, set range and link mode, send, receive the
// answer, show the counters.
int Demo(Session& session);

// The stored defaults: show, factory, reset, set key=value...
int Defaults(const std::string& action, const Args& settings, const Output& out);
// Restarts tower n, or every tower (n == 0).
int Restart(Session& session, int n, const Output& out);
int Reenumerate(const Output& out);
// What the system knows of tower n's connection, from a search in `mode`.
int Diagnose(int n, DWORD mode, const Output& out);
// Host controller \\.\HCDn.
int HostController(int number, const Output& out);

// The demo's account of a tower's life. Each step is printed as a labelled
// line when it happens; once gathering has begun (--json), the steps and the
// documents the commands emit go into one JSON document instead, printed by
// PrintGathered, so that the run's output stays a single document.
void BeginGathering();
// "label:       text" on stdout, or `value` under `label` in the document
// (appended to the array `label`s when `many`: a step that can repeat).
void Step(const std::string& label, const std::string& text, const nlohmann::ordered_json& value,
          bool many = false);
// The key the next emitted document goes under while gathering.
void GatherUnder(const std::string& key);
void PrintGathered();
// One JSON document on stdout, or into the gathered one.
void Emit(const nlohmann::ordered_json& document);

// The names of a range and a link-mode code; "unknown" for any other value.
const char* RangeName(unsigned range);
const char* LinkName(unsigned mode);

}  // namespace towerctl
