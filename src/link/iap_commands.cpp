#include "link/iap_commands.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

namespace iapflash {
namespace {

using Packet = std::array<uint8_t, IAP_PACKET_MAX>;

void PutBigEndian(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value >> 24);
  at[1] = static_cast<uint8_t>(value >> 16);
  at[2] = static_cast<uint8_t>(value >> 8);
  at[3] = static_cast<uint8_t>(value);
}

constexpr std::size_t BOUNDARY_PACKET_SIZE = 14;

bool IsReadFailure(LinkError error) {
  return error == LinkError::ReadFailed || error == LinkError::NoReply ||
         error == LinkError::ShortReply || error == LinkError::WrongEcho;
}

// The start or end command: its 14-byte packet, the exchange and the command's own messages.
CommandResult Boundary(Link& link, IapCode code, uint32_t imageLength, uint32_t imageChecksum,
                       std::optional<uint32_t> waitBudgetMs, const char* sendFailure,
                       const char* readFailure) {
  Packet packet{};
  packet[0] = static_cast<uint8_t>(code);
  packet[1] = 12;
  PutBigEndian(&packet[2], imageLength);
  PutBigEndian(&packet[6], imageChecksum);
  const CommandResult result =
      link.Exchange(std::span(packet.data(), BOUNDARY_PACKET_SIZE), waitBudgetMs);
  LogSink& log = link.Env().log;
  if (result.error == LinkError::WriteFailed || result.error == LinkError::WriteShort) {
    LogLine(log, "%s", sendFailure);
  } else if (IsReadFailure(result.error)) {
    LogLine(log, "%s", readFailure);
  } else if (result.error == LinkError::DeviceStatus) {
    LogLine(log, "  命令执行错误.[%X].", static_cast<unsigned>(result.status));
  }
  return result;
}

}  // namespace

CommandResult IapStart(Link& link, uint32_t imageLength, uint32_t imageChecksum) {
  return Boundary(link, IapCode::Start, imageLength, imageChecksum, IAP_START_BUDGET_MS,
                  "  ZVQMcuIAP_START send data failure", "  Read status failure.");
}

CommandResult IapEnd(Link& link, uint32_t imageLength, uint32_t imageChecksum) {
  return Boundary(link, IapCode::End, imageLength, imageChecksum, std::nullopt,
                  "  ZVQMcuIAP_END send data failure", "  Read status failure..");
}

CommandResult IapTransferImage(Link& link, IapCode code, std::span<const uint8_t> image) {
  LinkEnv& env = link.Env();
  const auto length = static_cast<uint32_t>(image.size());
  const ImagePass pass = code == IapCode::Program ? ImagePass::Program : ImagePass::Verify;
  env.events.OnEvent(PassProgress{pass, 0, length});
  uint32_t offset = 0;
  while (offset < length) {
    const uint32_t chunk = std::min(length - offset, IAP_CHUNK_MAX);
    Packet packet{};
    packet[0] = static_cast<uint8_t>(code);
    packet[1] = static_cast<uint8_t>(chunk + 4);
    PutBigEndian(&packet[2], offset);
    std::memcpy(&packet[6], image.data() + offset, chunk);

    const CommandResult result = link.Exchange(std::span(packet.data(), 6 + chunk));
    if (result.error == LinkError::WriteFailed || result.error == LinkError::WriteShort) {
      LogLine(env.log, "    发送命令包失败.[%X>%dB].", static_cast<unsigned>(offset),
              static_cast<int>(chunk));
      return result;
    }
    if (IsReadFailure(result.error)) {
      LogLine(env.log, "  Read status failure.[%X>%dB].", static_cast<unsigned>(offset),
              static_cast<int>(chunk));
      return result;
    }
    if (result.error == LinkError::DeviceStatus) {
      LogLine(env.log, "  [%08X]%s(%X).", static_cast<unsigned>(offset),
              code == IapCode::Program ? "编程" : "检验", static_cast<unsigned>(result.status));
      return result;
    }
    offset += chunk;
    env.events.OnEvent(PassProgress{pass, offset, length});
    if ((offset & 0x3FF) == 0) LogAppend(env.log, ".");
  }
  return {};
}

bool IapReset(Link& link) {
  const uint8_t packet[2] = {static_cast<uint8_t>(IapCode::Reset), 0};
  return link.Send(packet, true) == LinkError::None;
}

}  // namespace iapflash
