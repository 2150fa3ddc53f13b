#include "platform/remote/telnet.h"

namespace iapflash::telnet {
namespace {

// No COM-port subnegotiation is longer; anything longer is not for us and is dropped.
constexpr std::size_t MAX_SUBNEGOTIATION = 64;

bool WeSpeak(uint8_t option) {
  return option == BINARY || option == SUPPRESS_GO_AHEAD || option == COM_PORT;
}

bool ServerMaySpeak(uint8_t option) {
  return option == BINARY || option == SUPPRESS_GO_AHEAD;
}

void AppendCommand(std::vector<uint8_t>& out, uint8_t verb, uint8_t option) {
  out.insert(out.end(), {IAC, verb, option});
}

}  // namespace

void AppendData(std::vector<uint8_t>& out, const uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(data[i]);
    if (data[i] == IAC) out.push_back(IAC);
  }
}

void AppendComPort(std::vector<uint8_t>& out, uint8_t command, const std::vector<uint8_t>& value) {
  out.insert(out.end(), {IAC, SB, COM_PORT});
  AppendData(out, &command, 1);
  AppendData(out, value.data(), value.size());
  out.insert(out.end(), {IAC, SE});
}

void Session::Start(std::vector<uint8_t>& out) {
  for (const uint8_t option : {COM_PORT, BINARY, SUPPRESS_GO_AHEAD}) {
    local_[option] = State::Asked;
    AppendCommand(out, WILL, option);
  }
  for (const uint8_t option : {BINARY, SUPPRESS_GO_AHEAD}) {
    remote_[option] = State::Asked;
    AppendCommand(out, DO, option);
  }
}

// Each side answers only a change of state, so two such sides never loop.
void Session::Negotiate(uint8_t verb, uint8_t option, std::vector<uint8_t>& out) {
  switch (verb) {
    case DO:
      if (local_[option] == State::Asked) {
        local_[option] = State::Yes;
      } else if (local_[option] == State::No) {
        if (WeSpeak(option)) {
          local_[option] = State::Yes;
          AppendCommand(out, WILL, option);
        } else {
          AppendCommand(out, WONT, option);
        }
      }
      break;
    case DONT:
      if (local_[option] == State::Yes) AppendCommand(out, WONT, option);
      local_[option] = State::No;
      if (option == COM_PORT) comPortRefused_ = true;
      break;
    case WILL:
      if (remote_[option] == State::Asked) {
        remote_[option] = State::Yes;
      } else if (remote_[option] == State::No) {
        if (ServerMaySpeak(option)) {
          remote_[option] = State::Yes;
          AppendCommand(out, DO, option);
        } else {
          AppendCommand(out, DONT, option);
        }
      }
      break;
    case WONT:
      if (remote_[option] == State::Yes) AppendCommand(out, DONT, option);
      remote_[option] = State::No;
      break;
    default:
      break;
  }
}

void Session::Subnegotiation() {
  if (subTooLong_ || sub_.size() < 2 || sub_[0] != COM_PORT) return;
  const uint8_t command = sub_[1];
  const std::size_t length = sub_.size() - 2;
  const uint8_t* value = sub_.data() + 2;
  if (command >= SERVER_OFFSET + SET_BAUDRATE && command <= SERVER_OFFSET + PURGE_DATA) {
    comPortAnswered_ = true;
  }
  switch (command) {
    case SERVER_OFFSET + SET_BAUDRATE:
      if (length == 4) {
        port_.baudRate = static_cast<uint32_t>(value[0]) << 24 |
                         static_cast<uint32_t>(value[1]) << 16 |
                         static_cast<uint32_t>(value[2]) << 8 | value[3];
      }
      break;
    case SERVER_OFFSET + SET_DATASIZE:
      if (length == 1) port_.dataSize = value[0];
      break;
    case SERVER_OFFSET + SET_PARITY:
      if (length == 1) port_.parity = value[0];
      break;
    case SERVER_OFFSET + SET_STOPSIZE:
      if (length == 1) port_.stopSize = value[0];
      break;
    case SERVER_OFFSET + FLOWCONTROL_SUSPEND:
      port_.suspended = true;
      break;
    case SERVER_OFFSET + FLOWCONTROL_RESUME:
      port_.suspended = false;
      break;
    default:
      break;  // line and modem state notifications, other answers: nothing to act on
  }
}

void Session::Receive(const uint8_t* bytes, std::size_t size, std::vector<uint8_t>& data,
                      std::vector<uint8_t>& out) {
  for (std::size_t i = 0; i < size; ++i) {
    const uint8_t byte = bytes[i];
    switch (parse_) {
      case Parse::Data:
        if (byte == IAC) {
          parse_ = Parse::Command;
        } else {
          data.push_back(byte);
        }
        break;
      case Parse::Command:
        parse_ = Parse::Data;
        if (byte == IAC) {
          data.push_back(IAC);
        } else if (byte == SB) {
          parse_ = Parse::Sub;
          sub_.clear();
          subTooLong_ = false;
        } else if (byte >= WILL) {
          verb_ = byte;
          parse_ = Parse::Option;
        }  // other commands (NOP, data mark, go ahead...) carry nothing for us
        break;
      case Parse::Option:
        Negotiate(verb_, byte, out);
        parse_ = Parse::Data;
        break;
      case Parse::Sub:
        if (byte == IAC) {
          parse_ = Parse::SubCommand;
        } else if (sub_.size() < MAX_SUBNEGOTIATION) {
          sub_.push_back(byte);
        } else {
          subTooLong_ = true;
        }
        break;
      case Parse::SubCommand:
        if (byte == SE) {
          Subnegotiation();
          parse_ = Parse::Data;
        } else {
          // IAC IAC stands for a 0xFF of the subnegotiation.
          if (sub_.size() < MAX_SUBNEGOTIATION) {
            sub_.push_back(byte);
          } else {
            subTooLong_ = true;
          }
          parse_ = Parse::Sub;
        }
        break;
    }
  }
}

}  // namespace iapflash::telnet
