#include <windows.h>

#include <memory>
#include <utility>

#include "platform/port_identity.h"
#include "platform/serial_port.h"
#include "platform/win32/wide_text.h"

namespace iapflash {
namespace {

constexpr DWORD PURGE_ALL = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// The seam's settings are the port state's own: they pass through unchanged.
static_assert(NO_PARITY == NOPARITY && ODD_PARITY == ODDPARITY && EVEN_PARITY == EVENPARITY &&
              MARK_PARITY == MARKPARITY && SPACE_PARITY == SPACEPARITY);
static_assert(ONE_STOP_BIT == ONESTOPBIT && ONE_AND_HALF_STOP_BITS == ONE5STOPBITS &&
              TWO_STOP_BITS == TWOSTOPBITS);
static_assert(NO_INTERVAL_WAIT == MAXDWORD);

// Closes a handle unless released: every failed step of an open leaves nothing open.
struct HandleCloser {
  void operator()(HANDLE handle) const {
    if (handle && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};
using OwnedHandle = std::unique_ptr<void, HandleCloser>;

// Transfers are overlapped, each waited for together with the cancel event, so that a cancel
// from any thread ends a wait at once (a synchronous read could only be cancelled from outside
// by CancelSynchronousIo, which not every serial driver honours).
class Win32SerialPort final : public SerialPort {
 public:
  Win32SerialPort(OwnedHandle handle, OwnedHandle done, OwnedHandle cancel)
      : handle_(std::move(handle)), done_(std::move(done)), cancel_(std::move(cancel)) {}
  Win32SerialPort(const Win32SerialPort&) = delete;
  Win32SerialPort& operator=(const Win32SerialPort&) = delete;

  bool SetQueueSizes(uint32_t input, uint32_t output) override {
    return SetupComm(handle_.get(), input, output) != 0;
  }

  bool GetTimeouts(SerialTimeouts& timeouts) override {
    COMMTIMEOUTS current{};
    if (!GetCommTimeouts(handle_.get(), &current)) return false;
    timeouts.readInterval = current.ReadIntervalTimeout;
    timeouts.readMultiplier = current.ReadTotalTimeoutMultiplier;
    timeouts.readConstant = current.ReadTotalTimeoutConstant;
    timeouts.writeMultiplier = current.WriteTotalTimeoutMultiplier;
    timeouts.writeConstant = current.WriteTotalTimeoutConstant;
    return true;
  }

  bool SetTimeouts(const SerialTimeouts& timeouts) override {
    COMMTIMEOUTS wanted{};
    wanted.ReadIntervalTimeout = timeouts.readInterval;
    wanted.ReadTotalTimeoutMultiplier = timeouts.readMultiplier;
    wanted.ReadTotalTimeoutConstant = timeouts.readConstant;
    wanted.WriteTotalTimeoutMultiplier = timeouts.writeMultiplier;
    wanted.WriteTotalTimeoutConstant = timeouts.writeConstant;
    return SetCommTimeouts(handle_.get(), &wanted) != 0;
  }

  bool Purge() override { return PurgeComm(handle_.get(), PURGE_ALL) != 0; }

  bool GetLineSettings(LineSettings& settings) override {
    DCB state{};
    state.DCBlength = sizeof state;
    if (!GetCommState(handle_.get(), &state)) return false;
    settings.baudRate = state.BaudRate;
    settings.byteSize = state.ByteSize;
    settings.parity = state.Parity;
    settings.stopBits = state.StopBits;
    return true;
  }

  // Only the four fields change; every other line setting stays as the port has it.
  bool SetLineSettings(const LineSettings& settings) override {
    DCB state{};
    state.DCBlength = sizeof state;
    if (!GetCommState(handle_.get(), &state)) return false;
    state.BaudRate = settings.baudRate;
    state.ByteSize = settings.byteSize;
    state.Parity = settings.parity;
    state.StopBits = settings.stopBits;
    return SetCommState(handle_.get(), &state) != 0;
  }

  bool QueuedInput(uint32_t& count) override {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle_.get(), &errors, &status)) return false;
    count = status.cbInQue;
    return true;
  }

  IoResult Read(uint8_t* buffer, uint32_t size) override {
    return Transfer(
        [&](OVERLAPPED& wait) { return ReadFile(handle_.get(), buffer, size, nullptr, &wait); });
  }

  IoResult Write(const uint8_t* data, uint32_t size) override {
    return Transfer(
        [&](OVERLAPPED& wait) { return WriteFile(handle_.get(), data, size, nullptr, &wait); });
  }

  void Cancel() override { SetEvent(cancel_.get()); }

 private:
  // One transfer within the port's time limits, unless the cancel event is or becomes set.
  template <typename Call>
  IoResult Transfer(Call call) {
    if (WaitForSingleObject(cancel_.get(), 0) == WAIT_OBJECT_0) {
      return IoResult{false, 0, ERROR_OPERATION_ABORTED};
    }
    OVERLAPPED wait{};
    wait.hEvent = done_.get();
    if (!call(wait)) {
      const DWORD error = GetLastError();
      if (error != ERROR_IO_PENDING) return IoResult{false, 0, static_cast<SystemError>(error)};
      const HANDLE events[2] = {done_.get(), cancel_.get()};
      if (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        CancelIoEx(handle_.get(), &wait);
      }
    }
    IoResult result;
    DWORD done = 0;
    result.ok = GetOverlappedResult(handle_.get(), &wait, &done, TRUE) != 0;
    // A transfer that reaches its time limit is a success with what was moved, as a synchronous
    // one is; some systems report the limit's status as an error here.
    if (!result.ok && GetLastError() != ERROR_TIMEOUT) {
      result.error = static_cast<SystemError>(GetLastError());
    } else {
      result.ok = true;
    }
    result.count = done;
    return result;
  }

  OwnedHandle handle_;
  OwnedHandle done_;    // set when a transfer completes
  OwnedHandle cancel_;  // set once, by Cancel
};

// Only a character device that answers as a serial port is one: a file or a pipe that the
// name happens to lead to must never be written to.
bool IsSerialDevice(HANDLE handle, SystemError& error) {
  if (GetFileType(handle) != FILE_TYPE_CHAR) {
    error = ERROR_INVALID_FUNCTION;
    return false;
  }
  DCB state{};
  state.DCBlength = sizeof state;
  if (!GetCommState(handle, &state)) {
    error = static_cast<SystemError>(GetLastError());
    if (error == 0) error = ERROR_INVALID_FUNCTION;
    return false;
  }
  return true;
}

class Win32SerialPorts final : public SerialPorts {
 public:
  // Exclusive, overlapped access through the device path \\.\NAME, which also reaches ports
  // above COM9; a name given as a device path already is taken as it is.
  std::unique_ptr<SerialPort> Open(const std::string& name, SystemError& error) override {
    const std::wstring path = Widen(LocalPortPath(name));
    OwnedHandle handle(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (handle.get() == INVALID_HANDLE_VALUE) {
      error = static_cast<SystemError>(GetLastError());
      return nullptr;
    }
    if (!IsSerialDevice(handle.get(), error)) return nullptr;
    OwnedHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OwnedHandle cancel(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!done || !cancel) {
      error = static_cast<SystemError>(GetLastError());
      return nullptr;
    }
    return std::make_unique<Win32SerialPort>(std::move(handle), std::move(done), std::move(cancel));
  }
};

}  // namespace

SerialPorts& LocalSerialPorts() {
  static Win32SerialPorts ports;
  return ports;
}

}  // namespace iapflash
