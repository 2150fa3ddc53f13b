#include "station/board_watch.h"

#include <algorithm>

#include "discovery/serial_discovery.h"
#include "platform/port_identity.h"

namespace iapflash {
namespace {

std::string FirstPort(const DeviceEntry& entry) {
  return entry.ports.empty() ? std::string() : entry.ports.front().portName;
}

}  // namespace

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
    // A device that left while the scan read it has ports but no properties of its own: it would
    // pass for a board without a location or serial number. A board still there is whole at the
    // next look.
    if (entry.parentHardwareId.empty()) continue;
    board.serial = entry.serialNumber;
    board.iap = entry.inIapMode;
    board.application = !entry.inIapMode;
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
  // A board on this machine is looked up in a scan (which opens no port) for its serial number
  // and, for its mode switch, its USB location: the entry whose port is the device the slot's
  // name opens, however the name is spelt (a by-path or by-id link, ttyACM0). A scan is made at
  // most once per look, and only when some local slot's port opened or its board is in a run.
  const auto lookUp = [&](const std::string& name) -> const DeviceEntry* {
    if (IsRemotePortName(name)) return nullptr;
    if (!scanned) {
      DiscoverSerialDevices(tree_, table);
      scanned = true;
    }
    const auto match = std::find_if(table.begin(), table.end(), [&](const DeviceEntry& listed) {
      return !FirstPort(listed).empty() && SameLocalPortDevice(FirstPort(listed), name);
    });
    return match == table.end() ? nullptr : &*match;
  };
  for (const std::string& name : names_) {
    BoardSighting board;
    board.key = name;
    board.port = name;
    board.iap = iap_;
    if (inUse(name)) {
      // Its port is left alone, but what the board shows during its run (its boot program's
      // serial number) is its own: the slot does not take it for another board afterwards.
      if (const DeviceEntry* found = lookUp(name)) board.serial = found->serialNumber;
      boards.push_back(std::move(board));
      continue;
    }
    SystemError error = 0;
    if (!ports_.Open(name, error)) continue;  // closed again at once
    DeviceEntry entry;
    entry.ports.push_back(PortEntry{.portName = name});
    entry.inIapMode = iap_;
    const DeviceEntry* found = lookUp(name);
    if (found && !iap_) {
      entry = *found;  // its run switches it and finds it again by its location
      board.iap = found->inIapMode;
    } else if (found) {
      // --iap: the run opens the port as given; the scan tells only who the board is.
      entry.locationInfo = found->locationInfo;
      entry.serialNumber = found->serialNumber;
    }
    if (found) {
      board.serial = found->serialNumber;
      board.application = !found->inIapMode;
    }
    board.entry = std::move(entry);
    boards.push_back(std::move(board));
  }
  return boards;
}

}  // namespace iapflash
