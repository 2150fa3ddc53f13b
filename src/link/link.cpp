#include "link/link.h"

#include <array>
#include <string>
#include <vector>

#include "link/mode_switch.h"
#include "link/port_settings.h"

namespace iapflash {
LinkError Link::Send(std::span<const uint8_t> packet, bool quiet) {
  // A frame with no command in it means nothing to the device; nothing goes out.
  if (packet.empty()) {
    if (!quiet) LogLine(env_->log, "    串口写失败");
    return LinkError::WriteFailed;
  }
  port_->Purge();
  std::vector<uint8_t> frame;
  frame.reserve(packet.size() + 3);
  frame.push_back(FRAME_HEAD_0);
  frame.push_back(FRAME_HEAD_1);
  uint8_t checksum = 0;
  for (const uint8_t byte : packet) {
    frame.push_back(byte);
    checksum = static_cast<uint8_t>(checksum + byte);
  }
  frame.push_back(checksum);

  const auto frameLength = static_cast<uint32_t>(frame.size());
  const IoResult written = port_->Write(frame.data(), frameLength);
  if (!written.ok) {
    if (!quiet) {
      LogLastError(env_->log, "WriteFile", written.error);
      LogLine(env_->log, "    串口写失败");
    }
    return LinkError::WriteFailed;
  }
  if (written.count != frameLength) {
    if (!quiet) {
      LogLine(env_->log, "    串口写超时(%d-%d)", static_cast<int>(written.count),
              static_cast<int>(packet.size()));
    }
    return LinkError::WriteShort;
  }
  return LinkError::None;
}

CommandResult Link::Exchange(std::span<const uint8_t> packet,
                             std::optional<uint32_t> waitBudgetMs) {
  const LinkError sent = Send(packet);
  if (sent != LinkError::None) return {sent, 0};
  const uint8_t code = packet[0];
  if (waitBudgetMs) {
    // Greater-than, not greater-or-equal: a budget of 10000 ms allows 21 waits.
    for (uint64_t waited = 0;; waited += LINK_WAIT_STEP_MS) {
      uint32_t queued = 0;
      // A port that cannot say what it holds has failed (gone, or its server closed): the read
      // then tells the system's words for it at once, instead of the budget's dots.
      if (!port_->QueuedInput(queued)) return ReadStatus(code, true);
      if (queued >= STATUS_REPLY_SIZE) break;
      if (waited > *waitBudgetMs) return {LinkError::NoReply, 0};
      env_->clock.SleepMs(LINK_WAIT_STEP_MS);
      LogAppend(env_->log, ".");
    }
  }
  return ReadStatus(code);
}

CommandResult Link::ReadStatus(uint8_t code, bool portFailed) {
  std::array<uint8_t, STATUS_REPLY_SIZE> reply{};
  const IoResult read = port_->Read(reply.data(), STATUS_REPLY_SIZE);
  if (!read.ok) {
    if (portFailed) LogLastError(env_->log, "ReadFile", read.error);
    LogLine(env_->log, "    串口读失败.");
    return {LinkError::ReadFailed, 0};
  }
  if (read.count != STATUS_REPLY_SIZE) {
    LogLine(env_->log, "    串口读操作返回长度错误(%d-%d-%X).", static_cast<int>(read.count),
            static_cast<int>(STATUS_REPLY_SIZE), static_cast<unsigned>(read.error));
    return {LinkError::ShortReply, 0};
  }
  if (reply[0] != FRAME_HEAD_0 || reply[1] != FRAME_HEAD_1 || reply[2] != (code | 0x80)) {
    return {LinkError::WrongEcho, 0};
  }
  const uint8_t status = reply[4];
  return {status == 0 ? LinkError::None : LinkError::DeviceStatus, status};
}

LinkOpening LinkOpen(LinkEnv& env, const DeviceEntry& device) {
  // An entry without a port cannot come from a scan; it opens nothing.
  std::string portName = device.ports.empty() ? std::string() : device.ports[0].portName;
  if (!device.inIapMode) {
    std::optional<std::string> iapPort = EnterIapMode(env, portName, device.locationInfo);
    if (!iapPort) {
      LogLine(env.log, "    失败.");
      return {std::nullopt, FailureLayer::ModeSwitch};
    }
    portName = std::move(*iapPort);
  }

  std::unique_ptr<SerialPort> port =
      OpenConfigured(env, portName, PortRole::Download, DOWNLOAD_PORT_SETTINGS);
  if (!port) return {std::nullopt, FailureLayer::Port};
  return {Link(std::move(port), env), FailureLayer::None};
}

void LinkClose(LogSink& log, std::optional<Link>& link) {
  if (!link) {
    LogLine(log, "    下载接口未打开，无需关闭");
    return;
  }
  link.reset();
  LogLine(log, "    已关闭。");
}

}  // namespace iapflash
