#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/device_tree.h"

namespace iapflash::testing {

// A device tree held in memory: nodes with their IDs, properties and port names, listed by class
// in the order they were added. Properties are stored as the system reports them (with their
// terminators); a missing property or port name reads as a failure.
class FakeDeviceTree final : public DeviceTree {
 public:
  struct Node {
    DevInst parent = 0;
    std::string instanceId;
    std::map<DeviceProperty, std::string> properties;
    std::optional<std::string> portName;
    bool failParent = false;
  };

  Node& Add(DevInst id, DevInst parent, std::string instanceId, std::set<DeviceClass> classes) {
    Node& node = nodes_[id];
    node.parent = parent;
    node.instanceId = std::move(instanceId);
    for (DeviceClass c : classes) members_[c].push_back(id);
    return node;
  }
  Node& operator[](DevInst id) { return nodes_.at(id); }
  void FailClass(DeviceClass c) { failing_.insert(c); }
  int OpenSets() const { return *openSets_; }
  int SetsListed() const { return setsListed_; }

  std::unique_ptr<DeviceSet> Present(DeviceClass deviceClass) override {
    if (failing_.count(deviceClass)) return nullptr;
    ++setsListed_;
    return std::make_unique<Set>(*this, members_[deviceClass]);
  }
  bool Parent(DevInst node, DevInst& parent) override {
    auto it = nodes_.find(node);
    if (it == nodes_.end() || it->second.failParent || it->second.parent == 0) return false;
    parent = it->second.parent;
    return true;
  }
  bool InstanceId(DevInst node, std::string& id) override {
    auto it = nodes_.find(node);
    if (it == nodes_.end() || it->second.instanceId.empty()) return false;
    id = it->second.instanceId;
    return true;
  }
  bool NodeProperty(DevInst node, DeviceProperty property, std::string& value) override {
    auto it = nodes_.find(node);
    if (it == nodes_.end()) return false;
    auto prop = it->second.properties.find(property);
    if (prop == it->second.properties.end()) return false;
    value = prop->second;
    return true;
  }

 private:
  class Set final : public DeviceSet {
   public:
    Set(FakeDeviceTree& tree, std::vector<DevInst> members)
        : tree_(tree), members_(std::move(members)), open_(tree.openSets_) {
      ++*open_;
    }
    ~Set() override { --*open_; }
    bool Member(uint32_t index, DevInst& node) override {
      if (index >= members_.size()) return false;
      node = members_[index];
      return true;
    }
    bool Property(uint32_t index, DeviceProperty property, std::string& value) override {
      return index < members_.size() && tree_.NodeProperty(members_[index], property, value);
    }
    bool PortName(uint32_t index, std::string& name) override {
      if (index >= members_.size()) return false;
      const auto& port = tree_[members_[index]].portName;
      if (!port) return false;
      name = *port;
      return true;
    }

   private:
    FakeDeviceTree& tree_;
    std::vector<DevInst> members_;
    std::shared_ptr<int> open_;
  };

  std::map<DevInst, Node> nodes_;
  std::map<DeviceClass, std::vector<DevInst>> members_;
  std::set<DeviceClass> failing_;
  std::shared_ptr<int> openSets_ = std::make_shared<int>(0);
  int setsListed_ = 0;
};

}  // namespace iapflash::testing
