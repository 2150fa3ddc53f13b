#include "app/device_scan.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "discovery/serial_discovery.h"
#include "log/log.h"

namespace iapflash {
namespace {

constexpr std::size_t LIST_LINE_SIZE = 128;

// "%s Port%d>> " then "P%d:%s," per port, cut at the line buffer's size.
std::string DeviceLine(const DeviceEntry& device, int index) {
  char line[LIST_LINE_SIZE] = {};
  int used = std::snprintf(line, sizeof line, "%s Port%d>> ", device.inIapMode ? "IAP" : "", index);
  const int ports = static_cast<int>(std::min(device.ports.size(), MAX_PORTS_PER_DEVICE));
  for (int p = 0; p < ports && used >= 0 && static_cast<std::size_t>(used) < sizeof line - 1; ++p) {
    const int added = std::snprintf(line + used, sizeof line - static_cast<std::size_t>(used),
                                    "P%d:%s,", p, device.ports[p].portName.c_str());
    if (added < 0) break;
    used += added;
  }
  return line;
}

}  // namespace

uint8_t ScanDevices(Station& station) {
  const int count = DiscoverSerialDevices(station.tree, station.devices);
  LogLine(station.panel, "已查找到%d个设备", count);
  std::vector<std::string> lines;
  lines.reserve(static_cast<std::size_t>(count));
  for (int k = 0; k < count; ++k) lines.push_back(DeviceLine(station.devices[k], k));
  station.panel.ShowDevices(lines, count - 1);
  return static_cast<uint8_t>(count);
}

}  // namespace iapflash
