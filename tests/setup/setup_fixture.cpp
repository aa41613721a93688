#include "setup_fixture.h"

#include <fstream>
#include <iterator>
#include <mutex>

namespace towertest {

namespace {

// Answers its descriptors and nothing else: no driver ever talks to it.
class MouseModel final : public hk::usb::DeviceModel {
 public:
  void Attach(hk::usb::Port* port) override { (void)port; }
  std::vector<uint8_t> DeviceDescriptor() override {
    return {18, 1, 0x10, 0x01, 0, 0, 0, 8, 0x6D, 0x04, 0x0E, 0xC0, 0x10, 0x11, 1, 2, 0, 1};
  }
  std::vector<uint8_t> ConfigurationDescriptor(uint8_t index) override {
    (void)index;
    return {};
  }
  bool SetConfiguration(uint8_t value) override { return value <= 1; }
  void Submit(hk::usb::Transfer* transfer) override { (void)transfer; }
  void Cancel(hk::usb::Transfer* transfer) override { (void)transfer; }
};

}  // namespace

void SetupTest::SetUp() {
  stateDir_ = FreshStateDir();
  BootAs(hk::WindowsVersion::XP);
}

void SetupTest::ShutDown() {
  for (HANDLE handle : handles_) CloseHandle(handle);
  handles_.clear();
  if (machine_) {
    const std::vector<std::string> violations = machine_->Shutdown();
    EXPECT_TRUE(violations.empty()) << "verifier: " << (violations.empty() ? "" : violations[0]);
  }
  machine_.reset();
}

void SetupTest::BootAs(hk::WindowsVersion windows) {
  ShutDown();
  windows_ = windows;
  hk::Machine::Options options;
  options.stateDir = stateDir_;
  options.windows = windows;
  machine_ = std::make_unique<hk::Machine>(options);
  machine_->io().SetHangLimit(std::chrono::seconds(5));
  // The host's driver module is what an INF's "Ostrel.sys" loads.
  machine_->loader().RegisterImage("Ostrel.sys", TOWER_DRIVER_MODULE);
}

void SetupTest::InstallAfreshAs(hk::WindowsVersion windows) {
  ShutDown();
  std::filesystem::remove_all(stateDir_);
  BootAs(windows);
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

hk::DevNode* SetupTest::RootHub() {
  std::lock_guard<std::recursive_mutex> lock(machine_->tree().mutex());
  for (hk::DevNode* node : machine_->tree().Nodes())
    if (node->kind == hk::NodeKind::RootHub) return node;
  return nullptr;
}

std::shared_ptr<hk::usb::DeviceModel> SetupTest::Mouse() { return std::make_shared<MouseModel>(); }

std::vector<std::string> SetupTest::SubKeys(const std::string& key) {
  return machine_->registry().SubKeys(key);
}

std::string SetupTest::Text(const std::string& key, const std::string& name) {
  const auto value = machine_->registry().GetValue(key, name);
  if (!value) return std::string();
  const std::string text(value->data.begin(), value->data.end());
  return text.substr(0, text.find('\0'));
}

}  // namespace towertest
