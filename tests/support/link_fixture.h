#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agreeable_port.h"
#include "link/link.h"
#include "log/log.h"
#include "recording_panel.h"
#include "sim/sim_device.h"
#include "sim/sim_serial_port.h"
#include "virtual_clock.h"

namespace iapflash::testing {

// The pane lines of a system error as the log console words it (on Windows the system's text
// ends in its own line end, which adds an empty line).
inline std::vector<std::string> LastErrorLines(const char* caption, SystemError code) {
  RecordingPanel panel;
  LogLastError(panel, caption, code);
  return panel.Lines();
}

// A device tree with nothing in it.
class EmptyDeviceTree final : public DeviceTree {
 public:
  std::unique_ptr<DeviceSet> Present(DeviceClass) override { return nullptr; }
  bool Parent(DevInst, DevInst&) override { return false; }
  bool InstanceId(DevInst, std::string&) override { return false; }
  bool NodeProperty(DevInst, DeviceProperty, std::string&) override { return false; }
};

// A device entry as a scan finds it: one port, at a fixed USB location.
inline DeviceEntry OnePortDevice(const std::string& portName, bool inIapMode) {
  DeviceEntry entry;
  entry.ports.push_back(PortEntry{.portName = portName});
  entry.inIapMode = inIapMode;
  entry.locationInfo = "Port_#0001.Hub_#0002";
  return entry;
}

// A simulated boot program on the port "SIM7" (the entry `sim7`), a run's log and events, and
// virtual time.
class SimStationTest : public ::testing::Test {
 protected:
  SimStationTest() { ports.Attach("SIM7", device); }

  // Opens the link to sim7; fails the test when it does not open.
  std::optional<Link> OpenSim7() {
    LinkOpening opening = LinkOpen(env, sim7);
    EXPECT_TRUE(opening.link.has_value()) << panel.Log();
    return std::move(opening.link);
  }

  void Fault(const char* text) {
    const auto fault = ParseSimFault(text);
    ASSERT_TRUE(fault) << text;
    device->AddFault(*fault);
  }

  // Frames the device received, in order.
  std::vector<std::vector<uint8_t>> Frames() const {
    std::vector<std::vector<uint8_t>> frames;
    for (const auto& command : device->Commands()) frames.push_back(command.frame);
    return frames;
  }

  VirtualClock clock;
  RecordingPanel panel;
  SimSerialPorts ports{clock};
  EmptyDeviceTree tree;
  std::shared_ptr<SimDevice> device = std::make_shared<SimDevice>();
  RecordingEvents events;
  LinkEnv env{ports, tree, clock, panel, events};
  const DeviceEntry sim7 = OnePortDevice("SIM7", true);
};

// A port that plays back scripted results, for the failures a healthy device never shows.
class ScriptedPort final : public AgreeablePort {
 public:
  struct Reply {
    IoResult result;
    std::vector<uint8_t> bytes;
  };

  bool Purge() override {
    ++purges;
    return true;
  }
  bool QueuedInput(uint32_t& count) override {
    count = reads.empty() ? 0 : static_cast<uint32_t>(reads.front().bytes.size());
    return true;
  }
  IoResult Read(uint8_t* buffer, uint32_t size) override {
    if (reads.empty()) return {true, 0, 0};
    Reply reply = reads.front();
    reads.pop_front();
    reply.result.count = std::min<uint32_t>(size, static_cast<uint32_t>(reply.bytes.size()));
    if (reply.result.count > 0) std::memcpy(buffer, reply.bytes.data(), reply.result.count);
    return reply.result;
  }
  IoResult Write(const uint8_t* data, uint32_t size) override {
    written.emplace_back(data, data + size);
    if (writeResult) return *writeResult;
    return {true, size, 0};
  }

  std::deque<Reply> reads;
  std::optional<IoResult> writeResult;
  std::vector<std::vector<uint8_t>> written;
  int purges = 0;
};

}  // namespace iapflash::testing
