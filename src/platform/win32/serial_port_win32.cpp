#include <windows.h>

#include "platform/serial_port.h"
#include "platform/win32/wide_text.h"

namespace iapflash {
namespace {

constexpr DWORD PURGE_ALL = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

class Win32SerialPort final : public SerialPort {
 public:
  explicit Win32SerialPort(HANDLE handle) : handle_(handle) {}
  ~Win32SerialPort() override { CloseHandle(handle_); }
  Win32SerialPort(const Win32SerialPort&) = delete;
  Win32SerialPort& operator=(const Win32SerialPort&) = delete;

  bool SetQueueSizes(uint32_t input, uint32_t output) override {
    return SetupComm(handle_, input, output) != 0;
  }

  bool GetTimeouts(SerialTimeouts& timeouts) override {
    COMMTIMEOUTS current{};
    if (!GetCommTimeouts(handle_, &current)) return false;
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
    return SetCommTimeouts(handle_, &wanted) != 0;
  }

  bool Purge() override { return PurgeComm(handle_, PURGE_ALL) != 0; }

  bool GetLineSettings(LineSettings& settings) override {
    DCB state{};
    state.DCBlength = sizeof state;
    if (!GetCommState(handle_, &state)) return false;
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
    if (!GetCommState(handle_, &state)) return false;
    state.BaudRate = settings.baudRate;
    state.ByteSize = settings.byteSize;
    state.Parity = settings.parity;
    state.StopBits = settings.stopBits;
    return SetCommState(handle_, &state) != 0;
  }

  bool QueuedInput(uint32_t& count) override {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle_, &errors, &status)) return false;
    count = status.cbInQue;
    return true;
  }

  IoResult Read(uint8_t* buffer, uint32_t size) override {
    IoResult result;
    DWORD got = 0;
    result.ok = ReadFile(handle_, buffer, size, &got, nullptr) != 0;
    if (!result.ok) result.error = static_cast<SystemError>(GetLastError());
    result.count = got;
    return result;
  }

  IoResult Write(const uint8_t* data, uint32_t size) override {
    IoResult result;
    DWORD put = 0;
    result.ok = WriteFile(handle_, data, size, &put, nullptr) != 0;
    if (!result.ok) result.error = static_cast<SystemError>(GetLastError());
    result.count = put;
    return result;
  }

 private:
  HANDLE handle_;
};

class Win32SerialPorts final : public SerialPorts {
 public:
  // Exclusive, synchronous (not overlapped) access through the device path \\.\NAME, which
  // also reaches ports above COM9.
  std::unique_ptr<SerialPort> Open(const std::string& name, SystemError& error) override {
    const std::wstring path = L"\\\\.\\" + Widen(name);
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      error = static_cast<SystemError>(GetLastError());
      return nullptr;
    }
    return std::make_unique<Win32SerialPort>(handle);
  }
};

}  // namespace

SerialPorts& SystemSerialPorts() {
  static Win32SerialPorts ports;
  return ports;
}

}  // namespace iapflash
