#include "pnp/tree.h"

#include <algorithm>

namespace hk {

namespace {

bool SameId(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto up = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
           return up(x) == up(y);
         });
}

}  // namespace

DeviceTree::DeviceTree() {
  auto root = std::make_unique<DevNode>();
  root->handle = nextHandle_++;
  root->kind = NodeKind::Root;
  root->instanceId = "HTREE\\ROOT\\0";
  root->present = true;
  root->status = DN_STARTED | DN_DRIVER_LOADED | DN_NT_ENUMERATOR | DN_NT_DRIVER;
  nodes_.push_back(std::move(root));
}

DevNode* DeviceTree::Root() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return nodes_.front().get();
}

DevNode* DeviceTree::Add(DevNode* parent, NodeKind kind, const std::string& instanceId) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (DevNode* existing = Find(instanceId)) {
    if (existing->removed) {
      // A removed entry found again knows nothing of its earlier driver.
      existing->removed = false;
      existing->service.clear();
      existing->driverKey.clear();
      existing->description.clear();
      existing->manufacturer.clear();
      existing->className.clear();
      existing->hardwareIds.clear();
    }
    // A device seen before keeps its node; it may have moved under another parent.
    if (existing->parent != parent && parent != nullptr) {
      if (existing->parent != nullptr) {
        auto& siblings = existing->parent->children;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), existing), siblings.end());
      }
      existing->parent = parent;
      parent->children.push_back(existing);
    }
    return existing;
  }
  auto node = std::make_unique<DevNode>();
  node->handle = nextHandle_++;
  node->kind = kind;
  node->instanceId = instanceId;
  node->parent = parent;
  if (parent != nullptr) parent->children.push_back(node.get());
  nodes_.push_back(std::move(node));
  return nodes_.back().get();
}

DevNode* DeviceTree::Find(const std::string& instanceId) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  for (auto& node : nodes_)
    if (SameId(node->instanceId, instanceId)) return node.get();
  return nullptr;
}

DevNode* DeviceTree::FindByHandle(uint32_t handle) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  for (auto& node : nodes_)
    if (node->handle == handle) return node.get();
  return nullptr;
}

DevNode* DeviceTree::FindByPhysical(const DeviceObject* physical) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  for (auto& node : nodes_)
    if (node->physical == physical && physical != nullptr) return node.get();
  return nullptr;
}

std::vector<DevNode*> DeviceTree::Nodes() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::vector<DevNode*> out;
  for (auto& node : nodes_) out.push_back(node.get());
  return out;
}

}  // namespace hk
