// towerctl's commands over the system rather than one tower's settings: the
// stored defaults, restart, re-enumeration, and diagnostics of a tower's
// connection and of a host controller.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "tower/values.h"

namespace towerctl {

namespace {

using namespace tower;
using Json = nlohmann::ordered_json;

void PrintConfig(const char* title, const QIROTOWER_CONFIG& c, const Output& out) {
  if (out.json) {
    Emit(Json{{"title", title},
              {"range", RangeName(c.IRRange)},
              {"link", LinkName(c.LinkMode)},
              {"high_power", c.HighPower != 0},
              {"read_first_ms", c.Timeout_Read_1st},
              {"read_ic_ms", c.Timeout_Read_ic},
              {"write_ms_per_byte", c.Timeout_Write},
              {"buffer_bytes", c.BufferSize}});
    return;
  }
  std::printf("%s:\n", title);
  std::printf("  range        %s (%u)\n", RangeName(c.IRRange), c.IRRange);
  std::printf("  link         %s (%u)\n", LinkName(c.LinkMode), c.LinkMode);
  std::printf("  high-power   %s\n", c.HighPower != 0 ? "on" : "off");
  std::printf("  read-first   %u ms\n", c.Timeout_Read_1st);
  std::printf("  read-ic      %u ms\n", c.Timeout_Read_ic);
  std::printf("  write        %u ms per byte\n", c.Timeout_Write);
  std::printf("  buffer       %u bytes\n", c.BufferSize);
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool ParseValue(const std::string& text, uint32_t* value) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long number = std::strtoul(text.c_str(), &end, 0);
  if (errno != 0 || end == nullptr || *end != '\0' || number > 0xFFFFFFFFul) return false;
  *value = static_cast<uint32_t>(number);
  return true;
}

// One "key=value" of the stored defaults; false after a report.
bool ApplyDefault(QIROTOWER_CONFIG& c, const std::string& setting) {
  const size_t eq = setting.find('=');
  const std::string key = Lower(setting.substr(0, eq));
  const std::string value = eq == std::string::npos ? "" : Lower(setting.substr(eq + 1));
  bool ok = true;
  if (key == "range") {
    c.IRRange = value == "short"    ? TOWER_RANGE_SHORT
                : value == "medium" ? TOWER_RANGE_MEDIUM
                : value == "long"   ? TOWER_RANGE_LONG
                                    : 0;
    ok = c.IRRange != 0;
  } else if (key == "link") {
    c.LinkMode = value == "vll"   ? TOWER_LINK_VLL
                 : value == "ir"  ? TOWER_LINK_IR
                 : value == "irc" ? TOWER_LINK_IRC
                                  : 0;
    ok = c.LinkMode != 0;
  } else if (key == "high-power") {
    ok = value == "on" || value == "off";
    c.HighPower = value == "on" ? 1 : 0;
  } else if (key == "read-first") {
    ok = ParseValue(value, &c.Timeout_Read_1st);
  } else if (key == "read-ic") {
    ok = ParseValue(value, &c.Timeout_Read_ic);
  } else if (key == "write") {
    ok = ParseValue(value, &c.Timeout_Write);
  } else if (key == "buffer") {
    ok = ParseValue(value, &c.BufferSize);
  } else {
    std::fprintf(stderr,
                 "towerctl: defaults set: unknown key '%s' (valid: range, link, high-power, "
                 "read-first, read-ic, write, buffer)\n",
                 key.c_str());
    return false;
  }
  if (!ok) {
    const char* valid = key == "range"        ? "short, medium, long"
                        : key == "link"       ? "vll, ir, irc"
                        : key == "high-power" ? "on, off"
                        : key == "buffer"     ? "a number of bytes"
                                              : "a number of milliseconds";
    std::fprintf(stderr, "towerctl: defaults set: invalid value '%s' for %s (valid: %s)\n",
                 value.c_str(), key.c_str(), valid);
  }
  return ok;
}

QIROTOWER_CONFIG NewConfig() {
  QIROTOWER_CONFIG config;
  std::memset(&config, 0, sizeof(config));
  config.Size = sizeof(config);
  return config;
}

// The device node status bits a user can act on.
void PrintStatus(const QIROTOWER_DEVICEINFO& info) {
  if (info.StatusValid == 0) {
    std::printf("  status       not available (the tower is not plugged in)\n");
    return;
  }
  std::printf("  status       0x%08x%s%s\n", info.DevNodeStatus,
              (info.DevNodeStatus & 0x8u) != 0 ? " started" : "",
              (info.DevNodeStatus & 0x400u) != 0 ? " has-problem" : "");
}

}  // namespace

int Defaults(const std::string& action, const Args& settings, const Output& out) {
  QIROTOWER_CONFIG config = NewConfig();
  if (action == "show") {
    if (!QIROTowerGetDefaultConfig(&config)) {
      ReportLastError("read the stored defaults");
      return kExitFailure;
    }
    PrintConfig("stored defaults (a tower takes them when it is restarted)", config, out);
    return kExitOk;
  }
  if (action == "factory") {
    QIROTowerGetFactoryConfig(&config);
    PrintConfig("factory defaults", config, out);
    return kExitOk;
  }
  if (action == "reset") {
    QIROTowerGetFactoryConfig(&config);
  } else {
    if (!QIROTowerGetDefaultConfig(&config)) {
      ReportLastError("read the stored defaults");
      return kExitFailure;
    }
    // Every value is checked before anything is stored.
    bool ok = true;
    for (const auto& setting : settings) ok = ApplyDefault(config, setting) && ok;
    if (!ok) {
      std::fprintf(stderr, "towerctl: nothing was stored\n");
      return kExitUsage;
    }
  }
  if (!QIROTowerSetDefaultConfig(&config)) {
    ReportLastError("store the defaults");
    return kExitFailure;
  }
  PrintConfig("stored defaults (restart the towers for them to take effect)", config, out);
  return kExitOk;
}

int Restart(Session& session, int n, const Output& out) {
  if (n == 0) {
    // A tower this session holds open could not be restarted: let them go.
    session.CloseAll();
    const bool ok = QIROTowerRestartAll() != FALSE;
    if (out.json)
      Emit(Json{{"restarted", "all"}, {"ok", ok}});
    else if (ok)
      std::printf("restarted every tower that was not held open elsewhere\n");
    else
      std::printf("no tower was restarted (none plugged in, or each held open elsewhere)\n");
    return ok ? kExitOk : kExitFailure;
  }
  std::string path;
  HANDLE tower = session.Open(n, &path);
  if (tower == INVALID_HANDLE_VALUE) return session.Failure();
  if (!QIROTowerRestart(tower)) {
    ReportLastError("restart tower " + std::to_string(n));
    return kExitFailure;
  }
  // The restart used the handle up: the tower comes back as a new device.
  session.Forget(path);
  if (out.json)
    Emit(Json{{"restarted", n}, {"ok", true}});
  else
    std::printf("tower %d restarted\n", n);
  return kExitOk;
}

int Reenumerate(const Output& out) {
  const bool ok = QIROTowerReenumerateAll() != FALSE;
  if (out.json)
    Emit(Json{{"reenumerated", ok}});
  else
    std::printf(ok ? "the device tree was re-enumerated\n"
                   : "the device tree could not be re-enumerated\n");
  return ok ? kExitOk : kExitFailure;
}

int Diagnose(int n, DWORD mode, const Output& out) {
  QIROTOWER_DEVICEINFO info;
  if (!QIROTowerGetDeviceInfoByNumber(static_cast<DWORD>(n - 1), mode, &info)) {
    const DWORD error = GetLastError();
    ReportLastError("tower " + std::to_string(n));
    return error == ERROR_NO_MORE_ITEMS || error == ERROR_FILE_NOT_FOUND ? kExitNotFound
                                                                         : kExitFailure;
  }
  char problem[256] = {};
  QIROTowerGetProblemDesc(info.ProblemNumber, problem, sizeof(problem));
  const bool busPowered = info.HubBusPowered != 0;
  if (out.json) {
    Json status = nullptr;
    if (info.StatusValid != 0)
      status = Json{{"value", info.DevNodeStatus},
                    {"started", (info.DevNodeStatus & 0x8u) != 0},
                    {"has_problem", (info.DevNodeStatus & 0x400u) != 0}};
    Emit(Json{{"tower", info.TowerNumber},
              {"path", info.DevicePath},
              {"status", status},
              {"problem", Json{{"number", info.ProblemNumber}, {"text", problem}}},
              {"device", info.DeviceDesc},
              {"parent", info.ParentDesc},
              {"parent_hub_bus_powered", busPowered},
              {"driver", Json{{"description", info.DriverDesc},
                              {"version", info.DriverVersion},
                              {"provider", info.ProviderName}}}});
    return kExitOk;
  }
  std::printf("tower %u: %s\n", info.TowerNumber, info.DevicePath);
  PrintStatus(info);
  std::printf("  problem      %u: %s\n", info.ProblemNumber, problem);
  std::printf("  device       %s\n", info.DeviceDesc);
  std::printf("  parent       %s\n", info.ParentDesc[0] != '\0' ? info.ParentDesc : "(none)");
  std::printf("  parent hub   %s\n",
              busPowered ? "bus-powered: it cannot feed the long-range transmitter; use short or "
                           "medium range, or plug the tower into a self-powered hub"
                         : "self-powered or not known: long range is available");
  std::printf("  driver       %s, version %s, from %s\n", info.DriverDesc, info.DriverVersion,
              info.ProviderName);
  return kExitOk;
}

int HostController(int number, const Output& out) {
  QIROTOWER_HCINFO info;
  const bool usb = QIROTowerIsUSBEnabled() != FALSE;
  const bool ok = QIROTowerGetHostControllerInfo(static_cast<DWORD>(number), &info) != FALSE;
  if (out.json) {
    Json document{{"usb_enabled", usb}, {"host_controller", number}, {"ok", ok}};
    if (ok) {
      document["driver_key"] = info.DriverKeyName;
      document["description"] = info.HostControllerDesc;
    } else {
      document["error"] = DescribeError(info.OpenError);
    }
    Emit(document);
    return ok ? kExitOk : kExitNotFound;
  }
  std::printf("USB: %s\n", usb ? "a host controller is present" : "no host controller answers");
  if (!ok) {
    std::printf("host controller %d: cannot be opened: %s\n", number,
                DescribeError(info.OpenError).c_str());
    return kExitNotFound;
  }
  std::printf("host controller %d:\n", number);
  std::printf("  driver key   %s\n", info.DriverKeyName);
  std::printf("  description  %s\n", info.HostControllerDesc);
  return kExitOk;
}

}  // namespace towerctl
