#pragma once
// The simulated phone reached over libusb: plugged into this process's virtual USB bus, found
// by sysfs discovery, opened by USBTransport. The process must run under umockdev-wrapper.

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "mtp/USBDiscovery.h"
#include "tools/phonesim/SimulatedPhone.h"
#include "tools/usbbus/VirtualUSBBus.h"

namespace usbtest {

// The bus of this process: one test bed for the whole run, created on first use.
inline usbbus::VirtualUSBBus& processBus() {
    static usbbus::VirtualUSBBus bus;
    // Asked after the test bed exists: umockdev answers (once, for good) whether /sys is
    // redirected, which only happens once the test bed has set UMOCKDEV_DIR.
    if (!usbbus::VirtualUSBBus::inMockEnvironment()) {
        throw std::runtime_error("run this test under umockdev-wrapper");
    }
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
