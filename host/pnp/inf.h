// Setup information files (INF): sections of lines, each a key and its
// comma-separated fields, with %strings% substituted from [Strings]; and the
// machine's INF store, whose packages bind devices to their drivers.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "pnp/manager.h"
#include "pnp/tree.h"

namespace hk {

class Files;

struct InfLine {
  std::string key;  // empty for a line without '='
  std::vector<std::string> fields;
};

class InfFile {
 public:
  static std::optional<InfFile> Load(const std::filesystem::path& path);
  static InfFile Parse(const std::string& text);

  bool HasSection(const std::string& name) const;
  // The lines of a section (names compare without regard to case).
  std::vector<InfLine> Lines(const std::string& section) const;
  // The first field of the first line with this key, or empty.
  std::string Value(const std::string& section, const std::string& key) const;
  // Values of a directive ("CopyFiles") in a section, split at commas.
  std::vector<std::string> Directive(const std::string& section, const std::string& key) const;

  // The device this INF installs for one of the hardware ids: its
  // description and install section, from the models of its manufacturers
  // (decorated for NTx86 on the NT family from 5.1 on), and the
  // manufacturer's name when asked for.
  bool FindModel(const std::vector<std::string>& hardwareIds, bool ntDecorated,
                 std::string* description, std::string* installSection,
                 std::string* manufacturer = nullptr) const;

 private:
  struct Section {
    std::string name;
    std::vector<InfLine> lines;
  };
  const Section* Find(const std::string& name) const;
  std::vector<Section> sections_;
};

// A file's version from its version record (0 when it has none): the
// signature 0xFEEF04BD followed by the structure version, then the file
// version's high and low words.
uint64_t FileVersionOf(const std::filesystem::path& file);

// The directory an INF's DestinationDirs entry names on the drive: 10 the
// Windows directory, 11 the system directory, 12 the drivers directory, 17
// the INF store, 18 the help directory, with
// an optional subdirectory.
std::string DestinationDirectory(const std::string& windowsDir, bool ntFamily,
                                 const std::vector<std::string>& entry);

// Copies one section's file list (CopyFiles) of an INF from a source folder
// to the destinations its DestinationDirs name. `newer` keeps a target whose
// version is higher unless `keepTarget` says to replace it anyway.
bool CopyInfFiles(const InfFile& inf, Files& files, const std::string& windowsDir, bool ntFamily,
                  const std::string& section, const std::string& sourceRoot, bool newer,
                  const std::function<bool(const std::string& target)>& replaceNewerTarget);

// The INF store: C:\<Windows>\INF\oemN.inf, with the source each came from.
class InfStore {
 public:
  InfStore(Files& files, Registry& registry, bool ntFamily, bool ntDecorated);
  // Copies an INF into the store (an identical one already there keeps its
  // name); the store's name of it, as a drive path, or empty on failure.
  std::string Add(const std::string& sourceInf, const std::string& sourceMedia);
  // The binding an installed package offers for a device; installs the
  // package's files for it on the way.
  bool Bind(const DevNode& node, DriverBinding* binding);

 private:
  Files& files_;
  Registry& registry_;
  bool ntFamily_;
  bool ntDecorated_;
};

}  // namespace hk
