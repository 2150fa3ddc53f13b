#include "sim/sim_device.h"

#include <algorithm>

namespace iapflash {
namespace {

constexpr uint8_t FRAME_HEAD_0 = 0x57;
constexpr uint8_t FRAME_HEAD_1 = 0xAB;
// The largest packet is 38 bytes: code, count and 36 bytes that follow.
constexpr uint8_t MAX_FOLLOWING = 36;

uint32_t BigEndian(const uint8_t* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
         uint32_t{bytes[3]};
}

}  // namespace

SimDevice::SimDevice() : memory_(SIM_MEMORY_SIZE, 0xFF) {}

void SimDevice::AddFault(const SimFault& fault) {
  std::lock_guard lock(mutex_);
  if (fault.kind == SimFaultKind::Disconnect) {
    disconnectAfter_ = fault.afterBytes;
    if (bytesReceived_ >= fault.afterBytes) connected_ = false;
    return;
  }
  faults_.push_back(fault);
}

void SimDevice::SetWireTiming(const SimWireTiming& timing) {
  std::lock_guard lock(mutex_);
  timing_ = timing;
}

SimTime SimDevice::ByteTime() const {
  if (timing_.baudRate == 0) return SimTime{0};
  return SimTime{10'000'000'000LL / timing_.baudRate};
}

std::size_t SimDevice::Receive(std::span<const uint8_t> bytes, SimTime now) {
  std::lock_guard lock(mutex_);
  const SimTime byteTime = ByteTime();
  SimTime arrival = std::max(now, rxLineFree_);
  std::size_t taken = 0;
  for (const uint8_t value : bytes) {
    if (!connected_) break;
    ++bytesReceived_;
    ++taken;
    arrival += byteTime;
    if (disconnectAfter_ && bytesReceived_ >= *disconnectAfter_) connected_ = false;

    if (frame_.empty() && value != FRAME_HEAD_0) continue;  // noise between frames
    if (frame_.size() == 1 && value != FRAME_HEAD_1) {
      frame_.clear();
      if (value == FRAME_HEAD_0) frame_.push_back(value);
      continue;
    }
    frame_.push_back(value);
    if (frame_.size() == 4 && frame_[3] > MAX_FOLLOWING) {
      // No such packet: refuse it and look for the next frame.
      const uint8_t code = frame_[2];
      SimCommandRecord record;
      record.code = code;
      record.status = SIM_STATUS_BAD_COMMAND;
      record.frame = frame_;
      commands_.push_back(std::move(record));
      frame_.clear();
      if (connected_) {
        QueueReplyLocked({FRAME_HEAD_0, FRAME_HEAD_1, static_cast<uint8_t>(code | 0x80), 0,
                          SIM_STATUS_BAD_COMMAND, 0},
                         arrival + std::chrono::microseconds(timing_.latencyUs));
      }
      continue;
    }
    if (frame_.size() >= 4 && frame_.size() == std::size_t{frame_[3]} + 5u) {
      ProcessFrameLocked(arrival);
      frame_.clear();
    }
  }
  rxLineFree_ = std::max(rxLineFree_, arrival);
  return taken;
}

std::optional<SimFault> SimDevice::TakeFaultLocked(uint8_t code, std::optional<uint32_t> offset) {
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (it->code != 0 && it->code != code) continue;
    if (it->offset && (!offset || *it->offset != *offset)) continue;
    SimFault fault = *it;
    faults_.erase(it);
    return fault;
  }
  return {};
}

void SimDevice::ProcessFrameLocked(SimTime frameEnd) {
  // frame_: 0x57 0xAB code count following... checksum
  const std::size_t payloadSize = frame_.size() - 3;
  const uint8_t* payload = frame_.data() + 2;
  uint8_t sum = 0;
  for (std::size_t i = 0; i < payloadSize; ++i) sum = static_cast<uint8_t>(sum + payload[i]);

  SimCommandRecord record;
  record.code = payload[0];
  record.frame = frame_;
  record.frameChecksumOk = sum == frame_.back();
  const uint8_t following = payload[1];
  const uint8_t* data = payload + 2;

  std::optional<uint32_t> offset;
  uint8_t status = SIM_STATUS_OK;
  if (!record.frameChecksumOk) {
    status = SIM_STATUS_BAD_CHECKSUM;
  } else {
    switch (record.code) {
      case SIM_CODE_START:
      case SIM_CODE_END: {
        if (following != 12) {
          status = SIM_STATUS_BAD_COMMAND;
          break;
        }
        record.dataLength = BigEndian(data);
        record.checksum = BigEndian(data + 4);
        if (record.dataLength > SIM_MEMORY_SIZE) {
          status = SIM_STATUS_OUT_OF_RANGE;
        } else if (record.code == SIM_CODE_START) {
          // Starting an update erases the flash.
          std::fill(memory_.begin(), memory_.end(), uint8_t{0xFF});
        } else {
          uint32_t memorySum = 0;
          for (uint32_t i = 0; i < record.dataLength; ++i) memorySum += memory_[i];
          if (memorySum != record.checksum) status = SIM_STATUS_END_MISMATCH;
        }
        break;
      }
      case SIM_CODE_PROG:
      case SIM_CODE_VERIFY: {
        if (following < 5) {
          status = SIM_STATUS_BAD_COMMAND;
          break;
        }
        record.offset = BigEndian(data);
        record.dataLength = following - 4u;
        offset = record.offset;
        const uint8_t* bytes = data + 4;
        if (uint64_t{record.offset} + record.dataLength > SIM_MEMORY_SIZE) {
          status = SIM_STATUS_OUT_OF_RANGE;
        } else if (record.code == SIM_CODE_PROG) {
          std::copy(bytes, bytes + record.dataLength, memory_.begin() + record.offset);
        } else if (!std::equal(bytes, bytes + record.dataLength, memory_.begin() + record.offset)) {
          status = SIM_STATUS_VERIFY_MISMATCH;
        }
        break;
      }
      case SIM_CODE_RESET:
        resetReceived_ = true;
        break;
      default:
        status = SIM_STATUS_BAD_COMMAND;
        break;
    }
  }
  record.status = status;
  const uint8_t code = record.code;
  commands_.push_back(std::move(record));

  if (code == SIM_CODE_RESET && status == SIM_STATUS_OK) return;  // a reset is not answered
  if (!connected_) return;

  SimTime ready = frameEnd + std::chrono::microseconds(timing_.latencyUs);
  if (code == SIM_CODE_PROG) ready += std::chrono::microseconds(timing_.flashWriteUs);
  std::vector<uint8_t> reply = {
      FRAME_HEAD_0, FRAME_HEAD_1, static_cast<uint8_t>(code | 0x80), 0, status, 0};

  const auto fault = TakeFaultLocked(code, offset);
  if (fault) {
    switch (fault->kind) {
      case SimFaultKind::Status:
        reply[4] = fault->status;
        break;
      case SimFaultKind::Silent:
        return;
      case SimFaultKind::ShortReply:
        reply.resize(SIM_REPLY_SIZE - 1);
        break;
      case SimFaultKind::WrongEcho:
        reply[2] =
            static_cast<uint8_t>((code == SIM_CODE_RESET ? SIM_CODE_START : code + 1) | 0x80);
        break;
      case SimFaultKind::Garbage:
        reply = {0xA5, 0x5A, 0xC3, 0x3C, 0x00, 0xFF};
        break;
      case SimFaultKind::SlowStart:
        ready += std::chrono::milliseconds(fault->delayMs);
        break;
      case SimFaultKind::Disconnect:
        break;
    }
  }
  if (reply.size() == SIM_REPLY_SIZE) {
    reply[5] = static_cast<uint8_t>(reply[2] + reply[3] + reply[4]);
  }
  QueueReplyLocked(reply, ready);
}

void SimDevice::QueueReplyLocked(const std::vector<uint8_t>& reply, SimTime ready) {
  const SimTime byteTime = ByteTime();
  SimTime at = std::max(ready, txLineFree_);
  for (const uint8_t value : reply) {
    at += byteTime;
    replies_.push_back({value, at});
  }
  txLineFree_ = at;
}

std::size_t SimDevice::Available(SimTime now) const {
  std::lock_guard lock(mutex_);
  std::size_t count = 0;
  while (count < replies_.size() && replies_[count].at <= now) ++count;
  return count;
}

std::size_t SimDevice::Take(std::span<uint8_t> out, SimTime now) {
  std::lock_guard lock(mutex_);
  std::size_t count = 0;
  while (count < out.size() && count < replies_.size() && replies_[count].at <= now) {
    out[count] = replies_[count].value;
    ++count;
  }
  replies_.erase(replies_.begin(), replies_.begin() + static_cast<std::ptrdiff_t>(count));
  return count;
}

std::optional<SimTime> SimDevice::NextByteAt(SimTime now) const {
  std::lock_guard lock(mutex_);
  for (const auto& pending : replies_) {
    if (pending.at > now) return pending.at;
  }
  return {};
}

std::optional<SimTime> SimDevice::FirstByteAt() const {
  std::lock_guard lock(mutex_);
  if (replies_.empty()) return {};
  return replies_.front().at;
}

std::optional<SimTime> SimDevice::LastByteAt() const {
  std::lock_guard lock(mutex_);
  if (replies_.empty()) return {};
  return replies_.back().at;
}

void SimDevice::DiscardAvailable(SimTime now) {
  std::lock_guard lock(mutex_);
  std::size_t count = 0;
  while (count < replies_.size() && replies_[count].at <= now) ++count;
  replies_.erase(replies_.begin(), replies_.begin() + static_cast<std::ptrdiff_t>(count));
}

bool SimDevice::Connected() const {
  std::lock_guard lock(mutex_);
  return connected_;
}

void SimDevice::Disconnect() {
  std::lock_guard lock(mutex_);
  connected_ = false;
}

std::vector<uint8_t> SimDevice::Memory() const {
  std::lock_guard lock(mutex_);
  return memory_;
}

std::vector<SimCommandRecord> SimDevice::Commands() const {
  std::lock_guard lock(mutex_);
  return commands_;
}

uint64_t SimDevice::BytesReceived() const {
  std::lock_guard lock(mutex_);
  return bytesReceived_;
}

std::optional<SimCommandRecord> SimDevice::LastStart() const {
  std::lock_guard lock(mutex_);
  for (auto it = commands_.rbegin(); it != commands_.rend(); ++it) {
    if (it->code == SIM_CODE_START) return *it;
  }
  return {};
}

bool SimDevice::ResetReceived() const {
  std::lock_guard lock(mutex_);
  return resetReceived_;
}

}  // namespace iapflash
