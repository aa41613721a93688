// The tower search through the library's exports: walking the set both
// ways, the search modes, bad contexts, path copies and the status error.
#include <cstring>

#include "Tavrix.h"
#include "app_fixture.h"
#include "faults/faults.h"

namespace towertest {
namespace {

class Search : public AppTest {
 protected:
  void TearDown() override {
    if (find_ != nullptr) {
      EXPECT_TRUE(QIROTowerFindStop(find_));
    }
    AppTest::TearDown();
  }
  QIROTOWER_FIND* find_ = nullptr;
};

TEST_F(Search, NoTowerGivesNullAndNoMoreItems) {
  for (DWORD mode : {2u, 1u, 0u}) {
    SetLastError(0);
    EXPECT_EQ(QIROTowerFindFirst(mode), nullptr) << mode;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS)) << mode;
  }
}

TEST_F(Search, WalksForwardsAndBackwardsKeepingTheContextAtEitherEnd) {
  for (int i = 0; i < 3; ++i) ASSERT_NE(PlugTower(), nullptr);
  const auto paths = InterfacePaths(DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
  ASSERT_EQ(paths.size(), 3u);

  SetLastError(99);
  find_ = QIROTowerFindFirst(QIROTOWER_FIND_PRESENT);
  ASSERT_NE(find_, nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(find_->Mode, 2u);
  EXPECT_EQ(std::string(QIROTowerGetPathName(find_)), paths[0]);

  // Back from the first: nothing there, and the context still names it.
  EXPECT_FALSE(QIROTowerFindPrev(find_));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  EXPECT_EQ(find_->Index, 0u);
  EXPECT_EQ(std::string(QIROTowerGetPathName(find_)), paths[0]);

  ASSERT_TRUE(QIROTowerFindNext(find_));
  EXPECT_EQ(GetLastError(), 0u);
  ASSERT_TRUE(QIROTowerFindNext(find_));
  EXPECT_EQ(std::string(find_->PathName), paths[2]);
  EXPECT_FALSE(QIROTowerFindNext(find_));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  EXPECT_EQ(find_->Index, 2u);
  EXPECT_EQ(std::string(find_->PathName), paths[2]);
  // After the failed step forwards, a step back reaches the second-to-last.
  ASSERT_TRUE(QIROTowerFindPrev(find_));
  EXPECT_EQ(find_->Index, 1u);
  EXPECT_EQ(std::string(QIROTowerGetPathName(find_)), paths[1]);

  // The path is what an application opens.
  char copy[MAX_PATH];
  ASSERT_TRUE(QIROTowerGetPathNameCopy(find_, copy, sizeof(copy)));
  EXPECT_NE(Open(copy), INVALID_HANDLE_VALUE);
}

TEST_F(Search, ModeOneSkipsAnAbsentTowerAndOtherModesListIt) {
  hk::DeviceObject* gone = PlugTower();
  ASSERT_NE(PlugTower(), nullptr);
  // A search is a snapshot: made before the unplug, it keeps the tower.
  QIROTOWER_FIND* before = QIROTowerFindFirst(QIROTOWER_FIND_PRESENT);
  ASSERT_NE(before, nullptr);
  const std::string absent = QIROTowerGetPathName(before);
  UnplugTower(gone);
  machine_->SettlePnp();
  EXPECT_EQ(Open(absent), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 2u);
  EXPECT_TRUE(QIROTowerFindStop(before));

  auto count = [](DWORD mode, std::vector<std::string>* paths) {
    QIROTOWER_FIND* find = QIROTowerFindFirst(mode);
    if (find == nullptr) return 0;
    int n = 1;
    paths->push_back(QIROTowerGetPathName(find));
    while (QIROTowerFindNext(find)) {
      paths->push_back(QIROTowerGetPathName(find));
      ++n;
    }
    QIROTowerFindStop(find);
    return n;
  };
  std::vector<std::string> present, installed, all;
  EXPECT_EQ(count(2, &present), 1);
  EXPECT_EQ(count(1, &installed), 1);
  EXPECT_EQ(count(0, &all), 2);
  EXPECT_EQ(count(7, &all), 2);
  EXPECT_EQ(present, installed);
  EXPECT_EQ(all[0], absent);
  EXPECT_EQ(all[1], present[0]);
}

TEST_F(Search, BadContextsAndShortCopies) {
  const auto invalid = reinterpret_cast<QIROTOWER_FIND*>(INVALID_HANDLE_VALUE);
  for (QIROTOWER_FIND* bad : {static_cast<QIROTOWER_FIND*>(nullptr), invalid}) {
    SetLastError(0);
    const char* text = QIROTowerGetPathName(bad);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_FALSE(QIROTowerFindNext(bad));
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_FALSE(QIROTowerFindPrev(bad));
    EXPECT_FALSE(QIROTowerFindStop(bad));
    EXPECT_EQ(GetLastError(), 87u);
    char buffer[8];
    EXPECT_FALSE(QIROTowerGetPathNameCopy(bad, buffer, sizeof(buffer)));
    EXPECT_EQ(GetLastError(), 87u);
  }

  ASSERT_NE(PlugTower(), nullptr);
  find_ = QIROTowerFindFirst(QIROTOWER_FIND_PRESENT);
  ASSERT_NE(find_, nullptr);
  const std::string path = QIROTowerGetPathName(find_);
  EXPECT_FALSE(QIROTowerGetPathNameCopy(find_, nullptr, 100));
  EXPECT_EQ(GetLastError(), 87u);
  // Room for all but the terminator: the buffer keeps the path cut by one.
  std::vector<char> buffer(path.size() + 4, 'x');
  SetLastError(0);
  EXPECT_FALSE(QIROTowerGetPathNameCopy(find_, buffer.data(), static_cast<DWORD>(path.size())));
  EXPECT_EQ(GetLastError(), 122u);
  EXPECT_EQ(std::string(buffer.data()), path.substr(0, path.size() - 1));
  EXPECT_TRUE(QIROTowerGetPathNameCopy(find_, buffer.data(), static_cast<DWORD>(path.size() + 1)));
  EXPECT_EQ(std::string(buffer.data()), path);
  std::fill(buffer.begin(), buffer.end(), 'x');
  EXPECT_FALSE(QIROTowerGetPathNameCopy(find_, buffer.data(), 0));
  EXPECT_EQ(buffer[0], 'x');
}

TEST(TowerStatus, BecomesACustomerErrorInFacility0x200) {
  EXPECT_EQ(QIROTowerGetWin32Error(3), 0xE2000003u);
  EXPECT_EQ(QIROTowerGetWin32Error(0xFFFF), 0xE200FFFFu);
  // The upper 16 bits are ignored.
  EXPECT_EQ(QIROTowerGetWin32Error(0x10000), 0u);
  EXPECT_EQ(QIROTowerGetWin32Error(0x12340007), 0xE2000007u);
  EXPECT_EQ(QIROTowerGetWin32Error(0), 0u);
}

TEST_F(Search, ASearchContextThatCannotBeAllocatedFailsWithNotEnoughMemory) {
  ASSERT_NE(PlugTower(), nullptr);
  auto refused = machine_->faults().Once(hk::fault::kNew, 0, "Tavrix.dll");
  SetLastError(0);
  EXPECT_EQ(QIROTowerFindFirst(QIROTOWER_FIND_PRESENT), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(refused->Hits(), 1u);
  // The path's detail record cannot be allocated: the search stands, its path is empty.
  auto detail = machine_->faults().Once(hk::fault::kMalloc, 0, "Tavrix.dll");
  find_ = QIROTowerFindFirst(QIROTOWER_FIND_PRESENT);
  ASSERT_NE(find_, nullptr);
  EXPECT_EQ(detail->Hits(), 1u);
  char path[MAX_PATH] = "x";
  QIROTowerGetPathNameCopy(find_, path, sizeof(path));
  EXPECT_STREQ(path, "");
}

}  // namespace
}  // namespace towertest
