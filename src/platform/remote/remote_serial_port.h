#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/remote/connection.h"
#include "platform/remote/remote_address.h"
#include "platform/remote/telnet.h"
#include "platform/serial_port.h"

namespace iapflash {

// Limits of opening a remote port: the connection itself, then the server's first answer to
// COM-port control (it answers once it has opened the device), and for raw TCP the moment in
// which a server that cannot open its device closes the connection.
inline constexpr uint32_t REMOTE_CONNECT_MS = 3000;
inline constexpr uint32_t REMOTE_ANSWER_MS = 2000;
inline constexpr uint32_t REMOTE_SETTLE_MS = 200;
// How long a close waits for the server to end the connection on its side.
inline constexpr uint32_t REMOTE_CLOSE_MS = 500;

// A serial port behind a serial-to-network server. Time limits are those of a local port, kept
// by the clock; the input queue is what has arrived and not been read. RFC 2217 settings and
// purges are sent without waiting for the server's answer, which is taken whenever it comes.
class RemoteSerialPort final : public SerialPort {
 public:
  RemoteSerialPort(std::unique_ptr<Connection> connection, RemoteProtocol protocol, Clock& clock);
  // Closes it, unless Close() did.
  ~RemoteSerialPort() override;
  RemoteSerialPort(const RemoteSerialPort&) = delete;
  RemoteSerialPort& operator=(const RemoteSerialPort&) = delete;

  // Connects within REMOTE_CONNECT_MS.
  bool Connect(const RemoteAddress& address, SystemError& error);
  // Negotiates and waits, within the limits above, for the server to show it has the device.
  bool Start(SystemError& error);

  bool SetQueueSizes(uint32_t input, uint32_t output) override;
  bool GetTimeouts(SerialTimeouts& timeouts) override;
  bool SetTimeouts(const SerialTimeouts& timeouts) override;
  bool Purge() override;
  bool GetLineSettings(LineSettings& settings) override;
  bool SetLineSettings(const LineSettings& settings) override;
  bool QueuedInput(uint32_t& count) override;
  IoResult Read(uint8_t* buffer, uint32_t size) override;
  IoResult Write(const uint8_t* data, uint32_t size) override;
  // Ends the waits of the open, of a transfer and of the close.
  void Cancel() override;
  // Ends the connection and waits, within REMOTE_CLOSE_MS, until the server has let the device
  // go: a server takes one client at a time, and the next open may follow at once.
  void Close() override;

 private:
  // False once the port has failed or been cancelled; a cancel becomes the port's failure.
  bool Live();
  // Takes in what arrives within waitMs (negative: no limit) and what is there already; sends
  // what is due. False once the connection has failed.
  bool Pump(int waitMs);
  // Hands the pending control bytes to the connection, without waiting.
  bool Flush();
  uint32_t TakeInput(uint8_t* buffer, uint32_t size);
  int MsUntil(uint64_t endMs) const;
  bool ComPortControl() const;
  bool Fail(SystemError error);

  std::unique_ptr<Connection> connection_;
  const RemoteProtocol protocol_;
  Clock& clock_;
  telnet::Session session_;
  std::deque<uint8_t> input_;
  std::vector<uint8_t> outbox_;
  std::vector<uint8_t> scratch_;
  SerialTimeouts timeouts_{};
  LineSettings line_{};
  bool failed_ = false;
  bool closed_ = false;
  SystemError failure_ = 0;
  std::atomic<bool> cancelled_{false};
};

// Opens the remote port a name such as rfc2217://host:4000 gives, shown to opening (when given)
// while it waits. Null on failure, with error set to the system's code.
std::unique_ptr<SerialPort> OpenRemotePort(const std::string& name, Clock& clock,
                                           SystemError& error, OpeningPorts* opening = nullptr);

}  // namespace iapflash
