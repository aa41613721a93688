// towerctl: the command-line front end of the tower access library.
//
// On the host it boots a host machine with the driver and simulated towers
// and runs one command on it, or an interactive shell that keeps the machine
// across commands. The machine's state directory is kept between commands, so
// what one command sets the next one sees. On Windows it talks to the towers
// plugged into the PC.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>

#include <CLI/CLI.hpp>

#include "commands.h"

#ifndef _WIN32
#include "host_machine.h"
#endif

namespace {

using towerctl::Args;
namespace fs = std::filesystem;

#ifndef TOWERCTL_VERSION
#define TOWERCTL_VERSION "unknown"
#endif

const char kExitCodes[] =
    "Exit codes: 0 done; 1 the device or the operation failed; 2 usage error\n"
    "(unknown command or option, bad value); 3 not found (no such tower).\n";

#ifndef _WIN32
const char kStateHelp[] =
    "State: the host machine (the driver, the registry with the stored defaults,\n"
    "and the simulated towers with their settings) lives in a state directory:\n"
    "--state DIR, or $XDG_STATE_HOME/towerctl, or ~/.local/state/towerctl. It is\n"
    "kept between commands: 'towerctl set 1 carrier=40' then 'towerctl info 1'\n"
    "shows 40 kHz. Range and link mode go back to the stored defaults whenever a\n"
    "tower is opened, as on Windows: keep them with 'towerctl defaults set\n"
    "range=short'. Not kept: what a tower received, its counters, open handles;\n"
    "'towerctl shell' keeps those across its commands. 'demo' starts from a\n"
    "fresh machine unless given a directory.\n";
#endif

// What the command line asked for.
struct Request {
  std::string command;
  int tower = 0;
  Args words;  // set: key=value...; send: the text or hex bytes; defaults: key=value...
  bool hex = false;
  unsigned count = 64;
  long long timeoutMs = -1;
  std::string action = "show";
  std::string which;
  std::string mode = "all";
  int hostController = 0;
  std::string demoDir;
  towerctl::Output out;
  // Host machine options.
  std::string stateDir;
  int towers = 0;
  bool silent = false;
  bool usb = false;
};

CLI::App* Command(CLI::App& app, Request& r, const char* name, const char* description) {
  CLI::App* sub = app.add_subcommand(name, description);
  sub->callback([&r, name] { r.command = name; });
  return sub;
}

void AddTower(CLI::App* sub, Request& r) {
  sub->add_option("tower", r.tower, "tower number, as 'list' shows it (1 to 31)")
      ->required()
      ->check(CLI::Range(1, towerctl::kMaxTowers));
}

// The whole command line; `shell` leaves out what only a process start takes.
void Build(CLI::App& app, Request& r, bool inShell) {
  // At most one; none is reported after the parse, so that a wrong option
  // is named before a missing command.
  app.require_subcommand(0, 1);
  app.fallthrough();
  app.add_flag("--json", r.out.json, "print what the command found as one JSON document");
  if (!inShell) {
    app.set_version_flag("--version", "towerctl " TOWERCTL_VERSION);
#ifndef _WIN32
    app.add_option("--state", r.stateDir,
                   "the host machine's state directory (default $XDG_STATE_HOME/towerctl or "
                   "~/.local/state/towerctl)");
    app.add_option("--towers", r.towers,
                   "simulated towers to plug in, 1 to 31 (default: as the state directory "
                   "kept them, or 1)")
        ->check(CLI::Range(1, towerctl::kMaxTowers));
    app.add_flag("--silent", r.silent,
                 "simulated towers whose link hears nothing (default: they hear themselves)");
    app.add_flag("--usb", r.usb,
                 "the towers plugged into this computer's USB (through libusb) instead of "
                 "simulated ones");
#endif
  }
  std::string footer = kExitCodes;
#ifndef _WIN32
  footer += kStateHelp;
#endif
  app.footer(footer);

  Command(app, r, "list", "the towers plugged in, numbered from 1");
  AddTower(Command(app, r, "info", "state, versions, settings, counters and texts of a tower"), r);
  CLI::App* set = Command(app, r, "set", "change a tower's settings (all are checked first)");
  AddTower(set, r);
  set->add_option("settings", r.words, "key=value...")->required();
  set->footer(std::string("Keys and valid values:\n") + towerctl::kSettingsHelp);
  CLI::App* send = Command(app, r, "send", "write text (or hex bytes with --hex) to a tower");
  AddTower(send, r);
  send->add_flag("--hex", r.hex, "the words are hexadecimal bytes: 48 65 6c");
  send->add_option("data", r.words, "what to send")->required();
  CLI::App* recv = Command(app, r, "recv", "read what a tower received");
  AddTower(recv, r);
  recv->add_option("count", r.count, "bytes to read at most (1 to 65536, default 64)")
      ->check(CLI::Range(1, 65536));
  recv->add_option("timeout", r.timeoutMs,
                   "milliseconds to wait for the first byte (default: the tower's own)")
      ->check(CLI::Range(0LL, 4294967295LL));
  CLI::App* defaults =
      Command(app, r, "defaults", "the stored defaults a tower takes when it is restarted");
  defaults->add_option("action", r.action, "show (default), factory, reset or set")
      ->check(CLI::IsMember({"show", "factory", "reset", "set"}));
  defaults->add_option("settings", r.words, "with set: key=value...");
  defaults->footer(
      "Keys of 'defaults set': range=short|medium|long, link=vll|ir|irc, high-power=on|off,\n"
      "read-first=MS, read-ic=MS, write=MS (per byte), buffer=BYTES\n");
  CLI::App* restart =
      Command(app, r, "restart", "restart a tower, or all, so it takes the stored defaults");
  restart->add_option("tower", r.which, "a tower number or 'all'")->required();
  Command(app, r, "reenumerate", "ask the system to look for devices again");
  CLI::App* diag = Command(app, r, "diag", "a tower's connection: status, problem, hub power");
  AddTower(diag, r);
  diag->add_option("search", r.mode, "present, installed or all (default)")
      ->check(CLI::IsMember({"present", "installed", "all"}));
  CLI::App* hc = Command(app, r, "hc", "a USB host controller");
  hc->add_option("number", r.hostController, "host controller number (default 0)")
      ->check(CLI::Range(0, 127));
  CLI::App* demo = Command(app, r, "demo", "a whole exchange with the first tower");
#ifndef _WIN32
  demo->add_option("state-dir", r.demoDir,
                   "the machine's state directory (default: a fresh one, removed afterwards)");
#else
  (void)demo;
#endif
  if (!inShell) Command(app, r, "shell", "a prompt that keeps the machine and its towers");
}

// Parses; an exit code when the command line is done with (help, version,
// a usage error), nothing when the request is to run.
template <typename Parse>
std::optional<int> ParseInto(CLI::App& app, Parse parse) {
  try {
    parse();
    return std::nullopt;
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // help or version, on stdout
    std::fprintf(stderr, "towerctl: %s\n", e.what());
    std::fprintf(stderr, "run 'towerctl --help' or 'towerctl COMMAND --help' for the usage\n");
    return towerctl::kExitUsage;
  }
}

bool SendBytes(const Request& r, std::vector<uint8_t>* bytes) {
  if (!r.hex) {
    for (size_t i = 0; i < r.words.size(); ++i) {
      if (i > 0) bytes->push_back(' ');
      bytes->insert(bytes->end(), r.words[i].begin(), r.words[i].end());
    }
    return true;
  }
  for (const auto& word : r.words) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(word.c_str(), &end, 16);
    if (word.empty() || word.size() > 2 || *end != '\0' || value > 0xFF) {
      std::fprintf(stderr, "towerctl: send: '%s' is not a hex byte (valid: 00 to ff)\n",
                   word.c_str());
      return false;
    }
    bytes->push_back(static_cast<uint8_t>(value));
  }
  return true;
}

// Runs the parsed request; the exit code.
int Run(towerctl::Session& session, const Request& r) {
  const std::string& c = r.command;
  if (c == "list") return towerctl::List(r.out);
  if (c == "info") return towerctl::Info(session, r.tower, r.out);
  if (c == "set") return towerctl::Set(session, r.tower, r.words, r.out);
  if (c == "send") {
    std::vector<uint8_t> bytes;
    if (!SendBytes(r, &bytes)) return towerctl::kExitUsage;
    return towerctl::Send(session, r.tower, bytes, r.out);
  }
  if (c == "recv") return towerctl::Recv(session, r.tower, r.count, r.timeoutMs, r.out);
  if (c == "defaults") {
    if ((r.action == "set") == r.words.empty()) {
      std::fprintf(stderr,
                   r.action == "set" ? "towerctl: defaults set needs key=value...\n"
                                     : "towerctl: defaults %s takes no key=value\n",
                   r.action.c_str());
      return towerctl::kExitUsage;
    }
    return towerctl::Defaults(r.action, r.words, r.out);
  }
  if (c == "restart") {
    if (r.which == "all") return towerctl::Restart(session, 0, r.out);
    char* end = nullptr;
    const long n = std::strtol(r.which.c_str(), &end, 10);
    if (r.which.empty() || *end != '\0' || n < 1 || n > towerctl::kMaxTowers) {
      std::fprintf(stderr, "towerctl: restart: invalid tower '%s' (valid: 1 to %d, or all)\n",
                   r.which.c_str(), towerctl::kMaxTowers);
      return towerctl::kExitUsage;
    }
    return towerctl::Restart(session, static_cast<int>(n), r.out);
  }
  if (c == "reenumerate") return towerctl::Reenumerate(r.out);
  if (c == "diag")
    // The installed towers by default, so that an unplugged one shows too.
    return towerctl::Diagnose(r.tower,
                              r.mode == "present"     ? QIROTOWER_FIND_PRESENT
                              : r.mode == "installed" ? QIROTOWER_FIND_INSTALLED
                                                      : 0,
                              r.out);
  if (c == "hc") return towerctl::HostController(r.hostController, r.out);
  if (c == "demo") return towerctl::Demo(session);
  return towerctl::kExitUsage;
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

void ShellHelp() {
  std::printf(
      "shell commands:\n"
      "  help                this list\n"
      "  quit, exit          end the shell (end of input does too)\n"
#ifndef _WIN32
      "  plug [silent]       plug in one more simulated tower (silent: it hears nothing)\n"
      "  unplug N            unplug tower N (numbered as 'list' numbers them)\n"
      "  towers              the simulated towers plugged in\n"
#endif
      "and every towerctl command, with the same tower numbers:\n"
      "  list, info N, set N key=value..., send N text..., recv N [count] [timeout],\n"
      "  defaults [show|factory|reset|set key=value...], restart N|all, reenumerate,\n"
      "  diag N [present|installed|all], hc [N], demo\n"
      "'COMMAND --help' shows one command's options; --json works as on the command line.\n");
}

int Shell(towerctl::Session& session, Machine& machine) {
  (void)machine;
  std::printf("towerctl shell: 'help' lists the commands, 'quit' ends\n");
  int last = 0;
  std::string line;
  for (;;) {
    std::printf("towerctl> ");
    std::fflush(stdout);
    if (!std::getline(std::cin, line)) break;
    std::istringstream in(line);
    Args words;
    for (std::string word; in >> word;) words.push_back(word);
    if (words.empty()) continue;
    const std::string& command = words[0];
    if (command == "quit" || command == "exit") break;
    if (command == "help") {
      ShellHelp();
      continue;
    }
#ifndef _WIN32
    if (command == "plug") {
      const int n = machine.Plug(words.size() >= 2 && words[1] == "silent");
      if (n != 0) std::printf("plugged in a simulated tower: tower %d\n", n);
      last = n != 0 ? towerctl::kExitOk : towerctl::kExitFailure;
      continue;
    }
    if (command == "unplug") {
      const int n = words.size() >= 2 ? std::atoi(words[1].c_str()) : 0;
      last = machine.Unplug(n, session) ? towerctl::kExitOk : towerctl::kExitNotFound;
      if (last == 0) std::printf("unplugged tower %d\n", n);
      continue;
    }
    if (command == "towers") {
      machine.PrintTowers();
      continue;
    }
#endif
    Request request;
    CLI::App app("towerctl shell command", "towerctl");
    Build(app, request, true);
    std::reverse(words.begin(), words.end());
    if (const auto code = ParseInto(app, [&] { app.parse(words); })) {
      last = *code;
      continue;
    }
    if (request.command.empty()) {
      std::fprintf(stderr, "towerctl: a command is required ('help' lists them)\n");
      last = towerctl::kExitUsage;
      continue;
    }
    last = Run(session, request);
    // What a command set going (a restart) is done before the next one.
    machine.Settle();
  }
  std::printf("\n");
  return last;
}

#ifndef _WIN32
// The state directory a user names must be a directory or one new level
// under an existing one: a typo does not grow a tree of directories.
bool PrepareStateDir(const std::string& given, fs::path* dir) {
  std::error_code error;
  if (given.empty()) {
    const char* xdg = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    if (xdg != nullptr && *xdg == '/')
      *dir = fs::path(xdg) / "towerctl";
    else if (home != nullptr && *home != '\0')
      *dir = fs::path(home) / ".local" / "state" / "towerctl";
    else {
      std::fprintf(stderr, "towerctl: neither XDG_STATE_HOME nor HOME is set; use --state DIR\n");
      return false;
    }
    fs::create_directories(*dir, error);
  } else {
    *dir = fs::absolute(given, error);
    if (!error && !fs::exists(*dir)) {
      if (!fs::is_directory(dir->parent_path())) {
        std::fprintf(stderr,
                     "towerctl: state directory %s: its parent does not exist (only the last "
                     "level is created)\n",
                     given.c_str());
        return false;
      }
      fs::create_directory(*dir, error);
    }
  }
  if (!error && !fs::is_directory(*dir)) {
    std::fprintf(stderr, "towerctl: state directory %s: not a directory\n", dir->c_str());
    return false;
  }
  if (error) {
    std::fprintf(stderr, "towerctl: state directory %s: %s\n", dir->c_str(),
                 error.message().c_str());
    return false;
  }
  return true;
}
#endif

int Main(int argc, char** argv) {
  Request request;
  CLI::App app("towerctl: look at and drive USB infrared towers", "towerctl");
  Build(app, request, false);
  if (const auto code = ParseInto(app, [&] { app.parse(argc, argv); })) return *code;
  if (request.command.empty()) {
    std::fprintf(stderr, "towerctl: a command is required\n%s", app.help().c_str());
    return towerctl::kExitUsage;
  }
  request.out.oneShot = request.command != "shell";
#ifndef _WIN32
  towerctl::HostMachine::Options options;
  options.towers = request.towers;
  options.silent = request.silent;
  options.usb = request.usb;
  // The demo starts from a fresh machine unless it is given a directory;
  // every other command keeps its state.
  const bool fresh =
      request.command == "demo" && request.demoDir.empty() && request.stateDir.empty();
  if (!fresh) {
    fs::path dir;
    if (!PrepareStateDir(request.command == "demo" && !request.demoDir.empty() ? request.demoDir
                                                                               : request.stateDir,
                         &dir))
      return towerctl::kExitUsage;
    options.stateDir = dir;
  }
  // The demo shows a tower's whole life: found with no driver, installed by
  // the installer, used, diagnosed, and uninstalled by the applet.
  const bool lifecycle = request.command == "demo";
  if (lifecycle) options.setupWay = true;
  towerctl::HostMachine machine;
  try {
    if (!machine.Boot(options)) return machine.FailureCode();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "towerctl: the host machine did not start: %s\n", e.what());
    return towerctl::kExitFailure;
  }
#else
  Machine machine;
#endif
  int code = 0;
#ifndef _WIN32
  if (lifecycle && !machine.InstallWithInstaller()) code = 1;
#endif
  if (code == 0) {
    towerctl::Session session;
    code = request.command == "shell" ? Shell(session, machine) : Run(session, request);
#ifndef _WIN32
    if (lifecycle && code == 0) {
      Request diag;
      diag.command = "diag";
      diag.tower = 1;
      diag.out = request.out;
      code = Run(session, diag);
    }
#endif
  }
#ifndef _WIN32
  if (lifecycle && code == 0 && !machine.UninstallWithApplet()) code = 1;
  // Whatever the verifier found fails the run.
  if (!machine.Shutdown() && code == 0) code = towerctl::kExitFailure;
#endif
  return code;
}

}  // namespace

// Whatever escapes (a full disk, memory) ends the command as a device or
// operation failure with its message, not as an abort.
int main(int argc, char** argv) {
  try {
    return Main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "towerctl: %s\n", e.what());
    return towerctl::kExitFailure;
  }
}
