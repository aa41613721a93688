// zmbterm: a stand-in for the Zembo communication stack, and a terminal for
// a tower. It loads the port plug-in by file name, binds it with
// LoDllGetObject as the stack does, and drives one port from typed lines:
// text commands for the tower, data to send, receives in either mode, abort,
// clear and release. On the host it first boots a host machine with the
// driver and simulated towers, which it can plug and unplug.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "Celvane.h"

#ifndef _WIN32
#include "host_towers.h"
#endif

namespace {

const char* ResultName(LONG r) {
  switch (r) {
    case ZMB_OK:
      return "ZMB_OK";
    case ZMB_S_PENDING:
      return "ZMB_S_PENDING";
    case ZMB_E_INVALIDARG:
      return "ZMB_E_INVALIDARG";
    case ZMB_E_NOTSUPPORTED:
      return "ZMB_E_NOTSUPPORTED";
    case ZMB_E_OUTOFMEMORY:
      return "ZMB_E_OUTOFMEMORY";
    case ZMB_E_ALREADYOPEN:
      return "ZMB_E_ALREADYOPEN";
    case ZMB_E_NOTOPEN:
      return "ZMB_E_NOTOPEN";
    case ZMB_E_BUSY:
      return "ZMB_E_BUSY";
    case ZMB_E_NOPORT:
      return "ZMB_E_NOPORT";
    case ZMB_E_TIMEOUT:
      return "ZMB_E_TIMEOUT";
    case ZMB_E_WRONGSTATE:
      return "ZMB_E_WRONGSTATE";
    case ZMB_E_ABORTED:
      return "ZMB_E_ABORTED";
    case ZMB_E_OPENFAILED:
      return "ZMB_E_OPENFAILED";
    case ZMB_E_SENDFAILED:
      return "ZMB_E_SENDFAILED";
    case ZMB_E_RECVFAILED:
      return "ZMB_E_RECVFAILED";
    case ZMB_E_DEVICEFAILED:
      return "ZMB_E_DEVICEFAILED";
    case ZMB_E_SETTIMEOUTFAILED:
      return "ZMB_E_SETTIMEOUTFAILED";
    case ZMB_E_GETTIMEOUTFAILED:
      return "ZMB_E_GETTIMEOUTFAILED";
    case ZMB_E_THREADFAILED:
      return "ZMB_E_THREADFAILED";
    case ZMB_E_CLEARFAILED:
      return "ZMB_E_CLEARFAILED";
    case ZMB_E_RECONNECTFAILED:
      return "ZMB_E_RECONNECTFAILED";
    default:
      return "?";
  }
}

// Lines come from the terminal's thread and from the port's workers (the
// callbacks): one at a time. The platform's lock, as the stack would use.
struct OutputLock {
  OutputLock() { InitializeCriticalSection(&section); }
  ~OutputLock() { DeleteCriticalSection(&section); }
  CRITICAL_SECTION section;
};
OutputLock output;

void Say(const std::string& line) {
  EnterCriticalSection(&output.section);
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  LeaveCriticalSection(&output.section);
}

std::string Result(LONG r) {
  char text[64];
  std::snprintf(text, sizeof(text), "%s (0x%08X)", ResultName(r), static_cast<unsigned>(r));
  return text;
}

// Printable bytes as text, the others as \xNN.
std::string Shown(const unsigned char* bytes, ULONG count) {
  std::string text;
  for (ULONG i = 0; i < count; ++i) {
    if (bytes[i] >= 0x20 && bytes[i] < 0x7F && bytes[i] != '\\') {
      text += static_cast<char>(bytes[i]);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof(hex), "\\x%02X", bytes[i]);
      text += hex;
    }
  }
  return text;
}

// Buffers of queued transfers live until their callback.
struct Transfer {
  std::vector<unsigned char> bytes;
};

LONG WINAPI Completed(ULONG direction, LONG result, unsigned char* buffer, ULONG count,
                      void* context) {
  auto* transfer = static_cast<Transfer*>(context);
  if (direction == ZMB_PORT_TX)
    Say("[sent " + std::to_string(count) + " bytes: " + Result(result) + "]");
  else
    Say("[received " + std::to_string(count) + " bytes: \"" + Shown(buffer, count) + "\" " +
        Result(result) + "]");
  delete transfer;
  return 0;
}

ULONG Sides(const std::string& word) {
  if (word == "tx") return ZMB_PORT_TX;
  if (word == "rx") return ZMB_PORT_RX;
  if (word == "both" || word.empty()) return ZMB_PORT_TX | ZMB_PORT_RX;
  return 0;
}

void Help() {
  Say("commands:");
  Say("  find                      list the towers (findfirst / findnext)");
  Say("  open [N|path] [mode]      open the N-th tower found (default 1) or a path;");
  Say("                            a mode runs the default command (IR link mode)");
  Say("  close | state | line      close; the state word; the line test");
  Say("  :COMMAND                  a text command, e.g. :range=long :version :timeout");
  Say("  send TEXT | sendhex HEX.. send bytes");
  Say("  recv N                    receive up to N bytes");
  Say("  txmode|rxmode sync|callback");
  Say("  timeout FIRST SECOND      settimeout; 'timeout' alone shows them");
  Say("  abort|clear [tx|rx|both]");
#ifndef _WIN32
  Say("  plug | unplug N | towers  simulated towers of the host machine");
#endif
  Say("  help | quit               quit releases the port");
}

}  // namespace

int main(int argc, char** argv) {
  std::string pluginFile = "Celvane.dll";
  bool echo = false;
#ifndef _WIN32
  zmbterm::HostTowers::Options hostOptions;
#endif
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--plugin" && i + 1 < argc) {
      pluginFile = argv[++i];
    } else if (arg == "--echo") {
      echo = true;
#ifndef _WIN32
    } else if (arg == "--towers" && i + 1 < argc) {
      hostOptions.towers = std::atoi(argv[++i]);
    } else if (arg == "--silent") {
      hostOptions.silent = true;
#endif
    } else {
      std::fprintf(stderr,
                   "usage: zmbterm [--plugin FILE] [--echo]"
#ifndef _WIN32
                   " [--towers N] [--silent]"
#endif
                   "\n");
      return 2;
    }
  }
#ifndef _WIN32
  zmbterm::HostTowers towers;
  if (!towers.Boot(hostOptions)) return 1;
#endif

  // Bound as the stack binds it: the file, then LoDllGetObject by name.
  HMODULE plugin = LoadLibraryA(pluginFile.c_str());
  if (plugin == nullptr) {
    std::fprintf(stderr, "zmbterm: cannot load %s (error %u)\n", pluginFile.c_str(),
                 static_cast<unsigned>(GetLastError()));
    return 1;
  }
  auto getObject = reinterpret_cast<LODLLGETOBJECT>(
      reinterpret_cast<void (*)(void)>(GetProcAddress(plugin, "LoDllGetObject")));
  IZmbPort* port = nullptr;
  const LONG got =
      getObject != nullptr ? getObject(ZMB_PORT_OBJECT_USB, &port) : ZMB_E_NOTSUPPORTED;
  if (ZMB_FAILED(got) || port == nullptr) {
    std::fprintf(stderr, "zmbterm: no port object: %s\n", Result(got).c_str());
    FreeLibrary(plugin);
    return 1;
  }
  Say("zmbterm: port bound from " + pluginFile + "; 'help' lists the commands");

  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (echo) Say("> " + line);
    if (line.empty()) continue;
    if (line[0] == ':') {
      char reply[256] = "";
      const LONG r = port->devicecontrol(line.c_str() + 1, reply, sizeof(reply));
      Say(std::string(reply[0] != '\0' ? reply : "") + (reply[0] != '\0' ? "  " : "") + Result(r));
      continue;
    }
    std::istringstream in(line);
    std::string word;
    in >> word;
    if (word == "quit" || word == "exit") break;
    if (word == "help") {
      Help();
    } else if (word == "find") {
      _ZMBPORTDESC desc;
      int found = 0;
      LONG r = port->findfirst(&desc);
      while (ZMB_SUCCEEDED(r)) {
        Say("tower " + std::to_string(desc.index) + ": " + desc.path);
        ++found;
        r = port->findnext(&desc, &desc);
      }
      if (found == 0) Say(Result(r));
    } else if (word == "open") {
      std::string target;
      std::string mode;
      in >> target >> mode;
      const char* modeText = mode.empty() ? nullptr : mode.c_str();
      LONG r;
      if (target.find('\\') != std::string::npos) {
        r = port->open(target.c_str(), modeText);
      } else {
        const ULONG wanted = target.empty() ? 1u : static_cast<ULONG>(std::atoi(target.c_str()));
        _ZMBPORTDESC desc;
        r = port->findfirst(&desc);
        while (ZMB_SUCCEEDED(r) && desc.index < wanted) r = port->findnext(&desc, &desc);
        if (ZMB_SUCCEEDED(r)) r = port->open(&desc, modeText);
      }
      Say(Result(r));
    } else if (word == "close") {
      Say(Result(port->close()));
    } else if (word == "state") {
      char text[32];
      std::snprintf(text, sizeof(text), "state 0x%02X", static_cast<unsigned>(port->getstate()));
      Say(text);
    } else if (word == "line") {
      Say(port->islineon() ? "line on" : "line off");
    } else if (word == "send" || word == "sendhex") {
      auto* transfer = new Transfer;
      if (word == "send") {
        const std::string text = line.size() > 5 ? line.substr(5) : "";
        transfer->bytes.assign(text.begin(), text.end());
      } else {
        std::string hex;
        while (in >> hex)
          transfer->bytes.push_back(
              static_cast<unsigned char>(std::strtoul(hex.c_str(), nullptr, 16)));
      }
      ULONG sent = 0;
      const LONG r = port->send(transfer->bytes.data(), static_cast<ULONG>(transfer->bytes.size()),
                                &sent, transfer);
      if (r != ZMB_S_PENDING) delete transfer;
      Say("send: " + std::to_string(sent) + " bytes, " + Result(r));
    } else if (word == "recv") {
      ULONG length = 0;
      in >> length;
      if (length == 0) length = 64;
      auto* transfer = new Transfer;
      transfer->bytes.resize(length);
      ULONG received = 0;
      const LONG r = port->recv(transfer->bytes.data(), length, &received, transfer);
      if (r != ZMB_S_PENDING) {
        Say("recv: " + std::to_string(received) + " bytes: \"" +
            Shown(transfer->bytes.data(), received) + "\" " + Result(r));
        delete transfer;
      } else {
        Say("recv: " + Result(r));
      }
    } else if (word == "txmode" || word == "rxmode") {
      std::string mode;
      in >> mode;
      const ULONG value = mode == "callback" ? ZMB_PORTMODE_CALLBACK : ZMB_PORTMODE_SYNC;
      const ZMBPORTCALLBACK callback = value == ZMB_PORTMODE_CALLBACK ? Completed : nullptr;
      Say(Result(word == "txmode" ? port->settxmode(value, callback)
                                  : port->setrxmode(value, callback)));
    } else if (word == "timeout") {
      ULONG first = 0;
      ULONG second = 0;
      if (in >> first >> second) {
        Say(Result(port->settimeout(first, second)));
      } else {
        const LONG r = port->gettimeout(&first, &second);
        Say("first " + std::to_string(first) + " ms, second " + std::to_string(second) + " ms, " +
            Result(r));
      }
    } else if (word == "abort" || word == "clear") {
      std::string side;
      in >> side;
      const ULONG sides = Sides(side);
      Say(Result(word == "abort" ? port->abort(sides) : port->clear(sides)));
#ifndef _WIN32
    } else if (word == "plug") {
      towers.Plug();
    } else if (word == "unplug") {
      int slot = 0;
      in >> slot;
      towers.Unplug(slot);
    } else if (word == "towers") {
      towers.Print();
#endif
    } else {
      Say("unknown: " + word + " ('help' lists the commands)");
    }
  }
  // The stack gives its reference back: queued transfers finish first.
  const ULONG left = port->release();
  Say("released (" + std::to_string(left) + " references left)");
  FreeLibrary(plugin);
  return 0;
}
