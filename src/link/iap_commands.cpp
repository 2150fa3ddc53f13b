#include "link/iap_commands.h"

#include <array>
#include <cstring>

#include "console/log.h"

namespace iapflash {
namespace {

using Packet = std::array<uint8_t, IAP_PACKET_MAX>;

void PutBigEndian(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value >> 24);
  at[1] = static_cast<uint8_t>(value >> 16);
  at[2] = static_cast<uint8_t>(value >> 8);
  at[3] = static_cast<uint8_t>(value);
}

// The 14-byte start or end packet.
Packet BoundaryPacket(uint8_t code, uint32_t imageLength, uint32_t imageChecksum) {
  Packet packet{};
  packet[0] = code;
  packet[1] = 12;
  PutBigEndian(&packet[2], imageLength);
  PutBigEndian(&packet[6], imageChecksum);
  return packet;
}

constexpr uint32_t BOUNDARY_PACKET_SIZE = 14;

}  // namespace

bool IapStart(Station& station, const LinkHandle& link, uint32_t imageLength,
              uint32_t imageChecksum) {
  const Packet packet = BoundaryPacket(ZVQMcuIAP_START, imageLength, imageChecksum);
  uint32_t length = BOUNDARY_PACKET_SIZE;
  if (!LinkWrite(station, link, packet.data(), length)) {
    LogLine(station.panel, "  ZVQMcuIAP_START send data failure");
    return false;
  }
  uint8_t status = 0;
  if (!LinkReadStatusWait(station, link, ZVQMcuIAP_START, status, length, IAP_START_BUDGET_MS)) {
    LogLine(station.panel, "  Read status failure.");
    return false;
  }
  if (status != 0) {
    LogLine(station.panel, "  命令执行错误.[%X].", static_cast<unsigned>(status));
    return false;
  }
  return true;
}

bool IapEnd(Station& station, const LinkHandle& link, uint32_t imageLength,
            uint32_t imageChecksum) {
  const Packet packet = BoundaryPacket(ZVQMcuIAP_END, imageLength, imageChecksum);
  uint32_t length = BOUNDARY_PACKET_SIZE;
  if (!LinkWrite(station, link, packet.data(), length)) {
    LogLine(station.panel, "  ZVQMcuIAP_END send data failure");
    return false;
  }
  uint8_t status = 0;
  if (!LinkReadStatus(station, link, ZVQMcuIAP_END, status, length)) {
    LogLine(station.panel, "  Read status failure..");
    return false;
  }
  if (status != 0) {
    LogLine(station.panel, "  命令执行错误.[%X].", static_cast<unsigned>(status));
    return false;
  }
  return true;
}

bool IapTransferImage(Station& station, const LinkHandle& link, uint8_t code, uint32_t startOffset,
                      const uint8_t* image, uint32_t length) {
  uint32_t offset = startOffset;
  uint32_t remaining = length;
  while (remaining != 0) {
    const uint32_t chunk = remaining < IAP_CHUNK_MAX ? remaining : IAP_CHUNK_MAX;
    Packet packet{};
    packet[0] = code;
    packet[1] = static_cast<uint8_t>(chunk + 4);
    PutBigEndian(&packet[2], offset);
    std::memcpy(&packet[6], image + offset, chunk);

    uint32_t sent = 6 + chunk;
    if (!LinkWrite(station, link, packet.data(), sent)) {
      LogLine(station.panel, "    发送命令包失败.[%X>%dB].", static_cast<unsigned>(offset),
              static_cast<int>(chunk));
      return false;
    }
    uint8_t status = 0;
    uint32_t received = 0;
    if (!LinkReadStatus(station, link, code, status, received)) {
      LogLine(station.panel, "  Read status failure.[%X>%dB].", static_cast<unsigned>(offset),
              static_cast<int>(chunk));
      return false;
    }
    if (status != 0) {
      LogLine(station.panel, "  [%08X]%s(%X).", static_cast<unsigned>(offset),
              code == ZVQMcuIAP_PROG ? "编程" : "检验", static_cast<unsigned>(status));
      return false;
    }
    offset += chunk;
    remaining -= chunk;
    if ((offset & 0x3FF) == 0) LogAppend(station.panel, ".");
  }
  return true;
}

bool IapProgram(Station& station, const LinkHandle& link, const uint8_t* image,
                uint32_t imageLength) {
  return IapTransferImage(station, link, ZVQMcuIAP_PROG, 0, image, imageLength);
}

bool IapVerify(Station& station, const LinkHandle& link, const uint8_t* image,
               uint32_t imageLength) {
  return IapTransferImage(station, link, ZVQMcuIAP_VERIFY, 0, image, imageLength);
}

bool IapReset(Station& station, const LinkHandle& link) {
  const uint8_t packet[2] = {ZVQMcuIAP_RESET, 0};
  uint32_t length = sizeof packet;
  return LinkWrite(station, link, packet, length);
}

}  // namespace iapflash
