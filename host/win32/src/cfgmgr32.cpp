// The configuration manager over the host machine's device tree: locating
// device nodes, walking the tree, reading a node's registry properties and
// re-enumerating. Walks see present nodes only, as on Windows; a node that is
// installed but not attached keeps its properties.
#include <cstring>
#include <mutex>
#include <string>

#include "faults/faults.h"
#include "handles.h"
#include "kernel/machine.h"

namespace win32host {

namespace {

bool SameId(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto up = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
    if (up(a[i]) != up(b[i])) return false;
  }
  return true;
}

// Runs `walk` on the present node dnDevInst under the tree lock, storing the
// node it finds in *out.
template <typename Walk>
CONFIGRET Step(PDEVINST out, DEVINST dnDevInst, ULONG ulFlags, Walk walk) {
  if (out == nullptr) return CR_INVALID_POINTER;
  *out = 0;
  if (ulFlags != 0) return CR_INVALID_FLAG;
  hk::Machine* machine = CurrentMachine();
  if (machine == nullptr) return CR_NO_SUCH_DEVNODE;
  hk::DeviceTree& tree = machine->tree();
  std::lock_guard<std::recursive_mutex> lock(tree.mutex());
  const hk::DevNode* node = tree.FindByHandle(dnDevInst);
  if (node == nullptr) return CR_INVALID_DEVNODE;
  if (!node->present) return CR_NO_SUCH_DEVNODE;
  const hk::DevNode* found = walk(node);
  if (found == nullptr) return CR_NO_SUCH_DEVNODE;
  *out = found->handle;
  return CR_SUCCESS;
}

const hk::DevNode* FirstPresent(const std::vector<hk::DevNode*>& nodes, size_t from) {
  for (size_t i = from; i < nodes.size(); ++i)
    if (nodes[i]->present) return nodes[i];
  return nullptr;
}

}  // namespace

}  // namespace win32host

using namespace win32host;

extern "C" {

CONFIGRET WINAPI CM_Locate_DevNodeA(PDEVINST pdnDevInst, LPCSTR pDeviceID, ULONG ulFlags) {
  if (pdnDevInst == nullptr) return CR_INVALID_POINTER;
  *pdnDevInst = 0;
  if ((ulFlags & ~CM_LOCATE_DEVNODE_PHANTOM) != 0) return CR_INVALID_FLAG;
  if (auto code =
          Injected(hk::fault::kCmLocateDevNodeA,
                   pDeviceID == nullptr || *pDeviceID == '\0' ? "HTREE\\ROOT\\0" : pDeviceID))
    return static_cast<CONFIGRET>(*code);
  hk::Machine* machine = CurrentMachine();
  if (machine == nullptr) return CR_NO_SUCH_DEVNODE;
  hk::DeviceTree& tree = machine->tree();
  std::lock_guard<std::recursive_mutex> lock(tree.mutex());
  // No id (or an empty one) names the root of the tree.
  if (pDeviceID == nullptr || *pDeviceID == '\0') {
    *pdnDevInst = tree.Root()->handle;
    return CR_SUCCESS;
  }
  for (const hk::DevNode* node : tree.Nodes())
    if (SameId(node->instanceId, pDeviceID)) {
      if (!node->present && (ulFlags & CM_LOCATE_DEVNODE_PHANTOM) == 0) return CR_NO_SUCH_DEVNODE;
      *pdnDevInst = node->handle;
      return CR_SUCCESS;
    }
  return CR_NO_SUCH_DEVNODE;
}

CONFIGRET WINAPI CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
  return Step(pdnDevInst, dnDevInst, ulFlags,
              [](const hk::DevNode* node) -> const hk::DevNode* { return node->parent; });
}

CONFIGRET WINAPI CM_Get_Child(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
  return Step(pdnDevInst, dnDevInst, ulFlags,
              [](const hk::DevNode* node) { return FirstPresent(node->children, 0); });
}

CONFIGRET WINAPI CM_Get_Sibling(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
  return Step(pdnDevInst, dnDevInst, ulFlags, [](const hk::DevNode* node) -> const hk::DevNode* {
    if (node->parent == nullptr) return nullptr;
    const auto& siblings = node->parent->children;
    for (size_t i = 0; i < siblings.size(); ++i)
      if (siblings[i] == node) return FirstPresent(siblings, i + 1);
    return nullptr;
  });
}

CONFIGRET WINAPI CM_Get_DevNode_Registry_PropertyA(DEVINST dnDevInst, ULONG ulProperty,
                                                   PULONG pulRegDataType, PVOID Buffer,
                                                   PULONG pulLength, ULONG ulFlags) {
  if (pulLength == nullptr || (Buffer == nullptr && *pulLength != 0)) return CR_INVALID_POINTER;
  if (ulFlags != 0) return CR_INVALID_FLAG;
  hk::Machine* machine = CurrentMachine();
  if (machine == nullptr) return CR_NO_SUCH_DEVNODE;
  hk::DeviceTree& tree = machine->tree();
  std::lock_guard<std::recursive_mutex> lock(tree.mutex());
  const hk::DevNode* node = tree.FindByHandle(dnDevInst);
  if (node == nullptr) return CR_INVALID_DEVNODE;
  if (auto code = Injected(hk::fault::kCmGetDevNodeRegistryPropertyA, node->instanceId))
    return static_cast<CONFIGRET>(*code);
  std::string text;
  switch (ulProperty) {
    case CM_DRP_DEVICEDESC:
      text = node->description;
      break;
    case CM_DRP_SERVICE:
      text = node->service;
      break;
    case CM_DRP_DRIVER:
      text = node->driverKey;
      break;
    default:
      return CR_INVALID_PROPERTY;
  }
  if (text.empty()) return CR_NO_SUCH_VALUE;
  if (pulRegDataType != nullptr) *pulRegDataType = REG_SZ;
  const auto needed = static_cast<ULONG>(text.size() + 1);
  // The size needed comes back whether or not the text fits.
  const ULONG room = *pulLength;
  *pulLength = needed;
  if (room < needed) return CR_BUFFER_SMALL;
  std::memcpy(Buffer, text.c_str(), needed);
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Reenumerate_DevNode(DEVINST dnDevInst, ULONG ulFlags) {
  constexpr ULONG kKnown = CM_REENUMERATE_SYNCHRONOUS | CM_REENUMERATE_RETRY_INSTALLATION;
  if ((ulFlags & ~kKnown) != 0) return CR_INVALID_FLAG;
  hk::Machine* machine = CurrentMachine();
  if (machine == nullptr) return CR_NO_SUCH_DEVNODE;
  std::string instanceId;
  {
    hk::DeviceTree& tree = machine->tree();
    std::lock_guard<std::recursive_mutex> lock(tree.mutex());
    const hk::DevNode* node = tree.FindByHandle(dnDevInst);
    if (node == nullptr) return CR_INVALID_DEVNODE;
    if (!node->present) return CR_NO_SUCH_DEVNODE;
    instanceId = node->instanceId;
  }
  if (auto code = Injected(hk::fault::kCmReenumerateDevNode, instanceId))
    return static_cast<CONFIGRET>(*code);
  // Devices below that have no driver yet get one if a binding exists now;
  // the machine does it at once, so the synchronous and the asynchronous
  // request both return after it.
  machine->Reenumerate();
  return CR_SUCCESS;
}

}  // extern "C"
