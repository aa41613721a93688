// Modules: LoadLibraryA, GetProcAddress, FreeLibrary, GetModuleHandleA and
// GetModuleFileNameA over the host's dynamic linker.
//
// File names. A deliverable's host build is a shared library with the very
// file name the Windows build gives it ("Tavrix.dll", "Celvane.dll",
// "Ostrel.cpl"): tower_module() names it so and puts it in the build's module
// directory, beside this library, the host's system directory. A name
// without a folder is looked up there, then in the program's own folder,
// case-insensitively as Windows compares file names; a name without an
// extension gets ".dll". A name with a folder ('/' or '\\') is loaded from
// that folder only.
//
// DllMain. Each deliverable announces itself from the dynamic linker's
// mapping notification (host/win32/module/attach.cpp); the loader calls its
// DllMain with DLL_PROCESS_ATTACH then, and with DLL_PROCESS_DETACH when it is
// unmapped. So a module linked by the program is attached before the
// program's main, and one loaded by LoadLibraryA inside that call, as on
// Windows. A module whose attach fails is detached and unloaded again and
// LoadLibraryA fails with ERROR_DLL_INIT_FAILED; a linked one ends the
// process, as Windows ends it.
//
// Counts. Every LoadLibraryA counts once and every FreeLibrary takes one back;
// a linked module also holds the program's own reference, so FreeLibrary never
// unloads it. A module handle is the module's load address.
//
// Ordinals. A module's .def file may number its exports (name @N, and
// NONAME for one reachable by number only); tower_host_ordinals() compiles
// those rows into the module, which hands them over with its announcement.
// GetProcAddress with MAKEINTRESOURCEA(N) takes the row's function; a number
// the list lacks fails with ERROR_INVALID_ORDINAL, as the image loader's
// STATUS_ORDINAL_NOT_FOUND does, and a NONAME function has no name to be
// found by.
//
// The platform's own modules (the HTML help control) are no deliverable and
// not on the machine's drive: the host serves them from its system folder,
// by name and by their path in the machine's system directory, when the
// machine's Windows has them.
#include "modules.h"

#include <dirent.h>
#include <dlfcn.h>
#include <link.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "disk_files.h"
#include "handles.h"
#include "kernel/machine.h"
#include "win32/host_module.h"
#include "win32/host_process.h"

namespace win32host {

namespace {

struct Module {
  HMODULE base = nullptr;
  std::string path;         // the host file
  std::string name;         // its file name, as Windows compares it
  std::string windowsPath;  // loaded from the machine's drive: its name there
  WIN32_HOST_DLLMAIN entry = nullptr;
  const unsigned char* resources = nullptr;
  size_t resourceBytes = 0;
  const WIN32_HOST_EXPORT* ordinals = nullptr;
  bool attached = false;
  bool attachFailed = false;
};

struct Loader {
  std::recursive_mutex mutex;  // DllMain may load another module
  std::vector<Module> modules;
};

// Never destroyed: modules are withdrawn from it while the process ends.
Loader& TheLoader() {
  static Loader* loader = new Loader();
  return *loader;
}

// Set while FreeLibrary unloads, so DllMain learns why it is detached (null
// reserved argument) rather than the process ending (non-null).
thread_local bool freeing = false;
// The program a machine runs (Win32HostRunProgram), while it runs: the
// module GetModuleHandleA(null) and GetModuleFileNameA(null) name.
HMODULE programModule = nullptr;

// Its command line (GetCommandLineA), kept in place while it runs.
std::string& ProgramCommandLine() {
  static std::string* line = new std::string();
  return *line;
}

// The arguments the C runtime makes of a command line: the program's name
// up to the next quote when it starts with one, else up to a blank (no
// escapes there); then arguments between blanks, where a quote opens or
// closes a quoted part, two quotes inside one stand for a quote, and
// backslashes count only before a quote (2n of them give n and the quote
// acts; 2n + 1 give n and a literal quote).
std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> arguments;
  size_t at = 0;
  std::string program;
  if (at < line.size() && line[at] == '"') {
    ++at;
    while (at < line.size() && line[at] != '"') program += line[at++];
    if (at < line.size()) ++at;
  } else {
    while (at < line.size() && line[at] != ' ' && line[at] != '\t') program += line[at++];
  }
  arguments.push_back(program);
  for (;;) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    if (at >= line.size()) break;
    std::string argument;
    bool quoted = false;
    while (at < line.size()) {
      const char c = line[at];
      if (!quoted && (c == ' ' || c == '\t')) break;
      if (c == '\\') {
        size_t slashes = 0;
        while (at < line.size() && line[at] == '\\') {
          ++slashes;
          ++at;
        }
        if (at < line.size() && line[at] == '"') {
          argument.append(slashes / 2, '\\');
          if (slashes % 2 == 1) {
            argument += '"';
            ++at;
          }
        } else {
          argument.append(slashes, '\\');
        }
        continue;
      }
      if (c == '"') {
        if (quoted && at + 1 < line.size() && line[at + 1] == '"') {
          argument += '"';
          at += 2;
          continue;
        }
        quoted = !quoted;
        ++at;
        continue;
      }
      argument += c;
      ++at;
    }
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

// Set while LoadLibraryA maps a module: an attach that fails then fails the
// call; outside it (a module the program links) it ends the process.
thread_local bool loading = false;

Module* FindByBase(HMODULE base) {
  for (auto& m : TheLoader().modules)
    if (m.base == base) return &m;
  return nullptr;
}

// The latest module of that name: one whose last FreeLibrary could not unmap
// it (the dynamic linker keeps some libraries) is older than a copy loaded
// since.
Module* FindByName(const std::string& name) {
  auto& modules = TheLoader().modules;
  for (auto it = modules.rbegin(); it != modules.rend(); ++it)
    if (strcasecmp(it->name.c_str(), name.c_str()) == 0) return &*it;
  return nullptr;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Folder(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// The folder of the subset itself: where the build puts the deliverables.
std::string SystemFolder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(&SystemFolder), &info) == 0 || info.dli_fname == nullptr)
    return ".";
  return Folder(info.dli_fname);
}

std::string ProgramPath() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return std::string();
  path[n] = '\0';
  return path;
}

// The file in a folder whose name matches, ignoring case; empty when none.
std::string FindInFolder(const std::string& folder, const std::string& name) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return std::string();
  std::string found;
  while (dirent* entry = readdir(dir))
    if (strcasecmp(entry->d_name, name.c_str()) == 0) {
      found = folder + "/" + entry->d_name;
      break;
    }
  closedir(dir);
  return found;
}

// The row of an ordinal, or null; ordinal 0 is never one (the table ends
// with it).
const WIN32_HOST_EXPORT* OrdinalRow(const Module& m, WORD ordinal) {
  if (m.ordinals == nullptr || ordinal == 0) return nullptr;
  for (const WIN32_HOST_EXPORT* row = m.ordinals; row->ordinal != 0; ++row)
    if (row->ordinal == ordinal) return row;
  return nullptr;
}

bool ExportedWithoutName(const Module& m, const char* name) {
  if (m.ordinals == nullptr) return false;
  for (const WIN32_HOST_EXPORT* row = m.ordinals; row->ordinal != 0; ++row)
    if (row->noName != 0 && std::strcmp(row->symbol, name) == 0) return true;
  return false;
}

// A platform module the running machine's Windows lacks is not there to be
// found, even though the host's system folder holds its file.
bool PlatformModuleAbsent(const std::string& name) {
  const hk::Machine* machine = CurrentMachine();
  return machine != nullptr && hk::Machine::IsPlatformModule(name) &&
         !machine->HasPlatformModule(name);
}

// A platform module named by its path in the machine's system directory.
std::string PlatformModuleInSystemDirectory(const std::string& windowsPath) {
  const hk::Machine* machine = CurrentMachine();
  const size_t slash = windowsPath.find_last_of('\\');
  if (machine == nullptr || slash == std::string::npos) return std::string();
  const std::string name = windowsPath.substr(slash + 1);
  if (!machine->HasPlatformModule(name) ||
      strcasecmp(windowsPath.substr(0, slash).c_str(), machine->SystemDirectory().c_str()) != 0)
    return std::string();
  return FindInFolder(SystemFolder(), name);
}

HMODULE BaseOf(void* handle) {
  link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return nullptr;
  return reinterpret_cast<HMODULE>(map->l_addr);
}

void Detach(Module& m, bool processEnding) {
  if (!m.attached) return;
  m.attached = false;
  // Windows passes a non-null reserved argument when the process ends.
  static int ending = 0;
  if (m.entry != nullptr)
    m.entry(static_cast<HINSTANCE>(m.base), DLL_PROCESS_DETACH, processEnding ? &ending : nullptr);
}

}  // namespace

bool ModuleResources(HMODULE module, const uint8_t** data, size_t* bytes) {
  std::lock_guard<std::recursive_mutex> lock(TheLoader().mutex);
  const Module* m = FindByBase(module == nullptr ? GetModuleHandleA(nullptr) : module);
  if (m == nullptr) return false;
  *data = m->resources;
  *bytes = m->resourceBytes;
  return true;
}

}  // namespace win32host

using namespace win32host;

extern "C" {

LPSTR WINAPI GetCommandLineA(void) { return ProgramCommandLine().data(); }

HMODULE Win32HostModuleMapped(const WIN32_HOST_MODULE* module) {
  Dl_info info{};
  if (module == nullptr || dladdr(module->anchor, &info) == 0) return nullptr;
  Loader& loader = TheLoader();
  std::lock_guard<std::recursive_mutex> lock(loader.mutex);
  Module m;
  m.base = static_cast<HMODULE>(info.dli_fbase);
  m.path = info.dli_fname != nullptr ? info.dli_fname : "";
  m.name = BaseName(m.path);
  m.entry = module->entry;
  m.resources = module->resources;
  m.resourceBytes = module->resourceBytes;
  m.ordinals = module->ordinals;
  m.attached = true;
  loader.modules.push_back(m);
  if (m.entry != nullptr && !m.entry(static_cast<HINSTANCE>(m.base), DLL_PROCESS_ATTACH, nullptr)) {
    if (!loading) {
      std::fprintf(stderr, "%s: its initialisation failed (DllMain)\n", m.path.c_str());
      std::abort();
    }
    // LoadLibraryA sees this and unloads the module again.
    FindByBase(m.base)->attachFailed = true;
  }
  return m.base;
}

void Win32HostModuleUnmapping(HMODULE module) {
  Loader& loader = TheLoader();
  std::lock_guard<std::recursive_mutex> lock(loader.mutex);
  for (auto it = loader.modules.begin(); it != loader.modules.end(); ++it)
    if (it->base == module) {
      Detach(*it, !freeing);
      // The file on the machine's drive is free again once unmapped.
      if (!it->windowsPath.empty()) ReleaseDriveFile(it->path);
      loader.modules.erase(it);
      return;
    }
}

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
  if (lpLibFileName == nullptr || *lpLibFileName == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string name = BaseName(lpLibFileName);
  if (name.find('.') == std::string::npos) name += ".dll";
  const std::string given = lpLibFileName;
  const bool hasFolder = given.find_first_of("/\\") != std::string::npos;

  Loader& loader = TheLoader();
  std::lock_guard<std::recursive_mutex> lock(loader.mutex);
  std::string path;
  bool onDrive = false;
  if (!hasFolder) {
    // A module already in the process is the one a bare name means; a
    // platform module loaded while an earlier machine ran is not this one's.
    const bool absent = PlatformModuleAbsent(name);
    if (const Module* loaded = FindByName(name); loaded != nullptr && !absent) path = loaded->path;
    if (path.empty() && !absent) path = FindInFolder(SystemFolder(), name);
    if (path.empty() && !absent) path = FindInFolder(Folder(ProgramPath()), name);
  } else if (std::string host; DriveToHost(given, &host)) {
    // A module on the machine's drive ("C:\WINDOWS\SYSTEM32\Ostrel.cpl").
    path = FindInFolder(Folder(host), BaseName(host));
    onDrive = !path.empty();
    if (path.empty()) path = PlatformModuleInSystemDirectory(given);
  } else {
    std::string folder = given.substr(0, given.find_last_of("/\\"));
    for (char& c : folder)
      if (c == '\\') c = '/';
    path = FindInFolder(folder.empty() ? "/" : folder, name);
  }
  if (path.empty()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  loading = true;
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  loading = false;
  if (handle == nullptr) {
    SetLastError(ERROR_BAD_EXE_FORMAT);
    return nullptr;
  }
  const HMODULE base = BaseOf(handle);
  Module* m = FindByBase(base);
  if (m == nullptr) {
    // A shared library that is no deliverable: it never announced itself.
    dlclose(handle);
    SetLastError(ERROR_BAD_EXE_FORMAT);
    return nullptr;
  }
  if (m->attachFailed) {
    Detach(*m, false);
    m->attachFailed = false;
    freeing = true;
    dlclose(handle);
    freeing = false;
    SetLastError(ERROR_DLL_INIT_FAILED);
    return nullptr;
  }
  // A module loaded from the drive holds its file, as a mapped image does.
  if (onDrive && m->windowsPath.empty()) {
    m->windowsPath = WindowsPathOf(m->path);
    HoldDriveFile(m->path);
  }
  return base;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  Loader& loader = TheLoader();
  std::lock_guard<std::recursive_mutex> lock(loader.mutex);
  const Module* m = FindByBase(hLibModule);
  if (m == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // The dynamic linker keeps the count: one reference per dlopen, plus the
  // program's own for a linked module. The last one unmaps the module, and
  // its mapping notification detaches it.
  void* handle = dlopen(m->path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  dlclose(handle);  // the reference the look-up just took
  freeing = true;
  dlclose(handle);  // the caller's
  freeing = false;
  return TRUE;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  std::string path;
  std::string symbolName;
  {
    std::lock_guard<std::recursive_mutex> lock(TheLoader().mutex);
    const Module* m = FindByBase(hModule);
    if (m == nullptr) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    path = m->path;
    if (IS_INTRESOURCE(lpProcName)) {
      const WIN32_HOST_EXPORT* row =
          OrdinalRow(*m, static_cast<WORD>(reinterpret_cast<uintptr_t>(lpProcName)));
      if (row == nullptr) {
        SetLastError(ERROR_INVALID_ORDINAL);
        return nullptr;
      }
      symbolName = row->symbol;
    } else if (ExportedWithoutName(*m, lpProcName)) {
      SetLastError(ERROR_PROC_NOT_FOUND);
      return nullptr;
    } else {
      symbolName = lpProcName;
    }
  }
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  void* symbol = dlsym(handle, symbolName.c_str());
  dlclose(handle);
  if (symbol == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(symbol);
}

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
  if (lpModuleName == nullptr) {
    if (programModule != nullptr) return programModule;
    // The program itself: the first object the dynamic linker lists.
    HMODULE program = nullptr;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* out) {
          *static_cast<HMODULE*>(out) = reinterpret_cast<HMODULE>(info->dlpi_addr);
          return 1;
        },
        &program);
    return program;
  }
  std::string name = BaseName(lpModuleName);
  if (name.find('.') == std::string::npos) name += ".dll";
  std::lock_guard<std::recursive_mutex> lock(TheLoader().mutex);
  if (const Module* m = FindByName(name)) return m->base;
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  std::string path;
  if (hModule == nullptr && programModule == nullptr) {
    path = ProgramPath();
  } else {
    if (hModule == nullptr) hModule = programModule;
    std::lock_guard<std::recursive_mutex> lock(TheLoader().mutex);
    const Module* m = FindByBase(hModule);
    if (m == nullptr) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return 0;
    }
    path = m->windowsPath.empty() ? m->path : m->windowsPath;
  }
  if (lpFilename == nullptr || nSize == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  // A name that does not fit is cut, terminated, and the call returns the
  // buffer's size with ERROR_INSUFFICIENT_BUFFER.
  if (path.size() >= nSize) {
    std::memcpy(lpFilename, path.data(), nSize - 1);
    lpFilename[nSize - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
  }
  std::memcpy(lpFilename, path.c_str(), path.size() + 1);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(path.size());
}

}  // extern "C"

int Win32HostRunProgram(const char* windowsPath) {
  if (windowsPath == nullptr) return -1;
  // As a shell starts it: the path alone, quoted when it holds a blank, so
  // that the program's first argument is the whole path.
  const std::string path = windowsPath;
  const bool blank = path.find_first_of(" \t") != std::string::npos;
  const std::string commandLine = blank ? "\"" + path + "\"" : path;
  return Win32HostRunProgramWithCommandLine(windowsPath, commandLine.c_str());
}

int Win32HostRunProgramWithCommandLine(const char* windowsPath, const char* commandLine) {
  if (windowsPath == nullptr) return -1;
  HMODULE module = LoadLibraryA(windowsPath);
  if (module == nullptr) return -1;
  using MainFn = int (*)(int, char**);
  auto entry = reinterpret_cast<MainFn>(reinterpret_cast<void*>(GetProcAddress(module, "main")));
  int code = -1;
  if (entry != nullptr) {
    std::vector<std::string> arguments =
        SplitCommandLine(commandLine == nullptr ? "" : commandLine);
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    HMODULE outer = programModule;
    std::string outerLine = ProgramCommandLine();
    programModule = module;
    ProgramCommandLine() = commandLine == nullptr ? "" : commandLine;
    code = entry(static_cast<int>(arguments.size()), argv.data());
    programModule = outer;
    ProgramCommandLine() = std::move(outerLine);
  }
  FreeLibrary(module);
  return code;
}

int Win32HostAllocationRefused(const char* call, const void* anchor) {
  if (call == nullptr || !AnyFaultArmed()) return 0;
  Dl_info info{};
  if (dladdr(anchor, &info) == 0 || info.dli_fname == nullptr) return 0;
  return Injected(call, BaseName(info.dli_fname)).has_value() ? 1 : 0;
}
