#include <libudev.h>
#include <poll.h>

#include <cerrno>

#include "platform/hotplug.h"

namespace iapflash {
namespace {

// A udev monitor of the events udev has finished with (its rules applied, the database filled),
// so the scan that follows finds what the event announced.
class UdevHotplugWatch final : public HotplugWatch {
 public:
  UdevHotplugWatch(udev* context, udev_monitor* monitor) : udev_(context), monitor_(monitor) {}
  ~UdevHotplugWatch() override {
    udev_monitor_unref(monitor_);
    udev_unref(udev_);
  }
  UdevHotplugWatch(const UdevHotplugWatch&) = delete;
  UdevHotplugWatch& operator=(const UdevHotplugWatch&) = delete;

  bool Wait(uint32_t ms) override {
    pollfd watched{udev_monitor_get_fd(monitor_), POLLIN, 0};
    const int ready = ::poll(&watched, 1, static_cast<int>(ms));
    if (ready <= 0) return false;  // the time passed, or a signal came
    bool changed = false;
    // Every event queued now; one rescan answers them all.
    while (udev_device* device = udev_monitor_receive_device(monitor_)) {
      udev_device_unref(device);
      changed = true;
    }
    return changed;
  }

 private:
  udev* udev_;
  udev_monitor* monitor_;
};

}  // namespace

std::unique_ptr<HotplugWatch> SystemHotplugWatch() {
  udev* context = udev_new();
  if (context == nullptr) return nullptr;
  udev_monitor* monitor = udev_monitor_new_from_netlink(context, "udev");
  if (monitor == nullptr) {
    udev_unref(context);
    return nullptr;
  }
  if (udev_monitor_filter_add_match_subsystem_devtype(monitor, "tty", nullptr) < 0 ||
      udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", "usb_device") < 0 ||
      udev_monitor_enable_receiving(monitor) < 0) {
    udev_monitor_unref(monitor);
    udev_unref(context);
    return nullptr;
  }
  return std::make_unique<UdevHotplugWatch>(context, monitor);
}

}  // namespace iapflash
