// The HTML help control's display entry, HtmlHelpA, on the host machine.
//
// The help file is a compiled help file named with its topic,
// "Ostrel.chm::/General_configuration.htm" (a window type may follow after
// '>'); a file named without a folder is looked for in the Windows Help
// directory, where setup programs put their help. The viewer opens when the
// file exists and returns its window; a missing file opens nothing and
// returns null, which is how a caller learns that its help is not there.
// The host does not read the file: the topic is shown as named.
#include <cstring>
#include <string>

#include "win32/host_ui.h"
#include "win32/windows.h"

namespace {

// The display command; the control's other commands (contents, index,
// search, context numbers, closing) are not served and open nothing.
constexpr UINT kDisplayTopic = 0x0000;

bool IsFile(const std::string& windowsPath) {
  const DWORD attributes = GetFileAttributesA(windowsPath.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The file the name means: as given when it has a folder, else in the
// Windows Help directory.
std::string HelpFilePath(const std::string& name) {
  if (name.find_first_of("\\/:") != std::string::npos) return name;
  char windows[MAX_PATH + 1] = "";
  const UINT length = GetWindowsDirectoryA(windows, sizeof(windows));
  if (length == 0 || length >= sizeof(windows)) return std::string();
  std::string path = windows;
  if (path.back() != '\\') path += '\\';
  return path + "Help\\" + name;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) HWND WINAPI HtmlHelpA(HWND caller, LPCSTR file,
                                                                        UINT command,
                                                                        DWORD_PTR data);

HWND WINAPI HtmlHelpA(HWND caller, LPCSTR file, UINT command, DWORD_PTR data) {
  if (command != kDisplayTopic || file == nullptr) return nullptr;
  std::string name = file;
  name = name.substr(0, name.find('>'));  // the window type is the viewer's business
  std::string topic;
  const size_t separator = name.find("::");
  if (separator != std::string::npos) {
    topic = name.substr(separator + 2);
    name.resize(separator);
  } else if (data != 0) {
    // Without "::" in the name, the topic may come as the command's data.
    topic = reinterpret_cast<const char*>(data);
  }
  // "::/Topic.htm" names the topic from the file's root.
  if (!topic.empty() && topic.front() == '/') topic.erase(0, 1);
  const std::string path = HelpFilePath(name);
  if (name.empty() || path.empty() || !IsFile(path)) return nullptr;
  return win32ui::ShowHelp(caller, path, topic);
}
