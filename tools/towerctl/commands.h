// towerctl's commands, written against the access library only: they run the
// same on Windows with real towers and on the host machine with simulated ones.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "Tavrix.h"

namespace towerctl {

using Args = std::vector<std::string>;

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
  // search), opened on first use; INVALID_HANDLE_VALUE after a report.
  HANDLE Open(int n, std::string* path = nullptr);
  void Close(const std::string& path);
  // Drops a handle something else has closed (a restart uses it up).
  void Forget(const std::string& path) { open_.erase(path); }
  void CloseAll();

 private:
  std::map<std::string, HANDLE> open_;
};

// Each returns the process exit code: 0 for success.
int List();
int Info(Session& session, int n);
int Set(Session& session, int n, const Args& settings);
int Send(Session& session, int n, const Args& words);
int Recv(Session& session, int n, const Args& args);
// The whole exchange: find, open, set range and link mode, send, receive the
// answer, show the counters.
int Demo(Session& session);

// The stored defaults: show, factory, reset, set key=value...
int Defaults(const Args& args);
// Restarts tower n, or every tower ("all").
int Restart(Session& session, const std::string& which);
int Reenumerate();
// What the system knows of tower n's connection, from a search in `mode`.
int Diagnose(int n, DWORD mode);
// Host controller \\.\HCDn.
int HostController(int number);

// Parses a tower number ("1", "2", ...); 0 when it is not one.
int TowerNumber(const std::string& text);

}  // namespace towerctl
