#include "station/board_watch.h"

#include <algorithm>

#include "discovery/serial_discovery.h"

namespace iapflash {
namespace {

std::string FirstPort(const DeviceEntry& entry) {
  return entry.ports.empty() ? std::string() : entry.ports.front().portName;
}

}  // namespace

bool SameStationPort(const std::string& listed, const std::string& given) {
  return given == listed || given == "/dev/" + listed;
}

std::vector<BoardSighting> DeviceBoardWatch::Look(
    const std::function<bool(const std::string&)>& /*inUse*/) {
  // A scan opens no port, so a board in its run is looked at like any other.
  DeviceTable table;
  DiscoverSerialDevices(tree_, table);
  std::vector<BoardSighting> boards;
  for (const DeviceEntry& entry : table) {
    BoardSighting board;
    board.port = FirstPort(entry);
    board.key = entry.locationInfo.empty() ? board.port : entry.locationInfo;
    const bool listed = std::any_of(boards.begin(), boards.end(),
                                    [&](const BoardSighting& b) { return b.key == board.key; });
    if (listed || board.port.empty()) continue;
    board.serial = entry.serialNumber;
    board.iap = entry.inIapMode;
    board.entry = entry;
    boards.push_back(std::move(board));
  }
  return boards;
}

PortBoardWatch::PortBoardWatch(SerialPorts& ports, DeviceTree& tree, std::vector<std::string> names,
                               bool iap)
    : ports_(ports), tree_(tree), names_(std::move(names)), iap_(iap) {}

std::vector<BoardSighting> PortBoardWatch::Look(
    const std::function<bool(const std::string&)>& inUse) {
  std::vector<BoardSighting> boards;
  DeviceTable table;
  bool scanned = false;
  for (const std::string& name : names_) {
    BoardSighting board;
    board.key = name;
    board.port = name;
    board.iap = iap_;
    if (inUse(name)) {
      boards.push_back(std::move(board));
      continue;
    }
    SystemError error = 0;
    if (!ports_.Open(name, error)) continue;  // closed again at once
    if (!iap_ && !scanned) {
      DiscoverSerialDevices(tree_, table);
      scanned = true;
    }
    const auto found = std::find_if(table.begin(), table.end(), [&](const DeviceEntry& entry) {
      return SameStationPort(FirstPort(entry), name);
    });
    if (found != table.end()) {
      board.entry = *found;
      board.serial = found->serialNumber;
      board.iap = found->inIapMode;
    } else {
      DeviceEntry entry;
      entry.ports.push_back(PortEntry{.portName = name});
      entry.inIapMode = iap_;
      board.entry = entry;
    }
    boards.push_back(std::move(board));
  }
  return boards;
}

}  // namespace iapflash
