#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/serial_timeouts.h"
#include "platform/system_error.h"

namespace iapflash {

struct LineSettings {
  uint32_t baudRate = 0;
  uint8_t byteSize = 8;
  uint8_t parity = NO_PARITY;
  uint8_t stopBits = ONE_STOP_BIT;
};

// Outcome of a transfer: ok is false when the call itself failed (error then holds the system's
// code); count is what was transferred either way.
struct IoResult {
  bool ok = false;
  uint32_t count = 0;
  SystemError error = 0;
};

// One open serial port, opened exclusively. Destroying it closes the port.
class SerialPort {
 public:
  virtual ~SerialPort() = default;
  virtual bool SetQueueSizes(uint32_t input, uint32_t output) = 0;
  virtual bool GetTimeouts(SerialTimeouts& timeouts) = 0;
  virtual bool SetTimeouts(const SerialTimeouts& timeouts) = 0;
  // Aborts pending transfers and empties both queues.
  virtual bool Purge() = 0;
  virtual bool GetLineSettings(LineSettings& settings) = 0;
  virtual bool SetLineSettings(const LineSettings& settings) = 0;
  // Bytes waiting in the input queue; also clears any error condition of the port.
  virtual bool QueuedInput(uint32_t& count) = 0;
  // Synchronous transfers bounded by the timeouts above.
  virtual IoResult Read(uint8_t* buffer, uint32_t size) = 0;
  virtual IoResult Write(const uint8_t* data, uint32_t size) = 0;
  // Any thread, never blocks for long: a transfer waiting on the port returns at once with
  // CancelledError(), and so does every later one. The owner still closes the port as usual.
  // A backend whose transfers cannot wait for long may leave it as it is.
  virtual void Cancel() {}
  // Gives the port back now, as destroying it would; Cancel() from another thread ends the
  // waits of the close too. A wrapper that can still cancel the port closes it through this
  // before it lets go of it. Later calls fail.
  virtual void Close() {}
};

// Told of a port while its opening waits (a remote server's answer), so that a Cancel() from
// another thread ends those waits: the open then fails with CancelledError().
class OpeningPorts {
 public:
  // Before the opening's first wait. A port whose open succeeds stays with the watcher, unless
  // it is handed on inside another port (Forget then comes first).
  virtual void Opening(SerialPort& port) = 0;
  // Before a port shown to Opening is destroyed after a failed opening, or handed on inside
  // another port, which its opener then shows in its place.
  virtual void Forget(SerialPort& port) = 0;

 protected:
  ~OpeningPorts() = default;
};

class SerialPorts {
 public:
  virtual ~SerialPorts() = default;
  // Opens the port by its name (COM5 on Windows; ttyACM0 or a path on Linux; rfc2217://HOST:PORT
  // or tcp://HOST:PORT for a port behind a serial-to-network server). On failure returns null
  // and sets error to the system's code.
  virtual std::unique_ptr<SerialPort> Open(const std::string& name, SystemError& error) = 0;
  // Open for a caller that may cancel it: a backend whose opening can wait for long shows the
  // port to opening before it waits.
  virtual std::unique_ptr<SerialPort> OpenWatched(const std::string& name, SystemError& error,
                                                  OpeningPorts& opening) {
    (void)opening;
    return Open(name, error);
  }
};

// Whether the name asks for a port behind a serial-to-network server (rfc2217:// or tcp://, the
// scheme in any case, as in any address); it may still be malformed. Such a port's device is
// reached again under the same name when it comes back.
bool IsRemotePortName(std::string_view name);

// The machine's own serial ports and, by their names, remote ones.
SerialPorts& SystemSerialPorts();
// Only the machine's own serial ports.
SerialPorts& LocalSerialPorts();

}  // namespace iapflash
