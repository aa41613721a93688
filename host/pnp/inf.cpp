#include "pnp/inf.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>

#include "files/files.h"

namespace hk {

namespace {

namespace fs = std::filesystem;

std::string Trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

bool Same(const std::string& a, const std::string& b) { return UpperAscii(a) == UpperAscii(b); }

// Splits at commas outside quotes; quotes are dropped, fields trimmed.
std::vector<std::string> Fields(const std::string& text) {
  std::vector<std::string> fields;
  std::string field;
  bool quoted = false;
  for (char c : text) {
    if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      fields.push_back(Trim(field));
      field.clear();
    } else {
      field += c;
    }
  }
  fields.push_back(Trim(field));
  return fields;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> StoreFiles(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename();
    const std::string upper = UpperAscii(name);
    if (upper.rfind("OEM", 0) == 0 && upper.size() > 7 && upper.substr(upper.size() - 4) == ".INF")
      names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

constexpr char kOemSourcesKey[] =
    "Machine\\Software\\Microsoft\\Windows\\CurrentVersion\\Setup\\OemSourcePaths";

std::vector<uint8_t> Sz(const std::string& text) {
  std::vector<uint8_t> out(text.begin(), text.end());
  out.push_back(0);
  return out;
}

}  // namespace

std::optional<InfFile> InfFile::Load(const fs::path& path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return std::nullopt;
  return Parse(ReadAll(path));
}

InfFile InfFile::Parse(const std::string& text) {
  InfFile inf;
  std::string line;
  std::vector<std::string> raw;
  for (char c : text) {
    if (c == '\n') {
      raw.push_back(line);
      line.clear();
    } else if (c != '\r') {
      line += c;
    }
  }
  raw.push_back(line);
  for (const std::string& rawLine : raw) {
    // A comment starts at a ';' outside quotes.
    std::string content;
    bool quoted = false;
    for (char c : rawLine) {
      if (c == '"') quoted = !quoted;
      if (c == ';' && !quoted) break;
      content += c;
    }
    content = Trim(content);
    if (content.empty()) continue;
    if (content.front() == '[' && content.back() == ']') {
      inf.sections_.push_back(Section{Trim(content.substr(1, content.size() - 2)), {}});
      continue;
    }
    if (inf.sections_.empty()) continue;
    InfLine entry;
    size_t equals = std::string::npos;
    quoted = false;
    for (size_t i = 0; i < content.size(); ++i) {
      if (content[i] == '"') quoted = !quoted;
      if (content[i] == '=' && !quoted) {
        equals = i;
        break;
      }
    }
    if (equals != std::string::npos) {
      entry.key = Trim(content.substr(0, equals));
      entry.fields = Fields(content.substr(equals + 1));
    } else {
      entry.fields = Fields(content);
    }
    inf.sections_.back().lines.push_back(entry);
  }
  // %name% takes its text from [Strings]; names it does not know stay.
  std::map<std::string, std::string> strings;
  if (const Section* s = inf.Find("Strings"))
    for (const InfLine& l : s->lines)
      if (!l.key.empty() && !l.fields.empty()) strings[UpperAscii(l.key)] = l.fields[0];
  auto expand = [&](std::string& item) {
    std::string out;
    for (size_t i = 0; i < item.size(); ++i) {
      const size_t end = item[i] == '%' ? item.find('%', i + 1) : std::string::npos;
      if (end == std::string::npos) {
        out += item[i];
        continue;
      }
      auto it = strings.find(UpperAscii(item.substr(i + 1, end - i - 1)));
      out += it != strings.end() ? it->second : item.substr(i, end - i + 1);
      i = end;
    }
    item = out;
  };
  for (Section& s : inf.sections_) {
    if (Same(s.name, "Strings")) continue;
    for (InfLine& l : s.lines) {
      expand(l.key);
      for (std::string& f : l.fields) expand(f);
    }
  }
  return inf;
}

const InfFile::Section* InfFile::Find(const std::string& name) const {
  for (const Section& s : sections_)
    if (Same(s.name, name)) return &s;
  return nullptr;
}

bool InfFile::HasSection(const std::string& name) const { return Find(name) != nullptr; }

std::vector<InfLine> InfFile::Lines(const std::string& section) const {
  const Section* s = Find(section);
  return s == nullptr ? std::vector<InfLine>() : s->lines;
}

std::string InfFile::Value(const std::string& section, const std::string& key) const {
  for (const InfLine& l : Lines(section))
    if (Same(l.key, key) && !l.fields.empty()) return l.fields[0];
  return std::string();
}

std::vector<std::string> InfFile::Directive(const std::string& section,
                                            const std::string& key) const {
  std::vector<std::string> values;
  for (const InfLine& l : Lines(section))
    if (Same(l.key, key))
      for (const std::string& f : l.fields)
        if (!f.empty()) values.push_back(f);
  return values;
}

bool InfFile::FindModel(const std::vector<std::string>& hardwareIds, bool ntDecorated,
                        std::string* description, std::string* installSection,
                        std::string* manufacturerName) const {
  for (const InfLine& manufacturer : Lines("Manufacturer")) {
    if (manufacturer.fields.empty()) continue;
    const std::string base = manufacturer.fields[0];
    std::string models = base;
    if (ntDecorated)
      for (size_t i = 1; i < manufacturer.fields.size(); ++i)
        if (Same(manufacturer.fields[i], "NTx86") && HasSection(base + ".NTx86"))
          models = base + ".NTx86";
    for (const InfLine& model : Lines(models))
      for (size_t i = 1; i < model.fields.size(); ++i)
        for (const std::string& id : hardwareIds)
          if (Same(model.fields[i], id)) {
            *description = model.key;
            *installSection = model.fields[0];
            if (manufacturerName != nullptr) *manufacturerName = manufacturer.key;
            return true;
          }
  }
  return false;
}

uint64_t FileVersionOf(const fs::path& file) {
  const std::string data = ReadAll(file);
  static const unsigned char kSignature[] = {0xBD, 0x04, 0xEF, 0xFE};
  for (size_t i = 0; i + 16 <= data.size(); i += 4) {
    if (std::memcmp(data.data() + i, kSignature, 4) != 0) continue;
    auto word = [&](size_t at) {
      const auto* p = reinterpret_cast<const unsigned char*>(data.data() + at);
      return static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16 |
                                   static_cast<uint32_t>(p[3]) << 24);
    };
    return static_cast<uint64_t>(word(i + 8)) << 32 | word(i + 12);
  }
  return 0;
}

std::string DestinationDirectory(const std::string& windowsDir, bool ntFamily,
                                 const std::vector<std::string>& entry) {
  if (entry.empty()) return std::string();
  std::string dir;
  const std::string& id = entry[0];
  if (id == "10")
    dir = windowsDir;
  else if (id == "11")
    dir = windowsDir + (ntFamily ? "\\System32" : "\\SYSTEM");
  else if (id == "12")
    dir = windowsDir + "\\System32\\Drivers";
  else if (id == "17")
    dir = windowsDir + "\\INF";
  else if (id == "18")
    dir = windowsDir + "\\Help";
  else
    return std::string();
  if (entry.size() > 1 && !entry[1].empty()) dir += "\\" + entry[1];
  return dir;
}

bool CopyInfFiles(const InfFile& inf, Files& files, const std::string& windowsDir, bool ntFamily,
                  const std::string& section, const std::string& sourceRoot, bool newer,
                  const std::function<bool(const std::string& target)>& replaceNewerTarget) {
  std::string root = sourceRoot;
  if (!root.empty() && root.back() != '\\' && root.back() != '/') root += "\\";
  auto destinationOf = [&](const std::string& list) {
    for (const InfLine& l : inf.Lines("DestinationDirs"))
      if (Same(l.key, list)) return DestinationDirectory(windowsDir, ntFamily, l.fields);
    for (const InfLine& l : inf.Lines("DestinationDirs"))
      if (Same(l.key, "DefaultDestDir"))
        return DestinationDirectory(windowsDir, ntFamily, l.fields);
    return std::string();
  };
  auto copyOne = [&](const std::string& target, const std::string& sourceName,
                     const std::string& destination) {
    const auto from = files.HostPath(root + sourceName);
    const auto toDir = files.HostPath(destination);
    std::error_code ec;
    if (!from || !toDir || !fs::is_regular_file(*from, ec)) return false;
    fs::create_directories(*toDir, ec);
    const auto to = files.HostPath(destination + "\\" + target);
    if (!to) return false;
    if (fs::exists(*to, ec)) {
      if (newer && FileVersionOf(*to) > FileVersionOf(*from) &&
          !(replaceNewerTarget && replaceNewerTarget(destination + "\\" + target)))
        return true;  // the newer file stays
      if (files.Held(*to)) return false;
    }
    return fs::copy_file(*from, *to, fs::copy_options::overwrite_existing, ec) && !ec;
  };
  for (const std::string& list : inf.Directive(section, "CopyFiles")) {
    const std::string destination = destinationOf(list);
    if (destination.empty()) return false;
    if (list.front() == '@') {
      if (!copyOne(list.substr(1), list.substr(1), destination)) return false;
      continue;
    }
    for (const InfLine& l : inf.Lines(list)) {
      if (l.fields.empty() || l.fields[0].empty()) continue;
      const std::string target = l.key.empty() ? l.fields[0] : l.key;
      const std::string source = l.fields.size() > 1 && !l.fields[1].empty() ? l.fields[1] : target;
      if (!copyOne(target, source, destination)) return false;
    }
  }
  return true;
}

InfStore::InfStore(Files& files, Registry& registry, bool ntFamily, bool ntDecorated)
    : files_(files), registry_(registry), ntFamily_(ntFamily), ntDecorated_(ntDecorated) {}

std::string InfStore::Add(const std::string& sourceInf, const std::string& sourceMedia) {
  const auto source = files_.HostPath(sourceInf);
  std::error_code ec;
  if (!source || !fs::is_regular_file(*source, ec)) return std::string();
  const std::string content = ReadAll(*source);
  const std::string storeDir = files_.WindowsDirectory() + "\\INF";
  const auto store = files_.HostPath(storeDir);
  if (!store) return std::string();
  fs::create_directories(*store, ec);
  std::string name;
  const std::vector<std::string> existing = StoreFiles(*store);
  for (const std::string& n : existing)
    if (ReadAll(*store / n) == content) name = n;
  if (name.empty()) {
    for (int n = 0;; ++n) {
      const std::string candidate = "oem" + std::to_string(n) + ".inf";
      if (std::none_of(existing.begin(), existing.end(),
                       [&](const std::string& e) { return Same(e, candidate); })) {
        name = candidate;
        break;
      }
    }
    std::ofstream(*store / name, std::ios::binary) << content;
  }
  registry_.CreateKey(kOemSourcesKey);
  registry_.SetValue(kOemSourcesKey, name, 1, Sz(sourceMedia));
  return storeDir + "\\" + name;
}

bool InfStore::Bind(const DevNode& node, DriverBinding* binding) {
  const auto store = files_.HostPath(files_.WindowsDirectory() + "\\INF");
  if (!store) return false;
  for (const std::string& name : StoreFiles(*store)) {
    const auto inf = InfFile::Load(*store / name);
    std::string description;
    std::string install;
    std::string manufacturer;
    if (!inf ||
        !inf->FindModel(node.hardwareIds, ntDecorated_, &description, &install, &manufacturer))
      continue;
    // The NT family takes the install sections decorated with .NT.
    const std::string section =
        ntFamily_ && inf->HasSection(install + ".NT") ? install + ".NT" : install;
    std::string service;
    std::string serviceSection;
    for (const std::string& s : {install + ".NT.Services", install + ".Services"})
      for (const InfLine& l : inf->Lines(s))
        if (Same(l.key, "AddService") && l.fields.size() >= 3 && service.empty()) {
          service = l.fields[0];
          serviceSection = l.fields[2];
        }
    if (service.empty()) continue;
    std::string image = inf->Value(serviceSection, "ServiceBinary");
    image = image.substr(image.find_last_of("\\/") + 1);
    std::string media;
    if (auto value = registry_.GetValue(kOemSourcesKey, name); value && !value->data.empty())
      media = reinterpret_cast<const char*>(value->data.data());
    // The package's files go where it says before its driver can run.
    if (!CopyInfFiles(*inf, files_, files_.WindowsDirectory(), ntFamily_, section, media, true, {}))
      return false;
    const std::string serviceKey = std::string(kServicesRoot) + "\\" + service;
    registry_.CreateKey(serviceKey);
    registry_.SetValue(serviceKey, "ImagePath", 1, Sz("System32\\DRIVERS\\" + image));
    registry_.SetDword(serviceKey, "Type", 1);
    registry_.SetDword(serviceKey, "Start", 3);
    registry_.SetDword(serviceKey, "ErrorControl", 1);
    // DriverVer=date,version
    std::string version;
    for (const InfLine& l : inf->Lines("Version"))
      if (Same(l.key, "DriverVer") && l.fields.size() > 1) version = l.fields[1];
    binding->service = service;
    binding->description = description;
    binding->provider = inf->Value("Version", "Provider");
    binding->version = version;
    binding->manufacturer = manufacturer;
    binding->className = inf->Value("Version", "Class");
    binding->image = image;
    if (auto file = files_.HostPath(files_.WindowsDirectory() + "\\System32\\Drivers\\" + image))
      binding->imageFile = *file;
    return true;
  }
  return false;
}

}  // namespace hk
