// towerctl's commands over the system rather than one tower's settings: the
// stored defaults, restart, re-enumeration, and diagnostics of a tower's
// connection and of a host controller.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands.h"
#include "tower/values.h"

namespace towerctl {

namespace {

using namespace tower;

const char* RangeText(uint32_t range) {
  switch (range) {
    case TOWER_RANGE_SHORT:
      return "short";
    case TOWER_RANGE_MEDIUM:
      return "medium";
    case TOWER_RANGE_LONG:
      return "long";
    default:
      return "?";
  }
}

const char* LinkText(uint32_t mode) {
  switch (mode) {
    case TOWER_LINK_VLL:
      return "VLL";
    case TOWER_LINK_IR:
      return "IR";
    case TOWER_LINK_IRC:
      return "IRC";
    default:
      return "?";
  }
}

void PrintConfig(const char* title, const QIROTOWER_CONFIG& c) {
  std::printf("%s:\n", title);
  std::printf("  range        %s (%u)\n", RangeText(c.IRRange), c.IRRange);
  std::printf("  link         %s (%u)\n", LinkText(c.LinkMode), c.LinkMode);
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
  if (text.empty()) return false;
  char* end = nullptr;
  const unsigned long number = std::strtoul(text.c_str(), &end, 0);
  if (end == nullptr || *end != '\0') return false;
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
    ok = false;
  }
  if (!ok) std::fprintf(stderr, "towerctl: cannot store '%s'\n", setting.c_str());
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

int Defaults(const Args& args) {
  const std::string action = args.empty() ? "show" : Lower(args[0]);
  QIROTOWER_CONFIG config = NewConfig();
  if (action == "show") {
    if (!QIROTowerGetDefaultConfig(&config)) {
      ReportLastError("read the stored defaults");
      return 1;
    }
    PrintConfig("stored defaults (a tower takes them when it is restarted)", config);
    return 0;
  }
  if (action == "factory") {
    QIROTowerGetFactoryConfig(&config);
    PrintConfig("factory defaults", config);
    return 0;
  }
  if (action == "reset") {
    QIROTowerGetFactoryConfig(&config);
  } else if (action == "set") {
    if (args.size() < 2) {
      std::fprintf(stderr, "towerctl: defaults set needs key=value...\n");
      return 2;
    }
    if (!QIROTowerGetDefaultConfig(&config)) {
      ReportLastError("read the stored defaults");
      return 1;
    }
    for (size_t i = 1; i < args.size(); ++i)
      if (!ApplyDefault(config, args[i])) return 2;
  } else {
    std::fprintf(stderr, "towerctl: defaults show|factory|reset|set key=value...\n");
    return 2;
  }
  if (!QIROTowerSetDefaultConfig(&config)) {
    ReportLastError("store the defaults");
    return 1;
  }
  PrintConfig("stored defaults (restart the towers for them to take effect)", config);
  return 0;
}

int Restart(Session& session, const std::string& which) {
  if (Lower(which) == "all") {
    // A tower this session holds open could not be restarted: let them go.
    session.CloseAll();
    if (!QIROTowerRestartAll()) {
      std::printf("no tower was restarted (none plugged in, or each held open elsewhere)\n");
      return 1;
    }
    std::printf("restarted every tower that was not held open elsewhere\n");
    return 0;
  }
  const int n = TowerNumber(which);
  if (n == 0) {
    std::fprintf(stderr, "towerctl: restart needs a tower number or 'all'\n");
    return 2;
  }
  std::string path;
  HANDLE tower = session.Open(n, &path);
  if (tower == INVALID_HANDLE_VALUE) return 1;
  if (!QIROTowerRestart(tower)) {
    ReportLastError("restart tower " + std::to_string(n));
    return 1;
  }
  // The restart used the handle up: the tower comes back as a new device.
  session.Forget(path);
  std::printf("tower %d restarted\n", n);
  return 0;
}

int Reenumerate() {
  if (!QIROTowerReenumerateAll()) {
    std::printf("the device tree could not be re-enumerated\n");
    return 1;
  }
  std::printf("the device tree was re-enumerated\n");
  return 0;
}

int Diagnose(int n, DWORD mode) {
  QIROTOWER_DEVICEINFO info;
  if (!QIROTowerGetDeviceInfoByNumber(static_cast<DWORD>(n - 1), mode, &info)) {
    ReportLastError("tower " + std::to_string(n));
    return 1;
  }
  char problem[256] = {};
  QIROTowerGetProblemDesc(info.ProblemNumber, problem, sizeof(problem));
  std::printf("tower %u: %s\n", info.TowerNumber, info.DevicePath);
  PrintStatus(info);
  std::printf("  problem      %u: %s\n", info.ProblemNumber, problem);
  std::printf("  device       %s\n", info.DeviceDesc);
  std::printf("  parent       %s\n", info.ParentDesc[0] != '\0' ? info.ParentDesc : "(none)");
  std::printf("  parent hub   %s\n",
              info.HubBusPowered != 0
                  ? "bus-powered: it cannot feed the long-range transmitter; use short or "
                    "medium range, or plug the tower into a self-powered hub"
                  : "self-powered or not known: long range is available");
  std::printf("  driver       %s, version %s, from %s\n", info.DriverDesc, info.DriverVersion,
              info.ProviderName);
  return 0;
}

int HostController(int number) {
  QIROTOWER_HCINFO info;
  std::printf("USB: %s\n", QIROTowerIsUSBEnabled() ? "a host controller is present"
                                                   : "no host controller answers");
  if (!QIROTowerGetHostControllerInfo(static_cast<DWORD>(number), &info)) {
    std::printf("host controller %d: cannot be opened: %s\n", number,
                DescribeError(info.OpenError).c_str());
    return 1;
  }
  std::printf("host controller %d:\n", number);
  std::printf("  driver key   %s\n", info.DriverKeyName);
  std::printf("  description  %s\n", info.HostControllerDesc);
  return 0;
}

}  // namespace towerctl
