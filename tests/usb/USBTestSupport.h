#pragma once
// Shared pieces of the tests on the virtual USB bus: plain libusb against the bus's devices, and
// the simulated phone reached the product's way (plugged into this process's bus, found by sysfs
// discovery, opened by USBTransport). The process must run under umockdev-wrapper.

#include <libusb.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "mtp/USBDiscovery.h"
#include "tools/phonesim/SimulatedPhone.h"
#include "tools/usbbus/VirtualUSBBus.h"

namespace usbtest {

// Throws: a test binary started without umockdev-wrapper cannot see the bus at all.
inline void requireMockEnvironment() {
    if (!usbbus::VirtualUSBBus::inMockEnvironment()) {
        throw std::runtime_error("run this test under umockdev-wrapper");
    }
}

// A libusb context made after the devices of interest are plugged in; closes what it opened.
class Libusb {
  public:
    Libusb() {
        if (libusb_init(&context_) != 0) throw std::runtime_error("libusb_init failed");
    }
    ~Libusb() {
        for (libusb_device_handle* handle : handles_) libusb_close(handle);
        libusb_exit(context_);
    }
    Libusb(const Libusb&) = delete;
    Libusb& operator=(const Libusb&) = delete;

    libusb_context* context() const { return context_; }

    // The device at bus 1 with this address, referenced (unref it) or null.
    libusb_device* find(int devnum) const {
        libusb_device** list = nullptr;
        const ssize_t count = libusb_get_device_list(context_, &list);
        libusb_device* found = nullptr;
        for (ssize_t i = 0; i < count; ++i) {
            if (libusb_get_bus_number(list[i]) == 1 &&
                libusb_get_device_address(list[i]) == devnum) {
                found = libusb_ref_device(list[i]);
            }
        }
        libusb_free_device_list(list, 1);
        return found;
    }

    // Opens the device at `address`; closed with the context. Null when it cannot be opened.
    libusb_device_handle* open(const usbbus::BusAddress& address) {
        libusb_device* device = find(address.devnum);
        if (!device) return nullptr;
        libusb_device_handle* handle = nullptr;
        const int result = libusb_open(device, &handle);
        libusb_unref_device(device);
        if (result != 0) return nullptr;
        handles_.push_back(handle);
        return handle;
    }

  private:
    libusb_context* context_ = nullptr;
    std::vector<libusb_device_handle*> handles_;
};

inline std::string stringDescriptor(libusb_device_handle* handle, uint8_t index) {
    unsigned char text[256] = {};
    const int n = libusb_get_string_descriptor_ascii(handle, index, text, sizeof text);
    if (n < 0) return "<error " + std::to_string(n) + ">";
    return std::string(reinterpret_cast<char*>(text), static_cast<size_t>(n));
}

// The bus of this process: one test bed for the whole run, created on first use.
inline usbbus::VirtualUSBBus& processBus() {
    static usbbus::VirtualUSBBus bus;
    // Asked after the test bed exists: umockdev answers (once, for good) whether /sys is
    // redirected, which only happens once the test bed has set UMOCKDEV_DIR.
    requireMockEnvironment();
    return bus;
}

// Plugs the phone at `port` in place of whatever an earlier test left there.
inline void plugPhone(int port, std::shared_ptr<phonesim::SimulatedPhone> phone,
                      usbbus::Variant variant = usbbus::Variant::mtpClass) {
    usbbus::DeviceProfile profile;
    profile.variant = variant;
    profile.maxPacketSize = static_cast<uint16_t>(phone->maxPacketSize());
    processBus().unplug(port);
    processBus().plug(port, profile, std::move(phone));
}

// The record discovery gives for the device at `port`; throws when there is none.
inline mtp::USBDeviceRecord recordAt(int port) {
    auto address = processBus().address(port);
    if (!address) throw std::runtime_error("nothing plugged at port " + std::to_string(port));
    for (const auto& record : mtp::USBDiscovery().allDevices()) {
        if (record.busNumber() == address->busnum && record.deviceAddress() == address->devnum) {
            return record;
        }
    }
    throw std::runtime_error("discovery does not list the device at port " + std::to_string(port));
}

}  // namespace usbtest
