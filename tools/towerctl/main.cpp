// towerctl: the command-line front end of the tower access library.
//
// On the host it boots a host machine with the driver and simulated towers
// (one loopback tower unless told otherwise) and runs one command on it, or
// an interactive shell that keeps the machine across commands. On Windows it
// talks to the towers plugged into the PC.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "commands.h"

#ifndef _WIN32
#include "host_machine.h"
#endif

namespace {

using towerctl::Args;

void Usage() {
  std::fprintf(stderr,
               "usage: towerctl [options] command [arguments]\n"
               "commands:\n"
               "  list                        the towers plugged in, numbered from 1\n"
               "  info N                      state, versions, settings, counters, texts\n"
               "  set N key=value...          range=short|medium|long, link=vll|ir|irc,\n"
               "                              endian=little|big, led-mode=hardware|software,\n"
               "                              led1=on|off, led2=on|off, carrier=F, duty=S:D,\n"
               "                              irc-packet=N, irc-time=N, speed=TX[:RX] (bit/s),\n"
               "                              timeouts=FIRST:IC:WRITE (ms), flush=tx|rx|both,\n"
               "                              reset, reset-stats\n"
               "  send N text... | --hex XX.. write bytes to a tower\n"
               "  recv N [count] [timeout-ms] read what the tower received\n"
               "  defaults [show|factory|reset] the stored defaults a tower takes at restart\n"
               "  defaults set key=value...   range=short|medium|long, link=vll|ir|irc,\n"
               "                              high-power=on|off, read-first=MS, read-ic=MS,\n"
               "                              write=MS (per byte), buffer=BYTES\n"
               "  restart N|all               restart towers so they take the stored defaults\n"
               "  reenumerate                 ask the system to look for devices again\n"
               "  diag N [present|installed|all] a tower's connection: status, problem, hub power\n"
               "  hc [N]                      host controller N (default 0)\n"
               "  demo [state-dir]            a whole exchange with the first tower\n"
               "  shell                       a prompt that keeps the machine across commands\n"
#ifndef _WIN32
               "options (host machine):\n"
               "  --state DIR                 the machine's state directory (kept)\n"
               "  --towers N                  simulated towers to plug in (default 1)\n"
               "  --silent                    towers whose link hears nothing (default: loopback)\n"
               "shell only: plug [silent], unplug SLOT, towers\n"
#endif
  );
}

// Runs one command; the exit code.
int Run(towerctl::Session& session, const Args& words) {
  if (words.empty()) return 0;
  const std::string& command = words[0];
  if (command == "list") return towerctl::List();
  if (command == "demo") return towerctl::Demo(session);
  if (command == "defaults") return towerctl::Defaults(Args(words.begin() + 1, words.end()));
  if (command == "reenumerate") return towerctl::Reenumerate();
  if (command == "restart") {
    if (words.size() < 2) {
      std::fprintf(stderr, "towerctl: restart needs a tower number or 'all'\n");
      return 2;
    }
    return towerctl::Restart(session, words[1]);
  }
  if (command == "hc")
    return towerctl::HostController(words.size() >= 2 ? std::atoi(words[1].c_str()) : 0);
  const int n = words.size() >= 2 ? towerctl::TowerNumber(words[1]) : 0;
  const Args rest(words.size() > 2 ? words.begin() + 2 : words.end(), words.end());
  if (n == 0 && (command == "info" || command == "set" || command == "send" || command == "recv" ||
                 command == "diag")) {
    std::fprintf(stderr, "towerctl: %s needs a tower number (1, 2, ...)\n", command.c_str());
    return 2;
  }
  if (command == "info") return towerctl::Info(session, n);
  if (command == "set") return towerctl::Set(session, n, rest);
  if (command == "send") return towerctl::Send(session, n, rest);
  if (command == "recv") return towerctl::Recv(session, n, rest);
  if (command == "diag") {
    // The installed towers by default, so that an unplugged one shows too.
    const std::string mode = rest.empty() ? "all" : rest[0];
    return towerctl::Diagnose(n, mode == "present"     ? QIROTOWER_FIND_PRESENT
                                 : mode == "installed" ? QIROTOWER_FIND_INSTALLED
                                                       : 0);
  }
  std::fprintf(stderr, "towerctl: unknown command '%s'\n", command.c_str());
  Usage();
  return 2;
}

Args Split(const std::string& line) {
  std::istringstream in(line);
  Args words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

#ifndef _WIN32
using Machine = towerctl::HostMachine;
#else
// On Windows the towers are the PC's own.
struct Machine {
  void PrintTowers() {}
  void Settle() {}
};
#endif

int Shell(towerctl::Session& session, Machine& machine) {
  (void)machine;
  std::printf("towerctl shell: 'help' lists the commands, 'quit' ends\n");
  int last = 0;
  std::string line;
  for (;;) {
    std::printf("towerctl> ");
    std::fflush(stdout);
    if (!std::getline(std::cin, line)) break;
    const Args words = Split(line);
    if (words.empty()) continue;
    const std::string& command = words[0];
    if (command == "quit" || command == "exit") break;
    if (command == "help") {
      Usage();
      continue;
    }
#ifndef _WIN32
    if (command == "plug") {
      const int slot = machine.Plug(words.size() >= 2 && words[1] == "silent");
      if (slot != 0) std::printf("plugged a simulated tower in slot %d\n", slot);
      last = slot != 0 ? 0 : 1;
      continue;
    }
    if (command == "unplug") {
      const int slot = words.size() >= 2 ? towerctl::TowerNumber(words[1]) : 0;
      last = machine.Unplug(slot, session) ? 0 : 1;
      if (last == 0) std::printf("unplugged the simulated tower in slot %d\n", slot);
      continue;
    }
    if (command == "towers") {
      machine.PrintTowers();
      continue;
    }
#endif
    last = Run(session, words);
    // What a command set going (a restart) is done before the next one.
    machine.Settle();
  }
  std::printf("\n");
  return last;
}

}  // namespace

int main(int argc, char** argv) {
  Args words;
#ifndef _WIN32
  towerctl::HostMachine::Options options;
#endif
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
#ifndef _WIN32
    if (arg == "--state" && i + 1 < argc) {
      options.stateDir = argv[++i];
      continue;
    }
    if (arg == "--towers" && i + 1 < argc) {
      options.towers = std::atoi(argv[++i]);
      continue;
    }
    if (arg == "--silent") {
      options.silent = true;
      continue;
    }
#endif
    if (arg == "-h" || arg == "--help") {
      Usage();
      return 0;
    }
    words.push_back(arg);
  }
  if (words.empty()) {
    Usage();
    return 2;
  }
#ifndef _WIN32
  // "demo DIR": the state directory, as the README's command gives it.
  if (words[0] == "demo" && words.size() >= 2) {
    options.stateDir = words[1];
    words.resize(1);
  }
  // The demo shows a tower's whole life: found with no driver, installed by
  // the installer, used, diagnosed, and uninstalled by the applet.
  const bool lifecycle = words[0] == "demo";
  if (lifecycle) options.setupWay = true;
  towerctl::HostMachine machine;
  if (!machine.Boot(options)) return 1;
#else
  Machine machine;
#endif
  int code = 0;
#ifndef _WIN32
  if (lifecycle && !machine.InstallWithInstaller()) code = 1;
#endif
  if (code == 0) {
    towerctl::Session session;
    code = words[0] == "shell" ? Shell(session, machine) : Run(session, words);
#ifndef _WIN32
    if (lifecycle && code == 0) code = Run(session, Args{"diag", "1"});
#endif
  }
#ifndef _WIN32
  if (lifecycle && code == 0 && !machine.UninstallWithApplet()) code = 1;
  // Whatever the verifier found fails the run.
  if (!machine.Shutdown() && code == 0) code = 1;
#endif
  return code;
}
