#include "link/link.h"

#include <array>
#include <cstring>
#include <new>

#include "console/log.h"
#include "link/mode_switch.h"

namespace iapflash {
namespace {

constexpr uint8_t RESET_CODE = 6;

// Copies a NUL-terminated field of a fixed width, never past either end.
template <std::size_t To, std::size_t From>
void CopyField(char (&to)[To], const char (&from)[From]) {
  std::memset(to, 0, To);
  const std::size_t limit = (To < From ? To : From) - 1;
  const void* end = std::memchr(from, '\0', limit);
  const std::size_t length =
      end ? static_cast<std::size_t>(static_cast<const char*>(end) - from) : limit;
  std::memcpy(to, from, length);
}

// Judges a reply read by one synchronous read of 6 bytes; the steps shared by both reads.
bool ReadReply(Station& station, SerialPort& port, uint8_t code, uint8_t& status,
               uint32_t& length) {
  std::array<uint8_t, 64> reply{};
  const IoResult read = port.Read(reply.data(), STATUS_REPLY_SIZE);
  if (!read.ok) {
    length = 0;
    LogLine(station.panel, "    串口读失败.");
    return false;
  }
  if (read.count != STATUS_REPLY_SIZE) {
    LogLine(station.panel, "    串口读操作返回长度错误(%d-%d-%X).", static_cast<int>(read.count),
            static_cast<int>(STATUS_REPLY_SIZE), static_cast<unsigned>(read.error));
    length = read.count;
    return false;
  }
  length = STATUS_REPLY_SIZE;
  if (reply[0] != FRAME_HEAD_0 || reply[1] != FRAME_HEAD_1 || reply[2] != (code | 0x80)) {
    return false;  // the caller reports it
  }
  status = reply[4];
  return true;
}

}  // namespace

LinkHandle LinkOpen(Station& station) {
  const int selected = station.panel.SelectedDevice();
  // An index the table does not hold counts as no selection, so nothing stale is ever read.
  if (selected < 0 || selected >= station.deviceCount ||
      static_cast<std::size_t>(selected) >= station.devices.size()) {
    LogLine(station.panel, "    没有选择下载设备");
    return LINK_INVALID;
  }

  // Copied once: a scan may rewrite the table while the download runs.
  const DeviceEntry& entry = station.devices[static_cast<std::size_t>(selected)];
  char portName[PORT_NAME_SIZE];
  CopyField(portName, entry.ports[0].portName);
  const bool inIapMode = entry.inIapMode != 0;
  char locationInfo[sizeof entry.locationInfo];
  CopyField(locationInfo, entry.locationInfo);

  if (!inIapMode && !EnterIapMode(station, portName, portName, locationInfo)) {
    LogLine(station.panel, "    失败.");
    return LINK_INVALID;
  }

  SystemError error = 0;
  LinkHandle link = station.ports.Open(portName, error);
  if (!link) {
    LogLine(station.panel, "    %s打开失败", portName);
    LogLastError(station.panel, "打开串口:", error);
    return LINK_INVALID;
  }
  LogLine(station.panel, "    %s打开成功", portName);

  // The results are not looked at: the port is used as it then stands.
  link->SetQueueSizes(LINK_QUEUE_SIZE, LINK_QUEUE_SIZE);
  SerialTimeouts timeouts;
  link->GetTimeouts(timeouts);
  timeouts.readInterval = 0;
  timeouts.readMultiplier = LINK_READ_MULTIPLIER_MS;
  timeouts.readConstant = LINK_READ_CONSTANT_MS;
  timeouts.writeMultiplier = LINK_WRITE_MULTIPLIER_MS;
  timeouts.writeConstant = LINK_WRITE_CONSTANT_MS;
  link->SetTimeouts(timeouts);
  link->Purge();
  LineSettings line;
  link->GetLineSettings(line);
  line.baudRate = LINK_BAUD_RATE;
  line.byteSize = 8;
  line.parity = NO_PARITY;
  line.stopBits = ONE_STOP_BIT;
  link->SetLineSettings(line);
  return link;
}

void LinkClose(Station& station, LinkHandle& link) {
  if (link == LINK_INVALID) {
    LogLine(station.panel, "    下载接口未打开，无需关闭");
    return;
  }
  link.reset();
  LogLine(station.panel, "    已关闭。");
}

bool LinkWrite(Station& station, const LinkHandle& link, const uint8_t* payload, uint32_t& length) {
  const uint32_t payloadLength = length;
  // A failed reset write is expected (the device may already be restarting) and stays quiet.
  const bool isReset = payloadLength > 0 && payload[0] == RESET_CODE;
  length = 0;
  if (link == LINK_INVALID || payloadLength > UINT32_MAX - 3) {
    if (!isReset) LogLine(station.panel, "    串口写失败");
    return false;
  }
  link->Purge();

  const uint32_t frameLength = payloadLength + 3;
  std::unique_ptr<uint8_t[]> frame(new (std::nothrow) uint8_t[frameLength]());
  if (!frame) {
    if (!isReset) LogLine(station.panel, "    串口写失败");
    return false;
  }
  uint8_t checksum = 0;
  for (uint32_t i = 0; i < payloadLength; ++i)
    checksum = static_cast<uint8_t>(checksum + payload[i]);
  frame[0] = FRAME_HEAD_0;
  frame[1] = FRAME_HEAD_1;
  if (payloadLength > 0) std::memcpy(frame.get() + 2, payload, payloadLength);
  frame[frameLength - 1] = checksum;

  const IoResult written = link->Write(frame.get(), frameLength);
  if (!written.ok) {
    if (!isReset) {
      LogLastError(station.panel, "WriteFile", written.error);
      LogLine(station.panel, "    串口写失败");
    }
    return false;
  }
  length = written.count;
  if (written.count != frameLength) {
    LogLine(station.panel, "    串口写超时(%d-%d)", static_cast<int>(written.count),
            static_cast<int>(payloadLength));
    return false;
  }
  return true;
}

bool LinkReadStatus(Station& station, const LinkHandle& link, uint8_t code, uint8_t& status,
                    uint32_t& length) {
  length = STATUS_REPLY_SIZE;
  if (link == LINK_INVALID) {
    length = 0;
    LogLine(station.panel, "    串口读失败.");
    return false;
  }
  return ReadReply(station, *link, code, status, length);
}

bool LinkReadStatusWait(Station& station, const LinkHandle& link, uint8_t code, uint8_t& status,
                        uint32_t& length, uint32_t budgetMs) {
  length = STATUS_REPLY_SIZE;
  if (link == LINK_INVALID) {
    length = 0;
    LogLine(station.panel, "    串口读失败.");
    return false;
  }
  // Greater-than, not greater-or-equal: a budget of 10000 ms allows 21 waits.
  for (uint64_t waited = 0;; waited += LINK_WAIT_STEP_MS) {
    uint32_t queued = 0;
    link->QueuedInput(queued);
    if (queued >= STATUS_REPLY_SIZE) break;
    if (waited > budgetMs) return false;
    station.clock.SleepMs(LINK_WAIT_STEP_MS);
    LogAppend(station.panel, ".");
  }
  return ReadReply(station, *link, code, status, length);
}

}  // namespace iapflash
