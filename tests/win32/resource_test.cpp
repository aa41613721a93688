// Resources from a module's own compiled .rc: strings by id, and dialogs,
// named data and the version record by type and name, as Windows finds them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "win32/windows.h"

namespace {

class ResourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    probe_ = LoadLibraryA("Probe.dll");
    ASSERT_NE(probe_, nullptr);
  }
  void TearDown() override { FreeLibrary(probe_); }
  std::string Load(UINT id, int size = 256) {
    char buffer[256];
    std::memset(buffer, 'x', sizeof(buffer));
    const int n = LoadStringA(probe_, id, buffer, size);
    EXPECT_EQ(n, static_cast<int>(std::strlen(buffer)));
    return buffer;
  }
  HMODULE probe_ = nullptr;
};

TEST_F(ResourceTest, StringsComeFromTheirBlocksAndAreCutToTheBuffer) {
  EXPECT_EQ(Load(1), "first of block one");
  EXPECT_EQ(Load(17), "beyond sixteen");
  EXPECT_EQ(Load(4095), "last of a block");
  EXPECT_EQ(Load(18),
            "Gr\xfc\xdf"
            "e");
  EXPECT_EQ(Load(1, 6), "first");
  EXPECT_EQ(Load(1, 1), "");
  EXPECT_EQ(Load(2), "") << "a missing string in a present block";
  EXPECT_EQ(Load(400), "") << "a missing block";
  char untouched = 'x';
  EXPECT_EQ(LoadStringA(probe_, 1, &untouched, 0), 0);
  EXPECT_EQ(untouched, 'x');
}

TEST_F(ResourceTest, ResourcesAreFoundByTypeAndName) {
  HRSRC dialog = FindResourceA(probe_, MAKEINTRESOURCEA(100), RT_DIALOG);
  ASSERT_NE(dialog, nullptr);
  const auto* tpl = static_cast<const uint8_t*>(LockResource(LoadResource(probe_, dialog)));
  ASSERT_NE(tpl, nullptr);
  ASSERT_GE(SizeofResource(probe_, dialog), 18u);
  EXPECT_EQ(tpl[8], 1) << "one control in the template";

  EXPECT_EQ(FindResourceA(probe_, "#100", RT_DIALOG), dialog);

  HRSRC data = FindResourceA(probe_, "probedata", RT_RCDATA);  // names compare without case
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(SizeofResource(probe_, data), 3u);
  EXPECT_EQ(std::memcmp(LockResource(LoadResource(probe_, data)), "abc", 3), 0);

  HRSRC version = FindResourceA(probe_, MAKEINTRESOURCEA(1), RT_VERSION);
  ASSERT_NE(version, nullptr);
  EXPECT_GT(SizeofResource(probe_, version), 52u);

  EXPECT_EQ(FindResourceA(probe_, MAKEINTRESOURCEA(101), RT_DIALOG), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_EQ(FindResourceA(probe_, MAKEINTRESOURCEA(1), RT_GROUP_ICON), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
}

TEST(TavrixResources, TheProblemTextsComeFromTheLibrarysOwnStringTable) {
  HMODULE tavrix = GetModuleHandleA("Tavrix.dll");
  ASSERT_NE(tavrix, nullptr);
  char text[128] = {};
  EXPECT_GT(LoadStringA(tavrix, 4096 + 0x16, text, sizeof(text)), 0);
  EXPECT_STREQ(text, "The device has been disabled (0x16)");
  EXPECT_GT(LoadStringA(tavrix, 4096 + 0x1F, text, sizeof(text)), 0);
  EXPECT_STREQ(text, "The driver failed the AddDevice request (0x!F)");
  EXPECT_GT(LoadStringA(tavrix, 4200, text, sizeof(text)), 0);
  EXPECT_STREQ(text, "The device is not working properly. Problem ID = 0x");
  EXPECT_EQ(LoadStringA(tavrix, 4096 + 0x25, text, sizeof(text)), 0);
}

}  // namespace
