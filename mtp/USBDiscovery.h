#pragma once
// USB device discovery over sysfs. Only reads; never opens a device.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mtp/USBDeviceRecord.h"

namespace mtp {

// One interface of an attached device, with what the libusb transport needs to claim it:
// libusb_open the device whose bus number and address match, then claim `info.number`.
struct USBInterfaceService {
    USBInterfaceInfo info;
    std::filesystem::path sysfsPath;  // the interface entry, e.g. .../usb/devices/1-4.2:1.0
    uint8_t busNumber = 0;
    uint8_t deviceAddress = 0;
    bool operator==(const USBInterfaceService&) const = default;
};

// Reads the USB devices the kernel lists under <sys>/bus/usb/devices. Every operation reads the
// files afresh, holds no handle between calls, never throws (a missing or vanishing file reads
// as absent) and may be called from any thread. The roots point at the real /sys, /proc and
// /dev by default; tests give fake trees, and umockdev's test bed fakes /sys and /dev itself.
class USBDiscovery {
  public:
    explicit USBDiscovery(std::filesystem::path sysRoot = "/sys",
                          std::filesystem::path procRoot = "/proc",
                          std::filesystem::path devRoot = "/dev");

    // Every device entry (one with an idVendor file), of every kind, ordered by entry name.
    // Empty when the bus cannot be listed.
    std::vector<USBDeviceRecord> allDevices() const;

    // The record of one device entry, e.g. <sys>/bus/usb/devices/1-4.2.
    USBDeviceRecord record(const std::filesystem::path& device) const;

    // The interfaces of the device's active configuration, by interface number.
    std::vector<USBInterfaceService> interfaces(const std::filesystem::path& device) const;

    // The interface to claim for MTP: none unless `kind` is `mtp`, or when no device with the
    // record's registryID is attached any more (it was unplugged or enumerated again).
    std::optional<USBInterfaceService> mtpInterfaceService(const USBDeviceRecord& record) const;

    // Who holds the record's MTP interface: the bound kernel driver's name; for "usbfs" (a
    // user-space claim) the name (comm) of the last other process that has the device node
    // /dev/bus/usb/BBB/DDD open, or none when only this process has it or none can be seen.
    // None when no driver is bound or there is no MTP interface.
    std::optional<std::string> exclusiveOwner(const USBDeviceRecord& record) const;

  private:
    std::optional<std::filesystem::path> devicePath(uint64_t registryID) const;
    std::optional<std::string> usbfsHolder(uint8_t busNumber, uint8_t deviceAddress) const;

    std::filesystem::path sysRoot_;
    std::filesystem::path procRoot_;
    std::filesystem::path devRoot_;
};

// The macOS-style location ID: bus number in the top byte, then one nibble per hub port of
// the sysfs devpath ("4.2"); a root hub's devpath "0" has no ports. Ports above 15 keep their
// low nibble; ports deeper than six hubs are dropped.
uint32_t locationIDFrom(unsigned busNumber, std::string_view devpath);

}  // namespace mtp
