#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "discovery/device_table.h"
#include "log/log.h"
#include "log/run_events.h"
#include "platform/clock.h"
#include "platform/device_tree.h"
#include "platform/serial_port.h"

namespace iapflash {

// What one run's link works through: the seams to the outside world, the run's log and its
// events. Each run has its own, so several runs can go on side by side.
struct LinkEnv {
  SerialPorts& ports;
  DeviceTree& tree;
  Clock& clock;
  LogSink& log;
  RunEventSink& events;
};

inline constexpr uint8_t FRAME_HEAD_0 = 0x57;
inline constexpr uint8_t FRAME_HEAD_1 = 0xAB;
inline constexpr uint32_t STATUS_REPLY_SIZE = 6;
// While a reply is awaited, the queue is looked at this often, with one progress dot each time.
inline constexpr uint32_t LINK_WAIT_STEP_MS = 500;

// Why an exchange with the device failed.
enum class LinkError : uint8_t {
  None,
  WriteFailed,   // the write call failed
  WriteShort,    // the write ended before the whole frame went out
  ReadFailed,    // the read call failed
  NoReply,       // no whole reply was queued within the wait
  ShortReply,    // the read ended with fewer bytes than a reply has
  WrongEcho,     // the reply's head or echoed command code was not the command's
  DeviceStatus,  // the device replied with a status other than 0
};

struct CommandResult {
  LinkError error = LinkError::None;
  uint8_t status = 0;  // the device's status byte, when a valid reply came
  bool Ok() const { return error == LinkError::None; }
};

// The open download link. It owns its port: the port closes when the link is destroyed.
class Link {
 public:
  Link(std::unique_ptr<SerialPort> port, LinkEnv& env) : port_(std::move(port)), env_(&env) {}

  // Purges the port and sends packet in one frame 0x57 0xAB packet checksum. Failures are
  // logged unless quiet.
  LinkError Send(std::span<const uint8_t> packet, bool quiet = false);

  // Sends packet (its first byte is the command code) and reads the 6-byte status reply. With
  // waitBudgetMs, first waits up to that long for the whole reply to be queued, with one progress
  // dot per 500 ms; a port that fails meanwhile ends the wait at once. Port failures are logged
  // here; the caller words the command's own failure.
  CommandResult Exchange(std::span<const uint8_t> packet,
                         std::optional<uint32_t> waitBudgetMs = std::nullopt);

  LinkEnv& Env() { return *env_; }
  SerialPort& Port() { return *port_; }

 private:
  // With portFailed (its queue could not be asked), a failed read also logs the system's words.
  CommandResult ReadStatus(uint8_t code, bool portFailed = false);

  std::unique_ptr<SerialPort> port_;
  LinkEnv* env_;  // the run's, which outlives its link
};

struct LinkOpening {
  std::optional<Link> link;
  FailureLayer failure = FailureLayer::None;  // why link is empty
};

// Opens the device's port at the download settings, switching a device that still runs its
// application into IAP mode first.
LinkOpening LinkOpen(LinkEnv& env, const DeviceEntry& device);

// Closes the link and says so; when none is open, says that instead.
void LinkClose(LogSink& log, std::optional<Link>& link);

}  // namespace iapflash
