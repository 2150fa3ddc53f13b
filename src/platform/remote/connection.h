#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/system_error.h"

namespace iapflash {

// One outgoing TCP connection, never blocking: every wait is a call to Connect or Wait with its
// own limit, and Cancel() ends it. Destroying it closes the connection.
class Connection {
 public:
  virtual ~Connection() = default;
  // Connects to host (a name or an address) at port, trying each address the name has in turn,
  // within timeoutMs in all. False on failure, with error set to the system's code.
  virtual bool Connect(const std::string& host, uint16_t port, uint32_t timeoutMs,
                       SystemError& error) = 0;
  // Hands over what the system takes now; sent is that count. False when the connection failed.
  virtual bool Send(const uint8_t* data, std::size_t size, std::size_t& sent,
                    SystemError& error) = 0;
  // Takes what has arrived, got 0 when nothing has. False when the connection failed or the peer
  // closed it (error then ConnectionClosedError()).
  virtual bool Receive(uint8_t* buffer, std::size_t size, std::size_t& got, SystemError& error) = 0;
  // Waits up to timeoutMs (negative: without a limit) until bytes can be received, or with
  // forSending until bytes can be sent; a failed or cancelled connection counts as ready. False
  // on timeout.
  virtual bool Wait(bool forSending, int timeoutMs) = 0;
  // Says that nothing more will be sent; the peer then sees the end of the stream.
  virtual void EndSending() = 0;
  // Any thread, never blocks: a Wait returns at once, now and later, and a Connect fails with
  // CancelledError().
  virtual void Cancel() = 0;
};

// A connection yet to connect. Null when the system has no room for one, with error set.
std::unique_ptr<Connection> NewConnection(SystemError& error);

// The code a connection that the peer closed fails with.
SystemError ConnectionClosedError();
// The code a connection fails with when the peer leaves what is sent to it unread for too long.
SystemError NoRoomError();
// The code for a remote port name that is no address.
SystemError BadAddressError();

}  // namespace iapflash
