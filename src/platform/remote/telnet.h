#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace iapflash::telnet {

inline constexpr uint8_t IAC = 255;
inline constexpr uint8_t DONT = 254;
inline constexpr uint8_t DO = 253;
inline constexpr uint8_t WONT = 252;
inline constexpr uint8_t WILL = 251;
inline constexpr uint8_t SB = 250;
inline constexpr uint8_t SE = 240;

inline constexpr uint8_t BINARY = 0;
inline constexpr uint8_t SUPPRESS_GO_AHEAD = 3;
inline constexpr uint8_t COM_PORT = 44;

// COM-port control commands as the client sends them; the server's answers and notifications
// carry the code plus SERVER_OFFSET.
inline constexpr uint8_t SET_BAUDRATE = 1;
inline constexpr uint8_t SET_DATASIZE = 2;
inline constexpr uint8_t SET_PARITY = 3;
inline constexpr uint8_t SET_STOPSIZE = 4;
inline constexpr uint8_t SET_CONTROL = 5;
inline constexpr uint8_t NOTIFY_LINESTATE = 6;
inline constexpr uint8_t NOTIFY_MODEMSTATE = 7;
inline constexpr uint8_t FLOWCONTROL_SUSPEND = 8;
inline constexpr uint8_t FLOWCONTROL_RESUME = 9;
inline constexpr uint8_t PURGE_DATA = 12;
inline constexpr uint8_t SERVER_OFFSET = 100;

// Values of the commands above. A value of 0 asks the server for the current setting.
inline constexpr uint8_t PARITY_NONE = 1;  // then odd, even, mark, space
inline constexpr uint8_t STOPSIZE_ONE = 1;
inline constexpr uint8_t STOPSIZE_TWO = 2;
inline constexpr uint8_t STOPSIZE_ONE_AND_HALF = 3;
inline constexpr uint8_t CONTROL_NO_FLOW_CONTROL = 1;
inline constexpr uint8_t PURGE_BOTH = 3;

// Appends data with every 0xFF doubled, as Telnet carries it.
void AppendData(std::vector<uint8_t>& out, const uint8_t* data, std::size_t size);
// Appends IAC SB COM-PORT command value IAC SE.
void AppendComPort(std::vector<uint8_t>& out, uint8_t command, const std::vector<uint8_t>& value);

// What the server has told about the port through the COM-port option.
struct ServerPort {
  std::optional<uint32_t> baudRate;
  std::optional<uint8_t> dataSize;
  std::optional<uint8_t> parity;
  std::optional<uint8_t> stopSize;
  bool suspended = false;  // the server asked us to hold our data back
};

// The client's side of a Telnet connection with the COM-port option: it asks for binary
// transmission both ways and for COM-port control, answers the server's option requests without
// ever agreeing to an option it does not speak (so no negotiation loops), and takes the server's
// COM-port answers and notifications. Transport-free: bytes in, data and answers out.
class Session {
 public:
  // The requests a client opens with.
  void Start(std::vector<uint8_t>& out);
  // Decodes received bytes: data is appended to data, answers the server needs to out.
  void Receive(const uint8_t* bytes, std::size_t size, std::vector<uint8_t>& data,
               std::vector<uint8_t>& out);

  const ServerPort& Port() const { return port_; }
  // The server agreed to COM-port control / refused it.
  bool ComPortAccepted() const { return local_[COM_PORT] == State::Yes; }
  bool ComPortRefused() const { return comPortRefused_; }
  // Whether any answer of the server to a COM-port command has arrived.
  bool ComPortAnswered() const { return comPortAnswered_; }

 private:
  enum class State : uint8_t { No, Asked, Yes };
  enum class Parse : uint8_t { Data, Command, Option, Sub, SubCommand };

  void Negotiate(uint8_t verb, uint8_t option, std::vector<uint8_t>& out);
  void Subnegotiation();

  // Options we perform (WILL/WONT) and options the server performs (DO/DONT).
  std::array<State, 256> local_{};
  std::array<State, 256> remote_{};
  bool comPortRefused_ = false;
  bool comPortAnswered_ = false;
  ServerPort port_;
  Parse parse_ = Parse::Data;
  uint8_t verb_ = 0;
  std::vector<uint8_t> sub_;
  bool subTooLong_ = false;
};

}  // namespace iapflash::telnet
