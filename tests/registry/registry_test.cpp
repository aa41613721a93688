#include "registry/registry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using hk::Registry;

constexpr std::string_view kParams =
    "Machine\\System\\CurrentControlSet\\Services\\QIROUSBTower\\Parameters";

std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

std::vector<uint8_t> Dword(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const fs::path& file, std::string_view bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

fs::path WithSuffix(fs::path file, std::string_view suffix) {
  file += std::string(suffix);
  return file;
}

// Every test gets its own directory; the registry file lives in a subdirectory
// that does not exist yet, as the machine's state directory may not.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() / ("hk_registry_test_" + std::to_string(::getpid()) + "_" +
                                        info->test_suite_name() + "_" + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    file_ = dir_ / "state" / "registry.dat";
  }

  void TearDown() override { fs::remove_all(dir_); }

  // A store with a bit of everything in it, written to file_.
  void Populate() {
    Registry reg(file_);
    ASSERT_TRUE(reg.CreateKey(kParams));
    ASSERT_TRUE(reg.SetDword(kParams, "TimeOut", 0x12345678));
    ASSERT_TRUE(reg.SetValue(kParams, "Name", hk::kRegSz, Bytes(std::string_view("Tower\0", 6))));
    ASSERT_TRUE(reg.CreateKey("Machine\\Software"));
  }

  void ExpectPopulated(const Registry& reg) {
    EXPECT_FALSE(reg.LoadedCorrupt()) << reg.LoadError();
    EXPECT_EQ(reg.ValueNames(kParams), (std::vector<std::string>{"TimeOut", "Name"}));
    EXPECT_EQ(reg.GetValue(kParams, "TimeOut"),
              (Registry::Value{hk::kRegDword, Dword(0x12345678)}));
    EXPECT_EQ(reg.SubKeys("Machine"), (std::vector<std::string>{"System", "Software"}));
  }

  fs::path dir_;
  fs::path file_;
};

// --- Keys, names and values ---

TEST_F(RegistryTest, CreateKeyMakesTheWholePathAndRejectsEmptyComponents) {
  Registry reg(file_);
  EXPECT_TRUE(reg.CreateKey("\\" + std::string(kParams)));
  EXPECT_TRUE(reg.KeyExists("Machine\\System\\CurrentControlSet"));
  EXPECT_TRUE(reg.CreateKey(kParams));  // already there
  EXPECT_EQ(reg.SubKeys("\\"), std::vector<std::string>{"Machine"});
  for (std::string_view path : {"Machine\\\\System", "Machine\\", "\\\\Machine", "\\\\"}) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(reg.CreateKey(path));
    EXPECT_FALSE(reg.KeyExists(path));
    EXPECT_FALSE(reg.SetDword(path, "v", 1));
    EXPECT_FALSE(reg.DeleteTree(path));
  }
  EXPECT_EQ(reg.SubKeys(""), std::vector<std::string>{"Machine"});
  EXPECT_EQ(reg.SubKeys("Machine"), std::vector<std::string>{"System"});
}

TEST_F(RegistryTest, NamesMatchIgnoringCaseAndKeepTheirFirstSpelling) {
  Registry reg(file_);
  ASSERT_TRUE(reg.CreateKey("Machine\\Services\\QIROUSBTower"));
  EXPECT_TRUE(reg.CreateKey("MACHINE\\services\\qirousbtower\\Parameters"));
  EXPECT_EQ(reg.SubKeys("machine\\SERVICES"), std::vector<std::string>{"QIROUSBTower"});

  const std::string_view path = "machine\\services\\QiroUsbTower\\PARAMETERS";
  ASSERT_TRUE(reg.SetDword(path, "TimeOut", 1));
  ASSERT_TRUE(reg.SetDword("Machine\\Services\\QIROUSBTower\\Parameters", "TIMEOUT", 2));
  EXPECT_EQ(reg.ValueNames(path), std::vector<std::string>{"TimeOut"});
  EXPECT_EQ(reg.GetValue(path, "timeout").value().data, Dword(2));

  // Folding is ASCII only: bytes above 0x7F are compared as they are.
  ASSERT_TRUE(reg.SetDword(path, "\xC3\x89", 3));
  EXPECT_FALSE(reg.GetValue(path, "\xC3\xA9").has_value());
}

TEST_F(RegistryTest, EnumerationFollowsCreationOrder) {
  {
    Registry reg(file_);
    for (const char* name : {"b", "A", "c"}) ASSERT_TRUE(reg.CreateKey(std::string("K\\") + name));
    for (const char* name : {"z", "y", "x"}) ASSERT_TRUE(reg.SetDword("K", name, 0));
    ASSERT_TRUE(reg.SetDword("K", "Z", 1));  // replacing keeps the place
    ASSERT_TRUE(reg.DeleteValue("K", "y"));
    ASSERT_TRUE(reg.SetDword("K", "Y", 2));  // re-creating goes last
  }
  Registry reg(file_);
  EXPECT_EQ(reg.SubKeys("k"), (std::vector<std::string>{"b", "A", "c"}));
  EXPECT_EQ(reg.ValueNames("k"), (std::vector<std::string>{"z", "x", "Y"}));
}

TEST_F(RegistryTest, DeleteKeyRefusesKeyWithSubkeysAndDeleteTreeDoesNot) {
  {
    Registry reg(file_);
    ASSERT_TRUE(reg.CreateKey("A\\B\\C"));
    ASSERT_TRUE(reg.CreateKey("AB"));
    ASSERT_TRUE(reg.SetDword("A\\B", "v", 1));
    ASSERT_TRUE(reg.SetDword("AB", "v", 2));
    EXPECT_FALSE(reg.DeleteKey("A\\B"));
    EXPECT_TRUE(reg.DeleteKey("a\\b\\c"));
    EXPECT_FALSE(reg.DeleteKey("A\\B\\C"));
    EXPECT_TRUE(reg.DeleteKey("A\\B"));  // values do not keep a key alive
    ASSERT_TRUE(reg.CreateKey("A\\B\\C"));
    EXPECT_TRUE(reg.DeleteTree("a"));
    EXPECT_FALSE(reg.DeleteTree("A"));
    EXPECT_FALSE(reg.DeleteKey(""));
    EXPECT_FALSE(reg.DeleteTree("\\"));
  }
  Registry reg(file_);
  EXPECT_EQ(reg.SubKeys(""), std::vector<std::string>{"AB"});
  EXPECT_EQ(reg.GetValue("AB", "v").value().data, Dword(2));
  ASSERT_TRUE(reg.CreateKey("A\\B"));
  EXPECT_TRUE(reg.ValueNames("A\\B").empty());
}

TEST_F(RegistryTest, ValuesNeedAnExistingKey) {
  Registry reg(file_);
  EXPECT_FALSE(reg.SetDword("Missing", "v", 1));
  EXPECT_FALSE(reg.KeyExists("Missing"));
  EXPECT_FALSE(reg.GetValue("Missing", "v").has_value());
  ASSERT_TRUE(reg.CreateKey("K"));
  EXPECT_FALSE(reg.DeleteValue("K", "v"));
  ASSERT_TRUE(reg.SetDword("K", "v", 1));
  EXPECT_TRUE(reg.DeleteValue("K", "V"));
  EXPECT_FALSE(reg.GetValue("K", "v").has_value());
}

// --- Persistence ---

TEST_F(RegistryTest, ValuesSurviveReloadExactly) {
  const std::string key_name("Odd\nKey\0Name", 12);
  const std::string key = "Machine\\" + key_name;
  const std::vector<std::pair<std::string, Registry::Value>> values = {
      {"", {hk::kRegSz, Bytes(std::string_view("default\0", 8))}},
      {"Dword", {hk::kRegDword, Dword(0xA1B2C3D4)}},
      {"Binary", {hk::kRegBinary, Bytes(std::string_view("\0\1\0\xFF\n\r\\", 7))}},
      {"Multi", {hk::kRegMultiSz, Bytes(std::string_view("a\0bc\0\0", 6))}},
      {"Expand", {hk::kRegExpandSz, Bytes(std::string_view("%SystemRoot%\0", 13))}},
      {"EmptySz", {hk::kRegSz, {}}},
      {"None", {hk::kRegNone, {}}},
      {"OddType", {0xDEADBEEF, Bytes("x")}},
      {std::string("Name\0With\nNewline\\Slash", 23),
       {hk::kRegBinary, std::vector<uint8_t>(70000, 0xAB)}},
  };
  {
    Registry reg(file_);
    ASSERT_TRUE(reg.CreateKey(key));
    for (const auto& [name, value] : values) {
      ASSERT_TRUE(reg.SetValue(key, name, value.type, value.data)) << name;
    }
  }
  Registry reg(file_);
  EXPECT_FALSE(reg.LoadedCorrupt()) << reg.LoadError();
  EXPECT_EQ(reg.SubKeys("Machine"), std::vector<std::string>{key_name});
  std::vector<std::string> names;
  for (const auto& [name, value] : values) {
    names.push_back(name);
    EXPECT_EQ(reg.GetValue(key, name), value) << name;
  }
  EXPECT_EQ(reg.ValueNames(key), names);
}

// A store kept in memory keeps the same rules and never reaches a file: a
// second one starts empty, and the working directory gains nothing.
TEST_F(RegistryTest, AStoreKeptInMemoryKeepsItsRulesAndWritesNothing) {
  const fs::path before = fs::current_path();
  fs::current_path(dir_);
  {
    Registry memory{fs::path()};
    EXPECT_FALSE(memory.LoadedCorrupt());
    ASSERT_TRUE(memory.CreateKey(kParams));
    EXPECT_TRUE(memory.SetDword(kParams, "HighPower", 1));
    EXPECT_FALSE(memory.SetDword("Machine\\Missing", "HighPower", 1));
    EXPECT_EQ(memory.GetValue(kParams, "highpower")->data, Dword(1));
    EXPECT_FALSE(memory.DeleteKey("Machine\\System"));
    EXPECT_TRUE(memory.DeleteValue(kParams, "HighPower"));
    EXPECT_FALSE(memory.GetValue(kParams, "HighPower"));
    EXPECT_TRUE(memory.SetValue(kParams, "Name", hk::kRegSz, Bytes("x")));
    EXPECT_TRUE(memory.Flush());
    Registry other{fs::path()};
    EXPECT_FALSE(other.KeyExists(kParams));
    EXPECT_TRUE(memory.DeleteTree("Machine\\System"));
    EXPECT_FALSE(memory.KeyExists(kParams));
  }
  EXPECT_TRUE(fs::is_empty(dir_));
  fs::current_path(before);
}

TEST_F(RegistryTest, LeftoverTemporaryFileIsIgnoredAndRemoved) {
  Populate();
  WriteAll(WithSuffix(file_, ".tmp"), "half a new registry");
  Registry reg(file_);
  ExpectPopulated(reg);
  EXPECT_FALSE(fs::exists(WithSuffix(file_, ".tmp")));
}

TEST_F(RegistryTest, FlushWritesTheStoreAgain) {
  Registry reg(file_);
  ASSERT_TRUE(reg.CreateKey("A"));
  fs::remove(file_);
  EXPECT_TRUE(reg.Flush());
  EXPECT_TRUE(Registry(file_).KeyExists("A"));
}

// --- Crash in the middle of a write ---

TEST_F(RegistryTest, CrashMidWriteLeavesThePreviousContent) {
  Populate();
  const std::string before = ReadAll(file_);
  Registry reg(file_);
  for (size_t n : {size_t{0}, size_t{1}, size_t{11}, before.size() / 2, before.size() - 1,
                   before.size(), before.size() + 100}) {
    SCOPED_TRACE(n);
    reg.SetCrashAfterBytesForTest(n);
    EXPECT_FALSE(reg.SetDword(kParams, "TimeOut", 0));
    EXPECT_TRUE(fs::exists(WithSuffix(file_, ".tmp")));
    EXPECT_EQ(ReadAll(file_), before);
    // The failed write changed nothing, in memory either.
    ExpectPopulated(reg);
    Registry restarted(file_);
    ExpectPopulated(restarted);
    EXPECT_FALSE(fs::exists(WithSuffix(file_, ".tmp")));
  }
  // Failed structural changes are undone as well.
  reg.SetCrashAfterBytesForTest(5);
  EXPECT_FALSE(reg.CreateKey("Machine\\New"));
  EXPECT_FALSE(reg.KeyExists("Machine\\New"));
  reg.SetCrashAfterBytesForTest(5);
  EXPECT_FALSE(reg.DeleteTree("Machine\\System"));
  EXPECT_TRUE(reg.KeyExists(kParams));
  ExpectPopulated(Registry(file_));
  // The hook fires once; the next write goes through.
  EXPECT_TRUE(reg.SetDword(kParams, "After", 1));
  EXPECT_TRUE(Registry(file_).GetValue(kParams, "After").has_value());
}

// --- Unusable files ---

// Writes `bytes` as the registry file and checks that loading it reports the
// problem once, keeps the file aside, starts empty, and works afterwards.
void ExpectRecoveredFrom(const fs::path& file, std::string_view bytes) {
  const fs::path aside = WithSuffix(file, ".corrupt");
  fs::remove(aside);
  fs::create_directories(file.parent_path());
  WriteAll(file, bytes);
  {
    ::testing::internal::CaptureStderr();
    Registry reg(file);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(reg.LoadedCorrupt());
    EXPECT_FALSE(reg.LoadError().empty());
    EXPECT_NE(err.find(file.string()), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_TRUE(reg.SubKeys("").empty());
    EXPECT_TRUE(reg.ValueNames("").empty());
    EXPECT_EQ(ReadAll(aside), bytes);
    EXPECT_FALSE(fs::exists(file));
    ASSERT_TRUE(reg.CreateKey("Machine\\After"));
    ASSERT_TRUE(reg.SetDword("Machine\\After", "v", 5));
  }
  Registry reg(file);
  EXPECT_FALSE(reg.LoadedCorrupt()) << reg.LoadError();
  EXPECT_EQ(reg.LoadError(), "");
  EXPECT_EQ(reg.GetValue("Machine\\After", "v").value().data, Dword(5));
}

TEST_F(RegistryTest, EmptyOrGarbageFileIsReportedAndReplaced) {
  {
    SCOPED_TRACE("empty");
    ExpectRecoveredFrom(file_, "");
  }
  {
    SCOPED_TRACE("text");
    ExpectRecoveredFrom(file_, "[HKEY_LOCAL_MACHINE\\SYSTEM]\n\"x\"=dword:1\n");
  }
  std::mt19937 rng(1234);
  for (size_t size : {3, 16, 4096}) {
    SCOPED_TRACE(size);
    std::string garbage(size, '\0');
    for (char& c : garbage) c = static_cast<char>(rng());
    ExpectRecoveredFrom(file_, garbage);
  }
}

TEST_F(RegistryTest, EveryTruncationIsReportedAndReplaced) {
  Populate();
  const std::string good = ReadAll(file_);
  for (size_t size = 1; size < good.size(); ++size) {
    SCOPED_TRACE(size);
    ExpectRecoveredFrom(file_, std::string_view(good).substr(0, size));
    if (HasFailure()) break;
  }
}

TEST_F(RegistryTest, EveryFlippedByteIsReportedAndReplaced) {
  Populate();
  const std::string good = ReadAll(file_);
  for (size_t i = 0; i < good.size(); ++i) {
    SCOPED_TRACE(i);
    std::string bad = good;
    bad[i] = static_cast<char>(bad[i] ^ 0xFF);
    ExpectRecoveredFrom(file_, bad);
    if (HasFailure()) break;
  }
  std::string longer = good + '\0';
  SCOPED_TRACE("trailing byte");
  ExpectRecoveredFrom(file_, longer);
}

TEST_F(RegistryTest, EarlierUnusableFileIsNotOverwritten) {
  fs::create_directories(file_.parent_path());
  ::testing::internal::CaptureStderr();
  WriteAll(file_, "first");
  { Registry reg(file_); }
  WriteAll(file_, "second");
  { Registry reg(file_); }
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(ReadAll(WithSuffix(file_, ".corrupt")), "first");
  EXPECT_EQ(ReadAll(WithSuffix(file_, ".corrupt.1")), "second");
}

TEST_F(RegistryTest, UnreadablePathIsReportedAndReplaced) {
  fs::create_directories(file_);  // a directory where the file should be
  ::testing::internal::CaptureStderr();
  Registry reg(file_);
  ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(reg.LoadedCorrupt());
  EXPECT_TRUE(fs::is_directory(WithSuffix(file_, ".corrupt")));
  EXPECT_TRUE(reg.CreateKey("A"));
  EXPECT_TRUE(Registry(file_).KeyExists("A"));
}

// Files with a correct checksum but impossible content, built by hand from the
// file's layout: little-endian u32 fields, "HKRG", version 1, body length,
// body, CRC-32 of everything before it.
class HandBuiltFile {
 public:
  HandBuiltFile& U32(uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) body_.push_back(static_cast<char>(v >> shift));
    return *this;
  }
  HandBuiltFile& Counted(std::string_view s) {
    U32(static_cast<uint32_t>(s.size()));
    body_.append(s);
    return *this;
  }
  // parent index, name, value count
  HandBuiltFile& Key(uint32_t parent, std::string_view name, uint32_t values) {
    return U32(parent).Counted(name).U32(values);
  }
  HandBuiltFile& Root(uint32_t values = 0) { return Key(0xFFFFFFFF, "", values); }
  HandBuiltFile& Dword(std::string_view name, uint32_t v) {
    return Counted(name).U32(hk::kRegDword).U32(4).U32(v);
  }

  std::string Bytes() const {
    HandBuiltFile file;
    file.body_ = "HKRG";
    file.U32(1).U32(static_cast<uint32_t>(body_.size()));
    file.body_ += body_;
    uint32_t crc = 0xFFFFFFFF;
    for (unsigned char b : file.body_) {
      crc ^= b;
      for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? 0xEDB88320 ^ (crc >> 1) : crc >> 1;
    }
    return file.U32(~crc).body_;
  }

 private:
  std::string body_;
};

TEST_F(RegistryTest, HandBuiltFileLoads) {
  // Guards the cases below: they must fail for their content, not their framing.
  fs::create_directories(file_.parent_path());
  WriteAll(file_, HandBuiltFile()
                      .Root()
                      .Key(0, "Machine", 0)
                      .Key(1, "System", 1)
                      .Dword("Start", 3)
                      .Key(0, "User", 0)
                      .Key(1, "Software", 0)
                      .Bytes());
  Registry reg(file_);
  EXPECT_FALSE(reg.LoadedCorrupt()) << reg.LoadError();
  EXPECT_EQ(reg.SubKeys(""), (std::vector<std::string>{"Machine", "User"}));
  EXPECT_EQ(reg.SubKeys("Machine"), (std::vector<std::string>{"System", "Software"}));
  EXPECT_EQ(reg.GetValue("Machine\\System", "Start"), (Registry::Value{hk::kRegDword, Dword(3)}));
}

TEST_F(RegistryTest, ImpossibleContentWithGoodChecksumIsReportedAndReplaced) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"no keys", HandBuiltFile().Bytes()},
      {"first key not the root", HandBuiltFile().Key(0, "A", 0).Bytes()},
      {"root with a name", HandBuiltFile().Key(0xFFFFFFFF, "A", 0).Bytes()},
      {"huge data length",
       HandBuiltFile().Root(1).Counted("v").U32(hk::kRegBinary).U32(0xFFFFFFF0).Bytes()},
      {"huge name length", HandBuiltFile().Root().U32(0).U32(0xFFFFFFFF).Bytes()},
      {"huge value count", HandBuiltFile().Root(0xFFFFFFFF).Dword("v", 1).Bytes()},
      {"parent after the key", HandBuiltFile().Root().Key(2, "A", 0).Key(0, "B", 0).Bytes()},
      {"key its own parent", HandBuiltFile().Root().Key(1, "A", 0).Bytes()},
      {"second root", HandBuiltFile().Root().Key(0xFFFFFFFF, "A", 0).Bytes()},
      {"empty key name", HandBuiltFile().Root().Key(0, "", 0).Bytes()},
      {"backslash in key name", HandBuiltFile().Root().Key(0, "A\\B", 0).Bytes()},
      {"same key twice", HandBuiltFile().Root().Key(0, "Ab", 0).Key(0, "aB", 0).Bytes()},
      {"same value twice", HandBuiltFile().Root(2).Dword("Ab", 1).Dword("aB", 2).Bytes()},
      {"cut-off value", HandBuiltFile().Root(1).Counted("v").U32(4).Bytes()},
  };
  for (const auto& [what, bytes] : cases) {
    SCOPED_TRACE(what);
    ExpectRecoveredFrom(file_, bytes);
  }
}

// --- Threads ---

// The name of writer t's i-th value. Appended piece by piece: g++ 12 at -O2
// warns falsely (-Wrestrict) about "literal" + std::string chains.
std::string WriterValue(int t, int i) {
  std::string name = "t";
  name += std::to_string(t);
  name += '_';
  name += std::to_string(i);
  return name;
}

TEST(RegistryConcurrencyTest, ConcurrentWritersLoseNothing) {
  const fs::path dir =
      fs::temp_directory_path() / ("hk_registry_concurrency_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  const fs::path file = dir / "registry.dat";
  constexpr int kThreads = 4;
  constexpr int kWrites = 20;
  {
    Registry reg(file);
    ASSERT_TRUE(reg.CreateKey("Shared"));
    std::atomic<bool> stop{false};
    std::thread reader([&] {
      while (!stop) {
        for (const std::string& name : reg.ValueNames("Shared")) {
          if (const auto value = reg.GetValue("Shared", name)) {
            EXPECT_EQ(value->data.size(), 4u);
          }
        }
        reg.SubKeys("");
      }
    });
    std::vector<std::thread> writers;
    writers.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([&reg, t] {
        const std::string own = "Own\\T" + std::to_string(t);
        EXPECT_TRUE(reg.CreateKey(own));
        for (int i = 0; i < kWrites; ++i) {
          const std::string name = WriterValue(t, i);
          EXPECT_TRUE(reg.SetDword("Shared", name, static_cast<uint32_t>(i)));
          EXPECT_TRUE(reg.SetDword(own, name, static_cast<uint32_t>(t)));
        }
        EXPECT_TRUE(reg.DeleteValue(own, WriterValue(t, 0)));
      });
    }
    for (std::thread& w : writers) w.join();
    stop = true;
    reader.join();
  }
  Registry reg(file);
  EXPECT_FALSE(reg.LoadedCorrupt()) << reg.LoadError();
  EXPECT_EQ(reg.ValueNames("Shared").size(), size_t{kThreads * kWrites});
  EXPECT_EQ(reg.SubKeys("Own").size(), size_t{kThreads});
  for (int t = 0; t < kThreads; ++t) {
    const std::string own = "Own\\T" + std::to_string(t);
    EXPECT_EQ(reg.ValueNames(own).size(), size_t{kWrites - 1});
    for (int i = 0; i < kWrites; ++i) {
      EXPECT_EQ(reg.GetValue("Shared", WriterValue(t, i)).value().data,
                Dword(static_cast<uint32_t>(i)));
    }
  }
  fs::remove_all(dir);
}

}  // namespace
