// The configuration manager's device tree from its root: finding the root
// node and scanning the tree again.
#include <mutex>

#include "handles.h"
#include "kernel/machine.h"

extern "C" {

CONFIGRET WINAPI CM_Locate_DevNodeA(PDEVINST pdnDevInst, DEVINSTID_A pDeviceID, ULONG ulFlags) {
  if (pdnDevInst == nullptr) return CR_INVALID_POINTER;
  *pdnDevInst = 0;
  if (ulFlags != CM_LOCATE_DEVNODE_NORMAL) return CR_INVALID_FLAG;
  hk::Machine* machine = win32host::CurrentMachine();
  if (machine == nullptr) return CR_NO_SUCH_DEVNODE;
  hk::DeviceTree& tree = machine->tree();
  std::lock_guard<std::recursive_mutex> lock(tree.mutex());
  // No device id names the root of the tree.
  const hk::DevNode* node =
      pDeviceID == nullptr || *pDeviceID == '\0' ? tree.Root() : tree.Find(pDeviceID);
  if (node == nullptr || node->removed || !node->present) return CR_NO_SUCH_DEVNODE;
  *pdnDevInst = node->handle;
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Reenumerate_DevNode(DEVINST dnDevInst, ULONG ulFlags) {
  if ((ulFlags & ~CM_REENUMERATE_SYNCHRONOUS) != 0) return CR_INVALID_FLAG;
  hk::Machine* machine = win32host::CurrentMachine();
  if (machine == nullptr) return CR_INVALID_DEVNODE;
  {
    hk::DeviceTree& tree = machine->tree();
    std::lock_guard<std::recursive_mutex> lock(tree.mutex());
    const hk::DevNode* node = tree.FindByHandle(dnDevInst);
    if (node == nullptr || !node->present) return CR_INVALID_DEVNODE;
  }
  // The host scans the whole tree whichever node is named; the scan is done
  // when the call returns, synchronous or not.
  machine->Reenumerate();
  if ((ulFlags & CM_REENUMERATE_SYNCHRONOUS) != 0) machine->SettlePnp();
  return CR_SUCCESS;
}

}  // extern "C"
