#include "link/mode_switch.h"

#include <cstring>
#include <memory>
#include <string>

#include "discovery/maker_ids.h"
#include "link/port_settings.h"

namespace iapflash {
namespace {

// Sends the request and reads the reply; false when the port failed or nothing usable came back.
bool RequestIapMode(LinkEnv& env, SerialPort& port) {
  LogSink& log = env.log;
  LogLine(log, "    开始切换至IAP模式");
  env.events.OnEvent(ModeSwitchStep{SwitchStage::Requested, {}});
  const IoResult written = port.Write(reinterpret_cast<const uint8_t*>(IAP_MODE_REQUEST.data()),
                                      static_cast<uint32_t>(IAP_MODE_REQUEST.size()));
  if (!written.ok) {
    LogLastError(log, "    发送模式请求失败:", written.error);
    return false;
  }
  LogAppend(log, ".");

  // Zeroed beyond the reply, so what arrived always reads as text.
  char reply[64] = {};
  const IoResult read =
      port.Read(reinterpret_cast<uint8_t*>(reply), static_cast<uint32_t>(IAP_MODE_REPLY.size()));
  if (!read.ok) {
    LogLastError(log, "    等待模式应答失败:", read.error);
    return false;
  }
  if (read.count < IAP_MODE_REPLY.size()) {
    LogLine(log, "    设备无响应1:%s", reply);
    return false;
  }
  if (std::memcmp(reply, IAP_MODE_REPLY.data(), IAP_MODE_REPLY.size()) != 0) {
    LogLine(log, "    设备无响应2:%s", reply);
  }
  return true;
}

// A remote port's device comes back behind the same address (a server that names it by its USB
// path reaches the boot program there): found when the server opens it again and keeps it.
bool ReachedAgain(SerialPorts& ports, const std::string& port) {
  SystemError error = 0;
  const std::unique_ptr<SerialPort> again = ports.Open(port, error);
  uint32_t queued = 0;
  return again && again->QueuedInput(queued);
}

// Whether the server hangs up the application's connection within REMOTE_HANGUP_WAIT_MS: it
// does when the device leaves to restart, and until then it would open the application again.
bool HungUp(Clock& clock, SerialPort& application) {
  for (uint32_t waited = 0; waited < REMOTE_HANGUP_WAIT_MS; waited += REMOTE_HANGUP_STEP_MS) {
    uint32_t queued = 0;
    if (!application.QueuedInput(queued)) return true;
    clock.SleepMs(REMOTE_HANGUP_STEP_MS);
  }
  uint32_t queued = 0;
  return !application.QueuedInput(queued);
}

// The search behind a server. After its hang-up, the address is opened at once and then after
// each pause; a server that cannot open the device yet, or drops the connection again, is tried
// again. A server that kept the connection gets the pause before every try instead.
std::optional<std::string> FindBehindServer(LinkEnv& env, const std::string& address,
                                            std::unique_ptr<SerialPort> application) {
  const bool hungUp = HungUp(env.clock, *application);
  application.reset();
  for (unsigned attempt = 0; attempt < IAP_SEARCH_ATTEMPTS; ++attempt) {
    if (!hungUp) {
      env.clock.SleepMs(IAP_SEARCH_INTERVAL_MS);
      LogAppend(env.log, ".");
    }
    if (ReachedAgain(env.ports, address)) {
      LogLine(env.log, "已切换,端口:%s", address.c_str());
      env.events.OnEvent(ModeSwitchStep{SwitchStage::Found, address});
      return address;
    }
    if (hungUp) {
      env.clock.SleepMs(IAP_SEARCH_INTERVAL_MS);
      LogAppend(env.log, ".");
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> EnterIapMode(LinkEnv& env, const std::string& appPort,
                                        std::string_view locationInfo) {
  {
    std::unique_ptr<SerialPort> port =
        OpenConfigured(env, appPort, PortRole::Application, APPLICATION_PORT_SETTINGS);
    if (!port) return std::nullopt;
    if (!RequestIapMode(env, *port)) return std::nullopt;
    // Behind a server the connection stays until the server hangs it up.
    if (IsRemotePortName(appPort)) return FindBehindServer(env, appPort, std::move(port));
  }  // The application's port is closed before the device is looked for.

  for (unsigned attempt = 0; attempt < IAP_SEARCH_ATTEMPTS; ++attempt) {
    if (std::optional<std::string> iapPort = FindIapPort(env.tree, locationInfo)) {
      LogLine(env.log, "已切换,端口:%s", iapPort->c_str());
      env.events.OnEvent(ModeSwitchStep{SwitchStage::Found, *iapPort});
      return iapPort;
    }
    env.clock.SleepMs(IAP_SEARCH_INTERVAL_MS);
    LogAppend(env.log, ".");
  }
  return std::nullopt;
}

std::optional<std::string> FindIapPort(DeviceTree& tree, std::string_view locationInfo) {
  std::unique_ptr<DeviceSet> set = tree.Present(DeviceClass::UsbDevice);
  if (!set) return std::nullopt;
  std::string text;
  DevInst node = 0;
  for (uint32_t index = 0; set->Member(index, node); ++index) {
    if (!tree.InstanceId(node, text)) continue;
    if (!ContainsBootProgramId(std::string_view(text.c_str()), true)) continue;
    if (!set->Property(index, DeviceProperty::LocationInformation, text)) continue;
    if (std::string_view(text.c_str()) != locationInfo) continue;
    if (!set->PortName(index, text)) continue;
    // A cut name would open another port: a name that does not fit is refused.
    const std::string_view name(text.c_str());
    if (name.size() >= PORT_NAME_SIZE) continue;
    return std::string(name);
  }
  return std::nullopt;
}

}  // namespace iapflash
