#include "sim/sim_fault.h"

#include <charconv>
#include <string_view>
#include <vector>

namespace iapflash {
namespace {

std::optional<uint64_t> ParseNumber(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size()) return {};
  return value;
}

std::optional<uint8_t> ParseCommand(std::string_view name) {
  if (name == "start") return SIM_CODE_START;
  if (name == "prog") return SIM_CODE_PROG;
  if (name == "verify") return SIM_CODE_VERIFY;
  if (name == "end") return SIM_CODE_END;
  return {};
}

std::vector<std::string_view> SplitFields(std::string_view text) {
  std::vector<std::string_view> fields;
  for (std::size_t start = 0;;) {
    const std::size_t colon = text.find(':', start);
    fields.push_back(text.substr(start, colon - start));
    if (colon == std::string_view::npos) break;
    start = colon + 1;
  }
  return fields;
}

}  // namespace

std::optional<SimFault> ParseSimFault(std::string_view text) {
  const auto fields = SplitFields(text);
  if (fields.size() < 2) return {};
  const std::string_view kind = fields[0];
  SimFault fault;
  if (kind == "disconnect" || kind == "slow-start") {
    if (fields.size() != 2) return {};
    const auto number = ParseNumber(fields[1]);
    if (!number) return {};
    if (kind == "disconnect") {
      fault.kind = SimFaultKind::Disconnect;
      fault.afterBytes = *number;
    } else {
      if (*number > UINT32_MAX) return {};
      fault.kind = SimFaultKind::SlowStart;
      fault.code = SIM_CODE_START;
      fault.delayMs = static_cast<uint32_t>(*number);
    }
    return fault;
  }

  const auto code = ParseCommand(fields[1]);
  if (!code) return {};
  fault.code = *code;
  std::size_t next = 2;
  if (kind == "status") {
    // status:CMD:STATUS or status:CMD:OFFSET:STATUS
    if (fields.size() != 3 && fields.size() != 4) return {};
    fault.kind = SimFaultKind::Status;
    if (fields.size() == 4) {
      const auto offset = ParseNumber(fields[next++]);
      if (!offset || *offset > UINT32_MAX) return {};
      fault.offset = static_cast<uint32_t>(*offset);
    }
    const auto status = ParseNumber(fields[next]);
    if (!status || *status > 0xFF) return {};
    fault.status = static_cast<uint8_t>(*status);
    return fault;
  }

  if (kind == "silent") {
    fault.kind = SimFaultKind::Silent;
  } else if (kind == "short") {
    fault.kind = SimFaultKind::ShortReply;
  } else if (kind == "echo") {
    fault.kind = SimFaultKind::WrongEcho;
  } else if (kind == "garbage") {
    fault.kind = SimFaultKind::Garbage;
  } else {
    return {};
  }
  if (fields.size() == 3) {
    const auto offset = ParseNumber(fields[2]);
    if (!offset || *offset > UINT32_MAX) return {};
    fault.offset = static_cast<uint32_t>(*offset);
  } else if (fields.size() != 2) {
    return {};
  }
  return fault;
}

}  // namespace iapflash
