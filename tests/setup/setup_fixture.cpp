#include "setup_fixture.h"

#include <fstream>
#include <iterator>
#include <mutex>

namespace towertest {

void SetupTest::SetUp() {
  stateDir_ = FreshStateDir();
  BootAs(hk::WindowsVersion::XP);
}

void SetupTest::BootAs(hk::WindowsVersion windows) {
  for (HANDLE handle : handles_) CloseHandle(handle);
  handles_.clear();
  if (machine_) {
    const std::vector<std::string> violations = machine_->Shutdown();
    EXPECT_TRUE(violations.empty()) << "verifier: " << (violations.empty() ? "" : violations[0]);
  }
  machine_.reset();
  windows_ = windows;
  hk::Machine::Options options;
  options.stateDir = stateDir_;
  options.windows = windows;
  machine_ = std::make_unique<hk::Machine>(options);
  machine_->io().SetHangLimit(std::chrono::seconds(5));
  // The host's driver module is what an INF's "Ostrel.sys" loads.
  machine_->loader().RegisterImage("Ostrel.sys", TOWER_DRIVER_MODULE);
}

std::filesystem::path SetupTest::Host(const std::string& windowsPath) {
  auto host = machine_->files().HostPath(windowsPath);
  EXPECT_TRUE(host.has_value()) << windowsPath;
  return host.value_or(std::filesystem::path());
}

void SetupTest::WriteDriveFile(const std::string& windowsPath, const std::string& content) {
  const auto host = Host(windowsPath);
  std::filesystem::create_directories(host.parent_path());
  std::ofstream(host, std::ios::binary) << content;
}

std::string SetupTest::ReadDriveFile(const std::string& windowsPath) {
  std::ifstream in(Host(windowsPath), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool SetupTest::DriveFileExists(const std::string& windowsPath) {
  std::error_code ec;
  return std::filesystem::exists(Host(windowsPath), ec);
}

void SetupTest::CopyModuleToDrive(const std::string& fileName, const std::string& windowsPath) {
  const auto host = Host(windowsPath);
  std::filesystem::create_directories(host.parent_path());
  std::filesystem::copy_file(std::filesystem::path(TOWER_MODULE_DIR) / fileName, host,
                             std::filesystem::copy_options::overwrite_existing);
}

void SetupTest::PutDriverSource(const std::string& folder) {
  const auto host = Host(folder);
  std::filesystem::create_directories(host);
  std::filesystem::copy_file(TOWER_INF_FILE, host / "Ostrel.inf",
                             std::filesystem::copy_options::overwrite_existing);
  std::filesystem::copy_file(TOWER_DRIVER_MODULE, host / "Ostrel.sys",
                             std::filesystem::copy_options::overwrite_existing);
  std::ofstream(host / "Ostrel.chm", std::ios::binary) << "ITSF help";
}

size_t SetupTest::TowerEntries() {
  size_t count = 0;
  std::lock_guard<std::recursive_mutex> lock(machine_->tree().mutex());
  for (hk::DevNode* node : machine_->tree().Nodes())
    if (!node->removed && node->instanceId.rfind("USB\\VID_0F5C&PID_0001\\", 0) == 0) ++count;
  return count;
}

}  // namespace towertest
