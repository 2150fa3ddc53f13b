#include "platform/device_tree.h"

namespace iapflash {
namespace {

// Not yet implemented: no class can be listed.
class UdevDeviceTree final : public DeviceTree {
 public:
  std::unique_ptr<DeviceSet> Present(DeviceClass) override { return nullptr; }
  bool Parent(DevInst, DevInst&) override { return false; }
  bool InstanceId(DevInst, std::string&) override { return false; }
  bool NodeProperty(DevInst, DeviceProperty, std::string&) override { return false; }
};

}  // namespace

DeviceTree& SystemDeviceTree() {
  static UdevDeviceTree tree;
  return tree;
}

}  // namespace iapflash
