#include "commands.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tower/values.h"

namespace towerctl {

namespace {

using namespace tower;

// Windows' own texts for the errors the library and the platform leave.
const char* SystemMeaning(DWORD error) {
  switch (error) {
    case 0:
      return "The operation completed successfully.";
    case 1:
      return "Incorrect function.";
    case 2:
      return "The system cannot find the file specified.";
    case 3:
      return "The system cannot find the path specified.";
    case 5:
      return "Access is denied.";
    case 6:
      return "The handle is invalid.";
    case 8:
      return "Not enough memory resources are available to process this command.";
    case 21:
      return "The device is not ready.";
    case 23:
      return "Data error (cyclic redundancy check).";
    case 31:
      return "A device attached to the system is not functioning.";
    case 32:
      return "The process cannot access the file because it is being used by another process.";
    case 50:
      return "The request is not supported.";
    case 87:
      return "The parameter is incorrect.";
    case 121:
      return "The semaphore timeout period has expired.";
    case 122:
      return "The data area passed to a system call is too small.";
    case 170:
      return "The requested resource is in use.";
    case 234:
      return "More data is available.";
    case 259:
      return "No more data is available.";
    case 995:
      return "The I/O operation has been aborted because of either a thread exit or an "
             "application request.";
    case 1167:
      return "The device is not connected.";
    case 1450:
      return "Insufficient system resources exist to complete the requested service.";
    case 1460:
      return "This operation returned because the timeout period expired.";
    case 1784:
      return "The supplied user buffer is not valid for the requested operation.";
    default:
      return nullptr;
  }
}

const char* RangeName(unsigned range) {
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

const char* LinkName(unsigned mode) {
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

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool ParseNumber(const std::string& text, unsigned long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  *value = std::strtoul(text.c_str(), &end, 0);
  return end != nullptr && *end == '\0';
}

// A speed in bits per second (300 to 38400) or a speed code ("0x20").
bool ParseSpeed(const std::string& text, WORD* code) {
  unsigned long value = 0;
  if (!ParseNumber(text, &value)) return false;
  for (uint16_t bit = TOWER_SPEED_300; bit <= TOWER_SPEED_38400;
       bit = static_cast<uint16_t>(bit << 1))
    if (SpeedCodeToBitRate(bit) == value || (text.rfind("0x", 0) == 0 && value == bit)) {
      *code = bit;
      return true;
    }
  return false;
}

// Splits "a:b:c" into numbers.
bool ParseList(const std::string& text, size_t count, unsigned long* values) {
  size_t start = 0;
  for (size_t i = 0; i < count; ++i) {
    const size_t end = i + 1 == count ? text.size() : text.find(':', start);
    if (end == std::string::npos) return false;
    if (!ParseNumber(text.substr(start, end - start), &values[i])) return false;
    start = end + 1;
  }
  return true;
}

bool Check(BOOL ok, const std::string& what) {
  if (!ok) ReportLastError(what);
  return ok != FALSE;
}

void PrintBytes(const char* label, const uint8_t* data, size_t length) {
  std::printf("%s%zu bytes: \"", label, length);
  for (size_t i = 0; i < length; ++i) std::putchar(std::isprint(data[i]) ? data[i] : '.');
  std::printf("\" (");
  for (size_t i = 0; i < length; ++i) std::printf(i == 0 ? "%02x" : " %02x", data[i]);
  std::printf(")\n");
}

// One "key=value" setting.
bool ApplySetting(HANDLE tower, const std::string& setting) {
  const size_t eq = setting.find('=');
  const std::string key = Lower(setting.substr(0, eq));
  const std::string value = eq == std::string::npos ? "" : Lower(setting.substr(eq + 1));
  unsigned long number = 0;
  unsigned long list[3] = {};
  if (key == "range") {
    WORD range = value == "short"    ? TOWER_RANGE_SHORT
                 : value == "medium" ? TOWER_RANGE_MEDIUM
                 : value == "long"   ? TOWER_RANGE_LONG
                                     : 0;
    if (range == 0 && ParseNumber(value, &number)) range = static_cast<WORD>(number);
    return Check(QIROTowerSetRange(tower, range), "set range");
  }
  if (key == "link" || key == "mode") {
    WORD mode = value == "vll"   ? TOWER_LINK_VLL
                : value == "ir"  ? TOWER_LINK_IR
                : value == "irc" ? TOWER_LINK_IRC
                                 : 0;
    if (mode == 0 && ParseNumber(value, &number)) mode = static_cast<WORD>(number);
    return Check(QIROTowerSetLinkMode(tower, mode), "set link mode");
  }
  if (key == "endian") {
    WORD endian = value == "little" ? TOWER_ENDIAN_LITTLE : value == "big" ? TOWER_ENDIAN_BIG : 0;
    return Check(QIROTowerSetEndianness(tower, endian), "set endianness");
  }
  if (key == "led-mode") {
    BYTE mode = value == "hardware"   ? TOWER_LED_MODE_HARDWARE
                : value == "software" ? TOWER_LED_MODE_SOFTWARE
                                      : 0;
    return Check(QIROTowerSetLedMode(tower, mode), "set LED mode");
  }
  if (key == "led1" || key == "led2") {
    BYTE state = value == "on" ? TOWER_LED_ON : TOWER_LED_OFF;
    if (value != "on" && value != "off" && ParseNumber(value, &number))
      state = static_cast<BYTE>(number);
    return Check(QIROTowerSetLedState(tower, key == "led1" ? TOWER_LED_1 : TOWER_LED_2, state),
                 "set LED state");
  }
  if (key == "carrier" && ParseNumber(value, &number))
    return Check(QIROTowerSetCarrierFrequency(tower, static_cast<WORD>(number)),
                 "set carrier frequency");
  if (key == "duty" && ParseList(value, 2, list))
    return Check(
        QIROTowerSetCarrierDutyCycle(tower, static_cast<WORD>(list[0]), static_cast<WORD>(list[1])),
        "set carrier duty cycle");
  if (key == "irc-packet" && ParseNumber(value, &number))
    return Check(QIROTowerSetIRCPacketSize(tower, static_cast<BYTE>(number)),
                 "set IRC packet size");
  if (key == "irc-time" && ParseNumber(value, &number))
    return Check(QIROTowerSetIRCTimeFrame(tower, static_cast<BYTE>(number)), "set IRC time frame");
  if (key == "speed") {
    const size_t colon = value.find(':');
    WORD tx = 0, rx = 0;
    if (ParseSpeed(value.substr(0, colon), &tx) &&
        ParseSpeed(colon == std::string::npos ? value : value.substr(colon + 1), &rx))
      return Check(QIROTowerSetIRSpeed(tower, tx, rx), "set IR speed");
  }
  if (key == "timeouts" && ParseList(value, 3, list))
    return Check(QIROTowerSetTimeouts(tower, list[0], list[1], list[2]), "set timeouts");
  if (key == "flush") {
    WORD flags = value == "tx"                      ? TOWER_FLUSH_TX
                 : value == "rx"                    ? TOWER_FLUSH_RX
                 : value == "both" || value.empty() ? TOWER_FLUSH_TX | TOWER_FLUSH_RX
                                                    : 0;
    if (flags != 0) return Check(QIROTowerFlush(tower, flags), "flush");
  }
  if (key == "reset" && value.empty()) return Check(QIROTowerReset(tower), "reset");
  if (key == "reset-stats" && value.empty())
    return Check(QIROTowerResetCommStats(tower), "reset counters");
  std::fprintf(stderr, "towerctl: unknown setting '%s'\n", setting.c_str());
  return false;
}

}  // namespace

std::string DescribeError(DWORD error) {
  char text[160];
  if (error != 0 && (error & 0xFFFF0000u) == QIROTOWER_ERROR_BASE) {
    std::snprintf(text, sizeof(text), "the tower answered with status %u",
                  static_cast<unsigned>(error & 0xFFFFu));
    return text;
  }
  const char* meaning = SystemMeaning(error);
  return meaning != nullptr ? meaning : "unknown error";
}

void ReportLastError(const std::string& what) {
  const DWORD error = GetLastError();
  std::fprintf(stderr, "towerctl: %s: error %u (0x%08X): %s\n", what.c_str(),
               static_cast<unsigned>(error), static_cast<unsigned>(error),
               DescribeError(error).c_str());
}

int TowerNumber(const std::string& text) {
  unsigned long n = 0;
  if (!ParseNumber(text, &n) || n == 0 || n > 1000) return 0;
  return static_cast<int>(n);
}

HANDLE Session::Open(int n, std::string* path) {
  QIROTOWER_FIND* find = QIROTowerFindFirst(QIROTOWER_FIND_PRESENT);
  if (find == nullptr) {
    ReportLastError("no tower found");
    return INVALID_HANDLE_VALUE;
  }
  for (int i = 1; i < n; ++i)
    if (!QIROTowerFindNext(find)) {
      std::fprintf(stderr, "towerctl: there is no tower %d\n", n);
      QIROTowerFindStop(find);
      return INVALID_HANDLE_VALUE;
    }
  const std::string name = QIROTowerGetPathName(find);
  QIROTowerFindStop(find);
  if (path != nullptr) *path = name;
  if (auto it = open_.find(name); it != open_.end()) return it->second;
  HANDLE tower = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (tower == INVALID_HANDLE_VALUE) {
    ReportLastError("cannot open " + name);
    return INVALID_HANDLE_VALUE;
  }
  open_[name] = tower;
  return tower;
}

void Session::Close(const std::string& path) {
  auto it = open_.find(path);
  if (it == open_.end()) return;
  CloseHandle(it->second);
  open_.erase(it);
}

void Session::CloseAll() {
  for (auto& [path, tower] : open_) CloseHandle(tower);
  open_.clear();
}

int List() {
  QIROTOWER_FIND* find = QIROTowerFindFirst(QIROTOWER_FIND_PRESENT);
  if (find == nullptr) {
    if (GetLastError() == ERROR_NO_MORE_ITEMS) {
      std::printf("no tower is plugged in\n");
      return 0;
    }
    ReportLastError("search");
    return 1;
  }
  int n = 1;
  do std::printf("tower %d: %s\n", n++, QIROTowerGetPathName(find));
  while (QIROTowerFindNext(find));
  QIROTowerFindStop(find);
  return 0;
}

int Info(Session& session, int n) {
  std::string path;
  HANDLE tower = session.Open(n, &path);
  if (tower == INVALID_HANDLE_VALUE) return 1;
  std::printf("tower %d: %s\n", n, path.c_str());
  WORD state = 0;
  if (!Check(QIROTowerGetState(tower, &state), "state")) return 1;
  std::printf("  state:       0x%X (%s%s%s%s)\n", state,
              (state & TOWER_STATE_PRESENT) ? "present" : "absent",
              (state & TOWER_STATE_STARTED) ? ", started" : "",
              (state & TOWER_STATE_OPEN) ? ", open" : "",
              (state & TOWER_STATE_READER_ACTIVE) ? ", receiving" : "");
  int failures = 0;
  auto check = [&](BOOL ok, const char* what) {
    if (!ok) ++failures;
    return Check(ok, what);
  };
  QIROTOWER_VERSION version{};
  if (check(QIROTowerGetVersion(tower, &version), "version"))
    std::printf("  driver:      %u.%u.%u\n  firmware:    %u.%u.%u\n", version.DriverMajor,
                version.DriverMinor, version.DriverBuild, version.FirmwareMajor,
                version.FirmwareMinor, version.FirmwareBuild);
  WORD word = 0;
  if (check(QIROTowerGetRange(tower, &word), "range"))
    std::printf("  range:       %u (%s)\n", word, RangeName(word));
  if (check(QIROTowerGetLinkMode(tower, &word), "link mode"))
    std::printf("  link mode:   %u (%s)\n", word, LinkName(word));
  WORD tx = 0, rx = 0;
  if (check(QIROTowerGetIRSpeed(tower, &tx, &rx), "IR speed"))
    std::printf("  IR speed:    transmit %u, receive %u bit/s\n",
                static_cast<unsigned>(SpeedCodeToBitRate(tx)),
                static_cast<unsigned>(SpeedCodeToBitRate(rx)));
  DWORD first = 0, inter = 0, write = 0;
  if (check(QIROTowerGetTimeouts(tower, &first, &inter, &write), "timeouts"))
    std::printf("  timeouts:    first byte %u ms, inter-character %u ms, write %u ms/byte\n",
                static_cast<unsigned>(first), static_cast<unsigned>(inter),
                static_cast<unsigned>(write));
  BYTE byte = 0;
  if (check(QIROTowerGetLedMode(tower, &byte), "LED mode"))
    std::printf("  LED mode:    %u (%s)\n", byte,
                byte == TOWER_LED_MODE_HARDWARE ? "hardware" : "software");
  if (check(QIROTowerGetEndianness(tower, &word), "endianness"))
    std::printf("  endianness:  %u (%s)\n", word, word == TOWER_ENDIAN_LITTLE ? "little" : "big");
  if (check(QIROTowerGetCarrierFrequency(tower, &word), "carrier frequency"))
    std::printf("  carrier:     %u\n", word);
  if (check(QIROTowerGetErrorState(tower, &word), "error state"))
    std::printf("  error state: %u\n", word);
  QIROTOWER_COMMSTATS stats{};
  stats.Size = sizeof(stats);
  if (check(QIROTowerGetCommStats(tower, &stats), "counters"))
    std::printf("  counters:    %u %u %u %u\n", static_cast<unsigned>(stats.Counter1),
                static_cast<unsigned>(stats.Counter2), static_cast<unsigned>(stats.Counter3),
                static_cast<unsigned>(stats.Counter4));
  char text[256];
  if (check(QIROTowerGetCopyright(tower, text, sizeof(text)), "copyright"))
    std::printf("  copyright:   %s\n", text);
  if (check(QIROTowerGetCredits(tower, text, sizeof(text)), "credits"))
    std::printf("  credits:     %s\n", text);
  return failures == 0 ? 0 : 1;
}

int Set(Session& session, int n, const Args& settings) {
  if (settings.empty()) {
    std::fprintf(stderr, "towerctl: set N key=value...\n");
    return 2;
  }
  HANDLE tower = session.Open(n);
  if (tower == INVALID_HANDLE_VALUE) return 1;
  for (const auto& setting : settings)
    if (!ApplySetting(tower, setting)) return 1;
  return 0;
}

int Send(Session& session, int n, const Args& words) {
  std::vector<uint8_t> bytes;
  if (!words.empty() && words[0] == "--hex") {
    for (size_t i = 1; i < words.size(); ++i) {
      unsigned long value = 0;
      if (!ParseNumber("0x" + words[i], &value) || value > 0xFF) {
        std::fprintf(stderr, "towerctl: '%s' is not a hex byte\n", words[i].c_str());
        return 2;
      }
      bytes.push_back(static_cast<uint8_t>(value));
    }
  } else {
    for (size_t i = 0; i < words.size(); ++i) {
      if (i > 0) bytes.push_back(' ');
      bytes.insert(bytes.end(), words[i].begin(), words[i].end());
    }
  }
  if (bytes.empty()) {
    std::fprintf(stderr, "towerctl: send N <text> | send N --hex <bytes>\n");
    return 2;
  }
  HANDLE tower = session.Open(n);
  if (tower == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  const BOOL ok =
      WriteFile(tower, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  PrintBytes("sent ", bytes.data(), written);
  return Check(ok, "write") ? 0 : 1;
}

int Recv(Session& session, int n, const Args& args) {
  unsigned long count = 64;
  unsigned long timeout = 0;
  const bool withTimeout = args.size() >= 2;
  if ((!args.empty() && (!ParseNumber(args[0], &count) || count == 0 || count > 65536)) ||
      (withTimeout && !ParseNumber(args[1], &timeout))) {
    std::fprintf(stderr, "towerctl: recv N [count] [timeout-ms]\n");
    return 2;
  }
  HANDLE tower = session.Open(n);
  if (tower == INVALID_HANDLE_VALUE) return 1;
  // A timeout of the caller's own governs this read only.
  DWORD first = 0, inter = 0, write = 0;
  if (withTimeout) {
    if (!Check(QIROTowerGetTimeouts(tower, &first, &inter, &write), "timeouts")) return 1;
    if (!Check(QIROTowerSetTimeouts(tower, static_cast<DWORD>(timeout), inter, write),
               "set timeouts"))
      return 1;
  }
  std::vector<uint8_t> buffer(count);
  DWORD read = 0;
  const BOOL ok = ReadFile(tower, buffer.data(), static_cast<DWORD>(count), &read, nullptr);
  if (withTimeout) QIROTowerSetTimeouts(tower, first, inter, write);
  if (!Check(ok, "read")) return 1;
  PrintBytes("received ", buffer.data(), read);
  return 0;
}

int Demo(Session& session) {
  QIROTOWER_FIND* find = QIROTowerFindFirst(QIROTOWER_FIND_PRESENT);
  if (find == nullptr) {
    ReportLastError("find a tower");
    return 1;
  }
  std::printf("found:       %s\n", QIROTowerGetPathName(find));
  QIROTowerFindStop(find);
  std::string path;
  HANDLE tower = session.Open(1, &path);
  if (tower == INVALID_HANDLE_VALUE) return 1;
  std::printf("opened:      %s\n", path.c_str());
  if (!Check(QIROTowerSetRange(tower, TOWER_RANGE_LONG), "set range") ||
      !Check(QIROTowerSetLinkMode(tower, TOWER_LINK_IR), "set link mode"))
    return 1;
  WORD range = 0, mode = 0, state = 0;
  if (!Check(QIROTowerGetRange(tower, &range), "range") ||
      !Check(QIROTowerGetLinkMode(tower, &mode), "link mode") ||
      !Check(QIROTowerGetState(tower, &state), "state"))
    return 1;
  std::printf("settings:    range %s, link mode %s, state 0x%X\n", RangeName(range), LinkName(mode),
              state);

  const char message[] = "Hello, Zembo";
  const DWORD length = sizeof(message) - 1;
  DWORD written = 0;
  if (!Check(WriteFile(tower, message, length, &written, nullptr), "write")) return 1;
  PrintBytes("sent:        ", reinterpret_cast<const uint8_t*>(message), written);
  // The answer may come in pieces: read until it is all there or a read
  // comes back empty.
  std::vector<uint8_t> answer;
  uint8_t buffer[64];
  while (answer.size() < length) {
    DWORD read = 0;
    if (!Check(ReadFile(tower, buffer, static_cast<DWORD>(length - answer.size()), &read, nullptr),
               "read"))
      return 1;
    if (read == 0) break;
    answer.insert(answer.end(), buffer, buffer + read);
  }
  PrintBytes("heard:       ", answer.data(), answer.size());

  QIROTOWER_COMMSTATS stats{};
  stats.Size = sizeof(stats);
  if (!Check(QIROTowerGetCommStats(tower, &stats), "counters")) return 1;
  std::printf("counters:    %u %u %u %u\n", static_cast<unsigned>(stats.Counter1),
              static_cast<unsigned>(stats.Counter2), static_cast<unsigned>(stats.Counter3),
              static_cast<unsigned>(stats.Counter4));
  if (answer.size() != length || std::memcmp(answer.data(), message, length) != 0) {
    std::fprintf(stderr, "towerctl: the answer differs from the message\n");
    return 1;
  }
  return 0;
}

}  // namespace towerctl
