// Resources: FindResourceA, LoadResource, LockResource, SizeofResource and
// LoadStringA over a module's compiled resources (the .res that windres makes
// of its .rc, embedded whole; see cmake/resources.cmake).
//
// A .res file is a row of entries, each a header followed by its data, both
// padded to four bytes: data size, header size, type, name (each either
// 0xFFFF and a 16-bit number, or a zero-terminated UTF-16 text), data
// version, memory flags, language, version, characteristics. A resource handle
// is the address of its entry's header; the loaded resource is its data,
// which stays mapped as long as the module.
#include <cstring>
#include <string>

#include "faults/faults.h"
#include "handles.h"
#include "modules.h"

namespace win32host {

namespace {

struct Entry {
  const uint8_t* header = nullptr;
  const uint8_t* data = nullptr;
  uint32_t dataSize = 0;
  // Type and name: a number, or a text (upper-cased, as Windows compares).
  bool typeIsNumber = false;
  uint16_t typeNumber = 0;
  std::string typeText;
  bool nameIsNumber = false;
  uint16_t nameNumber = 0;
  std::string nameText;
  uint16_t language = 0;
};

uint32_t Read32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24; }
uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

// Reads a type or name field; false when it runs past `end`.
bool ReadId(const uint8_t*& p, const uint8_t* end, bool* isNumber, uint16_t* number,
            std::string* text) {
  if (end - p < 2) return false;
  if (Read16(p) == 0xFFFF) {
    if (end - p < 4) return false;
    *isNumber = true;
    *number = Read16(p + 2);
    p += 4;
    return true;
  }
  *isNumber = false;
  for (;;) {
    if (end - p < 2) return false;
    const uint16_t c = Read16(p);
    p += 2;
    if (c == 0) return true;
    *text += Upper(c < 0x80 ? static_cast<char>(c) : '?');
  }
}

// The entry at `p`, or false at the end of the block or for a damaged one.
bool ReadEntry(const uint8_t* p, const uint8_t* end, Entry* entry, const uint8_t** next) {
  if (end - p < 8) return false;
  const uint32_t dataSize = Read32(p);
  const uint32_t headerSize = Read32(p + 4);
  if (headerSize < 16 || headerSize > static_cast<size_t>(end - p) ||
      dataSize > static_cast<size_t>(end - p) - headerSize)
    return false;
  const uint8_t* field = p + 8;
  const uint8_t* headerEnd = p + headerSize;
  *entry = Entry{};
  if (!ReadId(field, headerEnd, &entry->typeIsNumber, &entry->typeNumber, &entry->typeText) ||
      !ReadId(field, headerEnd, &entry->nameIsNumber, &entry->nameNumber, &entry->nameText))
    return false;
  field = p + ((field - p + 3) & ~size_t{3});
  // Data version (4) and memory flags (2) come before the language.
  if (headerEnd - field >= 8) entry->language = Read16(field + 6);
  entry->header = p;
  entry->data = headerEnd;
  entry->dataSize = dataSize;
  *next = headerEnd + ((dataSize + 3) & ~uint32_t{3});
  if (*next > end) *next = end;
  return true;
}

// What a type or name argument asks for: MAKEINTRESOURCE(n), "#n", or a name.
struct Wanted {
  bool isNumber = false;
  uint16_t number = 0;
  std::string text;
};

Wanted Parse(LPCSTR id) {
  Wanted w;
  const auto value = reinterpret_cast<uintptr_t>(id);
  if (value < 0x10000) {
    w.isNumber = true;
    w.number = static_cast<uint16_t>(value);
  } else if (id[0] == '#') {
    w.isNumber = true;
    w.number = static_cast<uint16_t>(std::strtoul(id + 1, nullptr, 10));
  } else {
    for (const char* c = id; *c != '\0'; ++c) w.text += Upper(*c);
  }
  return w;
}

bool Matches(const Wanted& w, bool isNumber, uint16_t number, const std::string& text) {
  return w.isNumber == isNumber && (isNumber ? w.number == number : w.text == text);
}

// Finds an entry of the module; sets the last error as Windows does when none.
bool Find(HMODULE module, LPCSTR name, LPCSTR type, Entry* found) {
  const uint8_t* data = nullptr;
  size_t bytes = 0;
  if (!ModuleResources(module, &data, &bytes)) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return false;
  }
  if (data == nullptr || bytes == 0) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return false;
  }
  const Wanted wantedType = Parse(type);
  const Wanted wantedName = Parse(name);
  bool typeSeen = false;
  const uint8_t* end = data + bytes;
  Entry entry;
  for (const uint8_t* p = data; p < end;) {
    const uint8_t* next = nullptr;
    if (!ReadEntry(p, end, &entry, &next)) break;
    p = next;
    if (!Matches(wantedType, entry.typeIsNumber, entry.typeNumber, entry.typeText)) continue;
    typeSeen = true;
    // The first language the module has for the name serves: the
    // deliverables carry one language per resource.
    if (Matches(wantedName, entry.nameIsNumber, entry.nameNumber, entry.nameText)) {
      *found = entry;
      return true;
    }
  }
  SetLastError(typeSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
  return false;
}

}  // namespace

}  // namespace win32host

using namespace win32host;

extern "C" {

HRSRC WINAPI FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType) {
  if (lpName == nullptr || lpType == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Entry entry;
  if (!Find(hModule, lpName, lpType, &entry)) return nullptr;
  return reinterpret_cast<HRSRC>(const_cast<uint8_t*>(entry.header));
}

HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo) {
  (void)hModule;
  if (hResInfo == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  const auto* header = reinterpret_cast<const uint8_t*>(hResInfo);
  return const_cast<uint8_t*>(header + Read32(header + 4));
}

LPVOID WINAPI LockResource(HGLOBAL hResData) { return hResData; }

DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo) {
  (void)hModule;
  if (hResInfo == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return Read32(reinterpret_cast<const uint8_t*>(hResInfo));
}

int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
  if (lpBuffer == nullptr || cchBufferMax <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  lpBuffer[0] = '\0';
  if (AnyFaultArmed()) {
    // Naming the module must not disturb the caller's last error.
    const DWORD kept = GetLastError();
    char path[MAX_PATH] = {};
    GetModuleFileNameA(static_cast<HMODULE>(hInstance), path, sizeof(path));
    SetLastError(kept);
    const std::string module = path;
    const size_t slash = module.find_last_of("/\\");
    const std::string name = slash == std::string::npos ? module : module.substr(slash + 1);
    if (auto code = Injected(hk::fault::kLoadStringA, name + "\\" + std::to_string(uID))) {
      SetLastError(*code);
      return 0;
    }
  }
  // Strings live in blocks of sixteen: block (id / 16) + 1 holds them, each a
  // 16-bit length and that many UTF-16 characters.
  Entry entry;
  const auto block = reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(((uID & 0xFFFF) >> 4) + 1));
  if (!Find(static_cast<HMODULE>(hInstance), block, reinterpret_cast<LPCSTR>(uintptr_t{6}), &entry))
    return 0;
  const uint8_t* p = entry.data;
  const uint8_t* end = entry.data + entry.dataSize;
  for (unsigned skip = uID & 0xF; skip > 0; --skip) {
    if (end - p < 2) return 0;
    p += 2 + 2 * size_t{Read16(p)};
  }
  if (end - p < 2) return 0;
  const size_t length = Read16(p);
  p += 2;
  if (static_cast<size_t>(end - p) < 2 * length) return 0;
  // The system code page: the texts the deliverables carry are ASCII; other
  // characters of Latin-1 keep their value, the rest become '?'.
  int copied = 0;
  while (static_cast<size_t>(copied) < length && copied < cchBufferMax - 1) {
    const uint16_t c = Read16(p + 2 * copied);
    lpBuffer[copied++] = static_cast<char>(c < 0x100 ? c : '?');
  }
  lpBuffer[copied] = '\0';
  return copied;
}

}  // extern "C"
