// A host machine answering as a chosen Windows, with the tower driver known
// only as a file a driver package can name: devices get it the Plug and Play
// way, from an installed INF.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app_fixture.h"
#include "usb/model.h"

namespace towertest {

class SetupTest : public AppTest {
 protected:
  void SetUp() override;
  // Restarts the machine on the same state directory, answering as `windows`.
  void BootAs(hk::WindowsVersion windows);
  // The same Windows again: what waits for a restart is carried out.
  void Restart() { BootAs(windows_); }
  // A fresh installation of `windows`: a new drive and registry.
  void InstallAfreshAs(hk::WindowsVersion windows);

  // The host file behind a drive path, and small file helpers on it.
  std::filesystem::path Host(const std::string& windowsPath);
  void WriteDriveFile(const std::string& windowsPath, const std::string& content);
  std::string ReadDriveFile(const std::string& windowsPath);
  bool DriveFileExists(const std::string& windowsPath);
  // A built deliverable (by its Windows file name) copied onto the drive.
  void CopyModuleToDrive(const std::string& fileName, const std::string& windowsPath);
  // The driver INF, the driver file and the help file in a source folder
  // on the drive.
  void PutDriverSource(const std::string& folder);
  // Tower entries the device tree still has, present or not.
  size_t TowerEntries();
  // The first host controller's root hub.
  hk::DevNode* RootHub();
  // A USB device that is no tower (a mouse, vendor 0x046D product 0xC00E)
  // and has no driver here.
  static std::shared_ptr<hk::usb::DeviceModel> Mouse();
  // Registry helpers on the machine's store: a key's subkeys, and a string
  // value ("" when there is none).
  std::vector<std::string> SubKeys(const std::string& key);
  std::string Text(const std::string& key, const std::string& name);

  hk::WindowsVersion windows_ = hk::WindowsVersion::XP;

 private:
  // Closes what the test left open and shuts the machine down, checking it.
  void ShutDown();
};

}  // namespace towertest
