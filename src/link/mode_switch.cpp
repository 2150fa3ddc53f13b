#include "link/mode_switch.h"

#include <cstring>
#include <memory>
#include <string>

#include "console/log.h"

namespace iapflash {
namespace {

constexpr uint32_t QUEUE_SIZE = 8192;
constexpr uint32_t BAUD_RATE = 115200;
// A 14-byte reply read gives up after 14 * 1 + 2000 ms.
constexpr SerialTimeouts APPLICATION_TIMEOUTS{.readInterval = 0,
                                              .readMultiplier = 1,
                                              .readConstant = 2000,
                                              .writeMultiplier = 50,
                                              .writeConstant = 500};
// The boot program enumerates with the maker's IAP vendor ID and this product ID.
constexpr std::string_view IAP_VENDOR_MARK = "_7F3C";
constexpr std::string_view IAP_PRODUCT_MARK = "_2C71";

void Configure(SerialPort& port) {
  port.SetQueueSizes(QUEUE_SIZE, QUEUE_SIZE);
  SerialTimeouts timeouts;
  port.GetTimeouts(timeouts);
  timeouts.readInterval = APPLICATION_TIMEOUTS.readInterval;
  timeouts.readMultiplier = APPLICATION_TIMEOUTS.readMultiplier;
  timeouts.readConstant = APPLICATION_TIMEOUTS.readConstant;
  timeouts.writeMultiplier = APPLICATION_TIMEOUTS.writeMultiplier;
  timeouts.writeConstant = APPLICATION_TIMEOUTS.writeConstant;
  port.SetTimeouts(timeouts);
  port.Purge();
  LineSettings line;
  port.GetLineSettings(line);
  line.baudRate = BAUD_RATE;
  line.byteSize = 8;
  line.parity = NO_PARITY;
  line.stopBits = ONE_STOP_BIT;
  port.SetLineSettings(line);
}

// Sends the request and reads the reply; false when the port failed or nothing usable came back.
bool RequestIapMode(Station& station, SerialPort& port) {
  LogLine(station.panel, "    开始切换至IAP模式");
  const IoResult written = port.Write(reinterpret_cast<const uint8_t*>(IAP_MODE_REQUEST.data()),
                                      static_cast<uint32_t>(IAP_MODE_REQUEST.size()));
  if (!written.ok) {
    LogLastError(station.panel, "    发送模式请求失败:", written.error);
    return false;
  }
  LogAppend(station.panel, ".");

  // Zeroed beyond the reply, so what arrived always reads as text.
  char reply[64] = {};
  const IoResult read =
      port.Read(reinterpret_cast<uint8_t*>(reply), static_cast<uint32_t>(IAP_MODE_REPLY.size()));
  if (!read.ok) {
    LogLastError(station.panel, "    等待模式应答失败:", read.error);
    return false;
  }
  if (read.count < IAP_MODE_REPLY.size()) {
    LogLine(station.panel, "    设备无响应1:%s", reply);
    return false;
  }
  if (std::memcmp(reply, IAP_MODE_REPLY.data(), IAP_MODE_REPLY.size()) != 0) {
    LogLine(station.panel, "    设备无响应2:%s", reply);
  }
  return true;
}

}  // namespace

bool EnterIapMode(Station& station, const char* appPort, char (&iapPort)[PORT_NAME_SIZE],
                  const char* locationInfo) {
  {
    SystemError error = 0;
    std::unique_ptr<SerialPort> port = station.ports.Open(appPort, error);
    if (!port) {
      LogLine(station.panel, "    %s打开失败", appPort);
      LogLastError(station.panel, "打开串口:", error);
      return false;
    }
    LogLine(station.panel, "    %s打开成功", appPort);
    Configure(*port);
    if (!RequestIapMode(station, *port)) return false;
  }  // The application's port is closed before the device is looked for.

  for (unsigned attempt = 0; attempt < IAP_SEARCH_ATTEMPTS; ++attempt) {
    if (FindIapPort(station.tree, iapPort, locationInfo)) {
      LogLine(station.panel, "已切换,端口:%s", iapPort);
      return true;
    }
    station.clock.SleepMs(IAP_SEARCH_INTERVAL_MS);
    LogAppend(station.panel, ".");
  }
  return false;
}

bool FindIapPort(DeviceTree& tree, char (&out)[PORT_NAME_SIZE], const char* locationInfo) {
  std::unique_ptr<DeviceSet> set = tree.Present(DeviceClass::UsbDevice);
  if (!set) return false;
  const std::string_view saved = locationInfo ? locationInfo : "";
  std::string text;
  DevInst node = 0;
  for (uint32_t index = 0; set->Member(index, node); ++index) {
    if (!tree.InstanceId(node, text)) continue;
    const std::string_view id(text.c_str());
    if (id.find(IAP_VENDOR_MARK) == std::string_view::npos ||
        id.find(IAP_PRODUCT_MARK) == std::string_view::npos) {
      continue;
    }
    if (!set->Property(index, DeviceProperty::LocationInformation, text)) continue;
    if (std::string_view(text.c_str()) != saved) continue;
    if (!set->PortName(index, text)) continue;
    // A cut name would open another port: a name that does not fit is refused.
    const std::string_view name(text.c_str());
    if (name.size() >= PORT_NAME_SIZE) continue;
    std::memset(out, 0, sizeof out);
    std::memcpy(out, name.data(), name.size());
    return true;
  }
  return false;
}

}  // namespace iapflash
