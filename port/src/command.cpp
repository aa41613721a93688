// The text command language of devicecontrol: the parser and every command.
#include "command.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal.h"
#include "tower/values.h"

namespace celvane {

using namespace tower;

namespace {

// Letters and digits of ASCII: every command word and value is ASCII.
bool IsAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}
bool IsWord(char c) { return IsAlnum(c) || c == '_'; }
bool IsValue(char c) { return IsWord(c) || c == '?' || c == '.'; }
// Only 0x20 is a space; a tab is not.
const char* SkipSpaces(const char* p) {
  while (*p == ' ') ++p;
  return p;
}

// A copy of [begin, begin + length), or null when empty or out of memory.
char* CopyWord(const char* begin, size_t length) {
  if (length == 0) return nullptr;
  auto* word = static_cast<char*>(std::malloc(length + 1));
  if (word == nullptr) return nullptr;
  std::memcpy(word, begin, length);
  word[length] = '\0';
  return word;
}

void Lower(char* word) {
  if (word == nullptr) return;
  for (; *word != '\0'; ++word)
    if (*word >= 'A' && *word <= 'Z') *word = static_cast<char>(*word - 'A' + 'a');
}

}  // namespace

void ZMB_COMMAND::Free() {
  std::free(text);
  std::free(name);
  std::free(value);
  for (char*& p : parameters) {
    std::free(p);
    p = nullptr;
  }
  text = name = value = nullptr;
  paramcount = 0;
}

bool ZMB_COMMAND::Set(const char* command) {
  Free();
  const size_t length = std::strlen(command);
  text = static_cast<char*>(std::malloc(length + 1));
  if (text == nullptr) return false;
  std::memcpy(text, command, length + 1);
  const char* p = SkipSpaces(text);
  const char* start = p;
  while (IsWord(*p)) ++p;
  name = CopyWord(start, static_cast<size_t>(p - start));
  const char* afterName = SkipSpaces(p);
  if (*afterName == '(') {
    p = afterName + 1;
    for (;;) {
      while (*p != '\0' && *p != ')' && !IsAlnum(*p)) ++p;
      if (*p == '\0' || *p == ')') break;
      start = p;
      while (IsWord(*p)) ++p;
      // Further parameters are read past and dropped.
      if (paramcount < kMaxParameters)
        parameters[paramcount++] = CopyWord(start, static_cast<size_t>(p - start));
    }
  }
  // Whatever lies before the first "=" is ignored.
  const char* equals = std::strchr(p, '=');
  if (equals != nullptr) {
    p = SkipSpaces(equals + 1);
    start = p;
    while (IsValue(*p)) ++p;
    value = CopyWord(start, static_cast<size_t>(p - start));
  }
  if (!keepcase) {
    Lower(name);
    Lower(value);
    for (int i = 0; i < paramcount; ++i) Lower(parameters[i]);
  }
  return true;
}

unsigned long ZMB_COMMAND::Number() const {
  uint32_t n = 0;
  if (value == nullptr) return 0;
  for (const char* p = value; *p >= '0' && *p <= '9'; ++p)
    n = n * 10u + static_cast<uint32_t>(*p - '0');
  return n;
}

bool ZMB_COMMAND::HasParameter(const char* word) const {
  for (int i = 0; i < paramcount; ++i)
    if (parameters[i] != nullptr && std::strcmp(parameters[i], word) == 0) return true;
  return false;
}

namespace {

// One word of a command's list and the tower's number for it.
struct Choice {
  const char* word;
  unsigned number;
};

constexpr Choice kRanges[] = {
    {"short", TOWER_RANGE_SHORT}, {"medium", TOWER_RANGE_MEDIUM}, {"long", TOWER_RANGE_LONG}};
constexpr Choice kLinkModes[] = {
    {"vll", TOWER_LINK_VLL}, {"ir", TOWER_LINK_IR}, {"irc", TOWER_LINK_IRC}};
constexpr Choice kEndianness[] = {{"little", TOWER_ENDIAN_LITTLE}, {"big", TOWER_ENDIAN_BIG}};
constexpr Choice kLedModes[] = {{"hw", TOWER_LED_MODE_HARDWARE}, {"sw", TOWER_LED_MODE_SOFTWARE}};

template <size_t N>
bool NumberOf(const Choice (&list)[N], const char* word, unsigned* number) {
  for (const Choice& c : list)
    if (std::strcmp(c.word, word) == 0) {
      *number = c.number;
      return true;
    }
  return false;
}

template <size_t N>
const char* WordOf(const Choice (&list)[N], unsigned number) {
  for (const Choice& c : list)
    if (c.number == number) return c.word;
  return "unknown";
}

// The tower's IR speed codes: one bit each, 300 to 38400 bits per second.
constexpr struct {
  USHORT flag;
  ULONG baud;
} kSpeeds[] = {{TOWER_SPEED_300, 300},     {TOWER_SPEED_600, 600},    {TOWER_SPEED_1200, 1200},
               {TOWER_SPEED_2400, 2400},   {TOWER_SPEED_4800, 4800},  {TOWER_SPEED_9600, 9600},
               {TOWER_SPEED_19200, 19200}, {TOWER_SPEED_38400, 38400}};

// The reply of one devicecontrol call: copied with truncation, at most
// size - 1 characters and a terminator; a size below 1 receives nothing.
class Reply {
 public:
  Reply(char* buffer, int size) : buffer_(buffer), size_(size) {}
  bool given() const { return buffer_ != nullptr; }
  bool usable() const { return buffer_ != nullptr && size_ >= 1; }
  void Put(const char* text) {
    if (!usable()) return;
    const size_t room = static_cast<size_t>(size_) - 1;
    size_t n = std::strlen(text);
    if (n > room) n = room;
    std::memcpy(buffer_, text, n);
    buffer_[n] = '\0';
  }
  void Clear() { Put(""); }
  char* buffer() { return buffer_; }
  int size() const { return size_; }

 private:
  char* buffer_;
  int size_;
};

}  // namespace

}  // namespace celvane

using celvane::Port;
using celvane::ZMB_COMMAND;

LONG Port::flagtospeed(USHORT flag, ULONG* baud) {
  if (baud == nullptr) return ZMB_E_INVALIDARG;
  for (const auto& s : celvane::kSpeeds)
    if (s.flag == flag) {
      *baud = s.baud;
      return ZMB_OK;
    }
  return ZMB_E_INVALIDARG;
}

LONG Port::speedtoflag(ULONG baud, USHORT* flag) {
  if (flag == nullptr) return ZMB_E_INVALIDARG;
  for (const auto& s : celvane::kSpeeds)
    if (s.baud == baud) {
      *flag = s.flag;
      return ZMB_OK;
    }
  return ZMB_E_INVALIDARG;
}

LONG Port::devicecontrol(const char* command, char* reply, int replysize) {
  if (towerhandle.load() == INVALID_HANDLE_VALUE || (getstate() & ZMB_PORTSTATE_OPEN) == 0)
    return ZMB_E_NOTOPEN;
  controllock.enter();
  const LONG result = runcommand(command, reply, replysize);
  controllock.leave();
  return result;
}

LONG Port::runcommand(const char* command, char* replybuffer, int replysize) {
  using namespace celvane;
  Reply reply(replybuffer, replysize);
  reply.Clear();
  ZMB_COMMAND cmd;
  cmd.keepcase = false;
  // The default command sets IR link mode.
  if (!cmd.Set(command != nullptr ? command : "mode=ir")) return ZMB_E_DEVICEFAILED;
  const HANDLE tower = towerhandle.load();
  const char* name = cmd.name != nullptr ? cmd.name : "";
  const bool setting = cmd.IsSetting();
  char text[96];

  if (EqualIgnoringCase(name, "porttype")) {
    reply.Put("usbtower");
    return ZMB_OK;
  }

  if (EqualIgnoringCase(name, "range") || EqualIgnoringCase(name, "mode") ||
      EqualIgnoringCase(name, "linkmode") || EqualIgnoringCase(name, "endianness")) {
    const bool isRange = EqualIgnoringCase(name, "range");
    const bool isEndian = EqualIgnoringCase(name, "endianness");
    auto words = [&](unsigned* number, const char* word) {
      return isRange    ? NumberOf(kRanges, word, number)
             : isEndian ? NumberOf(kEndianness, word, number)
                        : NumberOf(kLinkModes, word, number);
    };
    auto wordOf = [&](unsigned number) {
      return isRange    ? WordOf(kRanges, number)
             : isEndian ? WordOf(kEndianness, number)
                        : WordOf(kLinkModes, number);
    };
    WORD current = 0;
    if (setting) {
      unsigned number = 0;
      if (!words(&number, cmd.value)) return ZMB_E_INVALIDARG;
      current = static_cast<WORD>(number);
      const BOOL ok = isRange    ? QIROTowerSetRange(tower, current)
                      : isEndian ? QIROTowerSetEndianness(tower, current)
                                 : QIROTowerSetLinkMode(tower, current);
      if (!ok) return ZMB_E_DEVICEFAILED;
      // Reapplied after a reconnection.
      if (isRange) savedrange.store(current);
      if (!isRange && !isEndian) savedlinkmode.store(current);
    } else {
      const BOOL ok = isRange    ? QIROTowerGetRange(tower, &current)
                      : isEndian ? QIROTowerGetEndianness(tower, &current)
                                 : QIROTowerGetLinkMode(tower, &current);
      if (!ok) return ZMB_E_DEVICEFAILED;
    }
    reply.Put(wordOf(current));
    return ZMB_OK;
  }

  if (EqualIgnoringCase(name, "flush")) {
    WORD sides = 0;
    if (cmd.HasParameter("tx")) sides |= 1;
    if (cmd.HasParameter("rx")) sides |= 2;
    if (sides == 0) return ZMB_E_INVALIDARG;
    if (!QIROTowerFlush(tower, sides)) return ZMB_E_DEVICEFAILED;
    reply.Put("ok");
    return ZMB_OK;
  }

  if (EqualIgnoringCase(name, "reset")) {
    if (!QIROTowerReset(tower)) return ZMB_E_DEVICEFAILED;
    reply.Put("ok");
    return ZMB_OK;
  }

  if (EqualIgnoringCase(name, "timeout")) {
    DWORD first = 0;
    DWORD interChar = 0;
    DWORD write = 0;
    if (!QIROTowerGetTimeouts(tower, &first, &interChar, &write)) return ZMB_E_DEVICEFAILED;
    if (setting) {
      const DWORD t = static_cast<DWORD>(cmd.Number());
      if (t == 0) return ZMB_E_INVALIDARG;
      if (cmd.HasParameter("read")) first = interChar = t;
      if (cmd.HasParameter("read_1")) first = t;
      if (cmd.HasParameter("read_ic")) interChar = t;
      if (cmd.HasParameter("write")) write = t;
      // Written back also when no parameter named any of them.
      if (!QIROTowerSetTimeouts(tower, first, interChar, write)) return ZMB_E_DEVICEFAILED;
    }
    std::snprintf(text, sizeof(text), "read_1 = %d, read_ic = %d, write = %d",
                  static_cast<int>(first), static_cast<int>(interChar), static_cast<int>(write));
    reply.Put(text);
    return ZMB_OK;
  }

  if (EqualIgnoringCase(name, "version")) {
    if (!reply.given()) return ZMB_E_INVALIDARG;
    QIROTOWER_VERSION version{};
    if (!QIROTowerGetVersion(tower, &version)) return ZMB_E_DEVICEFAILED;
    std::snprintf(text, sizeof(text), "Driver version = %d.%d.%d - Firmware version = %d.%d.%d",
                  version.DriverMajor, version.DriverMinor, version.DriverBuild,
                  version.FirmwareMajor, version.FirmwareMinor, version.FirmwareBuild);
    reply.Put(text);
    return ZMB_OK;
  }

  if (EqualIgnoringCase(name, "copyright") || EqualIgnoringCase(name, "credits")) {
    if (!reply.given()) return ZMB_E_INVALIDARG;
    const bool copyright = EqualIgnoringCase(name, "copyright");
    // A size below 1 receives nothing: the tower is asked into a buffer of
    // the port's own rather than handing the library a size that would turn
    // into a huge unsigned length.
    char own[512];
    char* target = reply.usable() ? reply.buffer() : own;
    const DWORD size = reply.usable() ? static_cast<DWORD>(reply.size()) : sizeof(own);
    const BOOL ok = copyright ? QIROTowerGetCopyright(tower, target, size)
                              : QIROTowerGetCredits(tower, target, size);
    if (!ok) {
      reply.Clear();
      return ZMB_E_DEVICEFAILED;
    }
    return ZMB_OK;
  }

  if (EqualIgnoringCase(name, "errorstate")) {
    if (!reply.given()) return ZMB_E_INVALIDARG;
    WORD error = 0;
    if (!QIROTowerGetErrorState(tower, &error)) return ZMB_E_DEVICEFAILED;
    std::snprintf(text, sizeof(text), "%d", static_cast<int>(error));
    reply.Put(text);
    return ZMB_OK;
  }

  if (EqualIgnoringCase(name, "ledmode")) {
    BYTE mode = 0;
    if (setting) {
      unsigned number = 0;
      if (!NumberOf(kLedModes, cmd.value, &number)) return ZMB_E_INVALIDARG;
      mode = static_cast<BYTE>(number);
      if (!QIROTowerSetLedMode(tower, mode)) return ZMB_E_DEVICEFAILED;
    } else if (!QIROTowerGetLedMode(tower, &mode)) {
      return ZMB_E_DEVICEFAILED;
    }
    reply.Put(WordOf(kLedModes, mode));
    return ZMB_OK;
  }

  if (EqualIgnoringCase(name, "ledstate")) {
    if (cmd.paramcount != 1 || cmd.parameters[0] == nullptr) return ZMB_E_INVALIDARG;
    BYTE led = 0;
    if (std::strcmp(cmd.parameters[0], "id") == 0)
      led = TOWER_LED_1;
    else if (std::strcmp(cmd.parameters[0], "vll") == 0)
      led = TOWER_LED_2;
    else
      return ZMB_E_INVALIDARG;
    BYTE ledState = 0;
    if (setting) {
      if (std::strcmp(cmd.value, "on") == 0)
        ledState = TOWER_LED_ON;
      else if (std::strcmp(cmd.value, "off") == 0)
        ledState = TOWER_LED_OFF;
      else
        return ZMB_E_INVALIDARG;
      if (!QIROTowerSetLedState(tower, led, ledState)) return ZMB_E_DEVICEFAILED;
    } else if (!QIROTowerGetLedState(tower, led, &ledState)) {
      return ZMB_E_DEVICEFAILED;
    }
    const bool on = ledState == 1 || ledState == 2 || ledState == 4 || ledState == 8 ||
                    ledState == TOWER_LED_ON;
    reply.Put(ledState == TOWER_LED_OFF ? "off" : on ? "on" : "unknown");
    return ZMB_OK;
  }

  if (EqualIgnoringCase(name, "irspeed") || EqualIgnoringCase(name, "speed")) {
    WORD tx = 0;
    WORD rx = 0;
    if (!QIROTowerGetIRSpeed(tower, &tx, &rx)) return ZMB_E_DEVICEFAILED;
    if (setting) {
      USHORT flag = 0;
      if (ZMB_FAILED(speedtoflag(static_cast<ULONG>(cmd.Number()), &flag))) return ZMB_E_INVALIDARG;
      if (cmd.paramcount == 0) {
        tx = rx = flag;
      } else {
        if (cmd.HasParameter("tx")) tx = flag;
        if (cmd.HasParameter("rx")) rx = flag;
      }
      if (!QIROTowerSetIRSpeed(tower, tx, rx)) return ZMB_E_DEVICEFAILED;
    }
    LONG result = ZMB_OK;
    if (reply.given()) {
      ULONG txBaud = 0;
      ULONG rxBaud = 0;
      flagtospeed(tx, &txBaud);
      // The command's result is that of converting the receive flag.
      result = flagtospeed(rx, &rxBaud);
      std::snprintf(text, sizeof(text), "tx = %d, rx = %d", static_cast<int>(txBaud),
                    static_cast<int>(rxBaud));
      reply.Put(text);
    }
    return result;
  }

  if (EqualIgnoringCase(name, "ircpacketsize")) {
    BYTE size = 0;
    if (setting) {
      size = static_cast<BYTE>(cmd.Number() % 256);
      if (size == 0) return ZMB_E_INVALIDARG;
      if (!QIROTowerSetIRCPacketSize(tower, size)) return ZMB_E_DEVICEFAILED;
    } else if (!QIROTowerGetIRCPacketSize(tower, &size)) {
      return ZMB_E_DEVICEFAILED;
    }
    std::snprintf(text, sizeof(text), "%d", static_cast<int>(size));
    reply.Put(text);
    return ZMB_OK;
  }

  reply.Put("unknown command");
  return ZMB_E_INVALIDARG;
}
