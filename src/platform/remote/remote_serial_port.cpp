#include "platform/remote/remote_serial_port.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace iapflash {
namespace {

constexpr std::size_t RECEIVE_CHUNK = 4096;
// Input beyond this stays with the connection, whose flow control then holds the server back,
// as a local port's fixed buffer would.
constexpr std::size_t MAX_QUEUED_INPUT = 64 * 1024;
// What one pump takes from the connection at most: a server that sends without end (Telnet
// commands that carry no data, say) never keeps a caller from its time limit or its cancel.
constexpr std::size_t MAX_RECEIVED_PER_PUMP = 16 * 1024;
// Answers and requests the server has not taken. A server that keeps asking and never reads
// would have them grow without end: beyond this the connection fails.
constexpr std::size_t MAX_UNSENT = 64 * 1024;

IoResult Failed(uint32_t count, SystemError error) {
  return IoResult{false, count, error};
}

uint8_t StopSizeCode(uint8_t stopBits) {
  switch (stopBits) {
    case ONE_AND_HALF_STOP_BITS:
      return telnet::STOPSIZE_ONE_AND_HALF;
    case TWO_STOP_BITS:
      return telnet::STOPSIZE_TWO;
    default:
      return telnet::STOPSIZE_ONE;
  }
}

// The line settings a server reported, over those assumed.
LineSettings Reported(const telnet::ServerPort& port, LineSettings line) {
  if (port.baudRate && *port.baudRate != 0) line.baudRate = *port.baudRate;
  if (port.dataSize && *port.dataSize >= 5 && *port.dataSize <= 8) line.byteSize = *port.dataSize;
  if (port.parity && *port.parity >= telnet::PARITY_NONE &&
      *port.parity <= telnet::PARITY_NONE + SPACE_PARITY) {
    line.parity = static_cast<uint8_t>(*port.parity - telnet::PARITY_NONE);
  }
  if (port.stopSize == telnet::STOPSIZE_ONE) line.stopBits = ONE_STOP_BIT;
  if (port.stopSize == telnet::STOPSIZE_TWO) line.stopBits = TWO_STOP_BITS;
  if (port.stopSize == telnet::STOPSIZE_ONE_AND_HALF) line.stopBits = ONE_AND_HALF_STOP_BITS;
  return line;
}

// What the server said before it closed the connection, for the diagnostic channel.
std::string Printable(const std::deque<uint8_t>& bytes) {
  std::string text;
  for (const uint8_t byte : bytes) {
    if (text.size() >= 200) break;
    text.push_back(byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : ' ');
  }
  return text;
}

}  // namespace

RemoteSerialPort::RemoteSerialPort(std::unique_ptr<Connection> connection, RemoteProtocol protocol,
                                   Clock& clock)
    : connection_(std::move(connection)),
      protocol_(protocol),
      clock_(clock),
      scratch_(RECEIVE_CHUNK) {}

RemoteSerialPort::~RemoteSerialPort() {
  Close();
}

void RemoteSerialPort::Close() {
  if (closed_) return;
  closed_ = true;
  if (Live()) {
    Flush();
    connection_->EndSending();
    const uint64_t endMs = clock_.NowMs() + REMOTE_CLOSE_MS;
    while (!failed_ && clock_.NowMs() < endMs) {
      Pump(MsUntil(endMs));
      input_.clear();
    }
  }
  Fail(ConnectionClosedError());
}

bool RemoteSerialPort::Fail(SystemError error) {
  if (!failed_) {
    failed_ = true;
    failure_ = error;
  }
  return false;
}

bool RemoteSerialPort::Live() {
  if (cancelled_.load() && !(failed_ && failure_ == CancelledError())) {
    failed_ = true;
    failure_ = CancelledError();
  }
  return !failed_;
}

void RemoteSerialPort::Cancel() {
  cancelled_.store(true);
  connection_->Cancel();
}

bool RemoteSerialPort::ComPortControl() const {
  return protocol_ == RemoteProtocol::Rfc2217 && !session_.ComPortRefused();
}

int RemoteSerialPort::MsUntil(uint64_t endMs) const {
  const uint64_t now = clock_.NowMs();
  if (now >= endMs) return 0;
  return static_cast<int>(std::min<uint64_t>(endMs - now, std::numeric_limits<int>::max()));
}

bool RemoteSerialPort::Flush() {
  if (!Live()) return false;
  if (outbox_.empty()) return true;
  std::size_t sent = 0;
  SystemError error = 0;
  const bool ok = connection_->Send(outbox_.data(), outbox_.size(), sent, error);
  outbox_.erase(outbox_.begin(), outbox_.begin() + static_cast<std::ptrdiff_t>(sent));
  return ok || Fail(error);
}

bool RemoteSerialPort::Pump(int waitMs) {
  if (!Flush()) return false;
  if (waitMs != 0 && !connection_->Wait(false, waitMs)) return true;  // nothing came
  std::vector<uint8_t> data;
  std::size_t received = 0;
  while (received < MAX_RECEIVED_PER_PUMP && input_.size() < MAX_QUEUED_INPUT) {
    if (!Live()) return false;
    std::size_t got = 0;
    SystemError error = 0;
    if (!connection_->Receive(scratch_.data(), scratch_.size(), got, error)) return Fail(error);
    if (got == 0) break;
    received += got;
    if (protocol_ == RemoteProtocol::RawTcp) {
      input_.insert(input_.end(), scratch_.begin(), scratch_.begin() + static_cast<long>(got));
      continue;
    }
    data.clear();
    session_.Receive(scratch_.data(), got, data, outbox_);
    input_.insert(input_.end(), data.begin(), data.end());
    if (outbox_.size() > MAX_UNSENT && (!Flush() || outbox_.size() > MAX_UNSENT)) {
      return Fail(NoRoomError());
    }
  }
  return Flush();
}

uint32_t RemoteSerialPort::TakeInput(uint8_t* buffer, uint32_t size) {
  const auto taken = static_cast<uint32_t>(std::min<std::size_t>(size, input_.size()));
  std::copy_n(input_.begin(), taken, buffer);
  input_.erase(input_.begin(), input_.begin() + taken);
  return taken;
}

bool RemoteSerialPort::Connect(const RemoteAddress& address, SystemError& error) {
  if (!Live()) {
    error = failure_;
    return false;
  }
  if (connection_->Connect(address.host, address.port, REMOTE_CONNECT_MS, error)) return true;
  return Fail(error);
}

bool RemoteSerialPort::Start(SystemError& error) {
  const bool rfc2217 = protocol_ == RemoteProtocol::Rfc2217;
  if (rfc2217) {
    session_.Start(outbox_);
    // Asks for the current settings: the answer shows that the server has the device open.
    telnet::AppendComPort(outbox_, telnet::SET_BAUDRATE, {0, 0, 0, 0});
    for (const uint8_t command : {telnet::SET_DATASIZE, telnet::SET_PARITY, telnet::SET_STOPSIZE}) {
      telnet::AppendComPort(outbox_, command, {0});
    }
  }
  // A server that cannot open its device closes the connection at once; one without COM-port
  // answers is given the answer's time limit, and then taken as it is.
  uint64_t endMs = clock_.NowMs() + (rfc2217 ? REMOTE_ANSWER_MS : REMOTE_SETTLE_MS);
  bool settling = !rfc2217;
  while (Pump(MsUntil(endMs))) {
    if (rfc2217 && session_.ComPortAnswered()) break;
    if (!settling && session_.ComPortRefused()) {
      settling = true;
      endMs = std::min(endMs, clock_.NowMs() + REMOTE_SETTLE_MS);
    }
    if (clock_.NowMs() >= endMs) break;
  }
  if (failed_) {
    error = failure_;
    if (!input_.empty() && !cancelled_.load())
      DebugOutput("The server closed the connection: " + Printable(input_));
    return false;
  }
  line_ = Reported(session_.Port(), line_);
  return true;
}

bool RemoteSerialPort::SetQueueSizes(uint32_t, uint32_t) {
  return Live();
}

bool RemoteSerialPort::GetTimeouts(SerialTimeouts& timeouts) {
  timeouts = timeouts_;
  return true;
}

bool RemoteSerialPort::SetTimeouts(const SerialTimeouts& timeouts) {
  timeouts_ = timeouts;
  return true;
}

// What has arrived is dropped here; the server is asked to drop what it holds, and its answer is
// taken whenever it comes, so that a purge before every frame costs no round trip.
bool RemoteSerialPort::Purge() {
  Pump(0);
  input_.clear();
  if (failed_) return false;
  if (ComPortControl()) telnet::AppendComPort(outbox_, telnet::PURGE_DATA, {telnet::PURGE_BOTH});
  return Flush();
}

bool RemoteSerialPort::GetLineSettings(LineSettings& settings) {
  settings = line_;
  return Live();
}

bool RemoteSerialPort::SetLineSettings(const LineSettings& settings) {
  if (settings.baudRate == 0 || settings.byteSize < 5 || settings.byteSize > 8 ||
      settings.parity > SPACE_PARITY || settings.stopBits > TWO_STOP_BITS) {
    return false;
  }
  if (!Live()) return false;
  line_ = settings;
  // Raw TCP: the server's settings are the line's.
  if (!ComPortControl()) return true;
  const uint32_t baud = settings.baudRate;
  telnet::AppendComPort(outbox_, telnet::SET_BAUDRATE,
                        {static_cast<uint8_t>(baud >> 24), static_cast<uint8_t>(baud >> 16),
                         static_cast<uint8_t>(baud >> 8), static_cast<uint8_t>(baud)});
  telnet::AppendComPort(outbox_, telnet::SET_DATASIZE, {settings.byteSize});
  telnet::AppendComPort(outbox_, telnet::SET_PARITY,
                        {static_cast<uint8_t>(settings.parity + telnet::PARITY_NONE)});
  telnet::AppendComPort(outbox_, telnet::SET_STOPSIZE, {StopSizeCode(settings.stopBits)});
  telnet::AppendComPort(outbox_, telnet::SET_CONTROL, {telnet::CONTROL_NO_FLOW_CONTROL});
  return Flush();
}

bool RemoteSerialPort::QueuedInput(uint32_t& count) {
  Pump(0);
  if (failed_ && (input_.empty() || cancelled_.load())) return false;
  count = static_cast<uint32_t>(std::min<std::size_t>(input_.size(), UINT32_MAX));
  return true;
}

IoResult RemoteSerialPort::Read(uint8_t* buffer, uint32_t size) {
  // A port that failed still hands over what arrived before; a cancelled one nothing.
  if (cancelled_.load() && !Live()) return Failed(0, failure_);
  if (size == 0) return IoResult{true, 0, 0};
  const TransferBudget budget = TransferBudget::ForRead(timeouts_, size, clock_.NowMs());
  uint32_t count = TakeInput(buffer, size);
  // Counted from the last byte, however often the server wakes the wait without data.
  std::optional<uint64_t> lastByteMs;
  if (count > 0) lastByteMs = clock_.NowMs();
  while (count < size) {
    if (failed_) return Failed(count, failure_);
    const int wait = budget.WaitMs(clock_.NowMs(), lastByteMs);
    const uint64_t before = clock_.NowMs();
    const bool ok = Pump(wait);
    const uint32_t got = TakeInput(buffer + count, size - count);
    count += got;
    if (got > 0) lastByteMs = clock_.NowMs();
    if (!ok && count < size) return Failed(count, failure_);
    // The time limit: success with what arrived.
    if (got == 0 && wait >= 0 && clock_.NowMs() >= before + static_cast<uint64_t>(wait)) break;
  }
  return IoResult{true, count, 0};
}

IoResult RemoteSerialPort::Write(const uint8_t* data, uint32_t size) {
  if (!Live()) return Failed(0, failure_);
  const TransferBudget budget = TransferBudget::ForWrite(timeouts_, size, clock_.NowMs());
  auto waitMs = [&] { return budget.WaitMs(clock_.NowMs()); };
  const bool rfc2217 = protocol_ == RemoteProtocol::Rfc2217;

  // Control bytes already due go first; data waits while the server has asked it to.
  while (!outbox_.empty() || session_.Port().suspended) {
    if (!Flush()) return Failed(0, failure_);
    if (outbox_.empty() && !session_.Port().suspended) break;
    const int wait = waitMs();
    if (wait == 0) return IoResult{true, 0, 0};
    if (session_.Port().suspended) {
      if (!Pump(outbox_.empty() ? wait : 0)) return Failed(0, failure_);
    }
    if (!outbox_.empty() && !connection_->Wait(true, wait)) return IoResult{true, 0, 0};
  }

  std::vector<uint8_t> encoded;
  if (rfc2217) {
    telnet::AppendData(encoded, data, size);
  } else {
    encoded.assign(data, data + size);
  }
  std::size_t sent = 0;
  SystemError error = 0;
  bool ok = true;
  while (sent < encoded.size()) {
    std::size_t put = 0;
    ok = connection_->Send(encoded.data() + sent, encoded.size() - sent, put, error);
    sent += put;
    if (!ok || sent == encoded.size()) break;
    if (!connection_->Wait(true, waitMs())) break;  // the time limit
    if (!Live()) {
      ok = false;
      error = failure_;
      break;
    }
  }

  // The data bytes whose encoding went out whole; a 0xFF whose second half did not is finished
  // by the next call, as the stream must stay whole.
  uint32_t count = 0;
  std::size_t through = 0;
  while (count < size) {
    const std::size_t length = rfc2217 && data[count] == telnet::IAC ? 2 : 1;
    if (through + length > sent) {
      if (through < sent) {
        outbox_.push_back(telnet::IAC);
        ++count;
      }
      break;
    }
    through += length;
    ++count;
  }
  if (!ok) {
    Fail(error);
    return Failed(count, error);
  }
  return IoResult{true, count, 0};
}

std::unique_ptr<SerialPort> OpenRemotePort(const std::string& name, Clock& clock,
                                           SystemError& error, OpeningPorts* opening) {
  const auto address = ParseRemotePortName(name);
  if (!address) {
    error = BadAddressError();
    return nullptr;
  }
  auto connection = NewConnection(error);
  if (!connection) return nullptr;
  auto port = std::make_unique<RemoteSerialPort>(std::move(connection), address->protocol, clock);
  if (opening) opening->Opening(*port);
  if (port->Connect(*address, error) && port->Start(error)) return port;
  if (opening) opening->Forget(*port);
  return nullptr;
}

}  // namespace iapflash
