#include "sim/sim_bus.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "sim/sim_serial_port.h"

namespace iapflash {
namespace {

constexpr DevInst ROOT_HUB = 1;
constexpr const char* ROOT_HUB_ID = "USB\\ROOT_HUB30\\4&1A2B3C&0&0";
constexpr const char* APP_USB_ID = "USB\\VID_6B2D&PID_";
constexpr const char* BOOT_USB_ID = "USB\\VID_7F3C&PID_2C71";

// A property text as the system reports it: terminator included.
std::string Text(const std::string& text) {
  return text + '\0';
}

// A hardware-ID list: the specific ID, the general one, and the empty string that ends the list.
std::string IdList(const std::string& specific, const std::string& general) {
  return Text(specific) + Text(general) + '\0';
}

SimUsbDevice BootProgramAt(std::string port, std::string location) {
  SimUsbDevice device;
  device.role = SimRole::BootProgram;
  device.ports = {std::move(port)};
  device.location = std::move(location);
  return device;
}

// The boot program an application comes back as: the same board, at the same place.
SimUsbDevice ComingBackAs(const SimUsbDevice& application) {
  SimUsbDevice device = application;
  device.role = SimRole::BootProgram;
  device.ports = {application.bootPort};
  return device;
}

struct Node {
  DevInst id = 0;
  DevInst parent = 0;
  std::string instanceId;
  std::map<DeviceProperty, std::string> properties;
  std::optional<std::string> portName;
  bool serialClass = false;
  bool usbClass = false;
};

// The members of one class as they were when the set was made, as the system's sets are.
class NodeSet final : public DeviceSet {
 public:
  explicit NodeSet(std::vector<Node> members) : members_(std::move(members)) {}
  bool Member(uint32_t index, DevInst& node) override {
    if (index >= members_.size()) return false;
    node = members_[index].id;
    return true;
  }
  bool Property(uint32_t index, DeviceProperty property, std::string& value) override {
    if (index >= members_.size()) return false;
    const auto it = members_[index].properties.find(property);
    if (it == members_[index].properties.end()) return false;
    value = it->second;
    return true;
  }
  bool PortName(uint32_t index, std::string& name) override {
    if (index >= members_.size() || !members_[index].portName) return false;
    name = *members_[index].portName;
    return true;
  }

 private:
  std::vector<Node> members_;
};

class Bus final : public SimulatedBus, private DeviceTree, private SerialPorts {
 public:
  Bus(const std::vector<SimUsbDevice>& devices, Clock& clock)
      : clock_(clock), bootPorts_(clock), startMs_(clock.NowMs()) {
    Node rootHub;
    rootHub.id = ROOT_HUB;
    rootHub.instanceId = ROOT_HUB_ID;
    nodes_.push_back(rootHub);
    std::lock_guard lock(mutex_);
    for (const SimUsbDevice& device : devices) {
      if (device.arrivesAtMs == 0) {
        Plug(device, ++slots_);
      } else {
        arriving_.push_back(device);
      }
    }
  }

  DeviceTree& Tree() override { return *this; }
  SerialPorts& Ports() override { return *this; }

  std::shared_ptr<SimDevice> BootProgram(const std::string& port) override {
    std::lock_guard lock(mutex_);
    Refresh();
    const auto it = bootPrograms_.find(port);
    return it == bootPrograms_.end() ? nullptr : it->second;
  }

  std::shared_ptr<SimAppDevice> Application(const std::string& port) override {
    std::lock_guard lock(mutex_);
    for (const Attached& attached : attached_) {
      if (attached.app && attached.layout.ports.front() == port) return attached.app;
    }
    return nullptr;
  }

 private:
  // A device on the bus: its nodes and, for an application, its firmware model.
  struct Attached {
    SimUsbDevice layout;
    int slot = 0;
    std::vector<DevInst> nodes;
    std::shared_ptr<SimAppDevice> app;
  };
  struct AppPort {
    std::shared_ptr<SimAppDevice> device;
    bool listens = false;
    std::shared_ptr<bool> open = std::make_shared<bool>(false);
  };

  // DeviceTree
  std::unique_ptr<DeviceSet> Present(DeviceClass deviceClass) override {
    std::lock_guard lock(mutex_);
    Refresh();
    std::vector<Node> members;
    for (const Node& node : nodes_) {
      if (deviceClass == DeviceClass::SerialPort ? node.serialClass : node.usbClass) {
        members.push_back(node);
      }
    }
    return std::make_unique<NodeSet>(std::move(members));
  }
  bool Parent(DevInst node, DevInst& parent) override {
    std::lock_guard lock(mutex_);
    const Node* found = Find(node);
    if (!found || found->parent == 0) return false;
    parent = found->parent;
    return true;
  }
  bool InstanceId(DevInst node, std::string& id) override {
    std::lock_guard lock(mutex_);
    const Node* found = Find(node);
    if (!found) return false;
    id = found->instanceId;
    return true;
  }
  bool NodeProperty(DevInst node, DeviceProperty property, std::string& value) override {
    std::lock_guard lock(mutex_);
    const Node* found = Find(node);
    if (!found) return false;
    const auto it = found->properties.find(property);
    if (it == found->properties.end()) return false;
    value = it->second;
    return true;
  }

  // SerialPorts
  std::unique_ptr<SerialPort> Open(const std::string& name, SystemError& error) override {
    {
      std::lock_guard lock(mutex_);
      Refresh();
      const auto it = appPorts_.find(name);
      if (it != appPorts_.end()) {
        std::lock_guard openLock(*openMutex_);
        if (*it->second.open) {
          error = SIM_ERROR_PORT_BUSY;
          return nullptr;
        }
        *it->second.open = true;
        return std::make_unique<SimAppSerialPort>(it->second.device, it->second.listens, clock_,
                                                  it->second.open, openMutex_);
      }
    }
    return bootPorts_.Open(name, error);
  }

  const Node* Find(DevInst id) const {
    const auto it =
        std::find_if(nodes_.begin(), nodes_.end(), [id](const Node& n) { return n.id == id; });
    return it == nodes_.end() ? nullptr : &*it;
  }

  DevInst AddNode(Node node) {
    node.id = nextNode_++;
    nodes_.push_back(std::move(node));
    return nodes_.back().id;
  }

  // Adds a node that is a serial port of its own (a single-function device or an interface).
  static void MakePort(Node& node, const std::string& port, const std::string& driver) {
    node.serialClass = true;
    node.portName = port;
    node.properties[DeviceProperty::Service] = Text(driver);
    node.properties[DeviceProperty::FriendlyName] = Text("USB 串行设备 (" + port + ")");
  }

  void Plug(const SimUsbDevice& layout, int slot) {
    Attached attached;
    attached.layout = layout;
    attached.slot = slot;
    const std::string usbId = layout.role == SimRole::BootProgram
                                  ? std::string(BOOT_USB_ID)
                                  : std::string(APP_USB_ID) + layout.product;
    char place[32];
    std::snprintf(place, sizeof place, "\\5&2F3A&0&%d", slot);

    Node device;
    device.parent = ROOT_HUB;
    device.instanceId = usbId + (layout.serial.empty() ? std::string(place) : "\\" + layout.serial);
    if (!layout.serial.empty())
      device.properties[DeviceProperty::SerialNumber] = Text(layout.serial);
    device.usbClass = true;
    device.properties[DeviceProperty::HardwareId] = IdList(usbId + "&REV_0100", usbId);
    device.properties[DeviceProperty::LocationInformation] = Text(layout.location);
    const bool composite = layout.role == SimRole::Application && layout.ports.size() > 1;
    if (composite) {
      device.properties[DeviceProperty::Service] = Text("usbccgp");
      device.properties[DeviceProperty::DeviceDesc] = Text("USB 复合设备");
    } else {
      device.properties[DeviceProperty::DeviceDesc] = Text("USB 串行设备");
      MakePort(device, layout.ports.front(), "usbser");
    }
    const DevInst parent = AddNode(std::move(device));
    attached.nodes.push_back(parent);

    if (layout.role == SimRole::BootProgram) {
      auto boot = layout.boot ? layout.boot : std::make_shared<SimDevice>();
      for (const SimFault& fault : layout.bootFaults) boot->AddFault(fault);
      bootPorts_.Attach(layout.ports.front(), boot);
      bootPrograms_[layout.ports.front()] = std::move(boot);
      attached_.push_back(std::move(attached));
      return;
    }

    attached.app = std::make_shared<SimAppDevice>(layout.behaviour, layout.returnDelayMs);
    for (std::size_t i = 0; i < layout.ports.size(); ++i) {
      AppPort& port = appPorts_[layout.ports[i]];
      port.device = attached.app;
      port.listens = i == 0;
      if (!composite) continue;
      char mi[8];
      std::snprintf(mi, sizeof mi, "&MI_%02zX", i * 2);
      char instance[32];
      std::snprintf(instance, sizeof instance, "\\6&%X&0&%04zX", 0x1C4B0 + slot, i * 2);
      Node interface;
      interface.parent = parent;
      interface.instanceId = usbId + mi + instance;
      interface.properties[DeviceProperty::HardwareId] =
          IdList(usbId + "&REV_0100" + mi, usbId + mi);
      MakePort(interface, layout.ports[i], "KVSERIAL");
      attached.nodes.push_back(AddNode(std::move(interface)));
    }
    attached_.push_back(std::move(attached));
  }

  void Unplug(Attached& attached) {
    std::erase_if(nodes_, [&](const Node& node) {
      return std::find(attached.nodes.begin(), attached.nodes.end(), node.id) !=
             attached.nodes.end();
    });
    if (attached.app) {
      attached.app->Leave();
      for (const std::string& port : attached.layout.ports) appPorts_.erase(port);
    } else {
      if (const auto it = bootPrograms_.find(attached.layout.ports.front());
          it != bootPrograms_.end()) {
        it->second->Disconnect();  // a board pulled in the middle of a transfer
      }
      bootPorts_.Detach(attached.layout.ports.front());
      bootPrograms_.erase(attached.layout.ports.front());
    }
  }

  // Applies what is due by now: applications that restart leave and come back as their boot
  // program at the same location; a boot program that has disconnected leaves.
  void Refresh() {
    const uint64_t now = clock_.NowMs();
    std::vector<Attached> comingBack;
    std::erase_if(attached_, [&](Attached& attached) {
      const auto pulledAt = attached.layout.leavesAtMs;
      if (pulledAt && now >= startMs_ + *pulledAt) {
        Unplug(attached);
        return true;
      }
      bool leaves = false;
      if (attached.app) {
        const auto leavesAt = attached.app->LeavesAt();
        leaves = leavesAt && now >= *leavesAt;
      } else {
        const auto it = bootPrograms_.find(attached.layout.ports.front());
        leaves = it != bootPrograms_.end() && !it->second->Connected();
      }
      if (!leaves) return false;
      Unplug(attached);
      if (attached.app && attached.app->ComesBack()) comingBack.push_back(attached);
      return true;
    });
    for (const Attached& attached : comingBack) {
      Plug(ComingBackAs(attached.layout), attached.slot);
    }
    // Boards plugged in by the script, in their order.
    std::erase_if(arriving_, [&](const SimUsbDevice& device) {
      if (now < startMs_ + device.arrivesAtMs) return false;
      Plug(device, ++slots_);
      return true;
    });
  }

  Clock& clock_;
  std::mutex mutex_;
  std::vector<Node> nodes_;
  std::vector<Attached> attached_;
  std::map<std::string, AppPort> appPorts_;
  std::shared_ptr<std::mutex> openMutex_ = std::make_shared<std::mutex>();
  SimSerialPorts bootPorts_;
  std::map<std::string, std::shared_ptr<SimDevice>> bootPrograms_;
  DevInst nextNode_ = 0x10;
  int slots_ = 0;
  const uint64_t startMs_;
  std::vector<SimUsbDevice> arriving_;  // boards the script plugs in later
};

SimUsbDevice Application(std::vector<std::string> ports, std::string location, std::string bootPort,
                         std::string product = "0A01",
                         SimAppBehaviour behaviour = SimAppBehaviour::Switches) {
  SimUsbDevice device;
  device.ports = std::move(ports);
  device.location = std::move(location);
  device.product = std::move(product);
  device.behaviour = behaviour;
  device.bootPort = std::move(bootPort);
  return device;
}

std::string Location(int port) {
  char text[32];
  std::snprintf(text, sizeof text, "Port_#%04d.Hub_#0001", port);
  return text;
}

// A board of the station's script at place (1 to 4) of its hub.
SimUsbDevice ScriptedBoard(int number, int place, uint64_t arrivesAtMs,
                           std::optional<uint64_t> leavesAtMs) {
  SimUsbDevice board = Application({"COM" + std::to_string(20 + number)},
                                   "Port_#000" + std::to_string(place) + ".Hub_#0002",
                                   "COM" + std::to_string(40 + number), "0A02");
  char serial[16];
  std::snprintf(serial, sizeof serial, "SIM%04d", number);
  board.serial = serial;
  board.arrivesAtMs = arrivesAtMs;
  board.leavesAtMs = leavesAtMs;
  return board;
}

SimFault FailingVerify() {
  SimFault fault;
  fault.kind = SimFaultKind::Status;
  fault.code = SIM_CODE_VERIFY;
  fault.status = SIM_STATUS_VERIFY_MISMATCH;
  return fault;
}

}  // namespace

std::vector<SimUsbDevice> StationScript() {
  std::vector<SimUsbDevice> boards;
  boards.push_back(ScriptedBoard(1, 1, 0, 3000));
  boards.push_back(ScriptedBoard(2, 2, 200, 3200));
  boards.back().bootFaults = {FailingVerify()};
  // Pulled in the middle of its download: gone once 1200 bytes have reached it.
  boards.push_back(ScriptedBoard(3, 3, 400, std::nullopt));
  SimFault pulled;
  pulled.kind = SimFaultKind::Disconnect;
  pulled.afterBytes = 1200;
  boards.back().bootFaults = {pulled};
  boards.push_back(ScriptedBoard(4, 4, 600, 9000));
  boards.back().behaviour = SimAppBehaviour::Silent;
  // Plugged in already running its boot program.
  boards.push_back(ScriptedBoard(5, 1, 5200, 8000));
  boards.back().role = SimRole::BootProgram;
  boards.push_back(ScriptedBoard(6, 2, 5400, 8200));
  boards.push_back(ScriptedBoard(7, 3, 5600, 8400));
  boards.back().bootFaults = {FailingVerify()};
  boards.push_back(ScriptedBoard(8, 1, 10000, 12000));
  boards.push_back(ScriptedBoard(9, 2, 10200, 12200));
  return boards;
}

std::unique_ptr<SimulatedBus> MakeSimulatedBus(const std::vector<SimUsbDevice>& devices,
                                               Clock& clock) {
  // Every device needs a port, and a port name may belong to one device only.
  std::set<std::string> names;
  for (const SimUsbDevice& device : devices) {
    if (device.ports.empty()) return nullptr;
    for (const std::string& port : device.ports) {
      if (!names.insert(port).second) return nullptr;
    }
    if (device.role == SimRole::Application && !names.insert(device.bootPort).second) {
      return nullptr;
    }
  }
  return std::make_unique<Bus>(devices, clock);
}

std::unique_ptr<SimulatedBus> MakeSimulatedBus(std::string_view scenario, Clock& clock) {
  std::vector<SimUsbDevice> devices;
  if (scenario == "demo") {
    devices = {Application({"COM5", "COM6"}, Location(2), "COM9"),
               Application({"COM7"}, Location(3), "COM10", "0A02"),
               BootProgramAt("COM8", Location(4))};
  } else if (scenario == "never-returns") {
    devices = {
        Application({"COM5", "COM6"}, Location(2), "COM9", "0A01", SimAppBehaviour::NeverReturns)};
  } else if (scenario == "wrong-reply") {
    devices = {
        Application({"COM5", "COM6"}, Location(2), "COM9", "0A01", SimAppBehaviour::WrongReply)};
  } else if (scenario == "silent-app") {
    devices = {Application({"COM7"}, Location(3), "COM10", "0A02", SimAppBehaviour::Silent)};
  } else if (scenario == "two-boot-programs") {
    devices = {BootProgramAt("COM8", Location(1)),
               Application({"COM5", "COM6"}, Location(2), "COM9")};
  } else if (scenario == "crowded") {
    for (int i = 0; i < 16; ++i) {
      devices.push_back(
          Application({"COM" + std::to_string(100 + 2 * i), "COM" + std::to_string(101 + 2 * i)},
                      Location(i + 1), "COM" + std::to_string(200 + i)));
    }
  } else if (scenario == "station") {
    devices = StationScript();
  } else if (scenario == "hub") {
    for (int i = 0; i < 16; ++i) {
      devices.push_back(Application({"COM" + std::to_string(20 + i)}, Location(i + 1),
                                    "COM" + std::to_string(40 + i), "0A02"));
    }
  } else {
    return nullptr;
  }
  return MakeSimulatedBus(devices, clock);
}

}  // namespace iapflash
