#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/device_tree.h"
#include "platform/serial_port.h"
#include "station/slot_book.h"

namespace iapflash {

// Looks at the machine for the boards a station's slots hold.
class BoardWatch {
 public:
  virtual ~BoardWatch() = default;
  // The boards there now. inUse(key) tells which slots' boards are in a run: those are not
  // disturbed (no port of theirs is opened) and count as present.
  virtual std::vector<BoardSighting> Look(const std::function<bool(const std::string&)>& inUse) = 0;
};

// Every device the machine's discovery finds, a slot per USB location (a device without one
// by its first port), so a board swapped into the same socket is in the same slot.
class DeviceBoardWatch final : public BoardWatch {
 public:
  explicit DeviceBoardWatch(DeviceTree& tree) : tree_(tree) {}
  std::vector<BoardSighting> Look(const std::function<bool(const std::string&)>& inUse) override;

 private:
  DeviceTree& tree_;
};

// The named ports as slots: a board is there while its port opens (a local path that exists and
// opens, a server that accepts the connection). The slot's key is the port as given.
class PortBoardWatch final : public BoardWatch {
 public:
  // iap: the boards run their boot program. A local port's board is looked up in the
  // machine's scan for its USB serial number (by which a slot tells a new board from the one
  // that restarted) and, without iap, its USB location, which its mode switch finds it by.
  PortBoardWatch(SerialPorts& ports, DeviceTree& tree, std::vector<std::string> names, bool iap);
  std::vector<BoardSighting> Look(const std::function<bool(const std::string&)>& inUse) override;

 private:
  SerialPorts& ports_;
  DeviceTree& tree_;
  std::vector<std::string> names_;
  bool iap_;
};

}  // namespace iapflash
