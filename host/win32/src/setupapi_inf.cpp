// Driver packages through SetupAPI: INFs copied into the machine's INF store,
// opened, and their sections' file copies carried out with the default
// queue callback.
#include <cstring>
#include <string>

#include "faults/faults.h"
#include "handles.h"
#include "kernel/machine.h"
#include "pnp/inf.h"

namespace win32host {

namespace {

class InfHandle final : public Object {
 public:
  explicit InfHandle(hk::InfFile file) : inf(std::move(file)) {}
  hk::InfFile inf;
};

// What SetupInitDefaultQueueCallback hands out: it remembers its owner window.
struct DefaultQueueContext {
  uint32_t magic = 0x51554555;  // checked before use
  HWND owner = nullptr;
};

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace

}  // namespace win32host

using namespace win32host;

extern "C" {

BOOL WINAPI SetupCopyOEMInfA(PCSTR SourceInfFileName, PCSTR OEMSourceMediaLocation,
                             DWORD OEMSourceMediaType, DWORD CopyStyle, PSTR DestinationInfFileName,
                             DWORD DestinationInfFileNameSize, PDWORD RequiredSize,
                             PSTR* DestinationInfFileNameComponent) {
  (void)CopyStyle;  // the store takes the INF as it is
  if (SourceInfFileName == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  hk::Machine* machine = CurrentMachine();
  if (machine == nullptr) return Fail(ERROR_FILE_NOT_FOUND);
  std::string media;
  if (OEMSourceMediaType == SPOST_PATH && OEMSourceMediaLocation != nullptr)
    media = OEMSourceMediaLocation;
  const std::string stored = machine->infs().Add(SourceInfFileName, media);
  if (stored.empty()) return Fail(ERROR_FILE_NOT_FOUND);
  const DWORD needed = static_cast<DWORD>(stored.size() + 1);
  if (RequiredSize != nullptr) *RequiredSize = needed;
  if (DestinationInfFileName != nullptr) {
    if (DestinationInfFileNameSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(DestinationInfFileName, stored.c_str(), needed);
    if (DestinationInfFileNameComponent != nullptr)
      *DestinationInfFileNameComponent = DestinationInfFileName + stored.find_last_of('\\') + 1;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

HINF WINAPI SetupOpenInfFileA(PCSTR FileName, PCSTR InfClass, DWORD InfStyle, PUINT ErrorLine) {
  if (ErrorLine != nullptr) *ErrorLine = 0;
  if (auto code = Injected(hk::fault::kSetupOpenInfFileA, FileName == nullptr ? "" : FileName)) {
    SetLastError(*code);
    return INVALID_HANDLE_VALUE;
  }
  hk::Machine* machine = CurrentMachine();
  const auto host = FileName == nullptr || machine == nullptr ? std::nullopt
                                                              : machine->files().HostPath(FileName);
  std::optional<hk::InfFile> inf = host ? hk::InfFile::Load(*host) : std::nullopt;
  if (!inf) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // A Windows 4 style INF signs itself in [Version].
  const std::string signature = inf->Value("Version", "Signature");
  if ((InfStyle & INF_STYLE_WIN4) != 0 && signature.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (InfClass != nullptr && inf->Value("Version", "Class") != InfClass) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(ERROR_SUCCESS);
  return InsertHandle(std::make_shared<InfHandle>(std::move(*inf)));
}

void WINAPI SetupCloseInfFile(HINF InfHandle) {
  if (Lookup<win32host::InfHandle>(InfHandle)) RemoveHandle(InfHandle);
}

PVOID WINAPI SetupInitDefaultQueueCallback(HWND OwnerWindow) {
  auto* context = new DefaultQueueContext();
  context->owner = OwnerWindow;
  return context;
}

void WINAPI SetupTermDefaultQueueCallback(PVOID Context) {
  delete static_cast<DefaultQueueContext*>(Context);
}

UINT WINAPI SetupDefaultQueueCallbackA(PVOID Context, UINT Notification, UINT_PTR Param1,
                                       UINT_PTR Param2) {
  (void)Param1;
  (void)Param2;
  auto* context = static_cast<DefaultQueueContext*>(Context);
  if (context == nullptr || context->magic != 0x51554555) return FILEOP_ABORT;
  switch (Notification) {
    case SPFILENOTIFY_STARTCOPY:
      return FILEOP_DOIT;
    // Asked whether a newer file on the system should be replaced, the
    // default answer keeps it.
    case SPFILENOTIFY_TARGETNEWER:
      return FALSE;
    case SPFILENOTIFY_STARTQUEUE:
      return TRUE;
    default:
      return NO_ERROR;
  }
}

BOOL WINAPI SetupInstallFromInfSectionA(HWND Owner, HINF InfHandle, PCSTR SectionName, UINT Flags,
                                        HKEY RelativeKeyRoot, PCSTR SourceRootPath, UINT CopyFlags,
                                        PSP_FILE_CALLBACK_A MsgHandler, PVOID Context,
                                        HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
  (void)Owner;
  (void)RelativeKeyRoot;
  (void)DeviceInfoSet;
  (void)DeviceInfoData;
  auto inf = Lookup<win32host::InfHandle>(InfHandle);
  if (!inf) return Fail(ERROR_INVALID_HANDLE);
  if (SectionName == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (!inf->inf.HasSection(SectionName)) return Fail(static_cast<DWORD>(ERROR_LINE_NOT_FOUND));
  hk::Machine* machine = CurrentMachine();
  if (machine == nullptr) return Fail(ERROR_FILE_NOT_FOUND);
  // Only the file copies are part of the subset; other kinds of work are
  // refused rather than skipped in silence.
  if ((Flags & ~SPINST_FILES) != 0) return Fail(ERROR_NOT_SUPPORTED);
  if ((Flags & SPINST_FILES) == 0) {
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  if ((Flags & SPINST_FILES) != 0 && MsgHandler == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (MsgHandler(Context, SPFILENOTIFY_STARTQUEUE, 0, 0) == FALSE)
    return Fail(ERROR_OPERATION_ABORTED);
  const bool newer = (CopyFlags & SP_COPY_NEWER) != 0;
  const bool copied =
      hk::CopyInfFiles(inf->inf, machine->files(), machine->files().WindowsDirectory(),
                       !machine->identity().Legacy(), SectionName,
                       SourceRootPath == nullptr ? std::string() : SourceRootPath, newer,
                       [&](const std::string& target) {
                         return MsgHandler(Context, SPFILENOTIFY_TARGETNEWER,
                                           reinterpret_cast<UINT_PTR>(target.c_str()), 0) != FALSE;
                       });
  MsgHandler(Context, SPFILENOTIFY_ENDQUEUE, copied ? 1 : 0, 0);
  if (!copied) return Fail(ERROR_FILE_NOT_FOUND);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // extern "C"
