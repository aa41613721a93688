#include "files/files.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace hk {

namespace {

namespace fs = std::filesystem;

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

bool SameText(const std::string& a, const std::string& b) { return Upper(a) == Upper(b); }

// Characters a short name may hold besides letters and digits.
bool ShortChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return std::isalnum(u) || (u >= 0x80) || std::strchr("!#$%&'()-@^_`{}~", c) != nullptr;
}

// Letters, digits and the allowed marks; others that a short name cannot
// hold become '_', spaces and dots are dropped.
std::string ShortChars(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == ' ' || c == '.') continue;
    out += ShortChar(c) ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : '_';
  }
  return out;
}

bool Fits83(const std::string& name) {
  if (name == "." || name == "..") return true;
  const size_t dot = name.find('.');
  if (dot != name.rfind('.')) return false;
  const std::string base = dot == std::string::npos ? name : name.substr(0, dot);
  const std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || ext.size() > 3) return false;
  for (char c : base + ext)
    if (!ShortChar(c)) return false;
  return true;
}

std::vector<std::string> Entries(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec))
    names.push_back(entry.path().filename());
  return names;
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : path) {
    if (c == '\\' || c == '/') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

}  // namespace

std::string ShortNameOf(const std::string& longName, const std::vector<std::string>& siblings) {
  if (Fits83(longName)) return Upper(longName);
  // Names that fit keep their form; the others are numbered in the order of
  // their long names, so a directory always gives the same short names.
  std::vector<std::string> all = siblings;
  if (std::find(all.begin(), all.end(), longName) == all.end()) all.push_back(longName);
  std::sort(all.begin(), all.end(),
            [](const std::string& a, const std::string& b) { return Upper(a) < Upper(b); });
  std::vector<std::string> taken;
  for (const std::string& name : all)
    if (Fits83(name)) taken.push_back(Upper(name));
  for (const std::string& name : all) {
    if (Fits83(name)) continue;
    const size_t dot = name.rfind('.');
    std::string base =
        ShortChars(dot == std::string::npos || dot == 0 ? name : name.substr(0, dot));
    std::string ext = dot == std::string::npos || dot == 0 ? "" : ShortChars(name.substr(dot + 1));
    if (ext.size() > 3) ext.resize(3);
    if (base.empty()) base = "_";
    std::string shortName;
    for (int n = 1;; ++n) {
      const std::string tail = "~" + std::to_string(n);
      shortName = base.substr(0, std::min(base.size(), 8 - tail.size())) + tail;
      if (!ext.empty()) shortName += "." + ext;
      if (std::find(taken.begin(), taken.end(), shortName) == taken.end()) break;
    }
    taken.push_back(shortName);
    if (name == longName) return shortName;
  }
  return Upper(longName);
}

Files::Files(const fs::path& stateDir, const std::string& windowsDirName)
    : drive_(stateDir / "C"), windowsDirName_(windowsDirName) {
  std::error_code ec;
  fs::create_directories(drive_ / windowsDirName_ / "INF", ec);
  fs::create_directories(drive_ / windowsDirName_ / "Help", ec);
  fs::create_directories(drive_ / windowsDirName_ / "SYSTEM32" / "DRIVERS", ec);
  fs::create_directories(drive_ / windowsDirName_ / "SYSTEM", ec);
}

std::optional<fs::path> Files::HostPath(const std::string& windowsPath) const {
  if (windowsPath.size() < 2 || windowsPath[1] != ':' ||
      std::toupper(static_cast<unsigned char>(windowsPath[0])) != 'C')
    return std::nullopt;
  fs::path host = drive_;
  bool exists = true;
  for (const std::string& part : SplitPath(windowsPath.substr(2))) {
    if (part == ".") continue;
    if (part == "..") {
      if (host != drive_) host = host.parent_path();
      continue;
    }
    std::string found;
    if (exists) {
      const std::vector<std::string> names = Entries(host);
      for (const std::string& name : names)
        if (SameText(name, part)) found = name;
      if (found.empty())
        for (const std::string& name : names)
          if (SameText(ShortNameOf(name, names), part)) found = name;
    }
    if (found.empty()) {
      exists = false;
      found = part;
    }
    host /= found;
  }
  return host;
}

std::string Files::WindowsPath(const fs::path& hostPath) const {
  const fs::path relative = hostPath.lexically_relative(drive_);
  if (relative.empty() || *relative.begin() == "..") return std::string();
  std::string out = "C:";
  for (const auto& part : relative) {
    if (part == ".") continue;
    out += "\\" + part.string();
  }
  if (out == "C:") out += "\\";
  return out;
}

std::string Files::ShortPath(const std::string& windowsPath) const {
  const auto host = HostPath(windowsPath);
  std::error_code ec;
  if (!host || !fs::exists(*host, ec)) return std::string();
  const fs::path relative = host->lexically_relative(drive_);
  std::string out = "C:";
  fs::path dir = drive_;
  for (const auto& part : relative) {
    if (part == ".") continue;
    out += "\\" + ShortNameOf(part.string(), Entries(dir));
    dir /= part;
  }
  if (out == "C:") out += "\\";
  return out;
}

fs::path Files::Canonical(const fs::path& path) const {
  std::error_code ec;
  fs::path canonical = fs::weakly_canonical(path, ec);
  return ec ? path : canonical;
}

void Files::Hold(const fs::path& hostPath) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++held_[Canonical(hostPath)];
}

void Files::Release(const fs::path& hostPath) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = held_.find(Canonical(hostPath));
  if (it != held_.end() && --it->second == 0) held_.erase(it);
}

bool Files::Held(const fs::path& hostPath) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return held_.count(Canonical(hostPath)) != 0;
}

void Files::RefuseCreating(const std::string& fileName) {
  std::lock_guard<std::mutex> lock(mutex_);
  refused_.push_back(Upper(fileName));
}

bool Files::CreationRefused(const fs::path& hostPath) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string name = Upper(hostPath.filename().string());
  return std::find(refused_.begin(), refused_.end(), name) != refused_.end();
}

void Files::ScheduleAtRestart(Registry& registry, const std::string& source,
                              const std::string& destination) {
  std::vector<uint8_t> data;
  if (auto old = registry.GetValue(kPendingRenamesKey, kPendingRenamesValue)) {
    data = old->data;
    if (!data.empty()) data.pop_back();  // the list's closing terminator
  }
  // As the session manager keeps them: "\??\" paths in pairs, an empty
  // destination for a deletion.
  for (const std::string& item :
       {"\\??\\" + source, destination.empty() ? std::string() : "\\??\\" + destination}) {
    data.insert(data.end(), item.begin(), item.end());
    data.push_back(0);
  }
  data.push_back(0);
  registry.CreateKey(kPendingRenamesKey);
  registry.SetValue(kPendingRenamesKey, kPendingRenamesValue, 7, data);
}

void Files::CarryOut(const std::string& source, const std::string& destination) {
  const auto from = HostPath(source);
  if (!from) return;
  std::error_code ec;
  if (destination.empty() || SameText(destination, "NUL")) {
    fs::remove(*from, ec);
    return;
  }
  if (const auto to = HostPath(destination)) fs::rename(*from, *to, ec);
}

void Files::CarryOutAtStart(Registry& registry, bool legacyFamily) {
  if (auto pending = registry.GetValue(kPendingRenamesKey, kPendingRenamesValue)) {
    std::vector<std::string> items;
    std::string item;
    std::vector<uint8_t> data = pending->data;
    if (!data.empty()) data.pop_back();
    for (uint8_t c : data) {
      if (c == 0) {
        items.push_back(item);
        item.clear();
      } else {
        item += static_cast<char>(c);
      }
    }
    auto strip = [](std::string path) {
      if (path.rfind('!', 0) == 0) path.erase(0, 1);
      if (path.rfind("\\??\\", 0) == 0) path.erase(0, 4);
      return path;
    };
    for (size_t i = 0; i + 1 < items.size(); i += 2) CarryOut(strip(items[i]), strip(items[i + 1]));
    registry.DeleteValue(kPendingRenamesKey, kPendingRenamesValue);
  }
  if (!legacyFamily) return;
  const auto ini = HostPath(WindowsDirectory() + "\\Wininit.ini");
  std::error_code ec;
  if (!ini || !fs::exists(*ini, ec)) return;
  std::ifstream in(*ini, std::ios::binary);
  std::string line;
  bool inRename = false;
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (!line.empty() && line.front() == '[') {
      inRename = SameText(line, "[rename]");
      continue;
    }
    const size_t equals = line.find('=');
    if (!inRename || equals == std::string::npos) continue;
    // DESTINATION=SOURCE; NUL as the destination deletes the source.
    CarryOut(line.substr(equals + 1), line.substr(0, equals));
  }
  in.close();
  // The list is done once: it stays behind as Wininit.bak.
  const fs::path bak = ini->parent_path() / "WININIT.BAK";
  for (const std::string& name : Entries(ini->parent_path()))
    if (SameText(name, "Wininit.bak")) fs::remove(ini->parent_path() / name, ec);
  fs::rename(*ini, bak, ec);
}

}  // namespace hk
